#pragma once

#include "eventsink.h"
#include "segmentwatch.h"

// CLOCK_REALTIME and CLOCK_MONOTONIC.
class SystemWatchClock final : public WatchClock
{
public:
    std::int64_t RealNs() override;
    std::int64_t SteadyNs() override;
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
