#include "magicevents.h"

#include <algorithm>
#include <bit>
#include <ctime>

namespace {

bool SamePacket(const MagicEvent &a, const MagicEvent &b)
{
    return a.source == b.source && a.destination == b.destination && a.sourcePort == b.sourcePort
           && a.destinationPort == b.destinationPort && a.mac == b.mac;
}

bool IsLoopbackOrLimitedBroadcast(const std::string &address)
{
    return address.rfind("127.", 0) == 0 || address == "255.255.255.255";
}

std::int64_t RealTimeNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

MagicEventMerger::MagicEventMerger(MachineInfo &machine, int waitMs)
    : m_machine(machine)
    , m_waitMs(waitMs)
{
    m_clock.start();
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { Drain(false); });
}

void MagicEventMerger::FrameSeen(const std::string &interfaceName, ByteView frame, std::int64_t kernelTimeNs)
{
    const std::optional<WireFrame> decoded = DecodeFrame(frame);
    if (!decoded)
        return;
    MagicEvent event = EventFromFrame(*decoded, interfaceName);
    event.kernelTimeNs = kernelTimeNs;
    if (m_readingFile) {
        event.aboutThisMachine = false;
        if (OnEvent)
            OnEvent(event);
        return;
    }
    if (!event.strict) {
        Push({std::move(event), {}, Waiting::Nothing}, kernelTimeNs);
        return;
    }
    const auto seen = std::find_if(m_pending.begin(), m_pending.end(), [&](const Pending &pending) {
        return pending.waiting == Waiting::ForWire && SamePacket(pending.event, event);
    });
    if (seen == m_pending.end()) {
        Push({std::move(event), {}, Waiting::ForSocket}, kernelTimeNs);
        return;
    }
    event.delivered = true;
    if (seen->event.kernelTimeNs != 0) // the time it took its place by
        event.kernelTimeNs = seen->event.kernelTimeNs;
    seen->event = std::move(event);
    seen->waiting = Waiting::Nothing;
    Drain(false);
}

void MagicEventMerger::DatagramReported(const PacketReport &report)
{
    MagicEvent event = EventFromDatagram(report);
    const auto seen = std::find_if(m_pending.begin(), m_pending.end(), [&](const Pending &pending) {
        return pending.waiting == Waiting::ForSocket && SamePacket(pending.event, event);
    });
    if (seen != m_pending.end()) {
        seen->event.delivered = true;
        if (seen->event.kernelTimeNs == 0)
            seen->event.kernelTimeNs = report.kernelTimeNs;
        seen->waiting = Waiting::Nothing;
        Drain(false);
        return;
    }
    Push({std::move(event), {}, m_captureRunning ? Waiting::ForWire : Waiting::Nothing}, report.kernelTimeNs);
}

void MagicEventMerger::OtherReported(std::int64_t kernelTimeNs, std::function<void()> report)
{
    Push({{}, std::move(report)}, kernelTimeNs);
}

void MagicEventMerger::Flush()
{
    Drain(true);
}

// The kernel's time is taken as an age, at most the wait, so that a step of the
// system clock cannot hold an event back.
void MagicEventMerger::Push(Pending pending, std::int64_t kernelTimeNs)
{
    const qint64 now = m_clock.nsecsElapsed();
    const qint64 waitNs = qint64(m_waitMs) * 1000000;
    const qint64 age = kernelTimeNs > 0 ? std::clamp<qint64>(RealTimeNs() - kernelTimeNs, 0, waitNs) : 0;
    pending.receivedNs = now - age;
    // With one source alone, events come in the order of its queue already.
    pending.deadlineNs = m_captureRunning ? pending.receivedNs + waitNs : now;
    const auto later = std::find_if(m_pending.rbegin(), m_pending.rend(), [&](const Pending &earlier) {
                           return earlier.receivedNs <= pending.receivedNs;
                       }).base();
    m_pending.insert(later, std::move(pending));
    Drain(false);
}

// Events leave in the order their packets came, each once its wait is over.
void MagicEventMerger::Drain(bool all)
{
    const qint64 now = m_clock.nsecsElapsed();
    while (!m_pending.empty()) {
        Pending &head = m_pending.front();
        if (!all && head.deadlineNs > now)
            break;
        Pending done = std::move(head);
        m_pending.pop_front();
        if (done.other) {
            done.other();
            continue;
        }
        Complete(done);
        if (OnEvent)
            OnEvent(done.event);
    }
    if (m_pending.empty())
        return;
    const qint64 deadline = m_pending.front().deadlineNs;
    if (!m_timer.isActive() || deadline != m_timerDeadlineNs) {
        m_timerDeadlineNs = deadline;
        m_timer.start(std::max(int((deadline - now + 999999) / 1000000), kLeastTimerMs));
    }
}

void MagicEventMerger::RefreshMachineInfo()
{
    const qint64 now = m_clock.elapsed();
    if (m_machineInfoTakenAt >= 0 && now - m_machineInfoTakenAt < kMachineInfoMaxAgeMs)
        return;
    m_machineInfoTakenAt = now;
    m_interfaces = m_machine.Interfaces();
    m_destinations.clear();
    for (const Ipv4Address &address : m_machine.Ipv4Destinations())
        m_destinations.push_back(FormatIpv4(address));
    m_networks = m_machine.Ipv4Networks();
    m_wakeStates.clear();
}

// The broadcast address of this machine's subnet that `address` lies in.
std::optional<std::string> MagicEventMerger::BroadcastFor(const std::string &address) const
{
    const std::optional<Ipv4Address> parts = ParseIpv4(address);
    if (!parts)
        return std::nullopt;
    const auto hostOrder = [](const Ipv4Address &octets) {
        return std::uint32_t(octets[0]) << 24 | std::uint32_t(octets[1]) << 16 | std::uint32_t(octets[2]) << 8
               | octets[3];
    };
    for (const Ipv4Network &network : m_networks) {
        const std::uint32_t mask = hostOrder(network.mask);
        if (((hostOrder(*parts) ^ hostOrder(network.address)) & mask) != 0)
            continue;
        if (const std::optional<std::uint32_t> broadcast = SubnetBroadcast(hostOrder(network.address), std::popcount(mask)))
            return FormatDottedQuad(*broadcast);
    }
    return std::nullopt;
}

void MagicEventMerger::Complete(Pending &pending)
{
    RefreshMachineInfo();
    MagicEvent &event = pending.event;
    if (pending.waiting == Waiting::ForSocket) {
        // Seen on the wire, never by the socket: that tells only for packets meant for this machine.
        const bool toThisMachine = IsLoopbackOrLimitedBroadcast(*event.destination)
                                   || std::find(m_destinations.begin(), m_destinations.end(), *event.destination)
                                          != m_destinations.end();
        event.delivered = toThisMachine ? std::optional<bool>(false) : std::nullopt;
    }
    if (event.unicastToOther) {
        event.unicastToOther = !IsLoopbackOrLimitedBroadcast(*event.destination)
                               && std::find(m_destinations.begin(), m_destinations.end(), *event.destination)
                                      == m_destinations.end();
        event.broadcastInstead = BroadcastFor(*event.destination);
    }
    for (const LocalInterface &local : m_interfaces) {
        if (FormatMac(ByteView(local.mac.data(), local.mac.size())) != event.mac)
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
