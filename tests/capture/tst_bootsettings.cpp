// What sets Wake-on at boot, read from folders of sample files written as each
// tool's documentation writes them, and from canned answers of udevadm and nmcli:
// each source with its file and line, in the order they act.

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
        {udevadm + "eth1", "ID_NET_LINK_FILE=/usr/lib/systemd/network/99-default.link\n"},
        {device + "eth0", "Wired connection 1\n"},          {connection + "Wired connection 1", "magic\n"},
        {device + "eth1", "office\\:lan\n"},                {connection + "office:lan", "default\n"},
        {device + "eth2", "--\n"},                          {device + "eth3", "home\n"},
        {connection + "home", "phy, unicast\n"},
    };
};

// "TLP /etc/tlp.conf:4 off"
QString Described(const BootSetting &setting)
{
    const QString effect = !setting.wakesOnMagic ? "leaves" : *setting.wakesOnMagic ? "on" : "off";
    return QString::fromStdString(BootSourceName(setting.source) + " " + setting.where)
           + (setting.line > 0 ? ":" + QString::number(setting.line) : QString()) + " " + effect;
}

} // namespace

class TestBootSettings final : public QObject
{
    Q_OBJECT

private slots:
    void inBootOrder_data();
    void inBootOrder();
};

void TestBootSettings::inBootOrder_data()
{
    QTest::addColumn<QString>("root"); // a folder under the samples
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("macs"); // current, then permanent
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("said"); // in a setting or note; empty: nothing to look for

    const QString wiki = "ifupdown /etc/network/interfaces";
    const QString keyfile = "/etc/NetworkManager/system-connections/";
    const char *unset = "ethernet.wake-on-lan is set in no NetworkManager.conf";
    static const struct
    {
        const char *tag, *root, *name, *macs;
        QStringList expected;
        const char *said;
    } rows[] = {
        {"TLP undoes a .link file, netplan, ifupdown and NetworkManager", "machine", "eth0", "00:11:22:33:44:55",
         {"systemd .link file /etc/systemd/network/50-wake.link:7 on", "netplan /etc/netplan/01-netcfg.yaml:7 on",
          "ifupdown /etc/network/interfaces:7 on", "NetworkManager Wired connection 1 on", "TLP /etc/tlp.conf:4 off"},
         ""},
        {".link's last WakeOnLan, udevadm's older file, NetworkManager's unset default", "machine", "eth1",
         "00:11:22:33:44:66",
         {"systemd .link file /etc/systemd/network/60-off.link:7 off", wiki + ":13 off",
          "NetworkManager office:lan leaves", "TLP /etc/tlp.conf:4 off"},
         "udev applied /usr/lib/systemd/network/99-default.link when the device appeared"},
        {"netplan: permanent MAC; NetworkManager: no connection", "machine", "eth2", "00:11:22:33:44:99 00:11:22:33:44:aa",
         {"systemd .link file /usr/lib/systemd/network/99-default.link leaves", "netplan /etc/netplan/01-netcfg.yaml:12 on",
          wiki + ":16 leaves", "TLP /etc/tlp.conf:4 off"},
         "no ethernet-wol line"},
        {"netplan: later file; NetworkManager: other modes", "machine", "eth5", "00:11:22:33:44:99",
         {"systemd .link file /usr/lib/systemd/network/99-default.link leaves",
          "netplan /etc/netplan/90-override.yaml:4 leaves", "TLP /etc/tlp.conf:4 off"},
         "netplan writes no .link file"},
        {"netplan: broken file", "netplan-broken", "eth0", "00:11:22:33:44:55",
         {"netplan /etc/netplan/01-broken.yaml:3 leaves"}, "cannot be read"},
        {"TLP: its default", "tlp-default", "eth0", "00:11:22:33:44:55", {"TLP TLP's default off"}, ""},
        {"TLP: the last tlp.d file", "tlp-dropin", "eth0", "00:11:22:33:44:55", {"TLP /etc/tlp.d/50-wol.conf:1 leaves"},
         ""},
        {"TLP: removed, tlp.conf left", "tlp-removed", "eth0", "00:11:22:33:44:55", {}, ""},
        {"ifupdown: Debian's interfaces.d, as its wiki writes it", "debian-wiki", "eth0", "00:11:22:33:44:55",
         {"ifupdown /etc/network/interfaces.d/eth0:3 on"}, ""},
        {"ifupdown: post-up ethtool $IFACE", "ifupdown-recipes", "eth1", "00:11:22:33:44:55", {wiki + ":4 on"}, ""},
        {"ifupdown: pre-up runs before ethernet-wol", "ifupdown-recipes", "eth2", "00:11:22:33:44:55",
         {wiki + ":9 on", wiki + ":8 off"}, ""},
        {"ifupdown-ng in source-directory, a dotted name skipped", "ifupdown-recipes", "eth3", "00:11:22:33:44:55",
         {"ifupdown /etc/network/interfaces.d/eth3:4 on"}, "ethtool-ethernet-wol g"},
        {"udev: RUN after the .link, in rule order; masked and change rules", "udev", "enp3s0", "00:11:22:33:44:55",
         {"systemd .link file /etc/systemd/network/10-wol-off.link:5 off",
          "udev rule /etc/udev/rules.d/50-wol-by-address.rules:2 on", "udev rule /etc/udev/rules.d/81-wol.rules:1 on"},
         "RUN+=\"/usr/bin/ethtool -s $name wol g\""},
        {"udev: no rule matches", "udev", "eth7", "00:11:22:33:44:66", {}, ""},
        {"units: the template enabled for it; masked and idle ones", "units", "eth0", "00:11:22:33:44:55",
         {"systemd unit /etc/systemd/system/wol@.service:7 on"}, "ExecStart=/usr/bin/ethtool -s %i wol g"},
        {"units: env and sh -c, ExecStartPre first", "units", "eth1", "00:11:22:33:44:55",
         {"systemd unit /etc/systemd/system/wake-lan.service:7 off",
          "systemd unit /etc/systemd/system/wake-lan.service:8 on"},
         ""},
        {"link: driver, type, path, permanent MAC, drop-in; masked vendor file", "links", "enp0s31f6",
         "00:11:22:33:44:55 00:11:22:33:44:aa",
         {"systemd .link file /etc/systemd/network/20-wol.link.d/50-unicast.conf:2 on"}, "WakeOnLan=magic unicast"},
        {"link: kind and name globs, in /run", "links", "ve-web", "00:11:22:33:44:88",
         {"systemd .link file /run/systemd/network/30-veth.link:6 on"}, ""},
        {"link: a file after 99-default.link never applies", "links", "eth6", "00:11:22:33:44:77",
         {"systemd .link file /usr/lib/systemd/network/99-default.link leaves"},
         "/etc/systemd/network/wol.link also matches and sets WakeOnLan=magic"},
        {"nm: keyfile by interface-name, 64", "nm", "eno1", "00:11:22:33:44:55",
         {"NetworkManager " + keyfile + "Wired connection 1.nmconnection:9 on"}, ""},
        {"nm: MAC as bytes, default from a matching conf.d section", "nm", "enp1s0",
         "00:11:22:33:44:55 00:11:22:33:44:aa", {"NetworkManager " + keyfile + "office.nmconnection:8 on"},
         "/etc/NetworkManager/conf.d/90-wol.conf line 3: ethernet.wake-on-lan=64"},
        {"nm: default is [connection]'s ignore; an empty file masks", "nm", "eth9", "00:11:22:33:44:aa",
         {"NetworkManager " + keyfile + "office.nmconnection:8 leaves"}, "ethernet.wake-on-lan=ignore"},
        {"nm: default unset, masked by /dev/null", "nm-unset", "eno1", "00:11:22:33:44:55",
         {"NetworkManager " + keyfile + "Wired connection 1.nmconnection leaves"}, unset},
        {"netplan for NetworkManager: true is NetworkManager's default", "netplan-nm", "eno1", "00:11:22:33:44:55",
         {"netplan /etc/netplan/50-wol.yaml:5 leaves"}, unset},
        {"netplan: networkd's .link for set-name, in /run", "netplan-nm", "lab0", "00:11:22:33:44:66",
         {"netplan /run/netplan/70-lab.yaml:3 off"}, ""},
        {"netplan for NetworkManager: unset is 0", "netplan-nm", "enx001122334499", "00:11:22:33:44:99",
         {"netplan /etc/netplan/80-office.yaml:3 off"}, ""},
    };
    for (const auto &row : rows)
        QTest::newRow(row.tag) << row.root << row.name << row.macs << row.expected << row.said;
}

void TestBootSettings::inBootOrder()
{
    QFETCH(QString, root);
    QFETCH(QString, name);
    QFETCH(QString, macs);
    QFETCH(QStringList, expected);
    QFETCH(QString, said);

    CannedRunner runner; // udevadm and nmcli are there on the sample machine alone
    if (root != "machine")
        runner.answers.clear();
    LinkIdentity link{name.toStdString(), {}, name.startsWith("ve-") ? "veth" : ""};
    for (const QString &mac : macs.split(' '))
        link.macs.push_back(mac.toStdString());
    const std::vector<BootSetting> settings = BootSettings(kSamples + '/' + root, runner, link);
    QStringList got;
    QString text;
    for (const BootSetting &setting : settings) {
        got << Described(setting);
        text += QString::fromStdString(setting.setting + "\n" + setting.note + "\n");
    }
    QCOMPARE(got, expected);
    QVERIFY2(text.contains(said), qPrintable(text));
}

QTEST_GUILESS_MAIN(TestBootSettings)
#include "tst_bootsettings.moc"
