#include "regionalsettings.h"

#include <QRegularExpression>

namespace {

std::string Utf8(const QString &text)
{
    return text.toStdString();
}

} // namespace

DateTimeSettings DateTimeSettingsFromLocale(const QLocale &locale)
{
    DateTimeSettings settings;
    settings.shortDateFormat = WithFourDigitYear(Utf8(locale.dateFormat(QLocale::ShortFormat)));
    for (int month = 1; month <= 12; ++month) {
        settings.monthNames[std::size_t(month - 1)] = Utf8(locale.monthName(month, QLocale::LongFormat));
        settings.shortMonthNames[std::size_t(month - 1)] = Utf8(locale.monthName(month, QLocale::ShortFormat));
    }
    for (int day = 1; day <= 7; ++day) {
        settings.dayNames[std::size_t(day - 1)] = Utf8(locale.dayName(day, QLocale::LongFormat));
        settings.shortDayNames[std::size_t(day - 1)] = Utf8(locale.dayName(day, QLocale::ShortFormat));
    }
    settings.amMarker = Utf8(locale.amText());
    settings.pmMarker = Utf8(locale.pmText());

    // The short time format holds the hour, the separator and the marker without the
    // words that some locales put into their long format.
    const QString format = locale.timeFormat(QLocale::ShortFormat);
    static const QRegularExpression hourToken(QStringLiteral("h+|H+"));
    static const QRegularExpression minuteToken(QStringLiteral("m+"));
    static const QRegularExpression markerToken(QStringLiteral("AP|ap|A|a"));

    const QRegularExpressionMatch hour = hourToken.match(format);
    const QRegularExpressionMatch minute = minuteToken.match(format, hour.hasMatch() ? hour.capturedEnd() : 0);
    const QRegularExpressionMatch marker = markerToken.match(format);
    if (hour.hasMatch()) {
        settings.hourLeadingZero = hour.capturedLength() >= 2;
        if (minute.hasMatch() && minute.capturedStart() > hour.capturedEnd())
            settings.timeSeparator = Utf8(format.mid(hour.capturedEnd(), minute.capturedStart() - hour.capturedEnd()));
    }
    settings.twelveHourClock = marker.hasMatch();
    settings.markerInFront = marker.hasMatch() && hour.hasMatch() && marker.capturedStart() < hour.capturedStart();
    return settings;
}

LocalDateTime ToLocalDateTime(const QDateTime &moment)
{
    const QDate date = moment.date();
    const QTime time = moment.time();
    return {date.year(), date.month(), date.day(), date.dayOfWeek(),
            time.hour(), time.minute(), time.second(), time.msec()};
}
