#include "capturefile.h"
#include "checkreport.h"
#include "clocks.h"
#include "consolesinks.h"
#include "eventjson.h"
#include "commandline.h"
#include "consolewatch.h"
#include "journal.h"
#include "linkcapture.h"
#include "mqttconnection.h"
#include "mqttpassword.h"
#include "mqttrequester.h"
#include "mqttsensor.h"
#include "privileges.h"
#include "regionalsettings.h"
#include "servicemanager.h"
#include "wiredinterfaces.h"

#include <QCoreApplication>
#include <QEventLoop>
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
#include <random>
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
    // `also`: one more sink that takes every event the others take, such as the broker.
    explicit Outputs(const WatchOptions &options, EventSink *also = nullptr)
    {
        Build(options);
        if (also) {
            m_fanOut = std::make_unique<FanOutSink>(std::vector<EventSink *>{&Own(), also});
        }
    }

    EventSink &Sink() { return m_fanOut ? *m_fanOut : Own(); }

private:
    EventSink &Own() { return m_journalSink ? *m_journalSink : *m_stream; }

    void Build(const WatchOptions &options)
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

    SystemLocalTimes m_times;
    std::unique_ptr<EventSink> m_stream;
    std::unique_ptr<EventJournal> m_journal;
    std::unique_ptr<JournalSink> m_journalSink;
    std::unique_ptr<FanOutSink> m_fanOut;
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

// How to log in to the broker; nothing, with the reason told, when the password
// cannot be read. Read before any capability is given up.
std::optional<MqttLogin> MqttLoginFor(const WatchOptions &options, const std::string &clientId)
{
    MqttLogin login;
    login.url = *options.mqtt.url;
    login.clientId = clientId;
    login.user = options.mqtt.user;
    login.ca = options.mqtt.ca;
    login.cert = options.mqtt.cert;
    login.key = options.mqtt.key;
    std::string error;
    login.password = ReadMqttPassword(options.mqtt.passwordFile, error);
    if (!error.empty()) {
        std::fprintf(stderr, "%s: %s\n", kProgram.name.c_str(), error.c_str());
        return std::nullopt;
    }
    if (!login.url.tls && !IsLoopbackHost(login.url.host))
        std::fprintf(stderr, "%s: warning: mqtt:// to %s has no TLS: %s travel in clear (use mqtts://)\n",
                     kProgram.name.c_str(), login.url.host.c_str(),
                     login.password ? "the password and every message" : "the messages");
    return login;
}

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "sensor";
    return name;
}

// The requester's client ID, which its reply topic holds: unique, and fit for a topic.
std::string RequesterClientId()
{
    std::random_device random;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", unsigned(random()));
    return "corvalen-cli-" + SensorNameFromHost(HostName()) + "-" + suffix;
}

// Publishes `last` after what waits, gives the broker at most `wait` to take it, and
// disconnects cleanly.
void Disconnect(MqttConnection &connection, std::optional<MqttPublish> last, std::chrono::milliseconds wait)
{
    QEventLoop goodbye;
    connection.OnStopped = [&goodbye] { goodbye.quit(); };
    connection.Stop(std::move(last), wait);
    goodbye.exec();
}

// --wake MAC --mqtt URL: the sensor on the machine's segment wakes it. Nothing here
// needs a capability.
int RemoteWake(int &argc, char *argv[], const WatchOptions &options)
{
    const std::optional<MqttLogin> login = MqttLoginFor(options, RequesterClientId());
    if (!login)
        return kExitUsage;
    const Startup startup(argc, argv, StopSignals::Immediate);
    MqttConnection connection(*login, std::nullopt);
    // A few lines, each as it comes.
    const auto writeNow = [](const std::string &text) {
        WriteOut(text);
        std::fflush(stdout);
    };
    MqttRequester requester(connection, options, kProgram.name, writeNow, [](const std::string &text) {
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    });
    requester.Start([](int status) { QCoreApplication::exit(status); });
    const int status = QCoreApplication::exec();
    Disconnect(connection, std::nullopt, std::chrono::milliseconds(0));
    std::fflush(stdout);
    return status;
}

// What a sensor sends with, and asks the machines it watches with: every wired
// interface as it is at the start, whose sockets are opened while the capabilities
// are held; `echo` for the ICMP echo socket too.
std::unique_ptr<WakeSender> SensorSender(const std::vector<SendInterface> &interfaces, bool echo)
{
    WakePlan every;
    for (const SendInterface &interface : interfaces) {
        WakeSend send;
        send.form = SendForm::Ethernet;
        send.interfaceName = interface.name;
        every.sends.push_back(send);
    }
    return std::make_unique<WakeSender>(every, interfaces, echo);
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
    // A sensor on a broker: its login; its sockets, and those that ask the watched
    // machines, while the capabilities are held.
    std::optional<MqttLogin> login;
    std::unique_ptr<WakeSender> segmentSender;
    std::vector<SendInterface> sendInterfaces;
    bool framesAtStart = false;
    const std::string sensorName = options.mqtt.name.empty() ? SensorNameFromHost(HostName()) : options.mqtt.name;
    if (options.mqtt.url) {
        login = MqttLoginFor(options, "corvalen-" + sensorName);
        if (!login)
            return kExitUsage;
    }
    if (options.mqtt.url || !options.machines.empty()) {
        sendInterfaces = ReadSendInterfaces(QStringLiteral("/"));
        framesAtStart = WakeSender::CanSendFrames();
        segmentSender = SensorSender(sendInterfaces, options.mqtt.url.has_value());
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
        metrics.emplace(options.macs, kProgram.version, options.machines);
        std::string failure;
        metricsServer = MetricsServer::Start(options.metricsAddress, metrics->Registry(), &failure);
        if (!metricsServer) {
            std::fprintf(stderr, "%s: cannot serve metrics: %s\n", kProgram.name.c_str(), failure.c_str());
            return kExitNotListening;
        }
    }
    std::unique_ptr<MqttConnection> connection;
    std::unique_ptr<MqttSensor> sensor;
    std::optional<RelayMetrics> relayMetrics;
    SystemLocalTimes sensorTimes;
    if (login) {
        if (metrics)
            relayMetrics.emplace(*metrics->Registry());
        connection = std::make_unique<MqttConnection>(*login, MqttSensor::Offline(sensorName));
        std::vector<MacAddress> own;
        for (const SendInterface &interface : sendInterfaces)
            own.push_back(interface.mac);
        sensor = std::make_unique<MqttSensor>(*connection, sensorName, sensorTimes, own,
                                              relayMetrics ? &*relayMetrics : nullptr, [](const std::string &line) {
                                                  std::fprintf(stderr, "%s: %s\n", kProgram.name.c_str(),
                                                               line.c_str());
                                              });
    }
    if (sensor)
        sensor->Watch(options.machines, kProgram.version);
    Outputs outputs(options, sensor.get());
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
    if (!options.machines.empty())
        watch.TrackMachines(*segmentSender, sendInterfaces);
    if (sensor) {
        WakeOrder defaults;
        defaults.request.port = options.wakePort;
        defaults.timeout = options.wakeTimeout;
        defaults.request.ethernet = framesAtStart;
        defaults.withoutEthernet =
            "the Ethernet frame of type 0x0842 needs the CAP_NET_RAW capability, which the sensor did not have: "
            "sending UDP alone";
        watch.StartRelay(
            *segmentSender,
            [](WakeOrder order) {
                return WakeEngine::Plan(std::move(order), ReadSendInterfaces(QStringLiteral("/")),
                                        [](const MacAddress &mac) { return NeighbourAddress(mac); });
            },
            defaults, [&sensor](const ReplyAddress &to, const RelayReply &reply) { sensor->Reply(to, reply); },
            [&relayMetrics](RequestEnd end) {
                if (relayMetrics)
                    relayMetrics->RequestEnded(end);
            });
        watch.WatchSignsOfLife([&sensor](const SignOfLife &sign, const std::string &interfaceName, RealTime time) {
            sensor->SignOfLife(sign, interfaceName, time);
        });
        sensor->Start([&watch](ByteView payload, const ReplyAddress &to) { watch.RelayRequest(payload, to); });
    }
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
    if (connection) // "offline", after what waits in the queue, as far as it goes in 2 s
        Disconnect(*connection, MqttSensor::Offline(sensorName), std::chrono::seconds(2));
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
    if (options.mqtt.url && !options.wake.empty())
        return RemoteWake(argc, argv, options);
    return Watch(argc, argv, options);
}
