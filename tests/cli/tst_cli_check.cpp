// corvalen-cli --check as a process, in a network namespace of the test's own
// whose one wired interface is the end of a veth pair: what the kernel says of it,
// that it cannot wake the machine, and what sets Wake-on for it at boot, read from a
// private /etc in a mount namespace of the program's own.

#include "rootskip.h"
#include "kernelhelpers.h"
#include "vethnamespace.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <linux/capability.h>
#include <filesystem>
#include <memory>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 20000; // waits end as soon as what they wait for holds
const QString kNamespace = QStringLiteral("cvchk%1").arg(::getpid());
const QString kLink = QStringLiteral("cvk%1a").arg(::getpid() % 100000);

// The program sees `etc` as /etc, and empty /run and vendor folders, in a mount namespace of its own.
void PrivateConfiguration(const QByteArray &etc)
{
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || ::mount(etc.constData(), "/etc", nullptr, MS_BIND | MS_REC, nullptr) != 0)
        ::_exit(126);
    for (const char *vendor : {"/run", "/usr/lib/udev/rules.d", "/usr/lib/systemd/network", "/usr/lib/NetworkManager",
                               "/usr/lib/netplan", "/usr/share/tlp"}) {
        if (::access(vendor, F_OK) == 0 && ::mount("tmpfs", vendor, "tmpfs", 0, nullptr) != 0)
            ::_exit(126);
    }
}

// Its exit status and what it wrote on standard output, then on standard error.
// Root without CAP_NET_RAW in its bounding set starts the program without it.
std::pair<int, QByteArray> RunCli(const QStringList &arguments, bool withoutNetRaw = false,
                                  const QByteArray &privateEtc = {})
{
    QProcess process;
    if (withoutNetRaw)
        process.setChildProcessModifier([] { ::prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0); });
    if (!privateEtc.isEmpty())
        process.setChildProcessModifier([privateEtc] { PrivateConfiguration(privateEtc); });
    process.start(QStringLiteral(CORVALEN_CLI), arguments);
    if (!process.waitForFinished(kWaitMs) || process.exitStatus() != QProcess::NormalExit)
        return {-1, {}};
    return {process.exitCode(), process.readAllStandardOutput() + process.readAllStandardError()};
}

// `ip -o link show` of the end of the pair here: its flags and its MAC address.
QString LinkLine()
{
    QProcess ip;
    ip.start(QStringLiteral("ip"), {QStringLiteral("-o"), QStringLiteral("link"), QStringLiteral("show"), kLink});
    return ip.waitForFinished(kWaitMs) ? QString::fromLatin1(ip.readAll()) : QString();
}

// A recipe's files under `to`, @LINK@ in names and text made the veth's name.
bool CopyRecipe(const QString &recipe, const QString &to)
{
    const QString from = QFileInfo(QStringLiteral(__FILE__)).absolutePath() + "/checkrecipes/" + recipe;
    QDirIterator files(from, QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString source = files.next();
        const QString target = to + QString(source.mid(from.size())).replace("@LINK@", kLink);
        std::error_code error;
        QDir().mkpath(QFileInfo(target).path());
        if (QFileInfo(source).isSymLink())
            std::filesystem::create_symlink(std::filesystem::read_symlink(source.toStdString()), target.toStdString(),
                                            error);
        QFile in(source);
        QFile out(target);
        if (error || (!QFileInfo(source).isSymLink()
                      && !(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly)
                           && out.write(in.readAll().replace("@LINK@", kLink.toUtf8())) >= 0)))
            return false;
    }
    return true;
}

} // namespace

class TestCliCheck final : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase() { m_veth.reset(); }
    void jsonSaysWhatTheKernelKnows();
    void commandLines_data();
    void commandLines();
    void bootSources_data();
    void bootSources();

private:
    std::unique_ptr<VethNamespace> m_veth;
    QString m_mac;
};

void TestCliCheck::initTestCase()
{
    if (::geteuid() != 0)
        SKIP_WITHOUT_ROOT("needs root for network namespaces");
    QVERIFY(::unshare(CLONE_NEWNET) == 0);
    QVERIFY(BringLoopbackUp());
    m_veth = std::make_unique<VethNamespace>(kNamespace, kLink, QStringLiteral("cvk%1b").arg(::getpid() % 100000));
    QString failure;
    QVERIFY2(m_veth->Create("10.231.47.1/24", "10.231.47.2/24", &failure), qPrintable(failure));
    QVERIFY(QTest::qWaitFor([] { return LinkLine().contains("LOWER_UP"); }, kWaitMs));
    m_mac = QRegularExpression("link/ether (\\S+)").match(LinkLine()).captured(1);
    QVERIFY(!m_mac.isEmpty());
}

void TestCliCheck::jsonSaysWhatTheKernelKnows()
{
    const auto [exitCode, out] = RunCli({"--check", "--json"});
    QCOMPARE(exitCode, 1);
    const QJsonObject report = QJsonDocument::fromJson(out).object();
    QCOMPARE(report["wake_command"].toString(), "wakeonlan -i 10.231.47.255 " + m_mac);
    const QJsonArray interfaces = report["interfaces"].toArray();
    QCOMPARE(interfaces.size(), 1); // loopback is no wired interface
    const QJsonObject veth = interfaces[0].toObject();
    const QJsonObject subnet{{"address", "10.231.47.1"}, {"prefix_length", 24}, {"broadcast", "10.231.47.255"}};
    const QJsonObject expected{{"name", kLink},           {"mac", m_mac},
                               {"permanent_mac", {}},     {"kind", "veth"},
                               {"ipv4", QJsonArray{subnet}}, {"carrier", true},
                               {"wake_on", QJsonObject{{"supported", {}}, {"enabled", {}}}},
                               {"ready", false}};
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QVERIFY2(veth[it.key()] == it.value(), qPrintable(it.key() + ": " + out));
    QVERIFY2(veth["reasons"][0]["text"].toString().contains("offers no Wake-on"), out.constData());
}

void TestCliCheck::commandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("withoutNetRaw");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line"); // the report's last line or the error's first; %1 the link, %2 its MAC

    QTest::newRow("text, needing no privilege") << QStringList{"--check"} << true << 1
                                                << "Once %1 is ready, wake this machine from another one: "
                                                   "wakeonlan -i 10.231.47.255 %2";
    QTest::newRow("a watch option") << QStringList{"--check", "--timeout", "5"} << false << 2
                                    << "corvalen-cli: --check and --timeout exclude each other.";
    QTest::newRow("--udp-only first") << QStringList{"--udp-only", "--check"} << false << 2
                                      << "corvalen-cli: --check and --udp-only exclude each other.";
}

void TestCliCheck::commandLines()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, withoutNetRaw);
    QFETCH(int, exitCode);
    QFETCH(QString, line);
    line.replace("%1", kLink).replace("%2", m_mac);

    const auto [gotExitCode, out] = RunCli(arguments, withoutNetRaw);
    QCOMPARE(gotExitCode, exitCode);
    const QStringList lines = QString::fromUtf8(out).trimmed().split('\n');
    QVERIFY2(lines.first() == line || lines.last() == line, out.constData());
}

void TestCliCheck::bootSources_data()
{
    QTest::addColumn<QString>("recipe"); // a folder of tests/cli/checkrecipes, its etc the program's /etc
    QTest::addColumn<int>("count");      // sources read, the last of them deciding
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("where"); // %1 the link
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("effect");

    QTest::newRow("Debian's interfaces.d") << "debian-wiki" << 1 << "ifupdown" << "/etc/network/interfaces.d/%1" << 3
                                           << "on";
    QTest::newRow("a udev rule undoes a .link file")
        << "rule-after-link" << 2 << "udev rule" << "/etc/udev/rules.d/81-wol.rules" << 1 << "off";
    QTest::newRow("NetworkManager's default from conf.d")
        << "nm-default" << 1 << "NetworkManager"
        << "/etc/NetworkManager/system-connections/Wired connection 1.nmconnection" << 7 << "on";
    QTest::newRow("an enabled template unit")
        << "template-unit" << 1 << "systemd unit" << "/etc/systemd/system/wol@.service" << 7 << "on";
}

void TestCliCheck::bootSources()
{
    QFETCH(QString, recipe);
    QFETCH(int, count);
    QFETCH(QString, source);
    QFETCH(QString, where);
    QFETCH(int, line);
    QFETCH(QString, effect);
    where.replace("%1", kLink);

    QTemporaryDir root;
    QVERIFY(root.isValid() && CopyRecipe(recipe, root.path()));
    const QByteArray etc = QFile::encodeName(root.path() + "/etc");
    const auto [exitCode, out] = RunCli({"--check", "--json"}, false, etc);
    QCOMPARE(exitCode, 1); // a veth has no Wake-on
    const QJsonArray boot = QJsonDocument::fromJson(out).object()["interfaces"][0]["boot"].toArray();
    QVERIFY2(boot.size() == count, out.constData());
    const QJsonObject last = boot.last().toObject();
    const QJsonObject expected{{"source", source}, {"where", where}, {"line", line}, {"effect", effect},
                               {"decides", true}};
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QVERIFY2(last[it.key()] == it.value(), qPrintable(it.key() + ": " + out));

    const auto [textExitCode, text] = RunCli({"--check"}, false, etc);
    QCOMPARE(textExitCode, 1);
    const QString said = "  At boot: " + source + " " + where + " line " + QString::number(line) + ": ";
    QVERIFY2(QString::fromUtf8(text).split('\n').filter(said).value(0).endsWith("(acts last: decides)"),
             text.constData());
}

QTEST_GUILESS_MAIN(TestCliCheck)
#include "tst_cli_check.moc"
