#pragma once

#include "datetimetext.h"
#include "eventsink.h"

#include <cstdint>

#include <windows.h>

// The date and time choices of a locale's regional settings, by GetLocaleInfoA.
DateTimeSettings ReadDateTimeSettings(LCID locale = LOCALE_USER_DEFAULT);

LocalDateTime LocalNow();

// `timeNs` since the epoch (0 for now) as local time, with its offset from UTC.
LocalDateTime LocalAt(std::int64_t timeNs, int &offsetFromUtcSeconds);

// Local time by the system's time zone, as the console's sinks write it.
class SystemLocalTimes final : public LocalTimes
{
public:
    LocalMoment At(std::int64_t timeNs) override;
};
