#include "clocks.h"

#include <ctime>

LocalMoment SystemLocalTimes::At(std::optional<RealTime> time)
{
    const RealTime now = SystemWatchClock().RealNow();
    const auto second = std::chrono::floor<std::chrono::seconds>(now);
    if (second != m_zoneReadAt) {
        ::tzset();
        m_zoneReadAt = second;
    }
    const RealTime at = time.value_or(now);
    const auto atSecond = std::chrono::floor<std::chrono::seconds>(at);
    const time_t seconds = time_t(atSecond.time_since_epoch().count());
    tm local{};
    if (::localtime_r(&seconds, &local) == nullptr)
        return {};
    LocalMoment moment;
    moment.local = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_wday == 0 ? 7 : local.tm_wday,
                    local.tm_hour, local.tm_min, local.tm_sec,
                    int(std::chrono::duration_cast<std::chrono::milliseconds>(at - atSecond).count())};
    moment.offsetFromUtcSeconds = int(local.tm_gmtoff);
    return moment;
}
