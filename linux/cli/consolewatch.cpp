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

SegmentWatch::Settings TConsoleWatch::SettingsFor(const WatchOptions &options, bool captureRunning)
{
    SegmentWatch::Settings settings;
    settings.sweepThreshold = options.sweepThreshold;
    settings.wakeTimeoutNs = std::int64_t(options.wakeTimeoutMs) * 1000000;
    settings.macs = options.macs;
    settings.readingFile = !options.readFile.empty();
    settings.captureRunning = captureRunning && options.readFile.empty();
    return settings;
}

TConsoleWatch::TConsoleWatch(const WatchOptions &options, SocketCalls &socketCalls, LinkCapture *capture,
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
    connect(&m_timeout, &QTimer::timeout, this, &TConsoleWatch::TimedOut);
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
        m_watch.Expire(m_clock.RealNs() - 1000000000);
        if (m_metrics && m_capture)
            m_metrics->CaptureDropsNow(m_capture->Drops());
    });
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            [] { std::fflush(stdout); });
}

TConsoleWatch::~TConsoleWatch() = default;

bool TConsoleWatch::Start()
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
        if (m_options.timeoutMs)
            m_timeout.start(*m_options.timeoutMs);
        return true;
    }
    if (!m_options.udpOnly && !m_capture)
        WriteError(NoLinkLayerLine(ProgramName(), m_captureFailure));
    std::vector<std::string> linkInterfaces;
    if (m_capture) {
        m_capture->OnFrame = [this](const std::string &interfaceName, ByteView frame, std::int64_t kernelTimeNs) {
            if (!m_finished)
                m_watch.FrameSeen(interfaceName, frame, kernelTimeNs);
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
    if (m_options.timeoutMs)
        m_timeout.start(*m_options.timeoutMs);
    return true;
}

void TConsoleWatch::StartWaking(WakeSender &sender, WakePlan plan)
{
    m_sender = &sender;
    WriteError(WakingLine(ProgramName(), m_options.wake, plan, std::int64_t(m_options.wakeTimeoutMs) * 1000000));
    m_rounds = std::make_unique<WakeRounds>(std::move(plan), m_sinks, m_watch);
    m_roundTimer.setSingleShot(true);
    connect(&m_roundTimer, &QTimer::timeout, this, &TConsoleWatch::SendRound);
    SendRound();
}

void TConsoleWatch::SendRound()
{
    if (m_finished)
        return;
    if (m_rounds->SendNext([this](const WakeSend &send) {
            return m_sender->Send(send, m_options.password, m_clock.RealNs());
        })) {
        m_roundTimer.start(int(kWakeRoundGapNs / 1000000));
        return;
    }
    if (const std::string nothingSent = m_rounds->NothingSentLine(ProgramName(), m_options.wake);
        !nothingSent.empty()) {
        WriteError(nothingSent);
        Finish(kExitNotListening);
        return;
    }
    StartAsking();
}

// A machine that wakes but stays silent still answers ARP: its reply is a frame of its
// own, which the capture sees as its sign of life.
void TConsoleWatch::StartAsking()
{
    if (!m_options.wakeIp) {
        if (!m_passive) {
            WriteError(ProgramName() + ": whether it woke cannot be told without the capability: give --ip, "
                                       "to ask for it by ICMP echo");
            Finish(kExitNotListening);
        }
        return;
    }
    const Ipv4Octets address = *m_options.wakeIp;
    const std::string interfaceName = m_sender->OnLink(address);
    const std::string every = " every " + std::to_string(kAskIntervalMs / 1000) + " s";
    if (!interfaceName.empty() && m_sender->AskArp(interfaceName, address)) {
        WriteError(ProgramName() + ": asking for " + FormatIpv4(address) + " by ARP on " + interfaceName + every);
        connect(&m_askTimer, &QTimer::timeout, this, [this, address, interfaceName] {
            if (!m_finished)
                m_sender->AskArp(interfaceName, address);
        });
        m_askTimer.start(kAskIntervalMs);
        return;
    }
    // Behind a router the answer comes from the router's MAC: only an echo reply tells.
    if (m_sender->EchoSocket() < 0) {
        WriteError(ProgramName() + ": cannot ask for " + FormatIpv4(address) + ": " + m_sender->EchoError());
        if (!m_passive)
            Finish(kExitNotListening);
        return;
    }
    WriteError(ProgramName() + ": asking for " + FormatIpv4(address) + " by ICMP echo" + every);
    if (!m_passive)
        m_watch.WatchingOnlyByAsking({address, AskedOnly::Way::Echo, AskedOnly::Blind::WithoutCapability});
    m_echoNotifier = std::make_unique<QSocketNotifier>(m_sender->EchoSocket(), QSocketNotifier::Read);
    const MacAddress mac = m_options.wake.front();
    connect(m_echoNotifier.get(), &QSocketNotifier::activated, this, [this, address, mac] {
        for (const Ipv4Octets &from : m_sender->EchoReplies())
            if (!m_finished && from == address)
                m_watch.EchoAnswered(mac, address, m_clock.RealNs());
    });
    connect(&m_askTimer, &QTimer::timeout, this, [this, address] {
        if (!m_finished)
            m_sender->AskEcho(address);
    });
    m_askTimer.start(kAskIntervalMs);
    m_sender->AskEcho(address);
}

void TConsoleWatch::StartReading()
{
    m_capture->OnFrame = [this](const std::string &interfaceName, ByteView frame, std::int64_t timeNs) {
        if (!m_finished)
            m_watch.FrameSeen(interfaceName, frame, timeNs);
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
    if (m_options.timeoutMs)
        m_timeout.start(*m_options.timeoutMs);
}

void TConsoleWatch::Finish(int exitStatus)
{
    if (m_finished)
        return;
    m_timeout.stop();
    m_roundTimer.stop();
    m_askTimer.stop();
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

void TConsoleWatch::DataAvailable(const PacketReport &report)
{
    if (m_finished)
        return;
    if (report.error) {
        const ReceiveFailure failure{report, m_listener->LastError(), m_listener->LastDropCount()};
        if (m_options.udpOnly)
            m_sinks.Failure(failure);
        else // in its place among the events that wait
            m_watch.FailureReported(failure, report.kernelTimeNs);
    } else if (m_options.udpOnly) {
        m_sinks.Datagram(report);
    } else {
        m_watch.DatagramReported(report); // the event has its own time
    }
    ArmDrain();
}

void TConsoleWatch::ArmDrain()
{
    const std::optional<std::int64_t> deadline = m_watch.NextDrainNs();
    if (!deadline || m_finished)
        return;
    if (m_drainTimer.isActive() && *deadline == m_drainDeadlineNs)
        return;
    m_drainDeadlineNs = *deadline;
    const std::int64_t waitMs = (*deadline - m_clock.SteadyNs() + 999999) / 1000000;
    m_drainTimer.start(int(std::max<std::int64_t>(waitMs, kLeastDrainDelayMs)));
}

void TConsoleWatch::TimedOut()
{
    Finish(m_options.count || m_options.untilWoke || !m_options.wake.empty() ? kExitTimedOut : kExitStopped);
}
