#pragma once

#include "eventsink.h"

// Local time as the C library gives it. The time zone is read anew at most once a
// second, not for every event, which still follows a change of zone.
class SystemLocalTimes final : public LocalTimes
{
public:
    LocalMoment At(std::optional<RealTime> time) override;

private:
    std::optional<std::chrono::sys_seconds> m_zoneReadAt;
};
