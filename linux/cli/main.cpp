#include "capturefile.h"
#include "checkreport.h"
#include "clocks.h"
#include "consolesinks.h"
#include "eventjson.h"
#include "commandline.h"
#include "consolewatch.h"
#include "journal.h"
#include "linkcapture.h"
#include "privileges.h"
#include "regionalsettings.h"
#include "servicemanager.h"
#include "wiredinterfaces.h"

#include <QCoreApplication>
#include <QLocale>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

// Blocked in every thread, SIGINT and SIGTERM arrive only through the descriptor
// that the event loop watches.
int StopSignalDescriptor()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (::sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0)
        return -1;
    return ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
}

void PrintCapabilityHint()
{
    std::fprintf(stderr,
                 "%s needs the CAP_NET_RAW capability to open its raw socket. The Debian package gives it; "
                 "otherwise run: sudo setcap cap_net_raw+ep %s (or start the program with sudo).\n",
                 qPrintable(QCoreApplication::applicationName()),
                 qPrintable(QCoreApplication::applicationFilePath()));
}

const ConsoleProgram kProgram{"corvalen-cli", CORVALEN_VERSION, true};

// Whether SIGINT and SIGTERM come through a descriptor for the event loop to watch,
// or end the program at once as they usually do.
enum class StopSignals { Immediate, ThroughDescriptor };

// What every way of running starts with, once what needs a capability is open:
// every capability dropped while no other thread exists, the stop signals blocked
// before any thread can inherit them unblocked, then the application.
struct Startup
{
    Startup(int &argc, char *argv[], StopSignals stopSignals)
        : dropped(DropAllCapabilities(&dropFailure))
        , stopSignalDescriptor(stopSignals == StopSignals::ThroughDescriptor ? StopSignalDescriptor() : -1)
        , application(argc, argv)
    {
        QCoreApplication::setApplicationName(QString::fromStdString(kProgram.name));
        QCoreApplication::setApplicationVersion(QString::fromStdString(kProgram.version));
    }

    std::string dropFailure;
    const bool dropped;
    const int stopSignalDescriptor;
    QCoreApplication application;
};

// --check reads what any user may read: it needs no capability and keeps none.
int Check(int &argc, char *argv[], bool json)
{
    const Startup startup(argc, argv, StopSignals::Immediate);
    const QString root = QStringLiteral("/");
    const CheckReport report = JudgeMachine(ReadWiredInterfaces(root, SystemCommandRunner()), ReadSleepStates(root));
    std::string text;
    if (json) {
        text = JsonLine(CheckJson(report));
    } else {
        for (const std::string &line : CheckLines(report))
            text += line + '\n';
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return CheckExitStatus(report);
}

void StopOnSignals(int stopSignals, ConsoleWatch &watch, QSocketNotifier &notifier)
{
    QObject::connect(&notifier, &QSocketNotifier::activated, &watch, [stopSignals, &watch] {
        signalfd_siginfo received{};
        if (::read(stopSignals, &received, sizeof received) == ssize_t(sizeof received))
            watch.Finish(kExitStopped);
    });
}

// Standard output is flushed whenever the program is about to wait, so that a burst
// of events costs one write and no line waits for the next event.
void WriteOut(const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// Where the events go: JSON Lines or text lines on standard output, and the journal
// in front of them when asked for or when standard output leads there anyway.
class Outputs
{
public:
    explicit Outputs(const WatchOptions &options)
    {
        if (options.json)
            m_stream = std::make_unique<JsonSink>(WriteOut, m_times);
        else
            m_stream = std::make_unique<TextSink>(WriteOut, m_times, DateTimeSettingsFromLocale(QLocale::system()));
        if (!options.journal && !StandardOutputIsJournal())
            return;
        m_journal = std::make_unique<EventJournal>(kProgram.name);
        m_journal->Reachable(); // said at the start, not at the first event
        m_journalSink = std::make_unique<JournalSink>(*m_journal, *m_stream);
    }

    EventSink &Sink() { return m_journalSink ? *m_journalSink : *m_stream; }

private:
    SystemLocalTimes m_times;
    std::unique_ptr<EventSink> m_stream;
    std::unique_ptr<EventJournal> m_journal;
    std::unique_ptr<JournalSink> m_journalSink;
};

// What the service manager shows of the watch.
std::string WatchStatus(const ConsoleWatch &watch, const MetricsServer *metrics)
{
    std::string status = watch.LinkLayerWatched() ? "Watching the raw socket and the link layer"
                                                  : "Watching the raw socket alone";
    if (metrics)
        status += "; metrics on port " + std::to_string(metrics->Port());
    return status;
}

// --read analyses a capture file: no socket, no capture of this machine, no capability.
int ReadCaptureFile(int &argc, char *argv[], const WatchOptions &options)
{
    const Startup startup(argc, argv, StopSignals::ThroughDescriptor);
    PcapFileCapture capture;
    if (!capture.Open(options.readFile)) {
        std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgram.name.c_str(), options.readFile.c_str(),
                     capture.LastError().c_str());
        return kExitNotListening;
    }
    Outputs outputs(options);
    ConsoleWatch watch(options, SystemSocketCalls(), &capture, {}, outputs.Sink());
    watch.StartReading();
    QSocketNotifier stopNotifier(startup.stopSignalDescriptor, QSocketNotifier::Read);
    StopOnSignals(startup.stopSignalDescriptor, watch, stopNotifier);
    return QCoreApplication::exec();
}

// --wake: what to send, from the interfaces as they are now, and the machine's
// address, from the neighbour table when not given. Refused: nothing.
PlannedWake PlanWaking(const WatchOptions &options)
{
    const bool ethernet = WakeSender::CanSendFrames();
    WakeOrder order = WakeOrderOf(options, ethernet);
    order.withoutEthernet = "the Ethernet frame of type 0x0842 needs the CAP_NET_RAW capability: sending UDP alone";
    PlannedWake planned = WakeEngine::Plan(std::move(order), ReadSendInterfaces(QStringLiteral("/")),
                                           [](const MacAddress &mac) { return NeighbourAddress(mac); });
    for (const std::string &line : planned.lines)
        std::fprintf(stderr, "%s: %s\n", kProgram.name.c_str(), line.c_str());
    return planned;
}

// The live watch of this machine's traffic.
int Watch(int &argc, char *argv[], const WatchOptions &options)
{
    // --wake's sockets, like the raw socket and the capture, are opened while the
    // capabilities are still held.
    std::optional<PlannedWake> wake;
    std::unique_ptr<WakeSender> sender;
    if (!options.wake.empty()) {
        wake = PlanWaking(options);
        if (!wake->plan)
            return wake->refusal;
        sender = std::make_unique<WakeSender>(*wake->plan, wake->interfaces, wake->order.address.has_value());
    }
    // The raw socket and the link-layer capture are what needs a capability. Opened
    // before any thread exists, every capability of the process can go in one step.
    OpenedEarlySocketCalls socketCalls;
    PcapLinkCapture capture;
    capture.SetPromiscuous(options.promiscuous);
    const bool captureOpen = !options.udpOnly && capture.Open(options.interfaceName);
    const Startup startup(argc, argv, StopSignals::ThroughDescriptor);
    if (!startup.dropped) {
        std::fprintf(stderr, "%s: could not drop capabilities: %s\n",
                     qPrintable(QCoreApplication::applicationName()), startup.dropFailure.c_str());
        // A service is ready only without any capability: it does not run with one.
        if (ServiceManager::Supervised())
            return kExitNotListening;
    }

    std::optional<WatchMetrics> metrics;
    std::unique_ptr<MetricsServer> metricsServer;
    if (!options.metricsAddress.empty()) {
        metrics.emplace(options.macs, kProgram.version);
        std::string failure;
        metricsServer = MetricsServer::Start(options.metricsAddress, metrics->Registry(), &failure);
        if (!metricsServer) {
            std::fprintf(stderr, "%s: cannot serve metrics: %s\n", kProgram.name.c_str(), failure.c_str());
            return kExitNotListening;
        }
    }
    Outputs outputs(options);
    ConsoleWatch watch(options, socketCalls, captureOpen ? &capture : nullptr, capture.LastError(), outputs.Sink(),
                        metrics ? &*metrics : nullptr);
    if (!watch.Start()) {
        const int openError = socketCalls.OpenError();
        if (openError == EPERM || openError == EACCES)
            PrintCapabilityHint();
        return kExitNotListening;
    }
    if (sender)
        watch.StartWaking(*sender, std::move(*wake));
    ServiceManager::Ready(WatchStatus(watch, metricsServer.get()));
    QTimer watchdog;
    if (const auto interval = ServiceManager::WatchdogInterval()) {
        QObject::connect(&watchdog, &QTimer::timeout, &ServiceManager::Alive);
        watchdog.start(*interval);
    }

    QSocketNotifier stopNotifier(startup.stopSignalDescriptor, QSocketNotifier::Read);
    StopOnSignals(startup.stopSignalDescriptor, watch, stopNotifier);
    const int status = QCoreApplication::exec();
    ServiceManager::Stopping();
    return status;
}

} // namespace

// The command line is read before anything is opened: what it asks for says what is.
int main(int argc, char *argv[])
{
    const ParsedCommandLine commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), kProgram);
    if (!commandLine.output.empty()) {
        std::fputs(commandLine.output.c_str(), stdout);
        return kExitStopped;
    }
    if (!commandLine.usageError.empty()) {
        std::fputs(UsageErrorText(kProgram, commandLine.usageError).c_str(), stderr);
        return kExitUsage;
    }
    const WatchOptions &options = commandLine.options;
    if (options.check)
        return Check(argc, argv, options.json);
    if (!options.readFile.empty())
        return ReadCaptureFile(argc, argv, options);
    return Watch(argc, argv, options);
}
