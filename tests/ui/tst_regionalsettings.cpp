#include "regionalsettings.h"
#include "stdtext.h"

#include <QTest>

class TestRegional final : public QObject
{
    Q_OBJECT
private slots:
    void fromLocale_data();
    void fromLocale();
    void systemLocaleFollowsEnvironment();
    void clock();
};

namespace {

LocalDateTime At(int hour, int minute, int second)
{
    return ToLocalDateTime(QDateTime(QDate(2026, 12, 7), QTime(hour, minute, second)));
}

} // namespace

void TestRegional::fromLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("expected"); // 2026-12-07 14:05:09

    QTest::newRow("en_US") << "en_US" << "12/7/2026 2:05:09 PM";
    QTest::newRow("de_DE") << "de_DE" << "07.12.2026 14:05:09";
    QTest::newRow("en_GB") << "en_GB" << "07/12/2026 14:05:09";
    QTest::newRow("ko_KR") << "ko_KR" << "2026. 12. 7. 오후 2:05:09";
}

void TestRegional::fromLocale()
{
    QFETCH(QString, locale);
    QFETCH(QString, expected);
    const DateTimeSettings settings = DateTimeSettingsFromLocale(QLocale(locale));
    QCOMPARE(Text(FormatDateTimeText(At(14, 5, 9), settings)), expected);
}

void TestRegional::systemLocaleFollowsEnvironment()
{
    // LC_ALL decides the system locale that the window reads its settings from.
    QCOMPARE(QLocale::system().name(), QStringLiteral("de_DE"));
    QCOMPARE(Text(FormatDateTimeText(At(14, 5, 9), DateTimeSettingsFromLocale(QLocale::system()))),
             QStringLiteral("07.12.2026 14:05:09"));
}

void TestRegional::clock()
{
    const LocalDateTime moment = ToLocalDateTime(QDateTime(QDate(2026, 3, 1), QTime(23, 4, 5, 678)));
    const LocalDateTime expected{2026, 3, 1, 7, 23, 4, 5, 678}; // a Sunday
    QVERIFY(std::tie(moment.year, moment.month, moment.day, moment.dayOfWeek, moment.hour, moment.minute,
                     moment.second, moment.millisecond)
            == std::tie(expected.year, expected.month, expected.day, expected.dayOfWeek, expected.hour,
                        expected.minute, expected.second, expected.millisecond));
}

int main(int argc, char *argv[])
{
    qputenv("LC_ALL", "de_DE.UTF-8");
    TestRegional test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_regionalsettings.moc"
