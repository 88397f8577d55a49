#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

// The user's regional choices for the log's date and time.
struct DateTimeSettings
{
    QString shortDateFormat = QStringLiteral("M/d/yyyy"); // QDate::toString() notation
    QLocale dateLocale = QLocale::c(); // names of months and days, where the format has them
    QString timeSeparator = QStringLiteral(":");
    bool hourLeadingZero = false;
    bool twelveHourClock = true;
    QString amMarker = QStringLiteral("AM");
    QString pmMarker = QStringLiteral("PM");
    bool markerInFront = false;
};

DateTimeSettings DateTimeSettingsFromLocale(const QLocale &locale);

// The short date, a blank and the long time; the date alone at exactly 00:00:00.
QString FormatDateTimeText(const QDateTime &moment, const DateTimeSettings &settings);
