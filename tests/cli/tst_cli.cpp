// corvalen-cli as a user runs it: a process on a real raw socket, in a network
// namespace of the test's own so that no other traffic reaches it.

#include "rootskip.h"
#include "kernelhelpers.h"
#include "regionalsettings.h"
#include "testdatagrams.h"
#include "udpsender.h"
#include "vethnamespace.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <linux/capability.h>
#include <memory>
#include <netinet/in.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

using testdatagrams::MacText;
using testdatagrams::MagicPayload;

namespace {

constexpr int kWaitMs = 20000; // waits end as soon as what they wait for holds
const QByteArray kMac = testdatagrams::Mac({0x02, 0xC1, 0x1E, 0x00, 0x00, 0x5A});
const QByteArray kOtherMac = testdatagrams::Mac({0x02, 0xC1, 0x1E, 0x00, 0x00, 0x5B});

// One run of corvalen-cli, its output read as it comes.
class Cli final
{
public:
    // Root without CAP_NET_RAW in its bounding set starts the program without it.
    explicit Cli(const QStringList &arguments, const QString &timeZone = {}, bool withoutNetRaw = false)
    {
        if (withoutNetRaw)
            m_process.setChildProcessModifier([] { ::prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0); });
        if (!timeZone.isEmpty()) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("TZ"), timeZone);
            m_process.setProcessEnvironment(environment);
        }
        // These cases are about the raw socket's view; tst_cli_wire runs both sources.
        m_process.start(QStringLiteral(CORVALEN_CLI), QStringList{QStringLiteral("--udp-only")} + arguments);
    }
    ~Cli()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }
    Q_DISABLE_COPY_MOVE(Cli)

    bool WaitUntilListening()
    {
        return QTest::qWaitFor([this] { return Err().contains("listening for magic packets"); }, kWaitMs);
    }
    bool WaitForLines(int count)
    {
        return QTest::qWaitFor([&] { return Lines().size() >= count; }, kWaitMs);
    }
    bool WaitForExit() { return m_process.waitForFinished(kWaitMs) && m_process.exitStatus() == QProcess::NormalExit; }
    void Signal(int signal) { ::kill(pid_t(m_process.processId()), signal); }
    qint64 Pid() const { return m_process.processId(); }

    int ExitCode() const { return m_process.exitCode(); }
    QStringList Lines()
    {
        m_out += m_process.readAllStandardOutput();
        QStringList lines = QString::fromUtf8(m_out).split(QLatin1Char('\n'));
        lines.removeLast(); // what follows the last line break
        return lines;
    }
    QByteArray Err()
    {
        m_err += m_process.readAllStandardError();
        return m_err;
    }

private:
    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
};

bool SendMagic(const QByteArray &mac, const char *address = "127.0.0.1")
{
    return UdpSender().Send(address, 9, MagicPayload(mac));
}

QJsonObject JsonLine(const QString &line)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line.toUtf8(), &error);
    return error.error == QJsonParseError::NoError ? document.object() : QJsonObject();
}

} // namespace

class TestCli final : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void reportLinesOnLoopback();
    void jsonEvents_data();
    void jsonEvents();
    void exitStatus_data();
    void exitStatus();
    void notListeningWithoutRawSockets();
    void dropsWhileStopped_data();
    void dropsWhileStopped();
};

void TestCli::initTestCase()
{
    if (::geteuid() == 0 && ::unshare(CLONE_NEWNET) == 0)
        QVERIFY(BringLoopbackUp());
}

void TestCli::init()
{
    const QByteArrayView name(QTest::currentTestFunction());
    if (::geteuid() != 0 && name != "notListeningWithoutRawSockets" && name != "exitStatus")
        SKIP_WITHOUT_ROOT("corvalen-cli needs root (CAP_NET_RAW) to open its raw socket");
}

void TestCli::reportLinesOnLoopback()
{
    Cli cli({QStringLiteral("--count"), QStringLiteral("1")});
    QVERIFY(cli.WaitUntilListening());
    const QDateTime sentAt = QDateTime::currentDateTime();
    UdpSender sender;
    QVERIFY(sender.Send("127.0.0.1", 40009, MagicPayload(kMac)));
    QVERIFY(cli.WaitForExit());
    QCOMPARE(cli.ExitCode(), 0);

    // The window's lines, with the date and time in this user's regional format.
    const QStringList lines = cli.Lines();
    QCOMPARE(lines.size(), 8);
    const DateTimeSettings settings = DateTimeSettingsFromLocale(QLocale::system());
    QStringList moments;
    for (QDateTime moment = sentAt.addMSecs(-sentAt.time().msec()).addSecs(-1); moment <= QDateTime::currentDateTime();
         moment = moment.addSecs(1))
        moments.append(QStringLiteral("  Date, Time: ")
                       + QString::fromStdString(FormatDateTimeText(ToLocalDateTime(moment), settings)));
    QVERIFY2(moments.contains(lines[1]), qPrintable(lines[1]));
    QCOMPARE(lines.mid(0, 1) + lines.mid(2),
             (QStringList{QStringLiteral("Magic Packet received."), QStringLiteral("  Source Address: 127.0.0.1"),
                          QStringLiteral("  Source Port: %1").arg(sender.port()),
                          QStringLiteral("  Destination Address: 127.0.0.1"),
                          QStringLiteral("  Destination Port: 40009"),
                          QStringLiteral("  MAC Address: ") + MacText(kMac), QString()}));
    QVERIFY(cli.Err().contains("1 magic packet(s) reported, 0 failed receive(s), 0 datagram(s) dropped"));
}

void TestCli::jsonEvents_data()
{
    QTest::addColumn<bool>("fromAnotherHost");
    QTest::addColumn<int>("stopSignal");

    QTest::newRow("loopback, SIGINT") << false << int(SIGINT);
    QTest::newRow("another host's broadcast, SIGTERM") << true << int(SIGTERM);
}

void TestCli::jsonEvents()
{
    QFETCH(bool, fromAnotherHost);
    QFETCH(int, stopSignal);

    const int pid = int(::getpid());
    VethNamespace peer(QStringLiteral("corvalen-cli-%1").arg(pid), QStringLiteral("cvc%1a").arg(pid),
                       QStringLiteral("cvc%1b").arg(pid));
    std::unique_ptr<UdpSender> sender;
    QString destination = QStringLiteral("127.0.0.1");
    if (fromAnotherHost) {
        QString failure;
        if (!peer.Create(QStringLiteral("10.232.7.1/24"), QStringLiteral("10.232.7.2/24"), &failure))
            SKIP_WITHOUT_ROOT(QStringLiteral("cannot make a network namespace joined by veth: ") + failure);
        QVERIFY(peer.InNamespace([&] { sender = std::make_unique<UdpSender>("10.232.7.2"); }));
        destination = QStringLiteral("10.232.7.255");
    } else {
        sender = std::make_unique<UdpSender>();
    }
    QVERIFY(sender->valid());
    const QByteArray to = destination.toLatin1();

    // Half an hour off the hour shows the offset's minutes.
    Cli cli({QStringLiteral("--json")}, QStringLiteral("IST-5:30"));
    QVERIFY(cli.WaitUntilListening());
    const QDateTime start = QDateTime::currentDateTime().addSecs(-1);
    // A new link may take a moment to carry traffic.
    for (int attempt = 0; attempt < 5 && cli.Lines().isEmpty(); ++attempt) {
        QVERIFY(sender->Send(to.constData(), 9, MagicPayload(kMac)));
        cli.WaitForLines(1);
    }
    QVERIFY(sender->Send(to.constData(), 9, QByteArray(3000, char(0xFF))));
    QVERIFY(sender->Send(to.constData(), 9, MagicPayload(kOtherMac)));
    QVERIFY(cli.WaitForLines(3));
    cli.Signal(stopSignal);
    QVERIFY(cli.WaitForExit());
    QCOMPARE(cli.ExitCode(), 0);
    const QDateTime end = QDateTime::currentDateTime().addSecs(1);

    const QStringList lines = cli.Lines();
    QVERIFY2(lines.size() >= 3, qPrintable(lines.join(QLatin1Char('\n'))));
    const QJsonObject error = JsonLine(lines[lines.size() - 2]);
    QCOMPARE(error, (QJsonObject{{QStringLiteral("event"), QStringLiteral("error")},
                                 {QStringLiteral("text"), QStringLiteral("Message too long, 10040")}}));
    const QJsonObject magic = JsonLine(lines.last());
    const QString time = magic.value(QStringLiteral("time")).toString();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\+05:30$"))
                 .match(time)
                 .hasMatch(),
             qPrintable(time));
    const QDateTime moment = QDateTime::fromString(time, Qt::ISODateWithMs);
    QVERIFY2(moment >= start && moment <= end, qPrintable(time));
    QJsonObject rest = magic;
    rest.remove(QStringLiteral("time"));
    QCOMPARE(rest, (QJsonObject{{QStringLiteral("event"), QStringLiteral("magic")},
                                {QStringLiteral("source"), fromAnotherHost ? "10.232.7.2" : "127.0.0.1"},
                                {QStringLiteral("source_port"), sender->port()},
                                {QStringLiteral("destination"), destination},
                                {QStringLiteral("destination_port"), 9},
                                {QStringLiteral("mac"), MacText(kOtherMac)}}));
    const QByteArray summary = cli.Err().trimmed().split('\n').last();
    QCOMPARE(summary, QStringLiteral("corvalen-cli: %1 magic packet(s) reported, 1 failed receive(s), "
                                     "0 datagram(s) dropped by the kernel")
                          .arg(lines.size() - 1)
                          .toLatin1());
}

void TestCli::exitStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("otherMagicPackets"); // sent first, for another MAC
    QTest::addColumn<int>("magicPackets");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");

    const auto args = [](const char *text) { return QString::fromLatin1(text).split(QLatin1Char(' ')); };
    QTest::newRow("count reached") << args("--count 2 --timeout 20") << 0 << 2 << 0 << QString();
    QTest::newRow("timeout before count") << args("--count 2 --timeout 3") << 0 << 1 << 1 << QString();
    QTest::newRow("timeout without count") << args("--timeout 2") << 0 << 1 << 0 << QString();
    QTest::newRow("MAC with colons, lower case") << args("--mac 02:c1:1e:00:00:5a --count 1") << 1 << 1 << 0 << QString();
    QTest::newRow("MAC with dashes") << args("--mac 02-C1-1E-00-00-5A --count 1") << 1 << 1 << 0 << QString();
    QTest::newRow("MAC digits only, mixed case") << args("--mac 02c11E00005a --count 1") << 1 << 1 << 0 << QString();
    QTest::newRow("unknown option") << args("--frobnicate") << 0 << 0 << 2 << QStringLiteral("'frobnicate'");
    QTest::newRow("MAC one byte short") << args("--mac 02:c1:1e:00:00") << 0 << 0 << 2 << QStringLiteral("--mac: '02:c1");
    QTest::newRow("mixed separators") << args("--mac 02:c1-1e:00:00:5a") << 0 << 0 << 2 << QStringLiteral("--mac: ");
    QTest::newRow("count not a number") << args("--count two") << 0 << 0 << 2 << QStringLiteral("--count: 'two'");
    QTest::newRow("count zero") << args("--count 0") << 0 << 0 << 2 << QStringLiteral("--count: '0'");
    QTest::newRow("timeout zero") << args("--timeout 0") << 0 << 0 << 2 << QStringLiteral("--timeout: '0'");
    QTest::newRow("stray argument") << args("--json eth0") << 0 << 0 << 2 << QStringLiteral("'eth0'");
    QTest::newRow("two named machines") << args("--mac 02:c1:1e:00:00:5a --mac 02:c1:1e:00:00:5b --count 1") << 0 << 1
                                        << 0 << QStringLiteral("for 02-C1-1E-00-00-5A or 02-C1-1E-00-00-5B to");
    // Binding below 1024 needs a capability that is gone by then; an address not this machine's cannot be bound.
    QTest::newRow("metrics port that needs a privilege")
        << args("--metrics 127.0.0.1:80") << 0 << 0 << 3 << QStringLiteral("cannot serve metrics: cannot bind to 127.0.0.1:80: 13");
    QTest::newRow("metrics on another machine's address")
        << args("--metrics 192.0.2.1:19009") << 0 << 0 << 3 << QStringLiteral("cannot bind to 192.0.2.1:19009: 99");
}

void TestCli::exitStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, otherMagicPackets);
    QFETCH(int, magicPackets);
    QFETCH(int, exitCode);
    QFETCH(QString, message);

    if (magicPackets > 0 && ::geteuid() != 0)
        SKIP_WITHOUT_ROOT("corvalen-cli needs root (CAP_NET_RAW) to open its raw socket");
    Cli cli(arguments);
    if (magicPackets > 0) {
        QVERIFY(cli.WaitUntilListening());
        for (int i = 0; i < otherMagicPackets; ++i)
            QVERIFY(SendMagic(kOtherMac));
        for (int i = 0; i < magicPackets; ++i)
            QVERIFY(SendMagic(kMac));
    }
    QVERIFY(cli.WaitForExit());
    QCOMPARE(cli.ExitCode(), exitCode);
    const QStringList lines = cli.Lines();
    QCOMPARE(lines.size(), magicPackets * 8);
    for (int block = 0; block < magicPackets; ++block)
        QCOMPARE(lines[block * 8 + 6], QStringLiteral("  MAC Address: ") + MacText(kMac));
    if (!message.isEmpty())
        QVERIFY2(cli.Err().contains(message.toUtf8()), cli.Err().constData());
}

void TestCli::notListeningWithoutRawSockets()
{
    Cli cli({}, {}, true);
    QVERIFY(cli.WaitForExit());
    QCOMPARE(cli.ExitCode(), 3);
    QVERIFY(cli.Lines().isEmpty());
    const QList<QByteArray> err = cli.Err().split('\n');
    QCOMPARE(err.value(0), QByteArray("Not listening: Permission denied, 10013"));
    QVERIFY2(err.value(1).contains("setcap cap_net_raw+ep " CORVALEN_CLI), err.value(1).constData());
}

void TestCli::dropsWhileStopped_data()
{
    QTest::addColumn<bool>("datagramAfterDrops");
    QTest::newRow("told by the next datagram") << true;
    QTest::newRow("told on stopping") << false;
}

void TestCli::dropsWhileStopped()
{
    QFETCH(bool, datagramAfterDrops);

    Cli cli({QStringLiteral("--json")});
    QVERIFY(cli.WaitUntilListening());
    // Stopped, the program reads nothing, and a burst overflows even its large queue.
    cli.Signal(SIGSTOP);
    constexpr int kBurst = 30000;
    UdpSender sender;
    for (int i = 0; i < kBurst; ++i)
        QVERIFY(sender.Send("127.0.0.1", 9, MagicPayload(kMac)));
    cli.Signal(SIGCONT);
    QVERIFY(QTest::qWaitFor(
        [&] {
            const RawSocketState socket = RawSocketOfProcess(cli.Pid());
            return socket.found && socket.receiveQueue == 0;
        },
        kWaitMs));
    if (datagramAfterDrops) {
        QVERIFY(sender.Send("127.0.0.1", 9, MagicPayload(kOtherMac)));
        QVERIFY(QTest::qWaitFor([&] { return cli.Lines().join('\n').contains(MacText(kOtherMac)); }, kWaitMs));
    }
    cli.Signal(SIGINT);
    QVERIFY(cli.WaitForExit());

    // The drops come last, or just before the datagram that told of them.
    const QStringList lines = cli.Lines();
    const qsizetype dropsLine = lines.size() - (datagramAfterDrops ? 2 : 1);
    QVERIFY(dropsLine >= 0);
    const QJsonObject drops = JsonLine(lines[dropsLine]);
    QCOMPARE(drops.value(QStringLiteral("event")).toString(), QStringLiteral("drops"));
    const int dropped = drops.value(QStringLiteral("count")).toInt();
    QVERIFY(dropped > 0);
    QCOMPARE(int(dropsLine) + dropped, kBurst); // every datagram reported or counted
    QVERIFY2(cli.Err().contains(QStringLiteral("%1 magic packet(s) reported, 0 failed receive(s), %2 datagram(s) dropped")
                                    .arg(lines.size() - 1)
                                    .arg(dropped)
                                    .toLatin1()),
             cli.Err().constData());
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
