#include "segmentwatch.h"

#include "protocols.h"

#include <algorithm>
#include <cstring>

namespace {

bool SamePacket(const MagicEvent &a, const MagicEvent &b)
{
    return a.source == b.source && a.destination == b.destination && a.sourcePort == b.sourcePort
           && a.destinationPort == b.destinationPort && a.mac == b.mac;
}

bool IsLoopbackOrLimitedBroadcast(const IpAddress &address)
{
    return address.family == Family::Ipv4
           && (address.bytes[0] == 127 || address.Ipv4() == Ipv4Octets{255, 255, 255, 255});
}

// The six bytes as one number, for a comparison in a single step; read in two loads
// and joined in registers, since a number put together in memory from smaller stores
// and read back at once stalls the processor.
std::uint64_t MacKey(const MacAddress &mac)
{
    std::uint32_t first4 = 0;
    std::uint16_t last2 = 0;
    std::memcpy(&first4, mac.data(), sizeof first4);
    std::memcpy(&last2, mac.data() + sizeof first4, sizeof last2);
    return std::uint64_t(last2) << 32 | first4;
}

PacketSender SenderOf(const MagicEvent &event)
{
    if (event.source)
        return {event.source, {}};
    return {std::nullopt, event.sourceMac.value_or(MacAddress{})};
}

} // namespace

SegmentWatch::SegmentWatch(Settings settings, LocalMachine &machine, WatchClock &clock, EventSink &sink)
    : m_settings(std::move(settings))
    , m_machine(machine)
    , m_clock(clock)
    , m_sink(sink)
    , m_sweeps(m_settings.sweepThreshold)
    , m_wakes(m_settings.wakeTimeout)
    , m_states(m_settings.machines, m_settings.asleepAfter)
{
    for (const WatchedMachine &machine : m_settings.machines)
        m_listening.push_back(machine.mac);
}

std::vector<MacAddress> SegmentWatch::Watched(std::size_t most) const
{
    std::vector<MacAddress> macs = m_wakes.Watched(most);
    for (const MacAddress &mac : m_listening)
        if (std::find(macs.begin(), macs.end(), mac) == macs.end())
            macs.push_back(mac);
    return macs;
}

void SegmentWatch::TrackMachines(RealTime now, std::vector<SendInterface> interfaces,
                                 const std::function<std::optional<Ipv4Octets>(const MacAddress &)> &known,
                                 MachineStates::Ask ask)
{
    m_states.Start(now, std::move(interfaces), known, std::move(ask));
    for (const MachineStateEvent &event : m_states.Advance(now))
        m_sink.MachineState(event);
}

// The machines --mac names, or every one; and the watched machines, whose wakes are recorded.
bool SegmentWatch::Wants(const MacAddress &mac) const
{
    return m_settings.macs.empty() || std::find(m_settings.macs.begin(), m_settings.macs.end(), mac) != m_settings.macs.end()
           || m_states.Tracks(mac);
}

void SegmentWatch::FrameSeen(const std::string &interfaceName, ByteView frame, std::optional<RealTime> time)
{
    // Read once, for every reader.
    const std::optional<EthernetFrame> ethernet = UnwrapEthernet(frame);
    if (m_settings.readingFile) {
        // The capture's own times: watches end when the capture says their time has passed.
        m_lastFrame = time.value_or(m_lastFrame);
        Outcomes(m_wakes.Expire(m_lastFrame));
        if (ethernet)
            SegmentFrameSeen(interfaceName, *ethernet, m_lastFrame);
    }
    if (!ethernet)
        return;
    if (const std::optional<WireFrame> decoded = DecodeFrame(*ethernet)) {
        MagicEvent event = EventFromFrame(*decoded, interfaceName);
        event.kernelTime = time;
        if (m_settings.readingFile) {
            event.aboutThisMachine = false;
            MagicFinished(event);
        } else if (!event.strict) {
            Push({Pending::Kind::Magic, std::move(event)}, time);
        } else {
            const auto seen = std::find_if(m_pending.begin(), m_pending.end(), [&](const Pending &pending) {
                return pending.waiting == Waiting::ForWire && SamePacket(pending.event, event);
            });
            if (seen == m_pending.end()) {
                Pending pending{Pending::Kind::Magic, std::move(event)};
                pending.waiting = Waiting::ForSocket;
                Push(std::move(pending), time);
            } else {
                event.delivered = true;
                if (seen->event.kernelTime) // the time it took its place by
                    event.kernelTime = seen->event.kernelTime;
                seen->event = std::move(event);
                seen->waiting = Waiting::Nothing;
                Drain(false);
            }
        }
    }
    if (!m_settings.readingFile)
        SegmentFrameSeen(interfaceName, *ethernet, time);
}

void SegmentWatch::DatagramReported(const PacketReport &report)
{
    MagicEvent event = EventFromDatagram(report);
    const auto seen = std::find_if(m_pending.begin(), m_pending.end(), [&](const Pending &pending) {
        return pending.waiting == Waiting::ForSocket && SamePacket(pending.event, event);
    });
    if (seen != m_pending.end()) {
        seen->event.delivered = true;
        if (!seen->event.kernelTime)
            seen->event.kernelTime = report.kernelTime;
        seen->waiting = Waiting::Nothing;
        Drain(false);
        return;
    }
    Pending pending{Pending::Kind::Magic, std::move(event)};
    pending.waiting = m_settings.captureRunning ? Waiting::ForWire : Waiting::Nothing;
    Push(std::move(pending), report.kernelTime);
}

void SegmentWatch::FailureReported(const ReceiveFailure &failure, std::optional<RealTime> time)
{
    Pending pending;
    pending.kind = Pending::Kind::Failure;
    pending.failure = failure;
    Push(std::move(pending), time);
}

// The kernel's time is taken as an age, at most the wait, so that a step of the
// system clock cannot hold an event back.
void SegmentWatch::Push(Pending pending, std::optional<RealTime> kernelTime)
{
    const SteadyTime now = m_clock.SteadyNow();
    const Nanoseconds wait = m_settings.wait;
    const Nanoseconds age =
        kernelTime ? std::clamp<Nanoseconds>(m_clock.RealNow() - *kernelTime, Nanoseconds::zero(), wait) : Nanoseconds::zero();
    pending.received = now - age;
    // With one source alone, events come in the order of its queue already.
    pending.deadline = m_settings.captureRunning ? pending.received + wait : now;
    const auto later = std::find_if(m_pending.rbegin(), m_pending.rend(), [&](const Pending &earlier) {
                           return earlier.received <= pending.received;
                       }).base();
    m_pending.insert(later, std::move(pending));
    Drain(false);
}

void SegmentWatch::Drain()
{
    Drain(false);
}

std::optional<SteadyTime> SegmentWatch::NextDrain() const
{
    if (m_pending.empty())
        return std::nullopt;
    return m_pending.front().deadline;
}

// Events leave in the order their packets came, each once its wait is over.
void SegmentWatch::Drain(bool all)
{
    const SteadyTime now = m_clock.SteadyNow();
    while (!m_pending.empty()) {
        if (!all && m_pending.front().deadline > now)
            break;
        Pending done = std::move(m_pending.front());
        m_pending.pop_front();
        switch (done.kind) {
        case Pending::Kind::Failure:
            m_sink.Failure(done.failure);
            break;
        case Pending::Kind::Sign:
            SignFinished(done);
            break;
        case Pending::Kind::Magic:
            Complete(done);
            MagicFinished(done.event);
            break;
        }
    }
}

void SegmentWatch::WakeSent(const WakeSend &send, RealTime time, std::optional<Nanoseconds> timeout)
{
    m_notWatched = kNoMac; // a watch may begin
    m_sentFor.insert(send.mac);
    if (m_settings.wakeTimeout == Nanoseconds::zero())
        return;
    if (m_wakes.Watching(send.mac)) {
        m_wakes.MagicSeen(send.mac, {}, time, std::nullopt);
    } else if (m_wakes.MagicSeen(send.mac, send.interfaceName, time, WasAwake(send.mac), timeout)
               && OnWatchedChanged) {
        OnWatchedChanged();
    }
    m_wakes.Sent(send);
}

void SegmentWatch::EchoAnswered(const MacAddress &mac, const Ipv4Octets &address, RealTime time)
{
    Answered(SignOfLife::Kind::Echo, mac, address, time);
}

void SegmentWatch::ArpAnswered(const MacAddress &mac, const Ipv4Octets &address, RealTime time)
{
    Answered(SignOfLife::Kind::Arp, mac, address, time);
}

// An answer to this machine's question, which no capture saw as a frame.
void SegmentWatch::Answered(SignOfLife::Kind kind, const MacAddress &mac, const Ipv4Octets &address,
                            RealTime time)
{
    const bool arp = kind == SignOfLife::Kind::Arp;
    SignOfLife sign;
    sign.kind = kind;
    sign.sourceMac = mac;
    sign.what = arp ? "ARP reply" : "ICMP echo reply";
    sign.etherType = arp ? kEtherTypeArp : kEtherTypeIpv4;
    sign.address = IpAddress::FromIpv4(address);
    if (arp)
        sign.arpSender = address;
    if (const std::optional<WakeOutcome> outcome = m_wakes.FrameSeen(sign, time))
        Outcomes({*outcome});
}

// A magic packet this machine sent itself, come back to its raw socket.
bool SegmentWatch::OwnSend(const MagicEvent &event)
{
    if (m_sentFor.count(event.mac) == 0 || event.nearMiss)
        return false;
    RefreshMachineInfo();
    if (event.source && event.source->family == Family::Ipv4)
        return std::any_of(m_networks.begin(), m_networks.end(),
                           [&](const Ipv4Network &network) { return network.address == event.source->Ipv4(); });
    // The Ethernet frame, seen on another interface of this machine on the same segment.
    return event.sourceMac && std::any_of(m_interfaces.begin(), m_interfaces.end(), [&](const LocalInterface &local) {
               return local.mac == *event.sourceMac;
           });
}

void SegmentWatch::MagicFinished(const MagicEvent &event)
{
    if (OwnSend(event))
        return;
    if (!event.nearMiss) {
        const RealTime time = event.kernelTime.value_or(m_clock.RealNow());
        for (const SweepEvent &sweep : m_sweeps.MagicSeen(SenderOf(event), event.mac, time))
            m_sink.Sweep(sweep);
        m_arps.MagicSeen(event.mac, event.unicastToOther && event.destination
                                        ? std::optional<Ipv4Octets>(event.destination->Ipv4())
                                        : std::nullopt);
    }
    if (Wants(event.mac))
        WatchWake(event);
    m_sink.Magic(event);
}

// A machine that a magic packet was meant for, other than this one, is watched for a sign of life.
void SegmentWatch::WatchWake(const MagicEvent &event)
{
    if (event.nearMiss || m_settings.wakeTimeout == Nanoseconds::zero() || event.machine.localInterface)
        return;
    m_notWatched = kNoMac; // a watch may begin
    const RealTime time = event.kernelTime.value_or(m_clock.RealNow());
    if (m_wakes.Watching(event.mac)) {
        m_wakes.MagicSeen(event.mac, {}, time, std::nullopt); // counted in the watch that runs
        return;
    }
    if (m_wakes.MagicSeen(event.mac, event.interfaceName.value_or(std::string()), time, WasAwake(event.mac))
        && OnWatchedChanged)
        OnWatchedChanged();
}

// A machine this one has just heard from was awake already; a capture file cannot tell.
std::optional<bool> SegmentWatch::WasAwake(const MacAddress &mac)
{
    if (m_settings.readingFile)
        return std::nullopt;
    const SteadyTime now = m_clock.SteadyNow();
    if (!m_reachableRead || now - *m_reachableRead >= std::chrono::seconds(1)) {
        m_reachable = m_machine.ReachableNeighbours();
        m_reachableRead = now;
    }
    if (!m_reachable)
        return std::nullopt;
    return std::find(m_reachable->begin(), m_reachable->end(), mac) != m_reachable->end();
}

// A frame from a watched machine, or ARP, in its place among the events.
void SegmentWatch::SegmentFrameSeen(const std::string &interfaceName, const EthernetFrame &frame,
                                    std::optional<RealTime> time)
{
    const bool arpOrDhcp = IsArpOrDhcp(frame);
    if (!arpOrDhcp && !Watching(frame.source))
        return; // the flood's frames go no further
    const SignOfLife sign = ReadSignOfLife(frame);
    if (arpOrDhcp && OnSignOfLife && !m_settings.readingFile)
        OnSignOfLife(sign, interfaceName, time.value_or(m_clock.RealNow()));
    // A watch ends at its machine's first frame, and a flood after it costs nothing.
    const bool wakeSign = m_wakes.Watching(sign.sourceMac) && m_signsPending.count(sign.sourceMac) == 0;
    // A watched machine's frame takes its place among the events where it may change its
    // state; one that is awake is only heard from again.
    const bool stateSign = !m_states.Empty() && m_statesPending.count(sign.sourceMac) == 0
                           && m_states.Hear(sign, interfaceName, time.value_or(m_clock.RealNow()))
                                  == MachineStates::Heard::MayChange;
    const bool arpMatters = sign.kind == SignOfLife::Kind::Arp || sign.dhcpRequested || wakeSign;
    if (!wakeSign && !stateSign && !arpMatters)
        return;
    Pending pending;
    pending.kind = Pending::Kind::Sign;
    pending.sign = sign;
    pending.wakeSign = wakeSign;
    pending.stateSign = stateSign;
    pending.interfaceName = interfaceName;
    pending.time = time.value_or(m_clock.RealNow());
    if (m_settings.readingFile) {
        SignFinished(pending);
        return;
    }
    if (wakeSign)
        m_signsPending.insert(sign.sourceMac);
    if (stateSign)
        m_statesPending.insert(sign.sourceMac);
    Push(std::move(pending), time);
}

// A flood comes from a few sources, none of them watched: the last one found so is
// asked about again only once a watch has begun since.
bool SegmentWatch::Watching(const MacAddress &source)
{
    const std::uint64_t key = MacKey(source);
    if (key == m_notWatched)
        return false;
    if (m_wakes.Watching(source) || m_states.Tracks(source))
        return true;
    m_notWatched = key;
    return false;
}

void SegmentWatch::SignFinished(const Pending &pending)
{
    if (pending.wakeSign)
        m_signsPending.erase(pending.sign.sourceMac);
    if (pending.stateSign) {
        m_statesPending.erase(pending.sign.sourceMac);
        if (const std::optional<MachineStateEvent> changed =
                m_states.FrameSeen(pending.sign, pending.interfaceName, pending.time))
            m_sink.MachineState(*changed);
    }
    if (const std::optional<WakeOutcome> outcome =
            pending.wakeSign ? m_wakes.FrameSeen(pending.sign, pending.time) : std::nullopt)
        Outcomes({*outcome});
    if (const std::optional<UnansweredArp> unanswered = m_arps.FrameSeen(pending.sign, pending.time))
        m_sink.Unanswered(*unanswered);
}

void SegmentWatch::Outcomes(const std::vector<WakeOutcome> &outcomes)
{
    if (outcomes.empty())
        return;
    for (WakeOutcome outcome : outcomes) {
        if (const auto asked = m_askedOnly.find(outcome.mac); !outcome.sent.empty() && asked != m_askedOnly.end())
            outcome.askedOnly = asked->second;
        m_sink.Outcome(outcome);
        if (OnOutcome)
            OnOutcome(outcome);
    }
    if (OnWatchedChanged)
        OnWatchedChanged();
}

void SegmentWatch::Expire(RealTime now)
{
    for (const SweepEvent &sweep : m_sweeps.Expire(now))
        m_sink.Sweep(sweep);
    Outcomes(m_wakes.Expire(now));
    if (m_states.Empty())
        return;
    for (const MachineStateEvent &event : m_states.Advance(now))
        m_sink.MachineState(event);
    std::vector<MacAddress> listening = m_states.Listening(now);
    if (listening != m_listening) {
        m_listening = std::move(listening);
        if (OnWatchedChanged)
            OnWatchedChanged();
    }
}

void SegmentWatch::Finish()
{
    Drain(true);
    for (const SweepEvent &sweep : m_sweeps.Flush())
        m_sink.Sweep(sweep);
    const std::vector<WakeOutcome> cutShort = m_wakes.Flush(m_settings.readingFile ? m_lastFrame : m_clock.RealNow());
    if (m_settings.readingFile)
        for (const WakeOutcome &outcome : cutShort)
            m_sink.Outcome(outcome);
}

void SegmentWatch::RefreshMachineInfo()
{
    const SteadyTime now = m_clock.SteadyNow();
    if (m_machineInfoTaken && now - *m_machineInfoTaken < kMachineInfoMaxAge)
        return;
    m_machineInfoTaken = now;
    m_interfaces = m_machine.Interfaces();
    m_destinations = m_machine.Ipv4Destinations();
    m_networks = m_machine.Ipv4Networks();
    m_wakeStates.clear();
}

bool SegmentWatch::MeansThisMachine(const IpAddress &address) const
{
    return IsLoopbackOrLimitedBroadcast(address)
           || (address.family == Family::Ipv4
               && std::find(m_destinations.begin(), m_destinations.end(), address.Ipv4()) != m_destinations.end());
}

// The broadcast address of this machine's subnet that `address` lies in.
std::optional<Ipv4Octets> SegmentWatch::BroadcastFor(const Ipv4Octets &address) const
{
    for (const Ipv4Network &network : m_networks) {
        if (network.Holds(address))
            if (const std::optional<Ipv4Octets> broadcast = network.Broadcast())
                return broadcast;
    }
    return std::nullopt;
}

void SegmentWatch::Complete(Pending &pending)
{
    RefreshMachineInfo();
    MagicEvent &event = pending.event;
    if (pending.waiting == Waiting::ForSocket) {
        // Seen on the wire, never by the socket: that tells only for packets meant for this machine.
        event.delivered = MeansThisMachine(*event.destination) ? std::optional<bool>(false) : std::nullopt;
    }
    if (event.unicastToOther) {
        event.unicastToOther = !MeansThisMachine(*event.destination);
        event.broadcastInstead = BroadcastFor(event.destination->Ipv4());
    }
    for (const LocalInterface &local : m_interfaces) {
        if (local.mac != event.mac)
            continue;
        auto known = m_wakeStates.find(local.name);
        if (known == m_wakeStates.end())
            known = m_wakeStates
                        .emplace(local.name, ThisMachine{local.name, m_machine.WakeOnModes(local.name),
                                                         m_machine.DeviceWakeup(local.name)})
                        .first;
        event.machine = known->second;
        break;
    }
}
