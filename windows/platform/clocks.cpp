#include "clocks.h"

namespace {

LocalDateTime FromSystemTime(const SYSTEMTIME &now)
{
    // Windows counts days of the week from Sunday (0); the record from Monday (1) to Sunday (7).
    const int dayOfWeek = now.wDayOfWeek == 0 ? 7 : now.wDayOfWeek;
    return {now.wYear, now.wMonth, now.wDay, dayOfWeek, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

} // namespace

LocalDateTime LocalNow()
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return FromSystemTime(now);
}

LocalDateTime LocalAt(std::optional<RealTime> time, int &offsetFromUtcSeconds)
{
    SYSTEMTIME utc{}, local{};
    if (!time) {
        GetSystemTime(&utc);
    } else {
        constexpr unsigned long long kEpochTicks = 116444736000000000ULL; // 1970 in 100 ns ticks since 1601
        ULARGE_INTEGER ticks{};
        ticks.QuadPart = (unsigned long long)(NsSinceEpoch(*time) / 100) + kEpochTicks;
        const FILETIME utcTicks{ticks.LowPart, ticks.HighPart};
        FileTimeToSystemTime(&utcTicks, &utc);
    }
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) {
        offsetFromUtcSeconds = 0;
        return FromSystemTime(utc);
    }
    FILETIME utcTicks{}, localTicks{};
    SystemTimeToFileTime(&utc, &utcTicks);
    SystemTimeToFileTime(&local, &localTicks);
    const auto ticks = [](const FILETIME &time) {
        return (long long)(ULARGE_INTEGER{{time.dwLowDateTime, time.dwHighDateTime}}.QuadPart);
    };
    offsetFromUtcSeconds = int((ticks(localTicks) - ticks(utcTicks)) / 10000000);
    return FromSystemTime(local);
}

LocalMoment SystemLocalTimes::At(std::optional<RealTime> time)
{
    LocalMoment moment;
    moment.local = LocalAt(time, moment.offsetFromUtcSeconds);
    return moment;
}
