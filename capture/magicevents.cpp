#include "magicevents.h"

#include <algorithm>

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

std::string Ipv4Text(const Ipv4Address &address)
{
    return FormatDottedQuad(std::uint32_t(address[0]) << 24 | std::uint32_t(address[1]) << 16
                            | std::uint32_t(address[2]) << 8 | address[3]);
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

void MagicEventMerger::FrameSeen(const std::string &interfaceName, ByteView frame)
{
    const std::optional<WireFrame> decoded = DecodeFrame(frame);
    if (!decoded)
        return;
    MagicEvent event = EventFromFrame(*decoded, interfaceName);
    if (!event.strict) {
        Push(std::move(event), Waiting::Nothing);
        return;
    }
    const auto seen = std::find_if(m_pending.begin(), m_pending.end(), [&](const Pending &pending) {
        return pending.waiting == Waiting::ForWire && SamePacket(pending.event, event);
    });
    if (seen == m_pending.end()) {
        Push(std::move(event), Waiting::ForSocket);
        return;
    }
    event.delivered = true;
    seen->event = std::move(event);
    seen->waiting = Waiting::Nothing;
    Drain(false);
}

void MagicEventMerger::DatagramReported(const PacketReport &report)
{
    MagicEvent event;
    event.source = report.sourceAddress;
    event.destination = report.destinationAddress;
    event.sourcePort = report.sourcePort;
    event.destinationPort = report.destinationPort;
    event.mac = report.mac;
    event.strict = true;
    event.delivered = true;
    const auto seen = std::find_if(m_pending.begin(), m_pending.end(), [&](const Pending &pending) {
        return pending.waiting == Waiting::ForSocket && SamePacket(pending.event, event);
    });
    if (seen != m_pending.end()) {
        seen->event.delivered = true;
        seen->waiting = Waiting::Nothing;
        Drain(false);
        return;
    }
    Push(std::move(event), m_captureRunning ? Waiting::ForWire : Waiting::Nothing);
}

void MagicEventMerger::Flush()
{
    Drain(true);
}

void MagicEventMerger::Push(MagicEvent event, Waiting waiting)
{
    m_pending.push_back({std::move(event), waiting, m_clock.elapsed() + m_waitMs});
    Drain(false);
}

// Events leave in arrival order: a ready one waits behind an earlier one that still waits.
void MagicEventMerger::Drain(bool all)
{
    const qint64 now = m_clock.elapsed();
    while (!m_pending.empty()) {
        Pending &head = m_pending.front();
        if (!all && head.waiting != Waiting::Nothing && head.deadline > now)
            break;
        Pending done = std::move(head);
        m_pending.pop_front();
        Complete(done);
        if (OnEvent)
            OnEvent(done.event);
    }
    if (m_pending.empty() || m_pending.front().waiting == Waiting::Nothing)
        return;
    const qint64 deadline = m_pending.front().deadline;
    if (!m_timer.isActive() || deadline != m_timerDeadline) {
        m_timerDeadline = deadline;
        m_timer.start(int(std::max<qint64>(0, deadline - now)));
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
        m_destinations.push_back(Ipv4Text(address));
    m_wakeStates.clear();
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
