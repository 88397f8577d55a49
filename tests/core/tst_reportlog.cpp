#include "reportlog.h"
#include "stdtext.h"

#include <QTest>

class TestReportLog final : public QObject
{
    Q_OBJECT
private slots:
    void packetBlock();
    void failureLine();
    void limit_data();
    void limit();
    void ports_data();
    void ports();
    void notListeningLineCounts();
};

namespace {

const LocalDateTime kAfternoon{2026, 12, 7, 1, 14, 5, 9, 0};

PacketReport Packet(std::uint16_t sourcePort = 3000, std::uint16_t destinationPort = 9)
{
    return {nullptr, "192.168.1.10", "192.168.1.255", "00-11-22-33-44-55", sourcePort, destinationPort, false, std::nullopt, {}};
}

PacketReport Failure()
{
    // The texts and ports of a failure are ignored, whatever they hold.
    PacketReport report = Packet();
    report.error = true;
    return report;
}

void Fill(LineListLog &log, int lines)
{
    for (int i = 0; i < lines; ++i)
        log.Append("line " + std::to_string(i));
}

} // namespace

void TestReportLog::packetBlock()
{
    LineListLog log;
    WriteReport(log, Packet(), "unused", kAfternoon, DateTimeSettings());
    const QStringList expected = {
        "Magic Packet received.",
        "  Date, Time: 12/7/2026 2:05:09 PM",
        "  Source Address: 192.168.1.10",
        "  Source Port: 3000",
        "  Destination Address: 192.168.1.255",
        "  Destination Port: 9",
        "  MAC Address: 00-11-22-33-44-55",
        "",
    };
    QCOMPARE(Text(log.Lines()), expected);
}

void TestReportLog::failureLine()
{
    LineListLog log;
    WriteReport(log, Failure(), "Message too long, 10040", kAfternoon, DateTimeSettings());
    QCOMPARE(Text(log.Lines()), QStringList{"Error: Message too long, 10040"});
}

void TestReportLog::limit_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<bool>("error");
    QTest::addColumn<int>("after");
    QTest::addColumn<QString>("firstLine");

    QTest::newRow("empty log") << 0 << false << 8 << "Magic Packet received.";
    QTest::newRow("700 lines kept") << 700 << false << 708 << "line 0";
    QTest::newRow("708 lines emptied by a packet") << 708 << false << 8 << "Magic Packet received.";
    QTest::newRow("701 lines emptied by a packet") << 701 << false << 8 << "Magic Packet received.";
    QTest::newRow("701 lines emptied by a failure") << 701 << true << 1 << "Error: gone";
    QTest::newRow("700 lines and a failure") << 700 << true << 701 << "line 0";
    QTest::newRow("87 reports, the 88th appended") << 87 * 8 << false << 88 * 8 << "line 0";
    QTest::newRow("88 reports, the 89th starts afresh") << 88 * 8 << false << 8 << "Magic Packet received.";
}

void TestReportLog::limit()
{
    QFETCH(int, before);
    QFETCH(bool, error);
    QFETCH(int, after);
    QFETCH(QString, firstLine);

    LineListLog log;
    Fill(log, before);
    WriteReport(log, error ? Failure() : Packet(), "gone", kAfternoon, DateTimeSettings());
    QCOMPARE(log.Count(), after);
    QCOMPARE(Text(log.Lines().front()), firstLine);
}

void TestReportLog::ports_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0 << "0";
    QTest::newRow("highest, never negative") << 65535 << "65535";
    QTest::newRow("above the signed 16-bit range") << 40000 << "40000";
}

void TestReportLog::ports()
{
    QFETCH(int, port);
    QFETCH(QString, text);
    LineListLog log;
    WriteReport(log, Packet(std::uint16_t(port), std::uint16_t(port)), {}, kAfternoon, DateTimeSettings());
    QCOMPARE(Text(log.Lines().at(3)), QStringLiteral("  Source Port: ") + text);
    QCOMPARE(Text(log.Lines().at(5)), QStringLiteral("  Destination Port: ") + text);
}

void TestReportLog::notListeningLineCounts()
{
    LineListLog log;
    log.Append(NotListeningLine("Permission denied, 10013"));
    QCOMPARE(Text(log.Lines().front()), QStringLiteral("Not listening: Permission denied, 10013"));
    Fill(log, 700);
    WriteReport(log, Packet(), {}, kAfternoon, DateTimeSettings());
    QCOMPARE(log.Count(), 8);
}

QTEST_APPLESS_MAIN(TestReportLog)
#include "tst_reportlog.moc"
