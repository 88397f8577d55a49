#pragma once

#include "signoflife.h"
#include "times.h"
#include "wakesend.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// A machine this sensor keeps track of (--machine MAC[=NAME]).
struct WatchedMachine
{
    MacAddress mac{};
    std::string name; // as the user gave it; the MAC's text when none was given

    bool operator==(const WatchedMachine &other) const { return mac == other.mac && name == other.name; }
};

// A change of a watched machine's state, with what decided it.
struct MachineStateEvent
{
    enum class Reason {
        Frame,       // awake: a frame came from its MAC
        NoArpAnswer, // asleep: silent, and it did not answer this sensor's ARP requests
        Silent,      // asleep: silent, and no address of it was known to ask
    };
    WatchedMachine machine;
    bool awake = false;
    Reason reason = Reason::Frame;
    RealTime time{};
    // Awake: the frame, and whether it answered this sensor's ARP request.
    std::optional<SignOfLife> sign;
    bool answeredArp = false;
    std::string interfaceName; // where the frame came, or where it was asked
    std::optional<Ipv4Octets> address; // the address it was asked at, or that its frame gave
    // Asleep: the last frame from it, where there was one since the start, and for how
    // long nothing came.
    std::optional<RealTime> lastSeen;
    Nanoseconds silentFor{};
};

// "Awake: nas (00-11-22-33-44-55) sent an ARP request on eth0", "Asleep: nas
// (00-11-22-33-44-55) sent nothing for 600 s and did not answer ARP for 192.168.1.20
// on eth0, asked twice", ...
std::string MachineStateLine(const MachineStateEvent &event);

// The awake or asleep state of each watched machine, from the frames that come from
// its MAC and its answers to ARP. It is awake at any frame of its own; it is asleep
// once nothing came from it for the time set and, where its IPv4 address on one of
// this machine's subnets is known, it did not answer ARP asked twice, a second apart.
// Fed frames and a clock; its questions leave through the function it is given.
class MachineStates
{
public:
    static constexpr Nanoseconds kDefaultAsleepAfter = std::chrono::seconds(600);
    static constexpr Nanoseconds kAskInterval = std::chrono::seconds(1);
    static constexpr int kAsks = 2;
    // An awake machine's frames are left out of the kernel filter for a tenth of the
    // silence that makes it asleep, at most this long: a busy machine costs nothing.
    static constexpr Nanoseconds kLongestUnheard = std::chrono::seconds(60);

    // Asks who has `address` on `interfaceName` by ARP; false when it could not be asked.
    using Ask = std::function<bool(const std::string &interfaceName, const Ipv4Octets &address)>;

    struct Machine
    {
        WatchedMachine id;
        std::optional<bool> awake; // nothing until known
        std::optional<RealTime> lastSeen;
        std::optional<Ipv4Octets> address;
        std::string interfaceName; // where the address lies, or where it was last seen
        // The round of questions that runs: how many were put, and when the next is due.
        int asked = 0;
        bool asking = false; // the round that ran last found an interface to ask on
        std::optional<RealTime> nextStep;
    };

    MachineStates(std::vector<WatchedMachine> machines, Nanoseconds asleepAfter);

    bool Empty() const { return m_machines.empty(); }
    bool Tracks(const MacAddress &mac) const { return Find(mac) != nullptr; }
    // A frame from a machine, as it comes. An awake machine's frame refreshes it at once;
    // one that may change a state is for FrameSeen() once it has its place among the events.
    enum class Heard { NotWatched, Refreshed, MayChange };
    Heard Hear(const SignOfLife &sign, const std::string &interfaceName, RealTime time);

    // The start, at `now`: `interfaces` are this machine's, whose subnets say where a
    // machine can be asked; `known` gives a machine's address where the neighbour
    // table holds it. A machine whose address is known is asked at once.
    void Start(RealTime now, std::vector<SendInterface> interfaces,
               const std::function<std::optional<Ipv4Octets>(const MacAddress &)> &known, Ask ask);
    // A frame from a watched machine; the change of state it makes, if any.
    std::optional<MachineStateEvent> FrameSeen(const SignOfLife &sign, const std::string &interfaceName,
                                               RealTime time);
    // Puts the questions that are due by `now`, and decides the machines whose
    // round of questions went unanswered or whose silence is long enough.
    std::vector<MachineStateEvent> Advance(RealTime now);
    // The MACs whose frames the kernel filter should let through at `now`: every
    // machine but those awake and heard from lately.
    std::vector<MacAddress> Listening(RealTime now) const;

    const std::vector<Machine> &Machines() const { return m_machines; }
    Nanoseconds AsleepAfter() const { return m_asleepAfter; }

private:
    const Machine *Find(const MacAddress &mac) const;
    Machine *Find(const MacAddress &mac);
    bool Learn(Machine &machine, const SignOfLife &sign, const std::string &interfaceName);
    bool Askable(Machine &machine);
    std::optional<MachineStateEvent> Step(Machine &machine, RealTime now);
    MachineStateEvent Asleep(const Machine &machine, RealTime now, MachineStateEvent::Reason reason) const;
    Nanoseconds Unheard() const;
    // Where its silence counts from: its last frame, or the start; nothing before the start.
    std::optional<RealTime> Since(const Machine &machine) const
    {
        return machine.lastSeen ? machine.lastSeen : m_start;
    }

    std::vector<Machine> m_machines;
    const Nanoseconds m_asleepAfter;
    std::optional<RealTime> m_start;
    std::vector<SendInterface> m_interfaces;
    Ask m_ask;
};
