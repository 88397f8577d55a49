#include "datetimetext.h"

#include <cstddef>

namespace {

std::string Number(int value, int minimumDigits)
{
    std::string digits = std::to_string(value);
    if (int(digits.size()) < minimumDigits)
        digits.insert(0, std::size_t(minimumDigits) - digits.size(), '0');
    return digits;
}

std::size_t RunLength(const std::string &text, std::size_t start)
{
    std::size_t end = start;
    while (end < text.size() && text[end] == text[start])
        ++end;
    return end - start;
}

const std::string &Pick(const std::array<std::string, 12> &names, int month)
{
    static const std::string none;
    return month >= 1 && month <= 12 ? names[std::size_t(month - 1)] : none;
}

const std::string &Pick(const std::array<std::string, 7> &names, int dayOfWeek)
{
    static const std::string none;
    return dayOfWeek >= 1 && dayOfWeek <= 7 ? names[std::size_t(dayOfWeek - 1)] : none;
}

} // namespace

std::string WithFourDigitYear(std::string shortDateFormat)
{
    for (std::size_t at = 0; at < shortDateFormat.size();) {
        if (shortDateFormat[at] == '\'') {
            const std::size_t close = shortDateFormat.find('\'', at + 1);
            at = close == std::string::npos ? shortDateFormat.size() : close + 1;
            continue;
        }
        const std::size_t run = RunLength(shortDateFormat, at);
        if (shortDateFormat[at] == 'y' && run == 2)
            shortDateFormat.insert(at, "yy");
        at += shortDateFormat[at] == 'y' && run == 2 ? 4 : run;
    }
    return shortDateFormat;
}

std::string FormatDate(const LocalDateTime &moment, const std::string &format, const DateTimeSettings &settings)
{
    std::string text;
    for (std::size_t at = 0; at < format.size();) {
        const char letter = format[at];
        if (letter == '\'') {
            // Quoted text is copied; two quotes in a row stand for one.
            std::size_t end = at + 1;
            if (end < format.size() && format[end] == '\'') {
                text += '\'';
                at = end + 1;
                continue;
            }
            while (end < format.size()) {
                if (format[end] == '\'') {
                    if (end + 1 < format.size() && format[end + 1] == '\'') {
                        text += '\'';
                        end += 2;
                        continue;
                    }
                    break;
                }
                text += format[end++];
            }
            at = end + 1;
            continue;
        }
        const std::size_t run = RunLength(format, at);
        switch (letter) {
        case 'd':
            text += run == 1   ? Number(moment.day, 1)
                    : run == 2 ? Number(moment.day, 2)
                    : run == 3 ? Pick(settings.shortDayNames, moment.dayOfWeek)
                               : Pick(settings.dayNames, moment.dayOfWeek);
            break;
        case 'M':
            text += run == 1   ? Number(moment.month, 1)
                    : run == 2 ? Number(moment.month, 2)
                    : run == 3 ? Pick(settings.shortMonthNames, moment.month)
                               : Pick(settings.monthNames, moment.month);
            break;
        case 'y':
            text += run == 2 ? Number(moment.year % 100, 2) : Number(moment.year, 1);
            break;
        default:
            text.append(run, letter);
            break;
        }
        at += run;
    }
    return text;
}

std::string FormatDateTimeText(const LocalDateTime &moment, const DateTimeSettings &settings)
{
    const std::string date = FormatDate(moment, settings.shortDateFormat, settings);
    if (moment.hour == 0 && moment.minute == 0 && moment.second == 0)
        return date;

    int hour = moment.hour;
    if (settings.twelveHourClock) {
        hour %= 12;
        if (hour == 0)
            hour = 12;
    }
    const std::string clock = Number(hour, settings.hourLeadingZero ? 2 : 1) + settings.timeSeparator
                              + Number(moment.minute, 2) + settings.timeSeparator + Number(moment.second, 2);
    if (!settings.twelveHourClock)
        return date + ' ' + clock;

    const std::string &marker = moment.hour < 12 ? settings.amMarker : settings.pmMarker;
    if (settings.markerInFront)
        return date + ' ' + marker + ' ' + clock;
    return date + ' ' + clock + ' ' + marker;
}
