#include "datetimetext.h"

#include <QTest>

class TestDateTimeText final : public QObject
{
    Q_OBJECT
private slots:
    void format_data();
    void format();
    void fromLocale_data();
    void fromLocale();
    void systemLocaleFollowsEnvironment();
};

namespace {

DateTimeSettings UnitedStates()
{
    return {}; // M/d/yyyy, h:mm:ss, 12-hour clock, marker behind
}

DateTimeSettings German()
{
    DateTimeSettings settings;
    settings.shortDateFormat = QStringLiteral("dd.MM.yyyy");
    settings.hourLeadingZero = true;
    settings.twelveHourClock = false;
    return settings;
}

DateTimeSettings Korean()
{
    DateTimeSettings settings;
    settings.shortDateFormat = QStringLiteral("yyyy-MM-dd");
    settings.amMarker = QStringLiteral("오전");
    settings.pmMarker = QStringLiteral("오후");
    settings.markerInFront = true;
    return settings;
}

DateTimeSettings Finnish()
{
    DateTimeSettings settings;
    settings.shortDateFormat = QStringLiteral("d.M.yyyy");
    settings.timeSeparator = QStringLiteral(".");
    settings.twelveHourClock = false;
    return settings;
}

QDateTime At(int hour, int minute, int second, int ms = 0)
{
    return QDateTime(QDate(2026, 12, 7), QTime(hour, minute, second, ms));
}

} // namespace

void TestDateTimeText::format_data()
{
    QTest::addColumn<DateTimeSettings>("settings");
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QString>("expected");

    QTest::newRow("us afternoon") << UnitedStates() << At(14, 5, 9) << "12/7/2026 2:05:09 PM";
    QTest::newRow("us midnight, milliseconds ignored") << UnitedStates() << At(0, 0, 0, 400) << "12/7/2026";
    QTest::newRow("us one second past midnight") << UnitedStates() << At(0, 0, 1) << "12/7/2026 12:00:01 AM";
    QTest::newRow("us noon") << UnitedStates() << At(12, 0, 0) << "12/7/2026 12:00:00 PM";
    QTest::newRow("us last second") << UnitedStates() << At(23, 59, 59) << "12/7/2026 11:59:59 PM";
    QTest::newRow("us morning") << UnitedStates() << At(9, 3, 4) << "12/7/2026 9:03:04 AM";
    QTest::newRow("24-hour, leading zero") << German() << At(9, 3, 4) << "07.12.2026 09:03:04";
    QTest::newRow("24-hour afternoon") << German() << At(14, 5, 9) << "07.12.2026 14:05:09";
    QTest::newRow("24-hour midnight") << German() << At(0, 0, 0) << "07.12.2026";
    QTest::newRow("24-hour just after midnight") << German() << At(0, 0, 1) << "07.12.2026 00:00:01";
    QTest::newRow("marker in front") << Korean() << At(14, 5, 9) << "2026-12-07 오후 2:05:09";
    QTest::newRow("marker in front, morning") << Korean() << At(0, 30, 0) << "2026-12-07 오전 12:30:00";
    QTest::newRow("own separator, no leading zero") << Finnish() << At(7, 5, 9) << "7.12.2026 7.05.09";
}

void TestDateTimeText::format()
{
    QFETCH(DateTimeSettings, settings);
    QFETCH(QDateTime, moment);
    QFETCH(QString, expected);
    QCOMPARE(FormatDateTimeText(moment, settings), expected);
}

void TestDateTimeText::fromLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("expected"); // 2026-12-07 14:05:09

    QTest::newRow("en_US") << "en_US" << "12/7/2026 2:05:09 PM";
    QTest::newRow("de_DE") << "de_DE" << "07.12.2026 14:05:09";
    QTest::newRow("en_GB") << "en_GB" << "07/12/2026 14:05:09";
    QTest::newRow("ko_KR") << "ko_KR" << "2026. 12. 7. 오후 2:05:09";
}

void TestDateTimeText::fromLocale()
{
    QFETCH(QString, locale);
    QFETCH(QString, expected);
    const DateTimeSettings settings = DateTimeSettingsFromLocale(QLocale(locale));
    QCOMPARE(FormatDateTimeText(At(14, 5, 9), settings), expected);
}

void TestDateTimeText::systemLocaleFollowsEnvironment()
{
    // LC_ALL decides the system locale that the window reads its settings from.
    QCOMPARE(QLocale::system().name(), QStringLiteral("de_DE"));
    QCOMPARE(FormatDateTimeText(At(14, 5, 9), DateTimeSettingsFromLocale(QLocale::system())),
             QStringLiteral("07.12.2026 14:05:09"));
}

int main(int argc, char *argv[])
{
    qputenv("LC_ALL", "de_DE.UTF-8");
    TestDateTimeText test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_datetimetext.moc"
