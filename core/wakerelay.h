#pragma once

#include "bytes.h"
#include "wakeengine.h"
#include "wakerequest.h"

#include <nlohmann/json.hpp>

#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Wakes machines for whoever asks over the network: each request is planned, refused
// or sent as a local --wake is, on this sensor's own interfaces, and its replies go
// back to where the request said. The relay has no loop and no connection of its own:
// whoever drives it hands it the requests, calls Advance() at NextDue(), and passes
// on the segment watch's outcomes and the platform's answers, as for one WakeEngine.

// Where one requester's replies go; the relay only hands it back.
struct ReplyAddress
{
    std::string topic;
    std::string correlation; // bytes the requester gave, to tell its replies; empty for none
    bool operator==(const ReplyAddress &other) const = default;
};

struct RelayReply
{
    enum class Kind { Sent, Note, Outcome, Refused, Failed };
    Kind kind = Kind::Note;
    std::optional<MacAddress> mac;
    RealTime time{};
    std::optional<SentPacket> sent;      // Sent
    std::optional<WakeOutcome> outcome;  // Outcome
    std::string text;                    // a Note's line, why it was Refused or Failed
};

// A reply as JSON: "event" is "sent", "woke" or "no_sign_of_life" with the fields
// --json gives them, or "note", "refused" or "failed" with "text"; every reply has
// "sensor", and "lines", what a terminal shows of it; an outcome has the "vlan" its
// sign of life came on.
nlohmann::json RelayReplyJson(const RelayReply &reply, const std::string &sensor, const std::string &time);

// How one request ended, for the metrics.
enum class RequestEnd { Woke, NoSignOfLife, Refused, Failed };
const char *RequestEndName(RequestEnd end); // "woke", "no_sign_of_life", "refused", "failed"

class WakeRelay
{
public:
    // Wakes run at once; a request beyond them is refused.
    static constexpr std::size_t kMostWakes = 16;
    // A machine is sent magic packets at most once in this long: a request that comes
    // within it of a finished wake of the same machine gets that wake's outcome again.
    static constexpr std::chrono::seconds kRepeatGap{10};
    // Beyond the wake's own time, how long its outcome may take before it is given up.
    static constexpr std::chrono::seconds kOutcomeGrace{10};
    // How long a finished wake's outcome is kept for its own requesters, who ask again
    // with the same reply address when their broker went away and came back; and for
    // how many wakes at most.
    static constexpr std::chrono::minutes kRememberAskers{10};
    static constexpr std::size_t kMostRemembered = 256;

    // What to send for an order, from the interfaces as they are now.
    using Planner = std::function<PlannedWake(WakeOrder order)>;

    // `defaults`: the port, timeout and the rest a request leaves out.
    WakeRelay(Planner planner, WakeOrder defaults, WatchClock &clock, MagicSender &sender, MachineAsker &asker,
              SegmentWatch &watch, EventSink &sink);
    ~WakeRelay();
    WakeRelay(const WakeRelay &) = delete;
    WakeRelay &operator=(const WakeRelay &) = delete;

    // A request as it came; its replies go to `to`.
    void Request(ByteView payload, const ReplyAddress &to);
    std::optional<SteadyTime> NextDue() const;
    void Advance();
    void Answered(AskedOnly::Way way, const Ipv4Octets &from);
    // An outcome of the segment watch, for whichever wake waits for it.
    void Outcome(const WakeOutcome &outcome);
    std::size_t Running() const;
    // The sensor stops: each wake still running ends, and its requesters are told why.
    void Stop(const std::string &why);

    std::function<void(const ReplyAddress &to, const RelayReply &reply)> OnReply;
    std::function<void(RequestEnd end)> OnRequestEnded;

private:
    struct Wake;
    struct Finished
    {
        MacAddress mac{};
        SteadyTime at{};
        RelayReply last;
        RequestEnd end = RequestEnd::Failed;
        std::vector<ReplyAddress> askers;
    };

    void Refuse(const ReplyAddress &to, const std::optional<MacAddress> &mac, const std::string &why);
    void Reply(const std::vector<ReplyAddress> &to, const RelayReply &reply);
    void Ended(Wake &wake, RequestEnd end, const RelayReply &last);
    void Fail(Wake &wake, const std::string &why);
    void Purge();
    RelayReply Note(const MacAddress &mac, const std::string &text) const;

    Planner m_planner;
    WakeOrder m_defaults;
    WatchClock &m_clock;
    MagicSender &m_sender;
    MachineAsker &m_asker;
    SegmentWatch &m_watch;
    EventSink &m_sink;
    std::list<std::unique_ptr<Wake>> m_wakes;
    std::deque<Finished> m_finished;
};
