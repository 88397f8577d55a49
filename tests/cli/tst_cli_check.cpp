// corvalen-cli --check as a process, in a network namespace of the test's own
// whose one wired interface is the end of a veth pair: the kernel's answers about
// it, and a verdict that it cannot wake the machine.

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
const QString kLocalLink = QStringLiteral("cvk%1a").arg(::getpid() % 100000);
const QString kPeerLink = QStringLiteral("cvk%1b").arg(::getpid() % 100000);

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// Root without CAP_NET_RAW in its bounding set starts the program without it.
Run RunCli(const QStringList &arguments, bool withoutNetRaw = false)
{
    QProcess process;
    if (withoutNetRaw)
        process.setChildProcessModifier([] { ::prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0); });
    process.start(QStringLiteral(CORVALEN_CLI), arguments);
    if (!process.waitForFinished(kWaitMs) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

// `ip -o link show` of the end of the pair here: its flags and its MAC address.
QString LocalLink()
{
    QProcess ip;
    ip.start(QStringLiteral("ip"), {QStringLiteral("-o"), QStringLiteral("link"), QStringLiteral("show"), kLocalLink});
    return ip.waitForFinished(kWaitMs) ? QString::fromLatin1(ip.readAll()) : QString();
}

} // namespace

class TestCliCheck final : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
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
    m_veth = std::make_unique<VethNamespace>(kNamespace, kLocalLink, kPeerLink);
    QString failure;
    QVERIFY2(m_veth->Create("10.231.47.1/24", "10.231.47.2/24", &failure), qPrintable(failure));
    QVERIFY(QTest::qWaitFor([] { return LocalLink().contains("LOWER_UP"); }, kWaitMs));
    m_mac = QRegularExpression("link/ether (\\S+)").match(LocalLink()).captured(1);
    QVERIFY(!m_mac.isEmpty());
}

void TestCliCheck::cleanupTestCase()
{
    m_veth.reset();
}

void TestCliCheck::jsonSaysWhatTheKernelKnows()
{
    const Run run = RunCli({"--check", "--json"});
    QCOMPARE(run.exitCode, 1);
    QJsonParseError error{};
    const QJsonObject report = QJsonDocument::fromJson(run.out, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, run.out.constData());

    const QJsonArray interfaces = report["interfaces"].toArray();
    QCOMPARE(interfaces.size(), 1); // loopback is no wired interface
    const QJsonObject veth = interfaces[0].toObject();
    QCOMPARE(veth["name"].toString(), kLocalLink);
    QCOMPARE(veth["mac"].toString(), m_mac);
    QVERIFY(veth["permanent_mac"].isNull());
    QCOMPARE(veth["kind"].toString(), "veth");
    const QJsonObject subnet{{"address", "10.231.47.1"}, {"prefix_length", 24}, {"broadcast", "10.231.47.255"}};
    QCOMPARE(veth["ipv4"].toArray(), QJsonArray{subnet});
    QCOMPARE(veth["carrier"].toBool(), true);
    QVERIFY(veth["wake_on"].toObject()["supported"].isNull());
    QCOMPARE(veth["ready"].toBool(), false);
    QVERIFY2(veth["reasons"].toArray()[0].toObject()["text"].toString().contains("offers no Wake-on"),
             run.out.constData());
    QCOMPARE(report["ready"].toBool(), false);
    QCOMPARE(report["wake_command"].toString(), "wakeonlan -i 10.231.47.255 " + m_mac);
}

void TestCliCheck::commandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("withoutNetRaw");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastLine"); // the report's last line or the error's first; %1 the link, %2 its MAC

    QTest::newRow("text, needing no privilege")
        << QStringList{"--check"} << true << 1
        << "Once %1 is ready, wake this machine from another one: wakeonlan -i 10.231.47.255 %2";
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
    QFETCH(QString, lastLine);
    lastLine.replace("%1", kLocalLink).replace("%2", m_mac);

    const Run run = RunCli(arguments, withoutNetRaw);
    QCOMPARE(run.exitCode, exitCode);
    const QStringList lines = QString::fromUtf8(run.out + run.err).trimmed().split('\n');
    QVERIFY2(lines.first() == lastLine || lines.last() == lastLine, qPrintable(lines.join('\n')));
}

QTEST_GUILESS_MAIN(TestCliCheck)
#include "tst_cli_check.moc"
