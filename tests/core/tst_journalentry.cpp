#include "journalentry.h"
#include "typedaddresses.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>

// Each event as a journal entry: its level, a MESSAGE_ID the shipped catalog
// explains, a field for every problem, and only field names journald accepts
// (it drops the others without a word).
class TestJournalEntry final : public QObject
{
    Q_OBJECT

private slots:
    void entry_data();
    void entry();
};

namespace {

const PacketReport kDatagram = SocketMagic("192.0.2.10", "192.0.2.255", "02-C1-1E-00-00-5A", 40000, 9);

MagicEvent Magic(bool delivered, bool local)
{
    MagicEvent event = EventFromDatagram(kDatagram);
    event.interfaceName = "eth0";
    event.delivered = delivered;
    if (local)
        event.machine = {"eth0", "g", true};
    return event;
}

WakeOutcome Outcome(bool woke)
{
    WakeOutcome outcome{woke, Mac("02-C1-1E-00-00-5A"), "eth0", RealTime(std::chrono::seconds(1)), RealTime(std::chrono::seconds(4)), 1, false, {}, false, {}, {}};
    if (woke) {
        outcome.sign.emplace();
        outcome.sign->kind = SignOfLife::Kind::Dhcp;
        outcome.sign->address = Ip4("192.0.2.23");
    }
    return outcome;
}

} // namespace

void TestJournalEntry::entry_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("event");
    QTest::addColumn<int>("priority");
    QTest::addColumn<int>("problems");

    const auto row = [](const char *name, const JournalEntry &entry, const char *event, int priority, int problems) {
        QStringList fields;
        for (const std::string &field : entry)
            fields << QString::fromStdString(field);
        QTest::newRow(name) << fields << QString(event) << priority << problems;
    };
    row("magic packet that wakes this machine", MagicEventEntry(Magic(true, true)), "magic", 6, 0);
    row("magic packet for another machine, not delivered", MagicEventEntry(Magic(false, false)), "magic", 4, 2);
    MagicEvent nearMiss = Magic(true, false);
    nearMiss.nearMiss = true;
    nearMiss.nearMissReason = "15 repetitions of the MAC address instead of 16";
    row("near miss", MagicEventEntry(nearMiss), "near_miss", 4, 2);
    row("raw socket alone", DatagramEntry(kDatagram), "magic", 6, 0);
    row("woke", OutcomeEntry(Outcome(true)), "woke", 6, 0);
    row("no sign of life", OutcomeEntry(Outcome(false)), "no_sign_of_life", 4, 1);
    row("unanswered ARP", UnansweredArpEntry({Octets4("192.0.2.23"), Octets4("192.0.2.1"), Mac("02-00-00-00-00-01"),
                                           Mac("02-C1-1E-00-00-5A"), 3}),
        "unanswered_arp", 4, 1);
    row("sweep", SweepEntry({{Ip4("192.0.2.10"), {}}, {Mac("02-C1-1E-00-00-01"), Mac("02-C1-1E-00-00-02")}, RealTime{}, RealTime(Nanoseconds(1))}), "sweep", 4, 0);
    row("drops", DropsEntry(7), "drops", 4, 0);
    row("failed receive", ReceiveErrorEntry("Message too long, 10040"), "error", 3, 0);
    const WakeSend send{SendForm::SubnetBroadcast, Mac("02-C1-1E-00-00-5A"), "eth0", Octets4("192.0.2.255"), 9, 0};
    row("sent", SentEntry({send, RealTime(std::chrono::seconds(1)), {}}), "sent", 6, 0);
    row("could not send", SentEntry({send, RealTime(std::chrono::seconds(1)), "Network is unreachable"}), "sent", 3, 0);
    MachineStateEvent awake;
    awake.machine = {Mac("02-C1-1E-00-00-5A"), "nas"};
    awake.awake = true;
    awake.answeredArp = true;
    awake.address = Octets4("192.0.2.23");
    awake.interfaceName = "eth0";
    row("awake", MachineStateEntry(awake), "awake", 6, 0);
    MachineStateEvent asleep = awake;
    asleep.awake = false;
    asleep.reason = MachineStateEvent::Reason::Silent;
    asleep.address.reset();
    row("asleep", MachineStateEntry(asleep), "asleep", 6, 0);
}

void TestJournalEntry::entry()
{
    QFETCH(QStringList, fields);
    QFETCH(QString, event);
    QFETCH(int, priority);
    QFETCH(int, problems);

    static const QRegularExpression journalField(QStringLiteral("^[A-Z0-9][A-Z0-9_]{0,63}=.+$"),
                                                 QRegularExpression::DotMatchesEverythingOption);
    for (const QString &field : fields)
        QVERIFY2(journalField.match(field).hasMatch(), qPrintable(field));
    QVERIFY(fields.front().startsWith(QStringLiteral("MESSAGE=")));
    QVERIFY(fields.contains(QStringLiteral("SYSLOG_IDENTIFIER=corvalen-cli")));
    QVERIFY(fields.contains(QStringLiteral("WOL_EVENT=") + event));
    QVERIFY2(fields.contains(QStringLiteral("PRIORITY=%1").arg(priority)), qPrintable(fields.join('\n')));
    QCOMPARE(fields.filter(QRegularExpression(QStringLiteral("^WOL_PROBLEM="))).size(), problems);

    const QStringList ids = fields.filter(QRegularExpression(QStringLiteral("^MESSAGE_ID=[0-9a-f]{32}$")));
    QCOMPARE(ids.size(), 1);
    QFile catalog(QStringLiteral(CORVALEN_CATALOG));
    QVERIFY(catalog.open(QIODevice::ReadOnly));
    const QByteArray id = ids.front().mid(11).toLatin1();
    QVERIFY2(catalog.readAll().contains("\n-- " + id + "\nSubject: "), id.constData());
}

QTEST_APPLESS_MAIN(TestJournalEntry)
#include "tst_journalentry.moc"
