// Each tool that sets Wake-on at boot, read from a folder of sample files and
// from canned answers of udevadm and nmcli.

#include "bootsettings.h"

#include <QMap>
#include <QTest>

namespace {

const QString kSamples = QStringLiteral(CORVALEN_BOOT_SAMPLES);

// Answers exactly these command lines; fails the rest, as a program that is not installed does.
class CannedRunner final : public CommandRunner
{
public:
    std::optional<QByteArray> Run(const QString &program, const QStringList &arguments) override
    {
        const QString line = program + ' ' + arguments.join(' ');
        return answers.contains(line) ? std::optional(answers.value(line)) : std::nullopt;
    }
    const QString udevadm = "udevadm info --query=property /sys/class/net/";
    const QString device = "nmcli -g GENERAL.CONNECTION device show ";
    const QString connection = "nmcli -g 802-3-ethernet.wake-on-lan connection show id ";
    QMap<QString, QByteArray> answers{
        {udevadm + "eth0", "ID_NET_NAMING_SCHEME=v252\nID_NET_LINK_FILE=/etc/systemd/network/50-wake.link\nX=1\n"},
        {udevadm + "eth1", "ID_NET_LINK_FILE=/etc/systemd/network/60-off.link\n"},
        {udevadm + "eth2", "ID_NET_LINK_FILE=/usr/lib/systemd/network/99-default.link\n"},
        {udevadm + "eth4", "ID_NET_LINK_FILE=/etc/systemd/network/gone.link\n"},
        {device + "eth0", "Wired connection 1\n"},          {connection + "Wired connection 1", "magic\n"},
        {device + "eth1", "office\\:lan\n"},                {connection + "office:lan", "default\n"},
        {device + "eth2", "\n"},                            {device + "eth3", "home\n"},
        {connection + "home", "phy, unicast\n"},
    };
};

} // namespace

class TestBootSettings final : public QObject
{
    Q_OBJECT

private slots:
    void eachSource_data();
    void eachSource();
};

void TestBootSettings::eachSource_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("root"); // a folder under the samples
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("where"); // empty: the source does not apply
    QTest::addColumn<QString>("setting");
    QTest::addColumn<int>("wakes"); // 1 on, 0 off, -1 leaves it

    static const struct
    {
        const char *tag, *source, *root, *name, *where, *setting;
        int wakes;
    } rows[] = {
        {"link: magic", "link", "machine", "eth0", "/etc/systemd/network/50-wake.link", "WakeOnLan=magic", 1},
        {"link: last of [Link]", "link", "machine", "eth1", "/etc/systemd/network/60-off.link", "WakeOnLan=off", 0},
        {"link: default file", "link", "machine", "eth2", "/usr/lib/systemd/network/99-default.link",
         "WakeOnLan not set", -1},
        {"link: udevadm knows none", "link", "machine", "eth3", "", "", -1},
        {"link: file gone", "link", "machine", "eth4", "/etc/systemd/network/gone.link", "cannot be read", -1},
        {"nm: magic", "nm", "", "eth0", "Wired connection 1", "802-3-ethernet.wake-on-lan magic", 1},
        {"nm: default, escaped", "nm", "", "eth1", "office:lan", "802-3-ethernet.wake-on-lan default", -1},
        {"nm: no connection", "nm", "", "eth2", "", "", -1},
        {"nm: other modes", "nm", "", "eth3", "home", "802-3-ethernet.wake-on-lan phy, unicast", 0},
        {"nm: not installed", "nm", "", "eth4", "", "", -1},
        {"netplan: by name", "netplan", "machine", "eth0", "/etc/netplan/01-netcfg.yaml", "wakeonlan: true", 1},
        {"netplan: by permanent MAC", "netplan", "machine", "eth9", "/etc/netplan/01-netcfg.yaml", "wakeonlan: true",
         1},
        {"netplan: name pattern, default", "netplan", "machine", "enp3s0", "/etc/netplan/01-netcfg.yaml",
         "wakeonlan not set (netplan's default is off)", 0},
        {"netplan: later file", "netplan", "machine", "eth5", "/etc/netplan/90-override.yaml", "wakeonlan: false", 0},
        {"netplan: not there", "netplan", "machine", "eth7", "", "", -1},
        {"netplan: broken", "netplan", "netplan-broken", "eth0", "/etc/netplan/01-broken.yaml", "cannot be read", -1},
        {"ifupdown: g, and inet6", "ifupdown", "machine", "eth0", "/etc/network/interfaces", "ethernet-wol g", 1},
        {"ifupdown: d, comment", "ifupdown", "machine", "eth1", "/etc/network/interfaces", "ethernet-wol d", 0},
        {"ifupdown: without", "ifupdown", "machine", "eth2", "/etc/network/interfaces", "no ethernet-wol line", -1},
        {"ifupdown: auto line only", "ifupdown", "machine", "eth3", "", "", -1},
        {"tlp: tlp.conf", "tlp", "machine", "eth0", "/etc/tlp.conf", "WOL_DISABLE=Y", 0},
        {"tlp: default", "tlp", "tlp-default", "eth0", "TLP's default", "WOL_DISABLE=Y", 0},
        {"tlp: last tlp.d file", "tlp", "tlp-dropin", "eth0", "/etc/tlp.d/50-wol.conf", "WOL_DISABLE=N", -1},
        {"tlp: not installed", "tlp", "netplan-broken", "eth0", "", "", -1},
        {"tlp: removed, tlp.conf left", "tlp", "tlp-removed", "eth0", "", "", -1},
    };
    for (const auto &row : rows)
        QTest::newRow(row.tag) << row.source << row.root << row.name << row.where << row.setting << row.wakes;
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

QTEST_GUILESS_MAIN(TestBootSettings)
#include "tst_bootsettings.moc"
