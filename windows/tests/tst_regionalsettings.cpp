// The log's date and time text from the user's regional settings, which Wine
// takes from LC_ALL. Run once per locale; each run checks its own row.
#include "check.h"
#include "clocks.h"
#include "regionalsettings.h"

TEST(DateAndTimeTextInTheUsersSettings)
{
    struct Row
    {
        const char *locale;
        // 14:05:09, 00:00:00.400, 00:00:01 and 09:30:00 on 7 December 2026
        std::vector<std::string> windows, wine;
    };
    const Row rows[] = {
        {"en-US", {"12/7/2026 2:05:09 PM", "12/7/2026", "12/7/2026 12:00:01 AM", "12/7/2026 9:30:00 AM"}, {}},
        // Windows writes German dates as dd.MM.yyyy, Wine as d.M.yyyy.
        {"de-DE", {"07.12.2026 14:05:09", "07.12.2026", "07.12.2026 00:00:01", "07.12.2026 09:30:00"},
         {"7.12.2026 14:05:09", "7.12.2026", "7.12.2026 00:00:01", "7.12.2026 09:30:00"}},
    };
    const LocalDateTime moments[] = {{2026, 12, 7, 1, 14, 5, 9, 0}, {2026, 12, 7, 1, 0, 0, 0, 400},
                                     {2026, 12, 7, 1, 0, 0, 1, 0}, {2026, 12, 7, 1, 9, 30, 0, 0}};
    char locale[LOCALE_NAME_MAX_LENGTH] = {};
    GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SNAME, locale, sizeof locale);
    const DateTimeSettings settings = ReadDateTimeSettings();
    for (const Row &row : rows) {
        if (row.locale != std::string(locale))
            continue;
        const auto &expected = RunningUnderWine() && !row.wine.empty() ? row.wine : row.windows;
        for (int i = 0; i < 4; ++i)
            CHECK_EQUAL(FormatDateTimeText(moments[i], settings), expected[i]);
        return;
    }
    Skip(std::string("no texts for the user's locale ") + locale);
}

TEST(TheClockIsLocalTime)
{
    SYSTEMTIME before;
    GetLocalTime(&before);
    const LocalDateTime now = LocalNow();
    CHECK(now.year == before.wYear && now.month == before.wMonth && now.dayOfWeek % 7 == before.wDayOfWeek);
}
