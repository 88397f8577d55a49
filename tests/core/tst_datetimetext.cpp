#include "datetimetext.h"
#include "stdtext.h"

#include <QTest>


class TestDateTimeText final : public QObject
{
    Q_OBJECT
private slots:
    void format_data();
    void format();
    void dateFormats_data();
    void dateFormats();
    void fourDigitYear_data();
    void fourDigitYear();
};

namespace {

DateTimeSettings UnitedStates()
{
    return {}; // M/d/yyyy, h:mm:ss, 12-hour clock, marker behind
}

DateTimeSettings German()
{
    DateTimeSettings settings;
    settings.shortDateFormat = std::string("dd.MM.yyyy");
    settings.hourLeadingZero = true;
    settings.twelveHourClock = false;
    return settings;
}

DateTimeSettings Korean()
{
    DateTimeSettings settings;
    settings.shortDateFormat = std::string("yyyy-MM-dd");
    settings.amMarker = std::string("오전");
    settings.pmMarker = std::string("오후");
    settings.markerInFront = true;
    return settings;
}

DateTimeSettings Finnish()
{
    DateTimeSettings settings;
    settings.shortDateFormat = std::string("d.M.yyyy");
    settings.timeSeparator = std::string(".");
    settings.twelveHourClock = false;
    return settings;
}

LocalDateTime At(int hour, int minute, int second, int ms = 0)
{
    return {2026, 12, 7, 1, hour, minute, second, ms};
}

} // namespace

void TestDateTimeText::format_data()
{
    QTest::addColumn<DateTimeSettings>("settings");
    QTest::addColumn<LocalDateTime>("moment");
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
    QFETCH(LocalDateTime, moment);
    QFETCH(QString, expected);
    QCOMPARE(Text(FormatDateTimeText(moment, settings)), expected);
}

void TestDateTimeText::dateFormats_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("expected"); // Monday, 7 December 2026

    QTest::newRow("numbers") << "d/M/yy" << "7/12/26";
    QTest::newRow("padded numbers") << "dd.MM.yyyy" << "07.12.2026";
    QTest::newRow("names") << "dddd, d MMMM yyyy" << "Monday, 7 December 2026";
    QTest::newRow("short names") << "ddd d MMM" << "Mon 7 Dec";
    QTest::newRow("quoted text") << "yyyy'年'M'月'd'日'" << "2026年12月7日";
    QTest::newRow("quoted letters and a quote") << "d 'de' MMMM 'o''clock' ''" << "7 de December o'clock '";
    QTest::newRow("unterminated quote") << "d 'dM" << "7 dM";
}

void TestDateTimeText::dateFormats()
{
    QFETCH(QString, format);
    QFETCH(QString, expected);
    DateTimeSettings settings;
    settings.monthNames[11] = "December";
    settings.shortMonthNames[11] = "Dec";
    settings.dayNames[0] = "Monday";
    settings.shortDayNames[0] = "Mon";
    QCOMPARE(Text(FormatDate(At(14, 5, 9), format.toStdString(), settings)), expected);
}

void TestDateTimeText::fourDigitYear_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("expected");

    QTest::newRow("two digits") << "M/d/yy" << "M/d/yyyy";
    QTest::newRow("four digits stay") << "dd.MM.yyyy" << "dd.MM.yyyy";
    QTest::newRow("year first") << "yy-MM-dd" << "yyyy-MM-dd";
    QTest::newRow("one digit stays") << "d.M.y" << "d.M.y";
    QTest::newRow("quoted yy stays") << "d.M.yy 'yy'" << "d.M.yyyy 'yy'";
}

void TestDateTimeText::fourDigitYear()
{
    QFETCH(QString, format);
    QFETCH(QString, expected);
    QCOMPARE(Text(WithFourDigitYear(format.toStdString())), expected);
}

QTEST_APPLESS_MAIN(TestDateTimeText)
#include "tst_datetimetext.moc"
