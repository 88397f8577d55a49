#include "magicevent.h"
#include "typedaddresses.h"

#include <QStringList>
#include <QTest>

namespace {

const LocalDateTime kAfternoon{2026, 12, 7, 1, 14, 5, 9, 0};

MagicEvent StrictEvent()
{
    MagicEvent event;
    event.interfaceName = "eth0";
    event.sourceMac = Mac("02-00-00-00-00-02");
    event.destinationMac = Mac("FF-FF-FF-FF-FF-FF");
    event.source = Ip4("192.168.1.10");
    event.destination = Ip4("192.168.1.255");
    event.sourcePort = 3000;
    event.destinationPort = 9;
    event.mac = Mac("00-11-22-33-44-55");
    event.strict = true;
    event.delivered = true;
    event.machine = {"eth0", "g", true};
    return event;
}

QStringList Lines(const std::vector<std::string> &lines)
{
    QStringList list;
    for (const std::string &line : lines)
        list << QString::fromStdString(line);
    return list;
}

} // namespace

class TestMagicEvent final : public QObject
{
    Q_OBJECT

private slots:
    void problems_data();
    void problems();
    void strictPacketKeepsTheWindowsEightLines();
    void otherPacketsGetTheLinesThatApply();
    void addressNoCardHasWakesNothing_data();
    void addressNoCardHasWakesNothing();
    void formatIpv6_data();
    void formatIpv6();
    void passwordText();
};

void TestMagicEvent::problems_data()
{
    QTest::addColumn<bool>("nearMiss");
    QTest::addColumn<int>("delivered"); // -1 unknown
    QTest::addColumn<QString>("localInterface");
    QTest::addColumn<QString>("wakeOn");
    QTest::addColumn<int>("deviceWakeup"); // -1 unknown
    QTest::addColumn<QStringList>("problems");

    const QString off = QStringLiteral("Wake-on is off on eth0 (ethtool -s eth0 wol g turns it on)");
    const QString wakeup = QStringLiteral("the device of eth0 may not wake the system "
                                          "(/sys/class/net/eth0/device/power/wakeup is disabled)");
    QTest::newRow("all well") << false << 1 << "eth0" << "pumbg" << 1 << QStringList();
    QTest::newRow("nothing known") << false << -1 << "eth0" << QString() << -1 << QStringList();
    QTest::newRow("Wake-on d") << false << 1 << "eth0" << "d" << -1 << QStringList{off};
    QTest::newRow("Wake-on without g") << false << 1 << "eth0" << "pumb" << -1 << QStringList{off};
    QTest::newRow("wakeup disabled") << false << 1 << "eth0" << "g" << 0 << QStringList{wakeup};
    QTest::newRow("everything wrong") << true << 0 << "eth0" << "d" << 0
                                      << QStringList{QStringLiteral("MAC copy 9 of 16 differs"),
                                                     QString::fromLatin1(kNotDeliveredProblem), off, wakeup};
    QTest::newRow("no such interface") << false << 0 << QString() << QString() << -1
                                       << QStringList{QString::fromLatin1(kNotDeliveredProblem),
                                                      QString::fromLatin1(kNoInterfaceProblem)};
}

void TestMagicEvent::problems()
{
    QFETCH(bool, nearMiss);
    QFETCH(int, delivered);
    QFETCH(QString, localInterface);
    QFETCH(QString, wakeOn);
    QFETCH(int, deviceWakeup);
    QFETCH(QStringList, problems);

    MagicEvent event = StrictEvent();
    event.nearMiss = nearMiss;
    event.nearMissReason = "MAC copy 9 of 16 differs";
    event.delivered = delivered < 0 ? std::nullopt : std::optional<bool>(delivered == 1);
    event.machine = {};
    if (!localInterface.isEmpty())
        event.machine.localInterface = localInterface.toStdString();
    if (!wakeOn.isEmpty())
        event.machine.wakeOn = wakeOn.toStdString();
    if (deviceWakeup >= 0)
        event.machine.deviceWakeup = deviceWakeup == 1;
    QCOMPARE(Lines(EventProblems(event)), problems);
}

void TestMagicEvent::strictPacketKeepsTheWindowsEightLines()
{
    MagicEvent event = StrictEvent();
    event.password = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    event.machine.wakeOn = "d";
    QCOMPARE(Lines(EventLines(event, kAfternoon, DateTimeSettings{})),
             QStringList({"Magic Packet received.", "  Date, Time: 12/7/2026 2:05:09 PM",
                          "  Source Address: 192.168.1.10", "  Source Port: 3000",
                          "  Destination Address: 192.168.1.255", "  Destination Port: 9",
                          "  MAC Address: 00-11-22-33-44-55", "",
                          "  Carrier: UDP over IPv4 on eth0, from 02-00-00-00-00-02 to FF-FF-FF-FF-FF-FF, delivered to UDP",
                          "  Password: 11-22-33-44-55-66", "  This machine: eth0, Wake-on d, device wakeup enabled",
                          "  Problem: Wake-on is off on eth0 (ethtool -s eth0 wol g turns it on)", ""}));
}

void TestMagicEvent::addressNoCardHasWakesNothing_data()
{
    QTest::addColumn<bool>("fromSocket");
    QTest::addColumn<bool>("strict");
    QTest::addColumn<QString>("mac");
    QTest::addColumn<QString>("firstLine");
    QTest::addColumn<QString>("problem");

    const QString broadcast = "FF-FF-FF-FF-FF-FF is the broadcast address, which no network card has";
    QTest::newRow("the window's form, by the raw socket")
        << true << true << "FF-FF-FF-FF-FF-FF" << "Magic Packet received." << broadcast;
    QTest::newRow("the window's form, on the wire")
        << false << true << "FF-FF-FF-FF-FF-FF" << "Magic Packet received." << broadcast;
    QTest::newRow("further in") << false << false << "00-00-00-00-00-00" << "Near miss of a Magic Packet seen."
                                << "00-00-00-00-00-00 is the all-zero address, which no network card has";
    QTest::newRow("a group address") << false << false << "01-00-5E-00-00-FB" << "Near miss of a Magic Packet seen."
                                     << "01-00-5E-00-00-FB is a group address, which no network card has";
}

// A near miss with its reason, and in the form the main window reports, the window's lines.
void TestMagicEvent::addressNoCardHasWakesNothing()
{
    QFETCH(bool, fromSocket);
    QFETCH(bool, strict);
    QFETCH(QString, mac);
    QFETCH(QString, firstLine);
    QFETCH(QString, problem);

    MagicEvent event;
    if (fromSocket) {
        event = EventFromDatagram(SocketMagic("192.168.1.10", "192.168.1.255", mac.toStdString(), 0, 0));
    } else {
        WireFrame frame;
        frame.carrier = Carrier::Udp;
        frame.family = Family::Ipv4;
        frame.strict = strict;
        frame.magic.kind = MagicKind::Magic;
        frame.magic.noCardHasTarget = true;
        for (int i = 0; i < 6; ++i)
            frame.magic.mac[std::size_t(i)] = std::uint8_t(mac.mid(3 * i, 2).toInt(nullptr, 16));
        event = EventFromFrame(frame, "eth0");
    }
    QVERIFY(event.nearMiss);
    QCOMPARE(QString::fromStdString(FormatMac(event.mac)), mac);
    QCOMPARE(Lines(EventProblems(event)), QStringList{problem});
    const QStringList lines = Lines(EventLines(event, kAfternoon, DateTimeSettings{}));
    QCOMPARE(lines.first(), firstLine);
    QVERIFY(lines.contains("  Problem: " + problem));
}

void TestMagicEvent::otherPacketsGetTheLinesThatApply()
{
    MagicEvent frame = StrictEvent();
    frame.carrier = Carrier::Ethernet;
    frame.family = Family::None;
    frame.source.reset();
    frame.destination.reset();
    frame.sourcePort.reset();
    frame.destinationPort.reset();
    frame.strict = false;
    frame.delivered = std::nullopt;
    frame.nearMiss = true;
    frame.nearMissReason = "only 11 copies of the MAC address";
    frame.machine = {};
    QCOMPARE(Lines(EventLines(frame, kAfternoon, DateTimeSettings{})),
             QStringList({"Near miss of a Magic Packet seen.", "  Date, Time: 12/7/2026 2:05:09 PM",
                          "  MAC Address: 00-11-22-33-44-55", "",
                          "  Carrier: Ethernet frame of type 0x0842 on eth0, from 02-00-00-00-00-02 to FF-FF-FF-FF-FF-FF",
                          "  Problem: only 11 copies of the MAC address",
                          "  Problem: no interface of this machine has this MAC address", ""}));

}

void TestMagicEvent::formatIpv6_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QString>("text");

    QTest::newRow("all-nodes") << QByteArray::fromHex("ff020000000000000000000000000001") << "ff02::1";
    QTest::newRow("one zero group stays") << QByteArray::fromHex("20010db8000000010001000100010001")
                                          << "2001:db8:0:1:1:1:1:1";
    QTest::newRow("the longer run") << QByteArray::fromHex("00010000000000020000000000000003") << "1:0:0:2::3";
    QTest::newRow("the first of equal runs") << QByteArray::fromHex("20010db8000000000001000000000001")
                                             << "2001:db8::1:0:0:1";
}

void TestMagicEvent::formatIpv6()
{
    QFETCH(QByteArray, address);
    QFETCH(QString, text);
    std::array<std::uint8_t, 16> bytes{};
    std::copy(address.cbegin(), address.cend(), bytes.begin());
    QCOMPARE(QString::fromStdString(FormatIpv6(bytes)), text);
}

void TestMagicEvent::passwordText()
{
    const std::uint8_t bytes[] = {192, 168, 1, 2, 0x0A, 0xFF};
    QCOMPARE(PasswordText(ByteView(bytes, 4)), std::string("192.168.1.2"));
    QCOMPARE(PasswordText(ByteView(bytes, 6)), std::string("C0-A8-01-02-0A-FF"));
}

QTEST_APPLESS_MAIN(TestMagicEvent)
#include "tst_magicevent.moc"
