#include "consolewatch.h"

#include "capturefile.h"
#include "reportlog.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include <algorithm>
#include <cstdio>

namespace {

void WriteError(const std::string &line)
{
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

std::string ProgramName()
{
    return QCoreApplication::applicationName().toStdString();
}

std::vector<EventSink *> SinksOf(WatchMetrics *metrics, EventSink &report)
{
    if (metrics)
        return {metrics, &report};
    return {&report};
}

} // namespace

SegmentWatch::Settings ConsoleWatch::SettingsFor(const WatchOptions &options, bool captureRunning)
{
    SegmentWatch::Settings settings;
    settings.sweepThreshold = options.sweepThreshold;
    settings.wakeTimeout = options.wakeTimeout;
    settings.macs = options.macs;
    settings.readingFile = !options.readFile.empty();
    settings.captureRunning = captureRunning && options.readFile.empty();
    settings.machines = options.machines;
    settings.asleepAfter = options.asleepAfter;
    return settings;
}

ConsoleWatch::ConsoleWatch(const WatchOptions &options, SocketCalls &socketCalls, LinkCapture *capture,
                             const std::string &captureFailure, EventSink &out, WatchMetrics *metrics,
                             LocalMachine &machine)
    : m_options(options)
    , m_listener(std::make_unique<TPacketListener>(socketCalls))
    , m_capture(options.udpOnly ? nullptr : capture)
    , m_captureFailure(captureFailure)
    , m_metrics(metrics)
    , m_report(m_options, out,
               [this](int exitStatus) {
                   // The listener or the capture is still inside its step; the watch ends after it.
                   QMetaObject::invokeMethod(this, [this, exitStatus] { Finish(exitStatus); }, Qt::QueuedConnection);
               })
    , m_sinks(SinksOf(metrics, m_report))
    , m_watch(SettingsFor(options, m_capture != nullptr), machine, m_clock, m_sinks)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &ConsoleWatch::TimedOut);
    m_drainTimer.setSingleShot(true);
    connect(&m_drainTimer, &QTimer::timeout, this, [this] {
        if (m_finished)
            return;
        m_watch.Drain();
        ArmDrain();
    });
    // Compiling the kernel filter costs more the more MACs it holds: a sweep of a
    // hundred machines changes it once, not a hundred times.
    m_watch.OnWatchedChanged = [this] {
        if (m_capture && m_options.readFile.empty() && !m_filterUpdate.isActive())
            m_filterUpdate.start(kFilterUpdateDelayMs);
    };
    m_filterUpdate.setSingleShot(true);
    connect(&m_filterUpdate, &QTimer::timeout, this, [this] {
        if (!m_finished && m_capture)
            m_capture->SetWatchedSources(m_watch.Watched(kMostFilteredMacs));
    });
    // An event leaves the segment watch a little after its packet came: a window ends a second late.
    connect(&m_secondTimer, &QTimer::timeout, this, [this] {
        m_watch.Expire(m_clock.RealNow() - std::chrono::seconds(1));
        if (m_metrics && m_capture)
            m_metrics->CaptureDropsNow(m_capture->Drops());
        if (m_metrics)
            m_metrics->MachinesNow(m_watch.Machines());
    });
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            [] { std::fflush(stdout); });
}

ConsoleWatch::~ConsoleWatch() = default;

bool ConsoleWatch::Start()
{
    m_listener->OnDataAvailable = [this](const PacketReport &report) { DataAvailable(report); };
    // With both sources an event waits for the other one anyway, so a datagram may
    // as well wait for those behind it.
    if (m_capture)
        m_listener->SetBatchDelay(kSocketBatchDelayMs);
    if (!m_listener->StartListening()) {
        WriteError(NotListeningLine(m_listener->LastError()));
        if (m_options.wake.empty())
            return false;
        // --wake sends what it may, and asks by ICMP echo where the ping socket is allowed.
        WriteError(ProgramName()
                   + ": sending the UDP forms all the same; the Ethernet frame and the watch for signs of life need "
                     "the CAP_NET_RAW capability");
        m_listener.reset();
        m_passive = false;
        m_secondTimer.start(1000);
        if (m_options.timeout)
            m_timeout.start(*m_options.timeout);
        return true;
    }
    if (!m_options.udpOnly && !m_capture)
        WriteError(NoLinkLayerLine(ProgramName(), m_captureFailure));
    if (!m_options.machines.empty() && !m_capture) {
        WriteError(ProgramName() + ": --machine needs the link-layer capture, which sees every frame of the machines");
        return false;
    }
    std::vector<std::string> linkInterfaces;
    if (m_capture) {
        m_capture->OnFrame = [this](const std::string &interfaceName, ByteView frame, RealTime kernelTime) {
            if (!m_finished)
                m_watch.FrameSeen(interfaceName, frame, kernelTime);
        };
        // Awake for the frames anyway: the datagrams that came meanwhile are read too.
        // The drain is armed once for all the frames of the pass.
        m_capture->OnFramesHandled = [this] {
            if (!m_finished && m_listener && m_listener->IsListening())
                m_listener->ReceiveQueued();
            ArmDrain();
        };
        m_capture->Start();
        m_secondTimer.start(1000);
        linkInterfaces = m_capture->Interfaces();
    }
    WriteError(ListeningLine(ProgramName(), m_options.macs, linkInterfaces));
    if (m_options.timeout)
        m_timeout.start(*m_options.timeout);
    return true;
}

void ConsoleWatch::StartWaking(WakeSender &sender, PlannedWake planned)
{
    const std::optional<AskedOnly::Blind> blind =
        m_passive ? std::nullopt : std::optional<AskedOnly::Blind>(AskedOnly::Blind::WithoutCapability);
    m_wake = std::make_unique<WakeEngine>(std::move(planned), m_clock, sender, sender, m_watch, m_sinks, blind);
    m_wake->OnLine = [](const std::string &line) { WriteError(ProgramName() + ": " + line); };
    // The engine is still inside its step, or the watch inside its own; the watch ends after it.
    m_wake->OnDone = [this](ExitStatus status) {
        QMetaObject::invokeMethod(this, [this, status] { Finish(status); }, Qt::QueuedConnection);
    };
    Drive(sender, *m_wake);
    m_wake->Start();
    ArmWake();
}

void ConsoleWatch::TrackMachines(MachineAsker &asker, std::vector<SendInterface> interfaces)
{
    const auto ask = [&asker](const std::string &interfaceName, const Ipv4Octets &address) {
        WakeQuestion question;
        question.way = AskedOnly::Way::Arp;
        question.address = address;
        question.link.name = interfaceName;
        std::string why;
        return asker.Ask(question, why);
    };
    // An answer counts only where the capture sees it.
    const std::vector<std::string> captured = m_capture ? m_capture->Interfaces() : std::vector<std::string>();
    std::erase_if(interfaces, [&captured](const SendInterface &interface) {
        return std::find(captured.begin(), captured.end(), interface.name) == captured.end();
    });
    // On the clock the wake watches end by: a second behind, so that an answer is among the events by then.
    const std::map<MacAddress, Ipv4Octets> neighbours = NeighbourAddresses(); // one read of the table for all
    m_watch.TrackMachines(m_clock.RealNow() - std::chrono::seconds(1), std::move(interfaces),
                          [&neighbours](const MacAddress &mac) {
                              const auto found = neighbours.find(mac);
                              return found == neighbours.end() ? std::nullopt
                                                               : std::optional<Ipv4Octets>(found->second);
                          },
                          ask);
    m_filterUpdate.start(0);
}

void ConsoleWatch::StartRelay(WakeSender &sender, WakeRelay::Planner planner, WakeOrder defaults,
                              std::function<void(const ReplyAddress &, const RelayReply &)> reply,
                              std::function<void(RequestEnd)> ended)
{
    m_relay = std::make_unique<WakeRelay>(std::move(planner), std::move(defaults), m_clock, sender, sender, m_watch,
                                          m_sinks);
    m_relay->OnReply = std::move(reply);
    m_relay->OnRequestEnded = std::move(ended);
    Drive(sender, *m_relay);
}

void ConsoleWatch::RelayRequest(ByteView payload, const ReplyAddress &to)
{
    if (!m_relay || m_finished)
        return;
    m_relay->Request(payload, to);
    ArmWake();
}

// The wake engine, or the relay of a sensor: advanced on a timer at its next due
// time, given the watch's outcomes and the echo socket's answers.
template <typename Waker> void ConsoleWatch::Drive(WakeSender &sender, Waker &waker)
{
    m_watch.OnOutcome = [&waker](const WakeOutcome &outcome) { waker.Outcome(outcome); };
    m_nextWakeDue = [&waker] { return waker.NextDue(); };
    m_wakeTimer.setSingleShot(true);
    m_wakeTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_wakeTimer, &QTimer::timeout, this, [this, &waker] {
        waker.Advance();
        ArmWake();
    });
    // Behind a router the answer comes from the router's MAC: only an echo reply tells.
    if (sender.EchoSocket() >= 0) {
        m_echoNotifier = std::make_unique<QSocketNotifier>(sender.EchoSocket(), QSocketNotifier::Read);
        connect(m_echoNotifier.get(), &QSocketNotifier::activated, this, [&sender, &waker] {
            for (const Ipv4Octets &from : sender.EchoReplies())
                waker.Answered(AskedOnly::Way::Echo, from);
        });
    }
}

void ConsoleWatch::ArmWake()
{
    const std::optional<SteadyTime> due = m_nextWakeDue ? m_nextWakeDue() : std::nullopt;
    if (!due || m_finished)
        return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - m_clock.SteadyNow());
    m_wakeTimer.start(std::max(wait, std::chrono::milliseconds(0)));
}

void ConsoleWatch::StartReading()
{
    m_capture->OnFrame = [this](const std::string &interfaceName, ByteView frame, RealTime time) {
        if (!m_finished)
            m_watch.FrameSeen(interfaceName, frame, time);
    };
    if (auto *file = dynamic_cast<PcapFileCapture *>(m_capture)) {
        file->OnEnd = [this, file](PcapFileCapture::Ending ending, const std::string &error) {
            if (ending == PcapFileCapture::Ending::Whole) {
                TimedOut(); // the file's end is the end of the watch
                return;
            }
            // What was read before stands; the exit status says that it is not the whole capture.
            const std::string where = ProgramName() + ": " + file->Interfaces().front() + ": ";
            const std::string read = std::to_string(file->Frames()) + " packet(s) read";
            if (ending == PcapFileCapture::Ending::Damaged) {
                WriteError(where + "damaged after " + read + ": " + error);
                Finish(kExitDamagedCapture);
                return;
            }
            WriteError(where + "cannot be read on after " + read + ": " + error + "; "
                       + PcapFileCapture::MixedInterfacesHint(m_options.readFile));
            Finish(kExitNotListening);
        };
    }
    m_capture->Start();
    WriteError(ProgramName() + ": reading magic packets from " + m_capture->Interfaces().front());
    if (m_options.timeout)
        m_timeout.start(*m_options.timeout);
}

void ConsoleWatch::Finish(int exitStatus)
{
    if (m_finished)
        return;
    m_timeout.stop();
    if (m_wake)
        m_wake->Stop();
    m_wakeTimer.stop();
    if (m_relay)
        m_relay->Stop("the sensor stopped before the machine's outcome was known");
    m_echoNotifier.reset();
    // What the kernel queued before the stop is reported too, and drops after the
    // last datagram would otherwise go untold.
    if (m_listener && m_listener->IsListening()) {
        m_listener->ReceiveQueued();
        m_listener->ReportPendingDrops();
    }
    if (m_capture)
        m_capture->ReadQueued();
    // Events still waiting for the other source are reported as things stand.
    m_secondTimer.stop();
    m_drainTimer.stop();
    m_watch.Finish();
    m_finished = true;
    if (m_listener && m_listener->IsListening())
        m_listener->StopListening();
    m_listener.reset();
    const std::uint64_t frameDrops = m_capture ? m_capture->Drops() : 0;
    if (m_capture)
        m_capture->Close();
    std::fflush(stdout);
    WatchCounts counts = m_report.Counts();
    counts.linkLayer = !m_options.udpOnly;
    counts.frameDrops = frameDrops;
    WriteError(SummaryLine(ProgramName(), counts));
    QCoreApplication::exit(exitStatus);
}

void ConsoleWatch::DataAvailable(const PacketReport &report)
{
    if (m_finished)
        return;
    if (report.error) {
        const ReceiveFailure failure{report, m_listener->LastError(), m_listener->LastDropCount()};
        if (m_options.udpOnly)
            m_sinks.Failure(failure);
        else // in its place among the events that wait
            m_watch.FailureReported(failure, report.kernelTime);
    } else if (m_options.udpOnly) {
        m_sinks.Datagram(report);
    } else {
        m_watch.DatagramReported(report); // the event has its own time
    }
    ArmDrain();
}

void ConsoleWatch::ArmDrain()
{
    const std::optional<SteadyTime> deadline = m_watch.NextDrain();
    if (!deadline || m_finished)
        return;
    if (m_drainTimer.isActive() && deadline == m_drainDeadline)
        return;
    m_drainDeadline = deadline;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*deadline - m_clock.SteadyNow());
    m_drainTimer.start(std::max(wait, kLeastDrainDelay));
}

void ConsoleWatch::TimedOut()
{
    Finish(m_options.count || m_options.untilWoke || !m_options.wake.empty() ? kExitTimedOut : kExitStopped);
}
