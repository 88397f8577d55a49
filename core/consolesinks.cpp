#include "consolesinks.h"

#include "eventjson.h"
#include "reportlog.h"

#include <algorithm>

TextSink::TextSink(WriteText write, LocalTimes &times, DateTimeSettings settings)
    : m_write(std::move(write))
    , m_times(times)
    , m_settings(std::move(settings))
{
}

void TextSink::WriteLines(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += line + '\n';
    m_write(text);
}

void TextSink::Magic(const MagicEvent &event)
{
    WriteLines(EventLines(event, m_times.At(event.kernelTime).local, m_settings));
}

// The window's own lines, without its limit: a terminal keeps what scrolls away.
void TextSink::Datagram(const PacketReport &report)
{
    WriteLines(ReportLines(report, std::string(), m_times.At(std::nullopt).local, m_settings));
}

void TextSink::Failure(const ReceiveFailure &failure)
{
    WriteLines(ReportLines(failure.report, failure.error, m_times.At(std::nullopt).local, m_settings));
}

void TextSink::Outcome(const WakeOutcome &outcome)
{
    std::vector<std::string> lines{OutcomeLine(outcome)};
    for (const std::string &problem : OutcomeProblems(outcome))
        lines.push_back("  Problem: " + problem);
    lines.emplace_back();
    WriteLines(lines);
}

void TextSink::Sweep(const SweepEvent &sweep)
{
    WriteLines({SweepLine(sweep), std::string()});
}

void TextSink::Sent(const SentPacket &sent)
{
    m_write(SentLine(sent) + "\n");
}

void TextSink::Unanswered(const UnansweredArp &arp)
{
    WriteLines({UnansweredArpLine(arp), "  Problem: " + UnansweredArpProblem(arp), std::string()});
}

void TextSink::MachineState(const MachineStateEvent &event)
{
    WriteLines({FormatDateTimeText(m_times.At(event.time).local, m_settings) + "  " + MachineStateLine(event),
                std::string()});
}

JsonSink::JsonSink(WriteText write, LocalTimes &times)
    : m_write(std::move(write))
    , m_times(times)
{
}

std::string JsonSink::Time(std::optional<RealTime> time)
{
    const LocalMoment moment = m_times.At(time);
    return IsoLocalTime(moment.local, moment.offsetFromUtcSeconds);
}

void JsonSink::Magic(const MagicEvent &event)
{
    m_write(JsonLine(EventJson(event, Time(event.kernelTime))));
}

void JsonSink::Datagram(const PacketReport &report)
{
    m_write(JsonLine(DatagramJson(report, Time(std::nullopt))));
}

void JsonSink::Failure(const ReceiveFailure &failure)
{
    m_write(JsonLine(failure.dropped > 0 ? DropsJson(failure.dropped) : ErrorJson(failure.error)));
}

void JsonSink::Outcome(const WakeOutcome &outcome)
{
    m_write(JsonLine(OutcomeJson(outcome, Time(outcome.end))));
}

void JsonSink::Sweep(const SweepEvent &sweep)
{
    m_write(JsonLine(SweepJson(sweep, Time(sweep.first))));
}

void JsonSink::Sent(const SentPacket &sent)
{
    m_write(JsonLine(SentJson(sent, Time(sent.time))));
}

void JsonSink::Unanswered(const UnansweredArp &arp)
{
    m_write(JsonLine(UnansweredArpJson(arp, Time(arp.last))));
}

FanOutSink::FanOutSink(std::vector<EventSink *> sinks)
    : m_sinks(std::move(sinks))
{
}

void FanOutSink::Magic(const MagicEvent &event)
{
    for (EventSink *sink : m_sinks)
        sink->Magic(event);
}

void FanOutSink::Datagram(const PacketReport &report)
{
    for (EventSink *sink : m_sinks)
        sink->Datagram(report);
}

void FanOutSink::Failure(const ReceiveFailure &failure)
{
    for (EventSink *sink : m_sinks)
        sink->Failure(failure);
}

void FanOutSink::Outcome(const WakeOutcome &outcome)
{
    for (EventSink *sink : m_sinks)
        sink->Outcome(outcome);
}

void FanOutSink::Sweep(const SweepEvent &sweep)
{
    for (EventSink *sink : m_sinks)
        sink->Sweep(sweep);
}

void FanOutSink::Sent(const SentPacket &sent)
{
    for (EventSink *sink : m_sinks)
        sink->Sent(sent);
}

void FanOutSink::Unanswered(const UnansweredArp &arp)
{
    for (EventSink *sink : m_sinks)
        sink->Unanswered(arp);
}

ConsoleReport::ConsoleReport(const WatchOptions &options, EventSink &out, std::function<void(int)> done)
    : m_options(options)
    , m_out(out)
    , m_done(std::move(done))
{
}

void ConsoleReport::MagicReported()
{
    ++m_counts.magicReported;
    if (m_options.count && m_counts.magicReported == *m_options.count)
        m_done(kExitStopped);
}

void ConsoleReport::Magic(const MagicEvent &event)
{
    if (CountReached() || !m_options.Wants(event.mac))
        return;
    m_out.Magic(event);
    if (event.nearMiss)
        ++m_counts.nearMisses;
    else
        MagicReported();
}

void ConsoleReport::Datagram(const PacketReport &report)
{
    if (CountReached() || !m_options.Wants(report.datagram.mac.value_or(MacAddress{})))
        return;
    m_out.Datagram(report);
    MagicReported();
}

void ConsoleReport::Failure(const ReceiveFailure &failure)
{
    if (failure.dropped > 0)
        m_counts.dropped += failure.dropped;
    else
        ++m_counts.failedReceives;
    m_out.Failure(failure);
}

void ConsoleReport::Outcome(const WakeOutcome &outcome)
{
    m_out.Outcome(outcome);
    if (m_options.untilWoke && !m_options.macs.empty() && outcome.mac == m_options.macs.front())
        m_done(outcome.woke ? kExitStopped : kExitTimedOut);
}

// With --mac, only the sweeps that reached those MACs.
void ConsoleReport::Sweep(const SweepEvent &sweep)
{
    const bool wanted = m_options.macs.empty()
                        || std::any_of(m_options.macs.begin(), m_options.macs.end(), [&sweep](const MacAddress &mac) {
                               return std::binary_search(sweep.macs.begin(), sweep.macs.end(), mac);
                           });
    if (wanted)
        m_out.Sweep(sweep);
}

void ConsoleReport::Unanswered(const UnansweredArp &arp)
{
    if (m_options.Wants(arp.mac))
        m_out.Unanswered(arp);
}

void ConsoleReport::Sent(const SentPacket &sent)
{
    m_out.Sent(sent);
}

void JsonSink::MachineState(const MachineStateEvent &event)
{
    m_write(JsonLine(MachineStateJson(event, Time(event.time))));
}

void FanOutSink::MachineState(const MachineStateEvent &event)
{
    for (EventSink *sink : m_sinks)
        sink->MachineState(event);
}

// The machines --machine names are reported whatever --mac chooses.
void ConsoleReport::MachineState(const MachineStateEvent &event)
{
    m_out.MachineState(event);
}
