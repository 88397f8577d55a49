#pragma once

#include "commandline.h"
#include "consolelines.h"
#include "eventsink.h"

#include <functional>
#include <string>
#include <vector>

// The sinks of the console programs, the same on every platform. A sink writes
// through a function it is given, so that each platform chooses its stream and
// its code page.
using WriteText = std::function<void(const std::string &text)>;

// The lines a terminal shows: the window's own block for what the window would
// report, and the lines that say what more is known.
class TextSink final : public EventSink
{
public:
    TextSink(WriteText write, LocalTimes &times, DateTimeSettings settings);

    void Magic(const MagicEvent &event) override;
    void Datagram(const PacketReport &report) override;
    void Failure(const ReceiveFailure &failure) override;
    void Outcome(const WakeOutcome &outcome) override;
    void Sweep(const SweepEvent &sweep) override;
    void Unanswered(const UnansweredArp &arp) override;
    void Sent(const SentPacket &sent) override;
    void MachineState(const MachineStateEvent &event) override;

private:
    void WriteLines(const std::vector<std::string> &lines);

    WriteText m_write;
    LocalTimes &m_times;
    DateTimeSettings m_settings;
};

// JSON Lines, one object per event.
class JsonSink final : public EventSink
{
public:
    JsonSink(WriteText write, LocalTimes &times);

    void Magic(const MagicEvent &event) override;
    void Datagram(const PacketReport &report) override;
    void Failure(const ReceiveFailure &failure) override;
    void Outcome(const WakeOutcome &outcome) override;
    void Sweep(const SweepEvent &sweep) override;
    void Unanswered(const UnansweredArp &arp) override;
    void Sent(const SentPacket &sent) override;
    void MachineState(const MachineStateEvent &event) override;

private:
    std::string Time(std::optional<RealTime> time);

    WriteText m_write;
    LocalTimes &m_times;
};

// Every event to each of several sinks, in order.
class FanOutSink final : public EventSink
{
public:
    explicit FanOutSink(std::vector<EventSink *> sinks);

    void Magic(const MagicEvent &event) override;
    void Datagram(const PacketReport &report) override;
    void Failure(const ReceiveFailure &failure) override;
    void Outcome(const WakeOutcome &outcome) override;
    void Sweep(const SweepEvent &sweep) override;
    void Unanswered(const UnansweredArp &arp) override;
    void Sent(const SentPacket &sent) override;
    void MachineState(const MachineStateEvent &event) override;

private:
    std::vector<EventSink *> m_sinks;
};

// What the console reports of a watch: the events of the machines --mac names, and
// no more magic packets than --count; it counts them for the summary, and says when
// the watch is done: --count reached, or the --until-woke machine's watch ended.
class ConsoleReport final : public EventSink
{
public:
    ConsoleReport(const WatchOptions &options, EventSink &out, std::function<void(int exitStatus)> done);

    void Magic(const MagicEvent &event) override;
    void Datagram(const PacketReport &report) override;
    void Failure(const ReceiveFailure &failure) override;
    void Outcome(const WakeOutcome &outcome) override;
    void Sweep(const SweepEvent &sweep) override;
    void Unanswered(const UnansweredArp &arp) override;
    void Sent(const SentPacket &sent) override;
    void MachineState(const MachineStateEvent &event) override;

    // The summary's counts; the link-layer fields are the caller's to fill.
    const WatchCounts &Counts() const { return m_counts; }
    bool CountReached() const { return m_options.count && m_counts.magicReported >= *m_options.count; }

private:
    void MagicReported();

    const WatchOptions &m_options;
    EventSink &m_out;
    std::function<void(int)> m_done;
    WatchCounts m_counts;
};
