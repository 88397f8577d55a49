#pragma once

#include <array>
#include <string>

// A moment of local time, as the platform's clock gives it.
struct LocalDateTime
{
    int year = 1970;
    int month = 1; // 1 to 12
    int day = 1;
    int dayOfWeek = 4; // 1 Monday to 7 Sunday
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

// The user's regional choices for the log's date and time. Texts are in the
// platform's narrow encoding (UTF-8 on Linux, the ANSI code page on Windows).
struct DateTimeSettings
{
    // d dd ddd dddd, M MM MMM MMMM, yy yyyy; text in single quotes ('' is a quote)
    // and any other character are copied.
    std::string shortDateFormat = "M/d/yyyy";
    std::array<std::string, 12> monthNames{};      // January first
    std::array<std::string, 12> shortMonthNames{}; // January first
    std::array<std::string, 7> dayNames{};         // Monday first
    std::array<std::string, 7> shortDayNames{};    // Monday first
    std::string timeSeparator = ":";
    bool hourLeadingZero = false;
    bool twelveHourClock = true;
    std::string amMarker = "AM";
    std::string pmMarker = "PM";
    bool markerInFront = false;
};

// A short date with a two-digit year is ambiguous in a log that may be read years
// later, so a lone "yy" becomes "yyyy".
std::string WithFourDigitYear(std::string shortDateFormat);

// The date in `format`, as FormatDateTimeText writes it.
std::string FormatDate(const LocalDateTime &moment, const std::string &format, const DateTimeSettings &settings);

// The short date, a blank and the long time; the date alone at exactly 00:00:00.
std::string FormatDateTimeText(const LocalDateTime &moment, const DateTimeSettings &settings);
