#pragma once

#include "signoflife.h"
#include "wakesend.h"

#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <optional>
#include <string>
#include <vector>

// A machine this one sent magic packets for, asked for at its address because no
// capture watches for its frames.
struct AskedOnly
{
    enum class Way { Arp, Echo };
    // Why nothing else of it can be seen.
    enum class Blind { WithoutCapability, WithoutCaptureDriver };
    Ipv4Octets address{};
    Way way = Way::Echo;
    Blind blind = Blind::WithoutCapability;
};

// How the watch of one machine that a magic packet was meant for ended.
struct WakeOutcome
{
    bool woke = false;
    MacAddress mac{};
    std::string interfaceName; // where its first magic packet was seen
    RealTime first{}; // its first magic packet
    RealTime end{};   // the sign of life; or when the watch ended without one
    int packets = 0;           // magic packets for it during the watch
    std::optional<bool> wasAwake; // it was awake already when the first one came; nothing when unknown
    std::optional<SignOfLife> sign; // what it sent, when it woke
    bool cutShort = false;     // ended before its time: the capture file ended, or the watch was stopped
    std::vector<WakeSend> sent; // the packets this machine sent for it (--wake) that left
    // Only its answer to this machine's questions could tell: nothing watched for its own frames.
    std::optional<AskedOnly> askedOnly;
    Nanoseconds timeout{}; // how long its watch runs without a sign of life
};

// "Woke: 00-11-22-33-44-55 sent a DHCP request 14.215 s after the magic packet (host name nas)",
// "No sign of life from 00-11-22-33-44-55 within 120 s of the magic packet", or for a
// watch cut short, "The capture ends 0.4 s after the magic packet for 00-11-22-33-44-55:
// whether it woke cannot be told".
std::string OutcomeLine(const WakeOutcome &outcome);
// What no sign of life means; empty for a machine that woke and for a watch cut short.
std::vector<std::string> OutcomeProblems(const WakeOutcome &outcome);

// Watches each machine a magic packet was meant for until it sends a frame of its
// own or its time runs out. Times are the packets' own, so a capture file gives the
// outcomes the live traffic would have.
class WakeWatcher
{
public:
    // Each watched MAC takes a few instructions of the kernel filter, which holds 4096.
    static constexpr std::size_t kMostWatches = 256;

    explicit WakeWatcher(Nanoseconds timeout);

    // A magic packet for `mac`: starts its watch, or counts one more packet for it.
    // False when no new watch started (one runs, or too many do). A watch runs for
    // `timeout` where one is given, and for the watcher's own otherwise.
    bool MagicSeen(const MacAddress &mac, const std::string &interfaceName, RealTime time,
                   std::optional<bool> wasAwake, std::optional<Nanoseconds> timeout = std::nullopt);
    // A packet this machine sent for a machine it watches.
    void Sent(const WakeSend &send);
    bool Watching(const MacAddress &mac) const { return !m_watches.empty() && m_watches.count(mac) > 0; }
    // A frame from a watched MAC ends its watch.
    std::optional<WakeOutcome> FrameSeen(const SignOfLife &sign, RealTime time);
    // The watches whose time has run out by `now`.
    std::vector<WakeOutcome> Expire(RealTime now);
    // Every watch still running, cut short at `now`.
    std::vector<WakeOutcome> Flush(RealTime now);
    // The MACs of the `most` watches begun last.
    std::vector<MacAddress> Watched(std::size_t most = kMostWatches) const;

private:
    struct MacHash
    {
        std::size_t operator()(const MacAddress &mac) const
        {
            std::uint64_t value = 0;
            std::memcpy(&value, mac.data(), mac.size());
            return std::hash<std::uint64_t>()(value);
        }
    };

    const Nanoseconds m_timeout;
    RealTime m_earliest{}; // no watch began before it; called for every frame of a capture file
    Nanoseconds m_shortest; // no watch runs for less
    std::unordered_map<MacAddress, WakeOutcome, MacHash> m_watches;
};
