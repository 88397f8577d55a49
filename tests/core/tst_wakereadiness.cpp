#include "wakereadiness.h"

#include <QStringList>
#include <QTest>

namespace {

using Source = BootSetting::Source;

// "tlp=0": TLP turns it off, "link=1": a .link file turns it on, "nm=-1": the
// NetworkManager connection leaves it alone.
std::vector<BootSetting> Boot(const QStringList &settings)
{
    static const QMap<QString, Source> sources{{"link", Source::LinkFile}, {"nm", Source::NetworkManager},
                                               {"netplan", Source::Netplan}, {"ifupdown", Source::Ifupdown},
                                               {"tlp", Source::Tlp}};
    const QMap<QString, std::string> where{{"nm", "Wired connection 1"}, {"ifupdown", "/etc/network/interfaces"}};
    std::vector<BootSetting> boot;
    for (const QString &setting : settings) {
        const int value = setting.section('=', 1).toInt();
        const QString source = setting.section('=', 0, 0);
        boot.push_back({sources.value(source), where.value(source, "/etc/x"), "as written",
                        value < 0 ? std::nullopt : std::optional(value == 1)});
    }
    return boot;
}

InterfaceFacts Facts(bool carrier, const QString &supported, const QString &enabled, int wakeup,
                     const QStringList &boot)
{
    InterfaceFacts facts;
    facts.name = "eth0";
    facts.mac = "00:11:22:33:44:55";
    facts.carrier = carrier;
    if (!supported.isEmpty()) {
        facts.wakeOnSupported = supported.toStdString();
        facts.wakeOnEnabled = enabled.toStdString();
    }
    if (wakeup >= 0)
        facts.deviceWakeup = wakeup == 1;
    facts.boot = Boot(boot);
    return facts;
}

} // namespace

class TestWakeReadiness final : public QObject
{
    Q_OBJECT

private slots:
    void verdicts_data();
    void verdicts();
    void linkFileOfItsOwnMatchesThePermanentAddress();
    void wakeCommand_data();
    void wakeCommand();
    void wakeInterfacePrefersReadyWithIpv4();
    void sleepNotes_data();
    void sleepNotes();
};

void TestWakeReadiness::verdicts_data()
{
    QTest::addColumn<bool>("carrier");
    QTest::addColumn<QString>("supported"); // empty: the driver offers no Wake-on
    QTest::addColumn<QString>("enabled");
    QTest::addColumn<int>("wakeup"); // -1: no flag
    QTest::addColumn<QStringList>("boot");
    QTest::addColumn<QStringList>("reasons"); // a word of each reason, in order
    QTest::addColumn<QStringList>("fixes");   // the first line of each fix

    const QString noFix = "none on this machine: wake it through an interface whose card and driver support Wake-on by "
                          "magic packet";
    const QString ownLinkFile = "create /etc/systemd/network/50-wake-eth0.link with:";
    QTest::newRow("ready, kept by a .link file") << true << "pumbg" << "g" << 1 << QStringList{"link=1"}
                                                 << QStringList{} << QStringList{};
    QTest::newRow("veth: no Wake-on at all") << true << "" << "" << -1 << QStringList{}
                                             << QStringList{"offers no Wake-on"} << QStringList{noFix};
    QTest::newRow("Wake-on, but not by magic packet") << true << "pumb" << "d" << 1 << QStringList{"link=1"}
                                                      << QStringList{"not by magic packet"} << QStringList{noFix};
    QTest::newRow("off now") << true << "pumbg" << "d" << 1 << QStringList{"nm=1"} << QStringList{"off now"}
                             << QStringList{"sudo ethtool -s eth0 wol g"};
    QTest::newRow("device may not wake") << true << "pumbg" << "g" << 0 << QStringList{"link=1"}
                                         << QStringList{"power/wakeup"}
                                         << QStringList{"echo enabled | sudo tee /sys/class/net/eth0/device/power/wakeup"};
    QTest::newRow("TLP turns off what the .link file turns on")
        << true << "pumbg" << "g" << 1 << QStringList{"link=1", "tlp=0"} << QStringList{"TLP turns"}
        << QStringList{"set WOL_DISABLE=N in /etc/tlp.conf, then: sudo tlp start"};
    QTest::newRow("a .link file turns it off") << true << "pumbg" << "g" << 1 << QStringList{"link=0", "nm=1"}
                                               << QStringList{"systemd .link file turns"}
                                               << QStringList{"in the [Link] section of /etc/x (for a file under "
                                                              "/usr/lib, in a copy of it in /etc/systemd/network), set "
                                                              "WakeOnLan=magic"};
    QTest::newRow("NetworkManager leaves it: its connection keeps it")
        << true << "pumbg" << "g" << 1 << QStringList{"nm=-1"} << QStringList{"nothing turns Wake-on on at boot"}
        << QStringList{"sudo nmcli connection modify 'Wired connection 1' 802-3-ethernet.wake-on-lan magic"};
    QTest::newRow("netplan's default and an ifupdown stanza")
        << true << "pumbg" << "g" << -1 << QStringList{"netplan=0", "ifupdown=-1"}
        << QStringList{"netplan turns", "nothing turns"}
        << QStringList{"in /etc/x, give eth0 under network.ethernets the line wakeonlan: true, then: sudo netplan apply",
                       "add the line \"ethernet-wol g\" to the iface eth0 stanza of /etc/network/interfaces"};
    QTest::newRow("nothing at all sets it") << true << "pumbg" << "g" << 1 << QStringList{}
                                            << QStringList{"nothing turns"} << QStringList{ownLinkFile};
    QTest::newRow("everything wrong, most basic first")
        << false << "pumbg" << "d" << 0 << QStringList{"tlp=0"}
        << QStringList{"no carrier", "off now", "power/wakeup", "TLP", "nothing turns"}
        << QStringList{"plug the cable in, or switch on the port at the other end", "sudo ethtool -s eth0 wol g",
                       "echo enabled | sudo tee /sys/class/net/eth0/device/power/wakeup",
                       "set WOL_DISABLE=N in /etc/tlp.conf, then: sudo tlp start", ownLinkFile};
}

void TestWakeReadiness::verdicts()
{
    QFETCH(bool, carrier);
    QFETCH(QString, supported);
    QFETCH(QString, enabled);
    QFETCH(int, wakeup);
    QFETCH(QStringList, boot);
    QFETCH(QStringList, reasons);
    QFETCH(QStringList, fixes);

    const InterfaceVerdict verdict = JudgeInterface(Facts(carrier, supported, enabled, wakeup, boot));
    QCOMPARE(verdict.ready, reasons.isEmpty());
    QStringList gotFixes;
    for (qsizetype i = 0; i < qsizetype(verdict.reasons.size()); ++i) {
        const QString text = QString::fromStdString(verdict.reasons[size_t(i)].text);
        QVERIFY2(text.contains(reasons.value(i, "(none expected)")), qPrintable(text));
        gotFixes << QString::fromStdString(verdict.reasons[size_t(i)].fix.at(0));
    }
    QCOMPARE(gotFixes, fixes);
}

void TestWakeReadiness::linkFileOfItsOwnMatchesThePermanentAddress()
{
    InterfaceFacts facts = Facts(true, "g", "g", 1, {});
    facts.permanentMac = "00:11:22:33:44:66";
    const InterfaceVerdict verdict = JudgeInterface(facts);
    QCOMPARE(verdict.reasons.size(), size_t(1));
    const std::vector<std::string> expected{"create /etc/systemd/network/50-wake-eth0.link with:",
                                            "[Match]",
                                            "MACAddress=00:11:22:33:44:66",
                                            "[Link]",
                                            "NamePolicy=kernel database onboard slot path",
                                            "MACAddressPolicy=persistent",
                                            "WakeOnLan=magic"};
    QVERIFY(verdict.reasons[0].fix == expected);
    QVERIFY(QString::fromStdString(verdict.notes.at(0)).contains("may wake on its permanent address 00:11:22:33:44:66"));
}

void TestWakeReadiness::wakeCommand_data()
{
    QTest::addColumn<QStringList>("broadcasts"); // one subnet each; "" has none
    QTest::addColumn<QString>("permanent");
    QTest::addColumn<QString>("command");
    QTest::newRow("no IPv4: the limited broadcast") << QStringList{} << "" << "wakeonlan 00:11:22:33:44:55";
    QTest::newRow("the subnet's broadcast") << QStringList{"192.168.1.255"} << ""
                                            << "wakeonlan -i 192.168.1.255 00:11:22:33:44:55";
    QTest::newRow("the first subnet that has one") << QStringList{"", "10.0.0.255"} << ""
                                                   << "wakeonlan -i 10.0.0.255 00:11:22:33:44:55";
    QTest::newRow("changed MAC: both") << QStringList{"192.168.1.255"} << "00:11:22:33:44:66"
                                       << "wakeonlan -i 192.168.1.255 00:11:22:33:44:66 00:11:22:33:44:55";
}

void TestWakeReadiness::wakeCommand()
{
    QFETCH(QStringList, broadcasts);
    QFETCH(QString, permanent);
    QFETCH(QString, command);
    InterfaceFacts facts = Facts(true, "g", "g", 1, {});
    for (const QString &broadcast : broadcasts)
        facts.ipv4.push_back({"192.168.1.20", 24, broadcast.toStdString()});
    if (!permanent.isEmpty())
        facts.permanentMac = permanent.toStdString();
    QCOMPARE(QString::fromStdString(WakeCommand(facts)), command);
}

void TestWakeReadiness::wakeInterfacePrefersReadyWithIpv4()
{
    std::vector<InterfaceFacts> interfaces(4, Facts(true, "g", "g", 1, {}));
    interfaces[0].ipv4.push_back({"10.0.0.1", 24, "10.0.0.255"});
    interfaces[2].ipv4.push_back({"10.0.1.1", 24, "10.0.1.255"});
    std::vector<InterfaceVerdict> verdicts(4);
    QCOMPARE(WakeInterface(interfaces, verdicts), std::optional<std::size_t>(0)); // none ready: the first with IPv4
    verdicts[1].ready = verdicts[2].ready = true;
    QCOMPARE(WakeInterface(interfaces, verdicts), std::optional<std::size_t>(2));
    interfaces[2].ipv4.clear();
    QCOMPARE(WakeInterface(interfaces, verdicts), std::optional<std::size_t>(1));
    QCOMPARE(WakeInterface({}, {}), std::optional<std::size_t>());
}

void TestWakeReadiness::sleepNotes_data()
{
    QTest::addColumn<QString>("states");
    QTest::addColumn<QString>("memSleep");
    QTest::addColumn<QStringList>("words"); // one per note, the firmware note last
    const QString firmware = "firmware setup";
    QTest::newRow("deep suspend") << "freeze mem disk" << "s2idle [deep]" << QStringList{firmware};
    QTest::newRow("s2idle, deep offered") << "freeze mem disk" << "[s2idle] deep"
                                          << QStringList{"mem_sleep_default=deep", firmware};
    QTest::newRow("s2idle alone") << "freeze mem" << "[s2idle]" << QStringList{"cannot be woken", firmware};
    QTest::newRow("no sleep state") << "freeze" << "" << QStringList{"neither suspend nor hibernation", firmware};
    QTest::newRow("unreadable") << "" << "" << QStringList{firmware};
}

void TestWakeReadiness::sleepNotes()
{
    QFETCH(QString, states);
    QFETCH(QString, memSleep);
    QFETCH(QStringList, words);
    SleepStates sleep;
    for (const QString &state : states.split(' ', Qt::SkipEmptyParts))
        sleep.states.push_back(state.toStdString());
    for (const QString &state : memSleep.split(' ', Qt::SkipEmptyParts))
        sleep.memSleep.push_back(state.toStdString());
    const std::vector<std::string> notes = SleepNotes(sleep);
    QCOMPARE(qsizetype(notes.size()), words.size());
    for (qsizetype i = 0; i < words.size(); ++i)
        QVERIFY2(QString::fromStdString(notes[size_t(i)]).contains(words[i]), notes[size_t(i)].c_str());
}

QTEST_APPLESS_MAIN(TestWakeReadiness)
#include "tst_wakereadiness.moc"
