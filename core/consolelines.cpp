#include "consolelines.h"

#include <algorithm>

std::string ListeningLine(const std::string &program, const std::vector<MacAddress> &macs,
                          const std::vector<std::string> &linkInterfaces)
{
    std::string line = program + ": listening for magic packets";
    for (std::size_t i = 0; i < macs.size(); ++i)
        line += (i == 0 ? " for " : i + 1 == macs.size() ? " or " : ", ") + FormatMac(macs[i]);
    line += " to any UDP port of any local IPv4 address";
    if (linkInterfaces.empty())
        return line;
    line += ", and for Ethernet frames of type 0x0842 and UDP over IPv4 and IPv6 on ";
    for (std::size_t i = 0; i < linkInterfaces.size(); ++i)
        line += (i > 0 ? ", " : "") + linkInterfaces[i];
    return line;
}

std::string NoLinkLayerLine(const std::string &program, const std::string &failure)
{
    return program + ": not watching the link layer (" + failure + "); going on with the raw socket alone";
}

std::string SummaryLine(const std::string &program, const WatchCounts &counts)
{
    std::string line = program + ": " + std::to_string(counts.magicReported) + " magic packet(s) reported, "
        + std::to_string(counts.failedReceives) + " failed receive(s), " + std::to_string(counts.dropped)
        + " datagram(s) dropped by the kernel";
    if (counts.linkLayer)
        line += ", " + std::to_string(counts.nearMisses) + " near miss(es), " + std::to_string(counts.frameDrops)
            + " frame(s) dropped by the link-layer capture";
    return line;
}

ConsoleWakePlan PlanConsoleWake(const std::string &program, const WatchOptions &options,
                                const std::vector<SendInterface> &interfaces, bool ethernet)
{
    const WakeRequest request{options.wake, options.wakePort, options.password, options.wakeTo,
                              options.interfaceName, ethernet};
    std::vector<MacAddress> own;
    for (const SendInterface &interface : interfaces)
        own.push_back(interface.mac);
    WakePlan plan = PlanWake(request, interfaces, own);
    ConsoleWakePlan planned;
    if (!plan.refusal.empty()) {
        planned.lines.push_back(program + ": " + plan.refusal);
        planned.exitStatus = plan.commandLineFault ? kExitUsage : kExitNotListening;
        return planned;
    }
    for (const std::string &warning : plan.warnings)
        planned.lines.push_back(program + ": warning: " + warning);
    planned.plan = std::move(plan);
    return planned;
}

std::string NeighbourLine(const std::string &program, const Ipv4Octets &address, const MacAddress &mac)
{
    return program + ": the neighbour table holds " + FormatIpv4(address) + " for " + FormatMac(mac);
}

WakeRounds::WakeRounds(WakePlan plan, EventSink &sink, SegmentWatch &watch)
    : m_plan(std::move(plan))
    , m_sink(sink)
    , m_watch(watch)
{
}

bool WakeRounds::SendNext(const std::function<SentPacket(const WakeSend &)> &send)
{
    for (const WakeSend &packet : m_plan.sends) {
        if (packet.round != m_round)
            continue;
        const SentPacket sent = send(packet);
        m_sink.Sent(sent);
        if (!sent.error.empty())
            continue;
        m_watch.WakeSent(packet, sent.time);
        if (std::find(m_sentFor.begin(), m_sentFor.end(), packet.mac) == m_sentFor.end())
            m_sentFor.push_back(packet.mac);
    }
    return ++m_round < kWakeRounds;
}

std::string WakeRounds::NothingSentLine(const std::string &program, const std::vector<MacAddress> &macs) const
{
    for (const MacAddress &mac : macs) {
        if (std::find(m_sentFor.begin(), m_sentFor.end(), mac) == m_sentFor.end())
            return program + ": no magic packet for " + FormatMac(mac) + " could be sent";
    }
    return {};
}
