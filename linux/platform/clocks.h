#pragma once

#include "eventsink.h"
#include "segmentwatch.h"
#include "wakeengine.h"

#include <chrono>

// CLOCK_REALTIME and CLOCK_MONOTONIC, for the watch and for a wake.
class SystemWatchClock final : public WatchClock, public WakeClock
{
public:
    std::int64_t RealNs() override;
    std::int64_t SteadyNs() override;
    std::chrono::steady_clock::time_point SteadyNow() override { return std::chrono::steady_clock::now(); }
    std::chrono::system_clock::time_point SystemNow() override { return std::chrono::system_clock::now(); }
};

// Local time as the C library gives it. The time zone is read anew at most once a
// second, not for every event, which still follows a change of zone.
class SystemLocalTimes final : public LocalTimes
{
public:
    LocalMoment At(std::int64_t timeNs) override;

private:
    std::int64_t m_zoneReadAt = -1;
};
