// Each tool that sets Wake-on at boot, read from a folder of sample files and
// from canned answers of udevadm and nmcli.

#include "bootsettings.h"
#include "wiredinterfaces.h"

#include <QMap>
#include <QTest>

namespace {

const QString kSamples = QStringLiteral(CORVALEN_BOOT_SAMPLES);

// Answers what it was told to for exactly these command lines; fails the rest, as
// a program that is not installed does.
class CannedRunner final : public CommandRunner
{
public:
    std::optional<QByteArray> Run(const QString &program, const QStringList &arguments) override
    {
        const QString line = program + ' ' + arguments.join(' ');
        return answers.contains(line) ? std::optional(answers.value(line)) : std::nullopt;
    }
    QMap<QString, QByteArray> answers{
        {"udevadm info --query=property /sys/class/net/eth0",
         "ID_NET_NAMING_SCHEME=v252\nID_NET_LINK_FILE=/etc/systemd/network/50-wake.link\nID_NET_NAME=eth0\n"},
        {"udevadm info --query=property /sys/class/net/eth1", "ID_NET_LINK_FILE=/etc/systemd/network/60-off.link\n"},
        {"udevadm info --query=property /sys/class/net/eth2",
         "ID_NET_LINK_FILE=/usr/lib/systemd/network/99-default.link\n"},
        {"udevadm info --query=property /sys/class/net/eth4", "ID_NET_LINK_FILE=/etc/systemd/network/gone.link\n"},
        {"nmcli -g GENERAL.CONNECTION device show eth0", "Wired connection 1\n"},
        {"nmcli -g 802-3-ethernet.wake-on-lan connection show id Wired connection 1", "magic\n"},
        {"nmcli -g GENERAL.CONNECTION device show eth1", "office\\:lan\n"},
        {"nmcli -g 802-3-ethernet.wake-on-lan connection show id office:lan", "default\n"},
        {"nmcli -g GENERAL.CONNECTION device show eth2", "\n"},
        {"nmcli -g GENERAL.CONNECTION device show eth3", "home\n"},
        {"nmcli -g 802-3-ethernet.wake-on-lan connection show id home", "phy, unicast\n"},
    };
};

} // namespace

class TestBootSettings final : public QObject
{
    Q_OBJECT

private slots:
    void eachSource_data();
    void eachSource();
    void allInTheOrderTheyApply();
    void sleepStates();
};

void TestBootSettings::eachSource_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("root"); // a folder under the samples
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("where"); // empty: the source does not apply
    QTest::addColumn<QString>("setting");
    QTest::addColumn<int>("wakes"); // 1 on, 0 off, -1 leaves it

    QTest::newRow("link: magic") << "link" << "machine" << "eth0" << "/etc/systemd/network/50-wake.link"
                                 << "WakeOnLan=magic" << 1;
    QTest::newRow("link: the last line of [Link]") << "link" << "machine" << "eth1"
                                                   << "/etc/systemd/network/60-off.link" << "WakeOnLan=off" << 0;
    QTest::newRow("link: the default file leaves it") << "link" << "machine" << "eth2"
                                                      << "/usr/lib/systemd/network/99-default.link"
                                                      << "WakeOnLan not set" << -1;
    QTest::newRow("link: udevadm knows none") << "link" << "machine" << "eth3" << "" << "" << -1;
    QTest::newRow("link: a file that is gone") << "link" << "machine" << "eth4" << "/etc/systemd/network/gone.link"
                                               << "cannot be read" << -1;
    QTest::newRow("nm: magic") << "nm" << "" << "eth0" << "Wired connection 1"
                               << "802-3-ethernet.wake-on-lan magic" << 1;
    QTest::newRow("nm: default, escaped name") << "nm" << "" << "eth1" << "office:lan"
                                               << "802-3-ethernet.wake-on-lan default" << -1;
    QTest::newRow("nm: no active connection") << "nm" << "" << "eth2" << "" << "" << -1;
    QTest::newRow("nm: other modes") << "nm" << "" << "eth3" << "home" << "802-3-ethernet.wake-on-lan phy, unicast"
                                     << 0;
    QTest::newRow("nm: not installed") << "nm" << "" << "eth4" << "" << "" << -1;
    QTest::newRow("netplan: by name") << "netplan" << "machine" << "eth0" << "/etc/netplan/01-netcfg.yaml"
                                      << "wakeonlan: true" << 1;
    QTest::newRow("netplan: by permanent MAC") << "netplan" << "machine" << "eth9" << "/etc/netplan/01-netcfg.yaml"
                                               << "wakeonlan: true" << 1;
    QTest::newRow("netplan: by name pattern, its default")
        << "netplan" << "machine" << "enp3s0" << "/etc/netplan/01-netcfg.yaml"
        << "wakeonlan not set (netplan's default is off)" << 0;
    QTest::newRow("netplan: a later file overrides") << "netplan" << "machine" << "eth5"
                                                     << "/etc/netplan/90-override.yaml" << "wakeonlan: false" << 0;
    QTest::newRow("netplan: not there") << "netplan" << "machine" << "eth7" << "" << "" << -1;
    QTest::newRow("netplan: broken YAML") << "netplan" << "netplan-broken" << "eth0"
                                          << "/etc/netplan/01-broken.yaml" << "cannot be read" << -1;
    QTest::newRow("ifupdown: g, inet6 stanza too") << "ifupdown" << "machine" << "eth0" << "/etc/network/interfaces"
                                                   << "ethernet-wol g" << 1;
    QTest::newRow("ifupdown: d, comment skipped") << "ifupdown" << "machine" << "eth1" << "/etc/network/interfaces"
                                                  << "ethernet-wol d" << 0;
    QTest::newRow("ifupdown: stanza without it") << "ifupdown" << "machine" << "eth2" << "/etc/network/interfaces"
                                                 << "no ethernet-wol line" << -1;
    QTest::newRow("ifupdown: only an auto line") << "ifupdown" << "machine" << "eth3" << "" << "" << -1;
    QTest::newRow("tlp: tlp.conf") << "tlp" << "machine" << "eth0" << "/etc/tlp.conf" << "WOL_DISABLE=Y" << 0;
    QTest::newRow("tlp: its default") << "tlp" << "tlp-default" << "eth0" << "TLP's default" << "WOL_DISABLE=Y" << 0;
    QTest::newRow("tlp: the last tlp.d file") << "tlp" << "tlp-dropin" << "eth0" << "/etc/tlp.d/50-wol.conf"
                                              << "WOL_DISABLE=N" << -1;
    QTest::newRow("tlp: not installed") << "tlp" << "netplan-broken" << "eth0" << "" << "" << -1;
    QTest::newRow("tlp: removed, tlp.conf left") << "tlp" << "tlp-removed" << "eth0" << "" << "" << -1;
}

void TestBootSettings::eachSource()
{
    QFETCH(QString, source);
    QFETCH(QString, root);
    QFETCH(QString, name);
    QFETCH(QString, where);
    QFETCH(QString, setting);
    QFETCH(int, wakes);

    CannedRunner runner;
    const QString folder = kSamples + '/' + root;
    const std::string interface = name.toStdString();
    const std::vector<std::string> macs{"00:11:22:33:44:55", "00:11:22:33:44:aa"};
    std::optional<BootSetting> read;
    if (source == "link")
        read = LinkFileSetting(folder, runner, interface);
    else if (source == "nm")
        read = NetworkManagerSetting(runner, interface);
    else if (source == "netplan")
        read = NetplanSetting(folder, interface, interface == "eth9" ? macs : std::vector<std::string>{});
    else if (source == "ifupdown")
        read = IfupdownSetting(folder, interface);
    else
        read = TlpSetting(folder);

    QCOMPARE(read.has_value(), !where.isEmpty());
    if (!read)
        return;
    QCOMPARE(QString::fromStdString(read->where), where);
    QVERIFY2(QString::fromStdString(read->setting).startsWith(setting), read->setting.c_str());
    QCOMPARE(read->wakesOnMagic.has_value() ? int(*read->wakesOnMagic) : -1, wakes);
}

void TestBootSettings::allInTheOrderTheyApply()
{
    CannedRunner runner;
    const std::vector<BootSetting> settings = BootSettings(kSamples + "/machine", runner, "eth0", {"00:11:22:33:44:55"});
    QStringList sources;
    for (const BootSetting &setting : settings)
        sources << QString::fromStdString(BootSourceName(setting.source));
    QCOMPARE(sources, (QStringList{"systemd .link file", "netplan", "ifupdown", "NetworkManager", "TLP"}));
}

void TestBootSettings::sleepStates()
{
    const SleepStates sleep = ReadSleepStates(kSamples + "/machine");
    QVERIFY((sleep.states == std::vector<std::string>{"freeze", "mem", "disk"}));
    QVERIFY((sleep.memSleep == std::vector<std::string>{"s2idle", "[deep]"}));
    QVERIFY(ReadSleepStates(kSamples + "/nowhere").states.empty());
}

QTEST_GUILESS_MAIN(TestBootSettings)
#include "tst_bootsettings.moc"
