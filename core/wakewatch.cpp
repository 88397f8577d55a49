#include "wakewatch.h"

#include <algorithm>
#include <functional>
#include <cstdio>

namespace {

std::string Seconds(Nanoseconds duration, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, std::chrono::duration<double>(duration).count());
    return text;
}

// Each packet of the first round: the others went the same ways.
std::string WaysSent(const std::vector<WakeSend> &sent)
{
    std::string ways;
    for (const WakeSend &send : sent) {
        if (send.round != sent.front().round)
            continue;
        ways += (ways.empty() ? "" : ", ") + WayText(send, false);
    }
    return ways;
}

// "it did not answer ARP for 192.168.1.20 (…)"
std::string AskedText(const AskedOnly &asked)
{
    return std::string("it did not answer ")
        + (asked.way == AskedOnly::Way::Arp ? "ARP for " : "ICMP echo at ") + FormatIpv4(asked.address)
        + (asked.blind == AskedOnly::Blind::WithoutCapability
               ? " (nothing else of it could be seen without the CAP_NET_RAW capability)"
               : " (nothing else of it can be seen without a capture driver)");
}

// What remains when the machine that this one sent magic packets to gave no sign of life.
std::vector<std::string> SentProblems(const WakeOutcome &outcome)
{
    std::vector<std::string> problems{
        "this machine sent " + std::to_string(outcome.sent.size()) + " magic packets for " + FormatMac(outcome.mac)
            + " (" + WaysSent(outcome.sent) + ", each " + std::to_string(kWakeRounds)
            + " times), and "
            + (outcome.askedOnly ? AskedText(*outcome.askedOnly) : std::string("it sent nothing that reached this segment"))
            + " within " + Seconds(outcome.end - outcome.first, 0) + " s",
        "Wake-on may be off on it, or not kept across its shutdown: run corvalen-cli --check on it",
        "a Windows machine shut down with Fast Startup does not wake from its network card: turn Fast Startup off",
        "its network card may have no standby power: the power supply switched off at the wall, or the firmware's "
        "ErP or deep-sleep setting on",
    };
    const bool routed = std::any_of(outcome.sent.begin(), outcome.sent.end(),
                                    [](const WakeSend &send) { return send.form == SendForm::Address; });
    if (!routed)
        problems.push_back("it may be on another segment, which broadcasts do not reach: give --to with its "
                           "subnet's broadcast address");
    return problems;
}

} // namespace

std::string OutcomeLine(const WakeOutcome &outcome)
{
    if (!outcome.woke && outcome.cutShort)
        return "The capture ends " + Seconds(outcome.end - outcome.first, 1) + " s after the magic packet for "
            + FormatMac(outcome.mac) + ": whether it woke cannot be told";
    if (!outcome.woke)
        return "No sign of life from " + FormatMac(outcome.mac) + " within " + Seconds(outcome.end - outcome.first, 0)
            + " s of the magic packet";
    const SignOfLife &sign = *outcome.sign;
    if (sign.kind == SignOfLife::Kind::Echo && sign.address)
        return (outcome.wasAwake == true ? "Awake already: " : "Woke: ") + FormatMac(outcome.mac)
            + " answered ICMP echo at " + FormatIp(*sign.address) + " " + Seconds(outcome.end - outcome.first, 3)
            + " s after the magic packet";
    if (sign.kind == SignOfLife::Kind::Arp && !sign.arpRequest) // asked by this machine, or by another
        return (outcome.wasAwake == true ? "Awake already: " : "Woke: ") + FormatMac(outcome.mac) + " answered ARP for "
            + FormatIpv4(sign.arpSender) + " " + Seconds(outcome.end - outcome.first, 3) + " s after the magic packet";
    const std::string what = SignOfLifeText(sign);
    const bool vowel = what.find_first_of("AEIOU") == 0 || what.rfind("IPv6", 0) == 0;
    std::string line = (outcome.wasAwake == true ? "Awake already: " : "Woke: ") + FormatMac(outcome.mac) + " sent "
        + (vowel ? "an " : "a ") + what + " " + Seconds(outcome.end - outcome.first, 3)
        + " s after the magic packet";
    std::string details;
    if (sign.hostName)
        details = "host name " + *sign.hostName;
    if (sign.address)
        details += (details.empty() ? "" : ", ") + std::string("address ") + FormatIp(*sign.address);
    if (!details.empty())
        line += " (" + details + ")";
    return line;
}

std::vector<std::string> OutcomeProblems(const WakeOutcome &outcome)
{
    if (outcome.woke)
        return {};
    if (outcome.cutShort)
        return {};
    if (!outcome.sent.empty())
        return SentProblems(outcome);
    return {"the machine sent nothing that reached this segment: it did not wake (Wake-on off, the card "
            "without power, Fast Startup on Windows), or it woke on another segment, or it stays silent"};
}

WakeWatcher::WakeWatcher(Nanoseconds timeout)
    : m_timeout(timeout)
    , m_shortest(timeout)
{
}

bool WakeWatcher::MagicSeen(const MacAddress &mac, const std::string &interfaceName, RealTime time,
                            std::optional<bool> wasAwake, std::optional<Nanoseconds> timeout)
{
    const auto running = m_watches.find(mac);
    if (running != m_watches.end()) {
        ++running->second.packets;
        return false;
    }
    if (m_watches.size() >= kMostWatches)
        return false;
    WakeOutcome watch;
    watch.mac = mac;
    watch.interfaceName = interfaceName;
    watch.first = time;
    watch.packets = 1;
    watch.wasAwake = wasAwake;
    watch.timeout = timeout.value_or(m_timeout);
    m_earliest = m_watches.empty() ? time : std::min(m_earliest, time);
    m_shortest = m_watches.empty() ? watch.timeout : std::min(m_shortest, watch.timeout);
    m_watches.emplace(mac, std::move(watch));
    return true;
}

void WakeWatcher::Sent(const WakeSend &send)
{
    if (const auto running = m_watches.find(send.mac); running != m_watches.end())
        running->second.sent.push_back(send);
}

std::optional<WakeOutcome> WakeWatcher::FrameSeen(const SignOfLife &sign, RealTime time)
{
    const auto running = m_watches.find(sign.sourceMac);
    if (running == m_watches.end())
        return std::nullopt;
    WakeOutcome outcome = std::move(running->second);
    m_watches.erase(running);
    outcome.woke = true;
    outcome.end = std::max(time, outcome.first);
    outcome.sign = sign;
    return outcome;
}

std::vector<WakeOutcome> WakeWatcher::Expire(RealTime now)
{
    std::vector<WakeOutcome> ended;
    if (m_watches.empty() || now - m_earliest < m_shortest)
        return ended;
    RealTime earliest = now;
    Nanoseconds shortest = m_timeout;
    for (auto watch = m_watches.begin(); watch != m_watches.end();) {
        if (now - watch->second.first < watch->second.timeout) {
            earliest = std::min(earliest, watch->second.first);
            shortest = std::min(shortest, watch->second.timeout);
            ++watch;
            continue;
        }
        WakeOutcome outcome = std::move(watch->second);
        outcome.end = outcome.first + outcome.timeout;
        ended.push_back(std::move(outcome));
        watch = m_watches.erase(watch);
    }
    m_earliest = earliest;
    m_shortest = shortest;
    std::sort(ended.begin(), ended.end(), [](const WakeOutcome &a, const WakeOutcome &b) { return a.end < b.end; });
    return ended;
}

std::vector<WakeOutcome> WakeWatcher::Flush(RealTime now)
{
    std::vector<WakeOutcome> ended = Expire(now);
    std::vector<WakeOutcome> cut;
    for (auto &[mac, watch] : m_watches) {
        watch.end = std::max(now, watch.first);
        watch.cutShort = true;
        cut.push_back(std::move(watch));
    }
    m_watches.clear();
    std::sort(cut.begin(), cut.end(), [](const WakeOutcome &a, const WakeOutcome &b) { return a.first < b.first; });
    ended.insert(ended.end(), cut.begin(), cut.end());
    return ended;
}

std::vector<MacAddress> WakeWatcher::Watched(std::size_t most) const
{
    std::vector<std::pair<RealTime, MacAddress>> begun;
    for (const auto &watch : m_watches)
        begun.emplace_back(watch.second.first, watch.first);
    std::sort(begun.begin(), begun.end(), std::greater<>());
    std::vector<MacAddress> macs;
    for (std::size_t i = 0; i < begun.size() && i < most; ++i)
        macs.push_back(begun[i].second);
    return macs;
}
