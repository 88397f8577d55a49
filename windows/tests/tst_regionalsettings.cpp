// The log's date and time text from the user's regional settings, which Wine
// takes from LC_ALL. Run once per locale; each run checks its own row.
#include "check.h"
#include "regionalsettings.h"

namespace {

struct Moment
{
    int hour, minute, second, millisecond;
};

struct LocaleRow
{
    const char *name;
    // Windows' own settings; where Wine's differ, its text follows.
    const char *windowsText[4];
    const char *wineText[4];
};

constexpr Moment kMoments[4] = {{14, 5, 9, 0}, {0, 0, 0, 400}, {0, 0, 1, 0}, {9, 30, 0, 0}};

constexpr LocaleRow kLocales[] = {
    {"en-US",
     {"12/7/2026 2:05:09 PM", "12/7/2026", "12/7/2026 12:00:01 AM", "12/7/2026 9:30:00 AM"},
     {"12/7/2026 2:05:09 PM", "12/7/2026", "12/7/2026 12:00:01 AM", "12/7/2026 9:30:00 AM"}},
    // Windows writes German dates as dd.MM.yyyy, Wine as d.M.yyyy.
    {"de-DE",
     {"07.12.2026 14:05:09", "07.12.2026", "07.12.2026 00:00:01", "07.12.2026 09:30:00"},
     {"7.12.2026 14:05:09", "7.12.2026", "7.12.2026 00:00:01", "7.12.2026 09:30:00"}},
};

std::string UserLocaleName()
{
    char name[LOCALE_NAME_MAX_LENGTH] = {};
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SNAME, name, sizeof name);
    return name;
}

} // namespace

TEST(DateAndTimeTextInTheUsersSettings)
{
    const std::string locale = UserLocaleName();
    const DateTimeSettings settings = ReadDateTimeSettings();
    for (const LocaleRow &row : kLocales) {
        if (locale != row.name)
            continue;
        for (int i = 0; i < 4; ++i) {
            const Moment &m = kMoments[i];
            const LocalDateTime moment{2026, 12, 7, 1, m.hour, m.minute, m.second, m.millisecond};
            CHECK_EQUAL(FormatDateTimeText(moment, settings),
                        std::string(RunningUnderWine() ? row.wineText[i] : row.windowsText[i]));
        }
        return;
    }
    Skip("no expected texts for the user's locale " + locale);
}

TEST(TheClockIsLocalTime)
{
    SYSTEMTIME before;
    GetLocalTime(&before);
    const LocalDateTime now = LocalNow();
    CHECK_EQUAL(now.year, int(before.wYear));
    CHECK_EQUAL(now.month, int(before.wMonth));
    CHECK(now.dayOfWeek >= 1 && now.dayOfWeek <= 7 && now.dayOfWeek % 7 == before.wDayOfWeek);
}
