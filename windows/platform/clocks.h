#pragma once

#include "datetimetext.h"
#include "eventsink.h"

#include <optional>

#include <windows.h>

LocalDateTime LocalNow();

// `time` (now when nothing is given) as local time, with its offset from UTC.
LocalDateTime LocalAt(std::optional<RealTime> time, int &offsetFromUtcSeconds);

// Local time by the system's time zone, as the console's sinks write it.
class SystemLocalTimes final : public LocalTimes
{
public:
    LocalMoment At(std::optional<RealTime> time) override;
};
