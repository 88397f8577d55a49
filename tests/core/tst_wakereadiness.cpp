#include "wakereadiness.h"

#include <QStringList>
#include <QTest>

namespace {

// "nocarrier kind=ifb supports=pumbg on=d wakeup=0 tlp=0 nm=-1": what eth0 has; a boot
// source's 1 turns Wake-on on, 0 off, -1 leaves it.
InterfaceFacts Facts(const QString &description)
{
    static const QMap<QString, BootSetting::Source> sources{
        {"link", BootSetting::Source::LinkFile}, {"nm", BootSetting::Source::NetworkManager},
        {"netplan", BootSetting::Source::Netplan}, {"ifupdown", BootSetting::Source::Ifupdown},
        {"tlp", BootSetting::Source::Tlp}, {"udev", BootSetting::Source::UdevRule},
        {"unit", BootSetting::Source::SystemdUnit}};
    InterfaceFacts facts;
    facts.name = "eth0";
    facts.mac = "00:11:22:33:44:55";
    facts.carrier = !description.contains("nocarrier");
    for (const QString &word : description.split(' ', Qt::SkipEmptyParts)) {
        const QString key = word.section('=', 0, 0);
        const QString value = word.section('=', 1);
        if (key == "supports")
            facts.wakeOnSupported = value.toStdString();
        else if (key == "on")
            facts.wakeOnEnabled = value.toStdString();
        else if (key == "kind")
            facts.kind = value.toStdString();
        else if (key == "wakeup")
            facts.deviceWakeup = value == "1";
        else if (sources.contains(key))
            facts.boot.push_back({sources[key], key == "nm" ? "Wired connection 1" : "/etc/x", "as written",
                                  value == "-1" ? std::nullopt : std::optional(value == "1"), 3, {}, {}});
    }
    return facts;
}

} // namespace

class TestWakeReadiness final : public QObject
{
    Q_OBJECT

private slots:
    void verdicts_data();
    void verdicts();
    void changedMac();
    void wakeInterface();
    void sleepNotes();
};

void TestWakeReadiness::verdicts_data()
{
    QTest::addColumn<QString>("facts");
    QTest::addColumn<QStringList>("reasons"); // a word of each reason, in order
    QTest::addColumn<QStringList>("fixes");   // the first line of each fix

    const QString noFix = "none on this machine: wake it through an interface whose card and driver support Wake-on by "
                          "magic packet";
    const QString ethtool = "sudo ethtool -s eth0 wol g";
    const QString wakeup = "echo enabled | sudo tee /sys/class/net/eth0/device/power/wakeup";
    const QString tlp = "set WOL_DISABLE=N in /etc/tlp.conf, then: sudo tlp start";
    const QString ownLinkFile = "create /etc/systemd/network/50-wake-eth0.link with:";
    QTest::newRow("ready, kept by a .link file") << "supports=pumbg on=g wakeup=1 link=1" << QStringList{}
                                                 << QStringList{};
    QTest::newRow("veth: no Wake-on at all") << "" << QStringList{"offers no Wake-on"} << QStringList{noFix};
    QTest::newRow("not by magic packet") << "supports=pumb on=d link=1" << QStringList{"not by magic packet"}
                                         << QStringList{noFix};
    QTest::newRow("TLP after a .link file") << "supports=g on=g link=1 tlp=0" << QStringList{"TLP turns"}
                                            << QStringList{tlp};
    QTest::newRow("the last to act decides: NetworkManager after a .link file's off")
        << "supports=g on=g link=0 nm=1" << QStringList{} << QStringList{};
    QTest::newRow("a .link file turns it off, a unit leaves it")
        << "supports=g on=g link=0 unit=-1" << QStringList{"systemd .link file turns"}
        << QStringList{"in the [Link] section of /etc/x (for a file under /usr/lib, in a copy of it in "
                       "/etc/systemd/network), set WakeOnLan=magic"};
    QTest::newRow("a udev rule after ifupdown")
        << "supports=g on=g ifupdown=1 udev=0" << QStringList{"udev rule turns"}
        << QStringList{"in /etc/x line 3, change as written to wol g, then: sudo udevadm control --reload"};
    QTest::newRow("NetworkManager leaves it")
        << "supports=g on=g nm=-1" << QStringList{"nothing turns Wake-on on"}
        << QStringList{"sudo nmcli connection modify 'Wired connection 1' 802-3-ethernet.wake-on-lan magic"};
    QTest::newRow("netplan turns it off, ifupdown leaves it")
        << "supports=g on=g netplan=0 ifupdown=-1" << QStringList{"netplan turns"}
        << QStringList{"in /etc/x, give eth0 under network.ethernets the line wakeonlan: true, then: sudo netplan apply"};
    QTest::newRow("ifupdown leaves it") << "supports=g on=g ifupdown=-1" << QStringList{"nothing turns"}
                                        << QStringList{"add the line \"ethernet-wol g\" to the iface eth0 stanza of /etc/x"};
    QTest::newRow("nothing sets it") << "supports=g on=g" << QStringList{"nothing turns"} << QStringList{ownLinkFile};
    QTest::newRow("a virtual interface, no cable to plug in")
        << "nocarrier kind=ifb" << QStringList{"offers no Wake-on (ethtool shows no \"Supports Wake-on\"): ifb is"}
        << QStringList{"none on this machine: wake it through an interface whose card and driver support Wake-on by "
                       "magic packet"};
    QTest::newRow("everything wrong, most basic first")
        << "nocarrier supports=pumbg on=d wakeup=0 tlp=0"
        << QStringList{"no carrier", "off now", "power/wakeup", "TLP"}
        << QStringList{"plug the cable in, or switch on the port at the other end", ethtool, wakeup, tlp};
}

void TestWakeReadiness::verdicts()
{
    QFETCH(QString, facts);
    QFETCH(QStringList, reasons);
    QFETCH(QStringList, fixes);

    const InterfaceVerdict verdict = JudgeInterface(Facts(facts));
    QCOMPARE(verdict.ready, reasons.isEmpty());
    QStringList gotFixes;
    for (qsizetype i = 0; i < qsizetype(verdict.reasons.size()); ++i) {
        const QString text = QString::fromStdString(verdict.reasons[size_t(i)].text);
        QVERIFY2(text.contains(reasons.value(i, "(none expected)")), qPrintable(text));
        gotFixes << QString::fromStdString(verdict.reasons[size_t(i)].fix.at(0));
    }
    QCOMPARE(gotFixes, fixes);
}

// The card may wake on either address: the .link file matches the permanent one,
// the wake command sends to both.
void TestWakeReadiness::changedMac()
{
    InterfaceFacts facts = Facts("supports=g on=g");
    facts.permanentMac = "00:11:22:33:44:66";
    QCOMPARE(QString::fromStdString(WakeCommand(facts)), "wakeonlan 00:11:22:33:44:66 00:11:22:33:44:55");
    const InterfaceVerdict verdict = JudgeInterface(facts);
    QCOMPARE(QString::fromStdString(verdict.reasons.at(0).fix.at(2)), "MACAddress=00:11:22:33:44:66");
    QCOMPARE(QString::fromStdString(verdict.reasons.at(0).fix.back()), "WakeOnLan=magic");
    QVERIFY(verdict.notes.at(0).find("permanent address 00:11:22:33:44:66") != std::string::npos);
}

// To the first subnet that has a broadcast address, through the first ready interface with IPv4.
void TestWakeReadiness::wakeInterface()
{
    std::vector<InterfaceFacts> interfaces(4, Facts("supports=g on=g"));
    interfaces[0].ipv4.push_back({"10.0.0.1", 24, "10.0.0.255"});
    interfaces[2].ipv4 = {{"10.0.9.1", 32, ""}, {"10.0.1.1", 24, "10.0.1.255"}};
    std::vector<InterfaceVerdict> verdicts(4);
    QCOMPARE(WakeInterface(interfaces, verdicts), std::optional<std::size_t>(0)); // none ready: the first with IPv4
    verdicts[1].ready = verdicts[2].ready = true;
    QCOMPARE(WakeInterface(interfaces, verdicts), std::optional<std::size_t>(2));
    QCOMPARE(QString::fromStdString(WakeCommand(interfaces[2])), "wakeonlan -i 10.0.1.255 00:11:22:33:44:55");
    interfaces[2].ipv4.clear();
    QCOMPARE(WakeInterface(interfaces, verdicts), std::optional<std::size_t>(1));
    QCOMPARE(WakeInterface({}, {}), std::optional<std::size_t>());
}

void TestWakeReadiness::sleepNotes()
{
    QCOMPARE(SleepNotes({{"freeze", "mem"}, {"s2idle", "[deep]"}}).size(), size_t(1)); // the firmware's note alone
    QVERIFY(SleepNotes({{"mem"}, {"[s2idle]", "deep"}}).at(0).find("mem_sleep_default=deep") != std::string::npos);
    QVERIFY(SleepNotes({{"freeze"}, {}}).at(0).find("neither suspend nor hibernation") != std::string::npos);
}

QTEST_APPLESS_MAIN(TestWakeReadiness)
#include "tst_wakereadiness.moc"
