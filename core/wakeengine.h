#pragma once

#include "eventsink.h"
#include "exitstatus.h"
#include "segmentwatch.h"
#include "wakesend.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Waking machines and knowing whether they woke, whoever asked for it: the packets
// round by round, then the machine asked for at its address until its wake watch
// ends. The engine has no loop, no thread and no stream: whoever drives it gives it
// its clock, sockets and segment watch, calls Advance() at NextDue(), hands it the
// answers the platform gets, and takes its lines and its end through callbacks.

// Sends one magic packet now, each platform through its own sockets.
class MagicSender
{
public:
    virtual ~MagicSender() = default;
    // Why `send` did not leave; empty when it did.
    virtual std::string Send(const WakeSend &send, ByteView password) = 0;
};

// One question to a machine at its address: are you up?
struct WakeQuestion
{
    AskedOnly::Way way = AskedOnly::Way::Echo;
    Ipv4Octets address{};
    MacAddress mac{};   // for ARP: only this MAC's answer counts
    SendInterface link; // for ARP: the interface whose subnet holds the address
};

// Puts the questions, each platform with its own sockets or calls. An answer comes
// back through WakeEngine::Answered, or as a frame of the machine's own that a
// capture sees.
class MachineAsker
{
public:
    virtual ~MachineAsker() = default;
    // Puts `question` once. False when it could not: `why` then says why, or stays
    // empty where that is told already or not worth telling.
    virtual bool Ask(const WakeQuestion &question, std::string &why) = 0;
};

// What is asked for: from a command line, or from a request over the network.
struct WakeOrder
{
    WakeRequest request;
    // The machine's address, asked for once the packets are sent. Without it, a single
    // machine's is looked up in the neighbour table.
    std::optional<Ipv4Octets> address;
    // How long the machines have to show a sign of life; their segment watch keeps the time.
    Nanoseconds timeout = std::chrono::seconds(120);
    // Told once the packets are planned, when `request.ethernet` is false; empty for nothing.
    std::string withoutEthernet;
};

// A wake planned from the interfaces as they are now.
struct PlannedWake
{
    WakeOrder order; // with the neighbour table's address, when it gave one
    std::optional<WakePlan> plan; // nothing when refused
    std::vector<SendInterface> interfaces; // those the packets leave through, in the plan's order
    // To tell before anything is sent: the neighbour table's address, then the
    // warnings or the refusal.
    std::vector<std::string> lines;
    ExitStatus refusal = kExitStopped; // when refused: kExitUsage or kExitNotListening
};

// The IPv4 address the neighbour table holds for a MAC; nothing when it holds none.
using NeighbourLookup = std::function<std::optional<Ipv4Octets>(const MacAddress &mac)>;

// One wake. Several may run side by side on one loop and one segment watch: each
// is driven on its own and takes the outcomes of its own machines.
class WakeEngine
{
public:
    // How often the machine is asked for once the packets are sent.
    static constexpr std::chrono::seconds kAskInterval{2};

    // What to send for `order` from `interfaces`, or why nothing.
    static PlannedWake Plan(WakeOrder order, const std::vector<SendInterface> &interfaces,
                            const NeighbourLookup &neighbourAddress);

    // `planned` holds a plan. The packets go through `sender`, each a `sent` event to
    // `sink` that begins or counts in its machine's watch in `watch`. `blind` says why
    // only the machine's answers can tell, where nothing sees its own frames.
    WakeEngine(PlannedWake planned, WatchClock &clock, MagicSender &sender, MachineAsker &asker, SegmentWatch &watch,
               EventSink &sink, std::optional<AskedOnly::Blind> blind);
    WakeEngine(const WakeEngine &) = delete;
    WakeEngine &operator=(const WakeEngine &) = delete;

    // Each line to tell, such as "waking 00-1A-2B-3C-4D-5E from eth0; then watching
    // 120 s for a sign of life" or "asking for 192.168.1.20 by ARP on eth0 every 2 s".
    std::function<void(const std::string &line)> OnLine;
    // Once, when the wake is over: 0 when every machine woke, 1 when one did not,
    // 3 when nothing could be sent or whether it woke cannot be told. It may come from
    // inside any call, the watch's outcomes among them: end the wake after it.
    std::function<void(ExitStatus status)> OnDone;

    // Says what it wakes, and sends the first round.
    void Start();
    // When Advance() has a round to send or a question to put, on the steady clock;
    // nothing while it waits for answers alone, and once it is over.
    std::optional<SteadyTime> NextDue() const;
    // Sends the round or puts the question whose time has come; early, it does nothing.
    void Advance();
    // The platform got an answer from `from` to a question asked `way`.
    void Answered(AskedOnly::Way way, const Ipv4Octets &from);
    // The platform can put no question any more.
    void CannotAsk(const std::string &why);
    // A machine's watch ended; the outcomes of other machines are not this wake's.
    void Outcome(const WakeOutcome &outcome);
    // Stops the wake without an end of its own (Ctrl+C, a timeout of the whole run).
    void Stop() { m_over = true; }
    bool Over() const { return m_over; }

private:
    void SendRound();
    void StartAsking();
    void Asking(const WakeQuestion &question, const std::string &how);
    void End(ExitStatus status);
    void Tell(const std::string &line);
    std::string AskingFor() const;

    PlannedWake m_planned;
    WatchClock &m_clock;
    MagicSender &m_sender;
    MachineAsker &m_asker;
    SegmentWatch &m_watch;
    EventSink &m_sink;
    const std::optional<AskedOnly::Blind> m_blind;
    int m_round = 0;
    SteadyTime m_due{};
    std::optional<WakeQuestion> m_question;  // asked every kAskInterval
    std::vector<MacAddress> m_sentFor;       // the machines with a packet that left
    std::vector<MacAddress> m_waitingFor;    // the machines whose outcome is still to come
    bool m_allWoke = true;
    bool m_cannotAskTold = false;
    bool m_over = false;
};
