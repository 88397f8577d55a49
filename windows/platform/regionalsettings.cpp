#include "regionalsettings.h"

namespace {

std::string LocaleText(LCID locale, LCTYPE item)
{
    char text[128] = {};
    if (GetLocaleInfoA(locale, item, text, int(sizeof text)) == 0)
        return {};
    return text;
}

bool LocaleFlag(LCID locale, LCTYPE item)
{
    return LocaleText(locale, item) == "1";
}

} // namespace

DateTimeSettings ReadDateTimeSettings(LCID locale)
{
    DateTimeSettings settings;
    settings.shortDateFormat = WithFourDigitYear(LocaleText(locale, LOCALE_SSHORTDATE));
    for (int month = 0; month < 12; ++month) {
        settings.monthNames[month] = LocaleText(locale, LOCALE_SMONTHNAME1 + month);
        settings.shortMonthNames[month] = LocaleText(locale, LOCALE_SABBREVMONTHNAME1 + month);
    }
    // The first day name is Monday's, as in the settings record.
    for (int day = 0; day < 7; ++day) {
        settings.dayNames[day] = LocaleText(locale, LOCALE_SDAYNAME1 + day);
        settings.shortDayNames[day] = LocaleText(locale, LOCALE_SABBREVDAYNAME1 + day);
    }
    settings.timeSeparator = LocaleText(locale, LOCALE_STIME);
    settings.hourLeadingZero = LocaleFlag(locale, LOCALE_ITLZERO);
    settings.twelveHourClock = !LocaleFlag(locale, LOCALE_ITIME);
    settings.amMarker = LocaleText(locale, LOCALE_S1159);
    settings.pmMarker = LocaleText(locale, LOCALE_S2359);
    settings.markerInFront = LocaleFlag(locale, LOCALE_ITIMEMARKPOSN);
    return settings;
}

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

LocalDateTime LocalAt(std::int64_t timeNs, int &offsetFromUtcSeconds)
{
    SYSTEMTIME utc{}, local{};
    if (timeNs <= 0) {
        GetSystemTime(&utc);
    } else {
        constexpr unsigned long long kEpochTicks = 116444736000000000ULL; // 1970 in 100 ns ticks since 1601
        ULARGE_INTEGER ticks{};
        ticks.QuadPart = (unsigned long long)(timeNs / 100) + kEpochTicks;
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

LocalMoment SystemLocalTimes::At(std::int64_t timeNs)
{
    LocalMoment moment;
    moment.local = LocalAt(timeNs, moment.offsetFromUtcSeconds);
    return moment;
}
