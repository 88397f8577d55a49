#pragma once

#include "times.h"
#include "wireframe.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

// Who sent a magic packet: its IP address, or its MAC for a frame of EtherType 0x0842.
struct PacketSender
{
    std::optional<IpAddress> address;
    MacAddress mac{}; // only without an address
    bool operator==(const PacketSender &other) const = default;
};

// "10.77.0.2", or "02-00-00-00-00-01" for a sender known by its MAC alone.
std::string SenderText(const PacketSender &sender);

// One sender that sent magic packets for many machines within a short time: a
// management tool waking a room, or something less welcome.
struct SweepEvent
{
    PacketSender source;
    std::vector<MacAddress> macs; // the target MACs, sorted; at most kMostMacs
    RealTime first{}; // the sweep's first and last packet
    RealTime last{};
};

// "Sweep: 10.77.0.2 sent magic packets for 25 machines within 3.2 s"
std::string SweepLine(const SweepEvent &sweep);

// Watches each sender's magic packets. A sender that reaches `threshold` different
// target MACs within kWindow opens a sweep; it closes kWindow after its first
// packet, with every MAC it reached by then. A sender opens at most one sweep per
// kRepeat. Times are the packets' own, so a capture file gives the same sweeps
// as the live traffic it was taken from.
class SweepDetector
{
public:
    static constexpr Nanoseconds kWindow = std::chrono::seconds(10);
    static constexpr Nanoseconds kRepeat = std::chrono::seconds(60);
    // The limits that keep memory bounded under any traffic: senders beyond the
    // first are forgotten least recently seen first; a sweep counts at most this
    // many MACs, and a sender's window holds at most this many packets.
    static constexpr std::size_t kMostSenders = 256;
    static constexpr std::size_t kMostMacs = 1024;
    static constexpr int kDefaultThreshold = 10;
    static constexpr int kHighestThreshold = int(kMostMacs);

    explicit SweepDetector(int threshold = kDefaultThreshold);

    // A magic packet for `mac` from `source` at `time`; returns the sweeps it closed.
    std::vector<SweepEvent> MagicSeen(const PacketSender &source, const MacAddress &mac, RealTime time);
    // The sweeps whose window has ended by `now`.
    std::vector<SweepEvent> Expire(RealTime now);
    // Every open sweep, as it stands.
    std::vector<SweepEvent> Flush();

private:
    struct Open
    {
        std::set<MacAddress> macs;
        RealTime first{}, last{};
    };
    struct Sender
    {
        std::deque<std::pair<RealTime, MacAddress>> recent; // within the window, oldest first
        std::map<MacAddress, int> inWindow;                     // the packets of each MAC in `recent`
        std::optional<Open> open;
        std::optional<RealTime> lastSweep;
        std::list<PacketSender>::iterator age;
    };
    struct SenderHash
    {
        std::size_t operator()(const PacketSender &sender) const;
    };

    static SweepEvent Closed(const PacketSender &source, Open &open);

    const std::size_t m_threshold;
    std::unordered_map<PacketSender, Sender, SenderHash> m_senders;
    std::size_t m_open = 0; // senders with an open sweep
    std::list<PacketSender> m_byAge; // most recently seen first
};
