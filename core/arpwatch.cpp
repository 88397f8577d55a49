#include "arpwatch.h"

#include <algorithm>
#include <cstdio>

namespace {

// Once a table is full an entry gives way, in constant time whatever the traffic:
// the first by key, which is as good as any.
template <typename Map> void MakeRoom(Map &map, std::size_t most)
{
    if (map.size() >= most)
        map.erase(map.begin());
}

} // namespace

std::string UnansweredArpLine(const UnansweredArp &arp)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", std::chrono::duration<double>(arp.last - arp.first).count());
    return "Unanswered ARP: " + FormatIpv4(arp.askerAddress) + " (" + FormatMac(arp.askerMac) + ") asked "
        + std::to_string(arp.requests) + " times within " + seconds + " s who has " + FormatIpv4(arp.address)
        + ", the address of " + FormatMac(arp.mac);
}

std::string UnansweredArpProblem(const UnansweredArp &arp)
{
    return FormatMac(arp.mac) + " does not answer ARP for " + FormatIpv4(arp.address) + " while it sleeps, so "
        + FormatIpv4(arp.askerAddress)
        + " cannot send it a unicast magic packet: the packet is lost before it leaves; send to the subnet's "
          "broadcast address instead";
}

void ArpWatch::Learn(const Ipv4Octets &address, const MacAddress &mac)
{
    if (address == Ipv4Octets{})
        return;
    if (m_owners.count(address) == 0)
        MakeRoom(m_owners, kMostMachines);
    m_owners[address] = mac;
}

void ArpWatch::MagicSeen(const MacAddress &mac, const std::optional<Ipv4Octets> &unicastTo)
{
    if (m_woken.count(mac) == 0)
        MakeRoom(m_woken, kMostMachines);
    m_woken.emplace(mac, Machine{});
    if (unicastTo)
        Learn(*unicastTo, mac);
}

std::optional<UnansweredArp> ArpWatch::FrameSeen(const SignOfLife &sign, RealTime time)
{
    if (const auto woken = m_woken.find(sign.sourceMac); woken != m_woken.end())
        woken->second.lastFrame = time;
    if (sign.dhcpRequested)
        Learn(*sign.dhcpRequested, sign.sourceMac);
    if (sign.kind != SignOfLife::Kind::Arp || sign.arpSender == Ipv4Octets{})
        return std::nullopt;
    Learn(sign.arpSender, sign.sourceMac);
    if (!sign.arpRequest)
        return std::nullopt;
    const auto owner = m_owners.find(sign.arpTarget);
    const auto woken = owner == m_owners.end() ? m_woken.end() : m_woken.find(owner->second);
    if (woken == m_woken.end() || owner->second == sign.sourceMac)
        return std::nullopt; // nobody wakes the machine of that address
    const RealTime answered = woken->second.lastFrame;
    const auto key = std::make_pair(sign.arpTarget, sign.sourceMac);
    if (m_askings.count(key) == 0)
        MakeRoom(m_askings, kMostAskings);
    Asking &asking = m_askings[key];
    while (!asking.requests.empty()
           && (time - asking.requests.front() > kWindow || asking.requests.front() <= answered))
        asking.requests.pop_front();
    if (asking.requests.empty())
        asking.told = false;
    asking.requests.push_back(time);
    if (asking.requests.size() > kMostRequests)
        asking.requests.pop_front();
    if (asking.told || int(asking.requests.size()) < kRequests)
        return std::nullopt;
    asking.told = true;
    return UnansweredArp{sign.arpTarget, sign.arpSender, sign.sourceMac, owner->second,
                         int(asking.requests.size()), asking.requests.front(), time};
}
