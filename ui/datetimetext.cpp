#include "datetimetext.h"

#include <QRegularExpression>

namespace {

// A short date with a two-digit year is ambiguous in a log that may be read
// years later, so the year is always written with four digits.
QString WithFourDigitYear(QString format)
{
    static const QRegularExpression twoDigitYear(QStringLiteral("(?<!y)yy(?!y)"));
    return format.replace(twoDigitYear, QStringLiteral("yyyy"));
}

} // namespace

DateTimeSettings DateTimeSettingsFromLocale(const QLocale &locale)
{
    DateTimeSettings settings;
    settings.dateLocale = locale;
    settings.shortDateFormat = WithFourDigitYear(locale.dateFormat(QLocale::ShortFormat));
    settings.amMarker = locale.amText();
    settings.pmMarker = locale.pmText();

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
            settings.timeSeparator = format.mid(hour.capturedEnd(), minute.capturedStart() - hour.capturedEnd());
    }
    settings.twelveHourClock = marker.hasMatch();
    settings.markerInFront = marker.hasMatch() && hour.hasMatch() && marker.capturedStart() < hour.capturedStart();
    return settings;
}

QString FormatDateTimeText(const QDateTime &moment, const DateTimeSettings &settings)
{
    const QString date = settings.dateLocale.toString(moment.date(), settings.shortDateFormat);
    const QTime time = moment.time();
    if (time.hour() == 0 && time.minute() == 0 && time.second() == 0)
        return date;

    int hour = time.hour();
    if (settings.twelveHourClock) {
        hour %= 12;
        if (hour == 0)
            hour = 12;
    }
    const auto twoDigits = [](int value) { return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')); };
    const QString clock = (settings.hourLeadingZero ? twoDigits(hour) : QString::number(hour))
                          + settings.timeSeparator + twoDigits(time.minute())
                          + settings.timeSeparator + twoDigits(time.second());
    if (!settings.twelveHourClock)
        return date + QLatin1Char(' ') + clock;

    const QString &marker = time.hour() < 12 ? settings.amMarker : settings.pmMarker;
    if (settings.markerInFront)
        return date + QLatin1Char(' ') + marker + QLatin1Char(' ') + clock;
    return date + QLatin1Char(' ') + clock + QLatin1Char(' ') + marker;
}
