#include "sweeps.h"

#include <QTest>

#include <map>

namespace {

// Senders by name, each with an address of its own; targets by a letter.
PacketSender Sender(const std::string &name)
{
    static std::map<std::string, int> numbers;
    const int number = numbers.emplace(name, int(numbers.size()) + 1).first->second;
    return {IpAddress::FromIpv4({10, 0, std::uint8_t(number >> 8), std::uint8_t(number)}), {}};
}

std::string SenderName(const PacketSender &sender)
{
    for (const char *name : {"s", "x", "y", "first"})
        if (Sender(name) == sender)
            return name;
    return SenderText(sender);
}

MacAddress Target(const std::string &letter)
{
    return {0x02, 0, 0, 0, 0, std::uint8_t(letter.at(0))};
}

} // namespace

// A sender's magic packets at times in milliseconds, each "time:MAC[@sender]", and
// the sweeps they make: "sender macs first-last" as each closes.
class TestSweeps final : public QObject
{
    Q_OBJECT

private slots:
    void sweeps_data();
    void sweeps();
    void sendersAreBounded();
};

void TestSweeps::sweeps_data()
{
    QTest::addColumn<int>("threshold");
    QTest::addColumn<QString>("packets");
    QTest::addColumn<QString>("sweeps");

    QTest::newRow("below the threshold") << 3 << "0:a 1:b 2:a 3:b" << "";
    QTest::newRow("the threshold reached, closed at the end")
        << 3 << "0:a 100:b 200:c 300:d" << "s 4 0-300";
    QTest::newRow("a window ends with its tenth second") << 3 << "0:a 1:b 2:c 10000:d 10001:e" << "s 4 0-10000";
    QTest::newRow("too slow to be a sweep") << 3 << "0:a 6000:b 12000:c 18000:d" << "";
    QTest::newRow("one more a minute after, not before")
        << 2 << "0:a 1:b 20000:c 20001:d 60000:e 60001:f" << "s 2 0-1 s 2 60000-60001";
    QTest::newRow("senders apart")
        << 2 << "0:a@x 1:a@y 2:b@y 3:b@x" << "x 2 0-3 y 2 1-2";
}

namespace {

std::int64_t MillisecondsOf(RealTime time)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

} // namespace

void TestSweeps::sweeps()
{
    QFETCH(int, threshold);
    QFETCH(QString, packets);
    QFETCH(QString, sweeps);

    SweepDetector detector(threshold);
    QStringList seen;
    const auto note = [&](const std::vector<SweepEvent> &closed) {
        for (const SweepEvent &sweep : closed)
            seen << QStringLiteral("%1 %2 %3-%4")
                        .arg(QString::fromStdString(SenderName(sweep.source)))
                        .arg(sweep.macs.size())
                        .arg(qlonglong(MillisecondsOf(sweep.first)))
                        .arg(qlonglong(MillisecondsOf(sweep.last)));
    };
    for (const QString &packet : packets.split(' ', Qt::SkipEmptyParts)) {
        const QString target = packet.section(':', 1);
        const QString sender = target.contains('@') ? target.section('@', 1) : QStringLiteral("s");
        note(detector.MagicSeen(Sender(sender.toStdString()), Target(target.section('@', 0, 0).toStdString()),
                                RealTime(std::chrono::milliseconds(packet.section(':', 0, 0).toLongLong()))));
    }
    note(detector.Flush());
    QCOMPARE(seen.join(' '), sweeps);
}

// A flood of senders cannot grow the table: the least recently seen go first,
// and a sweep they had open is told as it stood.
void TestSweeps::sendersAreBounded()
{
    SweepDetector detector(2);
    detector.MagicSeen(Sender("first"), Target("a"), RealTime{});
    QVERIFY(detector.MagicSeen(Sender("first"), Target("b"), RealTime(Nanoseconds(1))).empty());
    std::vector<SweepEvent> closed;
    for (std::size_t i = 0; i < SweepDetector::kMostSenders; ++i) {
        for (SweepEvent &sweep : detector.MagicSeen(Sender("sender" + std::to_string(i)), Target("a"), RealTime(Nanoseconds(2))))
            closed.push_back(sweep);
    }
    QCOMPARE(closed.size(), size_t(1));
    QCOMPARE(SenderName(closed.front().source), "first");
    QCOMPARE(SweepLine(closed.front()), "Sweep: " + SenderText(Sender("first")) + " sent magic packets for 2 machines within 0.0 s");
}

QTEST_APPLESS_MAIN(TestSweeps)
#include "tst_sweeps.moc"
