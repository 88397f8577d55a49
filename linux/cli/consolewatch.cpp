#include "consolewatch.h"

#include "capturefile.h"
#include "consolelines.h"
#include "eventjson.h"
#include "regional.h"
#include "reportlog.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

// A moment as local time, as QDateTime gives it, without reading the time zone anew
// for every event: that is done at most once a second, which still follows a change
// of zone.
QDateTime LocalTime(const timespec &moment)
{
    static time_t zoneReadAt = -1;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != zoneReadAt) {
        ::tzset();
        zoneReadAt = now.tv_sec;
    }
    tm local{};
    if (::localtime_r(&moment.tv_sec, &local) == nullptr)
        return QDateTime::currentDateTime();
    return QDateTime(QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
                     QTime(local.tm_hour, local.tm_min, local.tm_sec, int(moment.tv_nsec / 1000000)),
                     Qt::OffsetFromUTC, int(local.tm_gmtoff));
}

QDateTime CurrentLocalTime()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return LocalTime(now);
}

// When the kernel received the packet, where it said; otherwise now.
QDateTime ReceivedLocalTime(std::int64_t kernelTimeNs)
{
    if (kernelTimeNs <= 0)
        return CurrentLocalTime();
    return LocalTime(timespec{time_t(kernelTimeNs / 1000000000), long(kernelTimeNs % 1000000000)});
}

std::int64_t RealTimeNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Standard output is flushed whenever the program is about to wait, so that a burst
// of events costs one write and no line waits for the next event.
void WriteOut(const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
}

void WriteJson(const nlohmann::json &event)
{
    WriteOut(QByteArray::fromStdString(JsonLine(event)));
}

std::string IsoTime(const QDateTime &moment)
{
    return IsoLocalTime(ToLocalDateTime(moment), moment.offsetFromUtc());
}

void WriteError(const std::string &line)
{
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

std::string ProgramName()
{
    return QCoreApplication::applicationName().toStdString();
}

} // namespace

TConsoleWatch::TConsoleWatch(const WatchOptions &options, SocketCalls &socketCalls, LinkCapture *capture,
                             const std::string &captureFailure, MachineInfo &machine)
    : m_options(options)
    , m_listener(std::make_unique<TPacketListener>(socketCalls))
    , m_capture(options.udpOnly ? nullptr : capture)
    , m_captureFailure(captureFailure)
    , m_merger(machine)
    , m_sweeps(options.sweepThreshold)
    , m_machine(machine)
    , m_wakes(std::int64_t(options.wakeTimeoutMs) * 1000000)
    , m_dateTimeSettings(DateTimeSettingsFromLocale(QLocale::system()))
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &TConsoleWatch::TimedOut);
    m_merger.OnEvent = [this](const MagicEvent &event) { WriteEvent(event); };
    m_filterUpdate.setSingleShot(true);
    connect(&m_filterUpdate, &QTimer::timeout, this, [this] {
        if (!m_finished && m_capture)
            m_capture->SetWatchedSources(m_wakes.Watched(kMostFilteredMacs));
    });
    // An event leaves the merger a little after its packet came: a window ends a second late.
    connect(&m_secondTimer, &QTimer::timeout, this, [this] {
        const std::int64_t aSecondAgo = RealTimeNs() - 1000000000;
        WriteSweeps(m_sweeps.Expire(aSecondAgo));
        EndTimedOutWatches(aSecondAgo);
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
        return false;
    }
    if (!m_options.udpOnly && !m_capture)
        WriteError(NoLinkLayerLine(ProgramName(), m_captureFailure));
    std::vector<std::string> linkInterfaces;
    if (m_capture) {
        m_capture->OnFrame = [this](const std::string &interfaceName, ByteView frame, std::int64_t kernelTimeNs) {
            if (m_finished)
                return;
            m_merger.FrameSeen(interfaceName, frame, kernelTimeNs);
            SegmentFrameSeen(frame, kernelTimeNs);
        };
        // Awake for the frames anyway: the datagrams that came meanwhile are read too.
        m_capture->OnFramesHandled = [this] {
            if (!m_finished && m_listener && m_listener->IsListening())
                m_listener->ReceiveQueued();
        };
        m_capture->Start();
        m_merger.SetCaptureRunning(true);
        m_secondTimer.start(1000);
        linkInterfaces = m_capture->Interfaces();
    }
    WriteError(ListeningLine(ProgramName(), m_options.macs, linkInterfaces));
    if (m_options.timeoutMs)
        m_timeout.start(*m_options.timeoutMs);
    return true;
}

void TConsoleWatch::StartReading()
{
    m_merger.SetReadingFile(true);
    // The capture's own times: watches end when the capture says their time has passed.
    m_capture->OnFrame = [this](const std::string &interfaceName, ByteView frame, std::int64_t timeNs) {
        if (m_finished)
            return;
        m_lastFrameNs = timeNs;
        EndTimedOutWatches(timeNs);
        SegmentFrameSeen(frame, timeNs);
        m_merger.FrameSeen(interfaceName, frame, timeNs);
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
    // What the kernel queued before the stop is reported too, and drops after the
    // last datagram would otherwise go untold.
    if (m_listener && m_listener->IsListening()) {
        m_listener->ReceiveQueued();
        m_listener->ReportPendingDrops();
    }
    if (m_capture)
        m_capture->ReadQueued();
    // Events still waiting for the other source are reported as things stand.
    m_merger.Flush();
    m_secondTimer.stop();
    WriteSweeps(m_sweeps.Flush());
    // A live watch that was stopped says nothing; a capture file that ended early says so.
    const std::vector<WakeOutcome> cutShort = m_wakes.Flush(m_options.readFile.empty() ? RealTimeNs() : m_lastFrameNs);
    if (!m_options.readFile.empty())
        WriteOutcomes(cutShort);
    m_finished = true;
    if (m_listener && m_listener->IsListening())
        m_listener->StopListening();
    m_listener.reset();
    const std::uint64_t frameDrops = m_capture ? m_capture->Drops() : 0;
    if (m_capture)
        m_capture->Close();
    std::fflush(stdout);
    WriteError(SummaryLine(ProgramName(), {m_magicReported, m_failedReceives, m_dropped, !m_options.udpOnly,
                                           m_nearMisses, frameDrops}));
    QCoreApplication::exit(exitStatus);
}

void TConsoleWatch::DataAvailable(const PacketReport &report)
{
    if (m_finished)
        return;
    if (report.error) {
        const QDateTime now = CurrentLocalTime();
        const std::string error = m_listener->LastError();
        const std::uint32_t dropped = m_listener->LastDropCount();
        if (m_options.udpOnly)
            WriteFailure(report, now, error, dropped);
        else // in its place among the events that wait
            m_merger.OtherReported(report.kernelTimeNs,
                                   [this, report, now, error, dropped] { WriteFailure(report, now, error, dropped); });
        return;
    }
    if (!m_options.udpOnly) {
        m_merger.DatagramReported(report); // it reports the event with its own time
        return;
    }
    if (m_metrics)
        m_metrics->DatagramSeen(report);
    if (!m_options.Wants(report.mac))
        return;
    if (m_options.count && m_magicReported >= *m_options.count)
        return; // already finishing
    WriteMagic(report, CurrentLocalTime());
    CountReported();
}

void TConsoleWatch::CountReported()
{
    ++m_magicReported;
    // The listener is still inside its receive step; it is destroyed once that is over.
    if (m_options.count && m_magicReported == *m_options.count)
        QMetaObject::invokeMethod(this, [this] { Finish(kExitStopped); }, Qt::QueuedConnection);
}

void TConsoleWatch::WriteEvent(const MagicEvent &event)
{
    if (m_finished || (m_options.count && m_magicReported >= *m_options.count))
        return; // already finishing
    if (!event.nearMiss) {
        const std::int64_t timeNs = event.kernelTimeNs > 0 ? event.kernelTimeNs : RealTimeNs();
        const std::string source = event.source ? *event.source : event.sourceMac.value_or(std::string());
        WriteSweeps(m_sweeps.MagicSeen(source, event.mac, timeNs));
        if (const std::optional<MacAddress> mac = ParseMacText(event.mac))
            m_arps.MagicSeen(*mac, event.unicastToOther ? ParseIpv4(event.destination.value_or("")) : std::nullopt);
    }
    if (m_metrics)
        m_metrics->MagicSeen(event);
    if (!m_options.Wants(event.mac))
        return;
    WatchWake(event);
    WriteMagicEvent(event);
    if (event.nearMiss)
        ++m_nearMisses;
    else
        CountReported();
}

void TConsoleWatch::WriteMagicEvent(const MagicEvent &event)
{
    if (Journaled([&] { return MagicEventEntry(event); }))
        return;
    const QDateTime received = ReceivedLocalTime(event.kernelTimeNs);
    if (m_options.json) {
        WriteJson(EventJson(event, IsoTime(received)));
        return;
    }
    std::string text;
    for (const std::string &line : EventLines(event, ToLocalDateTime(received), m_dateTimeSettings))
        text += line + '\n';
    WriteOut(QByteArray::fromStdString(text));
}

// A machine that a magic packet was meant for, other than this one, is watched for a sign of life.
void TConsoleWatch::WatchWake(const MagicEvent &event)
{
    if (event.nearMiss || m_options.wakeTimeoutMs == 0 || event.machine.localInterface)
        return;
    const std::optional<MacAddress> mac = ParseMacText(event.mac);
    if (!mac)
        return;
    const std::int64_t timeNs = event.kernelTimeNs > 0 ? event.kernelTimeNs : RealTimeNs();
    if (m_wakes.Watching(*mac)) {
        m_wakes.MagicSeen(*mac, {}, timeNs, std::nullopt); // counted in the watch that runs
        return;
    }
    if (m_wakes.MagicSeen(*mac, event.interfaceName.value_or(std::string()), timeNs, WasAwake(*mac)))
        ScheduleFilterUpdate();
}

// A machine this one has just heard from was awake already; a capture file cannot tell.
std::optional<bool> TConsoleWatch::WasAwake(const MacAddress &mac)
{
    if (!m_options.readFile.empty())
        return std::nullopt;
    const std::int64_t now = RealTimeNs();
    if (m_reachableReadNs == 0 || now - m_reachableReadNs >= 1000000000) {
        m_reachable = m_machine.ReachableNeighbours();
        m_reachableReadNs = now;
    }
    if (!m_reachable)
        return std::nullopt;
    return std::find(m_reachable->begin(), m_reachable->end(), mac) != m_reachable->end();
}

void TConsoleWatch::SegmentFrameSeen(ByteView frame, std::int64_t timeNs)
{
    constexpr std::size_t kSourceOffset = 6;
    if (frame.size() < kSourceOffset + 6)
        return;
    MacAddress source{};
    std::copy_n(frame.begin() + kSourceOffset, source.size(), source.begin());
    if (!IsArpOrDhcp(frame) && !m_wakes.Watching(source))
        return; // the flood's frames go no further
    const std::optional<SignOfLife> sign = ReadSignOfLife(frame);
    if (!sign)
        return;
    // A watch ends at its machine's first frame, and a flood after it costs nothing.
    const bool wakeSign = m_wakes.Watching(sign->sourceMac) && m_signsPending.count(sign->sourceMac) == 0;
    const bool arpMatters = sign->kind == SignOfLife::Kind::Arp || sign->dhcpRequested || wakeSign;
    if (!wakeSign && !arpMatters)
        return;
    if (wakeSign)
        m_signsPending.insert(sign->sourceMac);
    const auto handle = [this, sign = *sign, timeNs, wakeSign] {
        if (wakeSign)
            m_signsPending.erase(sign.sourceMac);
        if (m_finished)
            return;
        if (const std::optional<WakeOutcome> outcome = wakeSign ? m_wakes.FrameSeen(sign, timeNs) : std::nullopt) {
            WriteOutcomes({*outcome});
            ScheduleFilterUpdate();
        }
        if (const std::optional<UnansweredArp> unanswered = m_arps.FrameSeen(sign, timeNs))
            WriteUnansweredArp(*unanswered);
    };
    if (!m_options.readFile.empty())
        handle();
    else
        m_merger.OtherReported(timeNs, handle);
}

void TConsoleWatch::WriteUnansweredArp(const UnansweredArp &arp)
{
    if (m_metrics)
        m_metrics->UnansweredArpSeen();
    if (!m_options.Wants(arp.mac) || Journaled([&] { return UnansweredArpEntry(arp); }))
        return;
    if (m_options.json) {
        WriteJson(UnansweredArpJson(arp, IsoTime(ReceivedLocalTime(arp.lastNs))));
        return;
    }
    WriteOut(QByteArray::fromStdString(UnansweredArpLine(arp) + "\n  Problem: " + UnansweredArpProblem(arp) + "\n\n"));
}

// Compiling the kernel filter costs more the more MACs it holds: a sweep of a
// hundred machines changes it once, not a hundred times.
void TConsoleWatch::ScheduleFilterUpdate()
{
    if (m_capture && m_options.readFile.empty() && !m_filterUpdate.isActive())
        m_filterUpdate.start(kFilterUpdateDelayMs);
}

void TConsoleWatch::EndTimedOutWatches(std::int64_t nowNs)
{
    const std::vector<WakeOutcome> ended = m_wakes.Expire(nowNs);
    if (ended.empty())
        return;
    WriteOutcomes(ended);
    ScheduleFilterUpdate();
}

void TConsoleWatch::WriteOutcomes(const std::vector<WakeOutcome> &outcomes)
{
    for (const WakeOutcome &outcome : outcomes) {
        if (m_finished && m_options.readFile.empty())
            return;
        if (m_metrics)
            m_metrics->OutcomeSeen(outcome);
        WriteOutcome(outcome);
        if (m_options.untilWoke && outcome.mac == m_options.macs.front())
            QMetaObject::invokeMethod(
                this, [this, woke = outcome.woke] { Finish(woke ? kExitStopped : kExitTimedOut); },
                Qt::QueuedConnection);
    }
}

void TConsoleWatch::WriteOutcome(const WakeOutcome &outcome)
{
    if (Journaled([&] { return OutcomeEntry(outcome); }))
        return;
    if (m_options.json) {
        WriteJson(OutcomeJson(outcome, IsoTime(ReceivedLocalTime(outcome.endNs))));
        return;
    }
    std::string text = OutcomeLine(outcome) + '\n';
    for (const std::string &problem : OutcomeProblems(outcome))
        text += "  Problem: " + problem + '\n';
    WriteOut(QByteArray::fromStdString(text + '\n'));
}

// With --mac, only the sweeps that reached those MACs.
void TConsoleWatch::WriteSweeps(const std::vector<SweepEvent> &sweeps)
{
    for (const SweepEvent &sweep : sweeps) {
        if (m_metrics)
            m_metrics->SweepSeen();
        const bool wanted = m_options.macs.empty()
            || std::any_of(m_options.macs.begin(), m_options.macs.end(), [&sweep](const std::string &mac) {
                   return std::binary_search(sweep.macs.begin(), sweep.macs.end(), mac);
               });
        if (!wanted || Journaled([&] { return SweepEntry(sweep); }))
            continue;
        if (m_options.json)
            WriteJson(SweepJson(sweep, IsoTime(ReceivedLocalTime(sweep.firstNs))));
        else
            WriteOut(QByteArray::fromStdString(SweepLine(sweep) + "\n\n"));
    }
}

void TConsoleWatch::WriteMagic(const PacketReport &report, const QDateTime &now)
{
    if (Journaled([&] { return DatagramEntry(report); }))
        return;
    if (!m_options.json) {
        WriteLines(report, now, m_listener->LastError());
        return;
    }
    WriteJson(DatagramJson(report, IsoTime(now)));
}

void TConsoleWatch::WriteFailure(const PacketReport &report, const QDateTime &now, const std::string &error,
                                 std::uint32_t dropped)
{
    if (dropped > 0)
        m_dropped += dropped;
    else
        ++m_failedReceives;
    if (m_metrics) {
        if (dropped > 0)
            m_metrics->SocketDropped(dropped);
        else
            m_metrics->ReceiveFailed();
    }
    if (Journaled([&] { return dropped > 0 ? DropsEntry(dropped) : ReceiveErrorEntry(error); }))
        return;
    if (!m_options.json) {
        WriteLines(report, now, error);
        return;
    }
    WriteJson(dropped > 0 ? DropsJson(dropped) : ErrorJson(error));
}

void TConsoleWatch::WriteLines(const PacketReport &report, const QDateTime &now, const std::string &error)
{
    // The window's own lines, without its limit: a terminal keeps what scrolls away.
    std::string text;
    for (const std::string &line : ReportLines(report, error, ToLocalDateTime(now), m_dateTimeSettings))
        text += line + '\n';
    WriteOut(QByteArray::fromStdString(text));
}

void TConsoleWatch::TimedOut()
{
    Finish(m_options.count || m_options.untilWoke ? kExitTimedOut : kExitStopped);
}
