#pragma once

#include "arpwatch.h"
#include "eventsink.h"
#include "localmachine.h"
#include "machinestates.h"
#include "magicevent.h"
#include "sweeps.h"
#include "wakewatch.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Watches one segment from this machine: the frames the link-layer capture sees and
// the datagrams the raw UDP socket gets, each with the time the kernel received it.
// It makes one event per magic packet, in the order the packets came, and adds what
// this machine says about the target; it runs the sweeps, the wake watches and the
// ARP tables, and hands each finished event to its sink.
//
// While the capture runs, each event waits until a set time after its packet came:
// for the other source to see a UDP magic packet too, and for packets that came
// earlier but that a slower source (the socket's batch, another interface's ring)
// has yet to hand over. Whoever drives the watch calls Drain() at NextDrain().
class SegmentWatch
{
public:
    static constexpr std::chrono::milliseconds kDefaultWait{300};
    // What the machine says about itself is read again after this long: often enough
    // for a cable plugged in or a setting changed, rarely enough for a flood.
    static constexpr Nanoseconds kMachineInfoMaxAge = std::chrono::seconds(1);

    struct Settings
    {
        std::chrono::milliseconds wait = kDefaultWait;
        int sweepThreshold = SweepDetector::kDefaultThreshold;
        Nanoseconds wakeTimeout = std::chrono::seconds(120); // zero: machines are not watched for a sign of life
        std::vector<MacAddress> macs;                 // the machines whose wake is watched; empty for all
        // Frames from a capture file: their own times are the clock, each is an event
        // at once, and nothing of this machine is added to it.
        bool readingFile = false;
        // The link-layer capture runs: a datagram waits for its frame, and the other way round.
        bool captureRunning = false;
        // The machines whose awake or asleep state is kept (--machine), and the silence that makes one asleep.
        std::vector<WatchedMachine> machines{};
        Nanoseconds asleepAfter = MachineStates::kDefaultAsleepAfter;
    };

    SegmentWatch(Settings settings, LocalMachine &machine, WatchClock &clock, EventSink &sink);

    // A whole Ethernet frame that the capture saw on `interfaceName`; `time` is when
    // the kernel received it, where it said.
    void FrameSeen(const std::string &interfaceName, ByteView frame, std::optional<RealTime> time);
    // A magic packet that the raw socket reported.
    void DatagramReported(const PacketReport &report);
    // A failed receive of the raw socket, in its place among the events.
    void FailureReported(const ReceiveFailure &failure, std::optional<RealTime> time);
    // Hands over the events whose wait is over.
    void Drain();
    // When Drain() has events to hand over, on the steady clock; nothing when none wait.
    std::optional<SteadyTime> NextDrain() const;
    // Ends the sweeps and wake watches whose time has passed by `now`.
    void Expire(RealTime now);
    // This machine sent a magic packet (--wake): the watch of the machine it is for
    // begins with the first. The packets that come back to this machine's
    // own raw socket from its own addresses are these, already told as sent: they
    // make no event of their own.
    // The watch runs for `timeout` where one is given, and for the settings' otherwise.
    void WakeSent(const WakeSend &send, RealTime time, std::optional<Nanoseconds> timeout = std::nullopt);
    // The machine this one sent magic packets for answered its ICMP echo request at
    // `address`: the answer comes through a router, with no frame of the machine's own.
    void EchoAnswered(const MacAddress &mac, const Ipv4Octets &address, RealTime time);
    // The machine this one sent magic packets for answered its ARP request for
    // `address`, asked where no capture sees the reply as a frame.
    void ArpAnswered(const MacAddress &mac, const Ipv4Octets &address, RealTime time);
    // Nothing watches for the frames of `mac`, which this machine wakes: only its answers
    // to this machine's questions can tell.
    void WatchingOnlyByAsking(const MacAddress &mac, const AskedOnly &asked) { m_askedOnly[mac] = asked; }
    // Begins keeping the state of the watched machines at `now`, on the clock Expire()
    // is given: each is asked by ARP through `ask`, on the one of `interfaces` whose
    // subnet holds its address; `known` gives its address from the neighbour table.
    void TrackMachines(RealTime now, std::vector<SendInterface> interfaces,
                       const std::function<std::optional<Ipv4Octets>(const MacAddress &)> &known,
                       MachineStates::Ask ask);
    const MachineStates &Machines() const { return m_states; }
    // Hands over everything, as things stand. A capture file that ends early says
    // which watches it cut short; a live watch that was stopped says nothing of them.
    void Finish();

    // The MACs whose every frame is wanted: of the `most` wake watches begun last, and
    // of the watched machines not heard from lately.
    std::vector<MacAddress> Watched(std::size_t most) const;
    // Called when the set of wake watches or of the machines listened for changed.
    std::function<void()> OnWatchedChanged;
    // Called with each outcome once the sink has it: the wakes that sent packets wait for theirs.
    std::function<void(const WakeOutcome &outcome)> OnOutcome;
    // Called, as its frame comes, with each ARP or DHCP frame a machine sent: where it
    // lives, as far as this machine sees.
    std::function<void(const SignOfLife &sign, const std::string &interfaceName, RealTime time)> OnSignOfLife;

private:
    enum class Waiting { Nothing, ForSocket, ForWire };
    struct Pending
    {
        enum class Kind { Magic, Failure, Sign } kind = Kind::Magic;
        MagicEvent event;
        ReceiveFailure failure{};
        SignOfLife sign{};
        bool wakeSign = false;
        bool stateSign = false; // it may change a watched machine's state
        std::string interfaceName{};
        RealTime time{};
        Waiting waiting = Waiting::Nothing;
        SteadyTime received{};
        SteadyTime deadline{};
    };

    void Push(Pending pending, std::optional<RealTime> kernelTime);
    void Drain(bool all);
    void Complete(Pending &pending);
    void MagicFinished(const MagicEvent &event);
    void WatchWake(const MagicEvent &event);
    void SegmentFrameSeen(const std::string &interfaceName, const EthernetFrame &frame, std::optional<RealTime> time);
    bool Watching(const MacAddress &source);
    void SignFinished(const Pending &pending);
    void Answered(SignOfLife::Kind kind, const MacAddress &mac, const Ipv4Octets &address, RealTime time);
    void Outcomes(const std::vector<WakeOutcome> &outcomes);
    std::optional<bool> WasAwake(const MacAddress &mac);
    void RefreshMachineInfo();
    bool MeansThisMachine(const IpAddress &address) const;
    bool OwnSend(const MagicEvent &event);
    std::optional<Ipv4Octets> BroadcastFor(const Ipv4Octets &address) const;
    bool Wants(const MacAddress &mac) const;

    const Settings m_settings;
    LocalMachine &m_machine;
    WatchClock &m_clock;
    EventSink &m_sink;
    SweepDetector m_sweeps;
    WakeWatcher m_wakes;
    ArpWatch m_arps;
    std::deque<Pending> m_pending;
    std::set<MacAddress> m_signsPending; // a sign of life of theirs waits among the events
    std::set<MacAddress> m_sentFor;      // the machines this one sent magic packets for
    MachineStates m_states;
    std::set<MacAddress> m_statesPending; // a frame of theirs that may change their state waits among the events
    std::vector<MacAddress> m_listening;  // the watched machines whose frames the kernel filter lets through
    // A MAC, as MacKey makes it, that no watch has begun for since it was found unwatched.
    static constexpr std::uint64_t kNoMac = ~std::uint64_t(0); // no MAC makes it
    std::uint64_t m_notWatched = kNoMac;
    std::map<MacAddress, AskedOnly> m_askedOnly;

    RealTime m_lastFrame{}; // of a capture file
    std::optional<SteadyTime> m_machineInfoTaken;
    std::vector<LocalInterface> m_interfaces;
    std::vector<Ipv4Octets> m_destinations;
    std::vector<Ipv4Network> m_networks;
    std::map<std::string, ThisMachine> m_wakeStates; // by interface, filled as events need them
    // The neighbour table as last read, at most once a second: a sweep reads it once.
    std::optional<std::vector<MacAddress>> m_reachable;
    std::optional<SteadyTime> m_reachableRead;
};
