// corvalen-cli --check as a process, in a network namespace of the test's own
// whose one wired interface is the end of a veth pair: what the kernel says of it,
// and that it cannot wake the machine.

#include "rootskip.h"
#include "kernelhelpers.h"
#include "vethnamespace.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <linux/capability.h>
#include <memory>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 20000; // waits end as soon as what they wait for holds
const QString kNamespace = QStringLiteral("cvchk%1").arg(::getpid());
const QString kLink = QStringLiteral("cvk%1a").arg(::getpid() % 100000);

// Its exit status and what it wrote on standard output, then on standard error.
// Root without CAP_NET_RAW in its bounding set starts the program without it.
std::pair<int, QByteArray> RunCli(const QStringList &arguments, bool withoutNetRaw = false)
{
    QProcess process;
    if (withoutNetRaw)
        process.setChildProcessModifier([] { ::prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0); });
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

QTEST_GUILESS_MAIN(TestCliCheck)
#include "tst_cli_check.moc"
