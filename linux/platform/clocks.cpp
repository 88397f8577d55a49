#include "clocks.h"

#include <ctime>

namespace {

std::int64_t Nanoseconds(clockid_t clock)
{
    timespec now{};
    ::clock_gettime(clock, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

std::int64_t SystemWatchClock::RealNs()
{
    return Nanoseconds(CLOCK_REALTIME);
}

std::int64_t SystemWatchClock::SteadyNs()
{
    return Nanoseconds(CLOCK_MONOTONIC);
}

LocalMoment SystemLocalTimes::At(std::int64_t timeNs)
{
    const std::int64_t now = Nanoseconds(CLOCK_REALTIME);
    if (now / 1000000000 != m_zoneReadAt) {
        ::tzset();
        m_zoneReadAt = now / 1000000000;
    }
    if (timeNs <= 0)
        timeNs = now;
    const time_t seconds = time_t(timeNs / 1000000000);
    tm local{};
    if (::localtime_r(&seconds, &local) == nullptr)
        return {};
    LocalMoment moment;
    moment.local = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_wday == 0 ? 7 : local.tm_wday,
                    local.tm_hour, local.tm_min, local.tm_sec, int(timeNs % 1000000000 / 1000000)};
    moment.offsetFromUtcSeconds = int(local.tm_gmtoff);
    return moment;
}
