#pragma once

// The program's two clocks as types of their own, so that a time of one cannot be
// taken for a time of the other. Each platform converts its clocks' numbers to
// these at its edge (a packet's kernel stamp, a FILETIME), and text is made only
// where a sink writes it.

#include <chrono>
#include <cstdint>

using Nanoseconds = std::chrono::nanoseconds;
// The system's time, which the kernel stamps packets with and the reports show.
using RealTime = std::chrono::time_point<std::chrono::system_clock, Nanoseconds>;
// A clock that never steps, for waits and timers.
using SteadyTime = std::chrono::time_point<std::chrono::steady_clock, Nanoseconds>;

// A kernel's stamp, in nanoseconds since the epoch.
constexpr RealTime RealTimeFromNs(std::int64_t sinceEpochNs)
{
    return RealTime(Nanoseconds(sinceEpochNs));
}
constexpr std::int64_t NsSinceEpoch(RealTime time)
{
    return time.time_since_epoch().count();
}

// The clocks a watch is given.
class WatchClock
{
public:
    virtual ~WatchClock() = default;
    // The system's time: the kernel stamps packets with it.
    virtual RealTime RealNow() = 0;
    // A clock that never steps, for the waits.
    virtual SteadyTime SteadyNow() = 0;
};

// The system's clocks, as the standard library reads them on every platform.
class SystemWatchClock final : public WatchClock
{
public:
    RealTime RealNow() override { return std::chrono::time_point_cast<Nanoseconds>(std::chrono::system_clock::now()); }
    SteadyTime SteadyNow() override
    {
        return std::chrono::time_point_cast<Nanoseconds>(std::chrono::steady_clock::now());
    }
};
