#include "sweeps.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

std::string SenderText(const PacketSender &sender)
{
    return sender.address ? FormatIp(*sender.address) : FormatMac(sender.mac);
}

std::size_t SweepDetector::SenderHash::operator()(const PacketSender &sender) const
{
    const Ipv6Octets &bytes = sender.address ? sender.address->bytes : Ipv6Octets{};
    return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()))
           ^ std::hash<std::string_view>()(
               std::string_view(reinterpret_cast<const char *>(sender.mac.data()), sender.mac.size()));
}

std::string SweepLine(const SweepEvent &sweep)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", std::chrono::duration<double>(sweep.last - sweep.first).count());
    return "Sweep: " + SenderText(sweep.source) + " sent magic packets for " + std::to_string(sweep.macs.size())
        + " machines within " + seconds + " s";
}

SweepDetector::SweepDetector(int threshold)
    : m_threshold(std::size_t(std::max(threshold, 2)))
{
}

SweepEvent SweepDetector::Closed(const PacketSender &source, Open &open)
{
    return {source, std::vector<MacAddress>(open.macs.begin(), open.macs.end()), open.first, open.last};
}

std::vector<SweepEvent> SweepDetector::MagicSeen(const PacketSender &source, const MacAddress &mac,
                                                 RealTime time)
{
    std::vector<SweepEvent> closed = Expire(time);
    auto found = m_senders.find(source);
    if (found == m_senders.end()) {
        if (m_senders.size() >= kMostSenders) {
            Sender &oldest = m_senders.at(m_byAge.back());
            if (oldest.open) {
                closed.push_back(Closed(m_byAge.back(), *oldest.open));
                --m_open;
            }
            m_senders.erase(m_byAge.back());
            m_byAge.pop_back();
        }
        m_byAge.push_front(source);
        found = m_senders.emplace(source, Sender{}).first;
        found->second.age = m_byAge.begin();
    } else {
        m_byAge.splice(m_byAge.begin(), m_byAge, found->second.age);
    }
    Sender &sender = found->second;
    if (sender.open) {
        if (sender.open->macs.size() < kMostMacs)
            sender.open->macs.insert(mac);
        sender.open->last = std::max(sender.open->last, time);
        return closed;
    }
    if (sender.lastSweep && time - *sender.lastSweep < kRepeat)
        return closed;
    sender.recent.emplace_back(time, mac);
    ++sender.inWindow[mac];
    while (sender.recent.size() > kMostMacs || time - sender.recent.front().first > kWindow) {
        const auto counted = sender.inWindow.find(sender.recent.front().second);
        if (--counted->second == 0)
            sender.inWindow.erase(counted);
        sender.recent.pop_front();
    }
    if (sender.inWindow.size() < m_threshold)
        return closed;
    Open open{{}, sender.recent.front().first, time};
    for (const auto &counted : sender.inWindow)
        open.macs.insert(counted.first);
    sender.open = std::move(open);
    sender.lastSweep = sender.open->first;
    sender.recent.clear();
    sender.inWindow.clear();
    ++m_open;
    return closed;
}

std::vector<SweepEvent> SweepDetector::Expire(RealTime now)
{
    std::vector<SweepEvent> closed;
    if (m_open == 0)
        return closed;
    for (auto &[source, sender] : m_senders) {
        if (sender.open && now - sender.open->first > kWindow) {
            closed.push_back(Closed(source, *sender.open));
            sender.open.reset();
            --m_open;
        }
    }
    std::sort(closed.begin(), closed.end(),
              [](const SweepEvent &a, const SweepEvent &b) { return a.first < b.first; });
    return closed;
}

std::vector<SweepEvent> SweepDetector::Flush()
{
    std::vector<SweepEvent> closed;
    for (auto &[source, sender] : m_senders) {
        if (sender.open)
            closed.push_back(Closed(source, *sender.open));
        sender.open.reset();
    }
    m_open = 0;
    std::sort(closed.begin(), closed.end(),
              [](const SweepEvent &a, const SweepEvent &b) { return a.first < b.first; });
    return closed;
}
