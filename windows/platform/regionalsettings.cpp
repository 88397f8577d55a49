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
