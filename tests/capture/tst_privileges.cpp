#include "fakesocketcalls.h"
#include "stdtext.h"
#include "kernelhelpers.h"
#include "packetlistener.h"
#include "privileges.h"
#include "socketerrors.h"
#include "testdatagrams.h"
#include "udpsender.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// The real drop runs in a child process of this test, so that the test runner
// itself keeps its capabilities. The child writes "key value" lines.
constexpr char kChildOption[] = "--privileges-child";
const QByteArray kMac = QByteArrayLiteral("\x02\xC0\x7A\x1E\x00\x5A");
const QString kMacText = QStringLiteral("02-C0-7A-1E-00-5A");
constexpr quint16 kMagicPort = 9;

class FakeCapabilityCalls final : public CapabilityCalls
{
public:
    std::vector<pid_t> threads;
    pid_t stuckThread = 0;   // answers, but keeps its capabilities
    pid_t failingThread = 0; // fails to answer
    pid_t bornAfterFirstClear = 0;
    bool boundingFails = false;
    bool setsFail = false;

    QList<pid_t> clearedThreads;
    int boundingCalls = 0;
    int setsCalls = 0;

    int DropBoundingSet() override
    {
        ++boundingCalls;
        return Fail(boundingFails);
    }
    int ClearCallingThread() override
    {
        ++setsCalls;
        return Fail(setsFail);
    }
    std::vector<pid_t> OtherThreadsWithCapabilities() override { return threads; }
    int ClearThread(pid_t tid) override
    {
        clearedThreads.append(tid);
        if (tid == failingThread)
            return Fail(true);
        if (tid != stuckThread)
            std::erase(threads, tid);
        if (bornAfterFirstClear) {
            threads.push_back(bornAfterFirstClear);
            bornAfterFirstClear = 0;
        }
        return 0;
    }

private:
    static int Fail(bool fail)
    {
        if (!fail)
            return 0;
        errno = EPERM;
        return -1;
    }
};

// A thread that exists while capabilities are dropped, as the toolkit's own would.
class IdleThread final
{
public:
    IdleThread()
        : m_thread([this] {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stop; });
        })
    {
    }
    ~IdleThread()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    Q_DISABLE_COPY_MOVE(IdleThread)

private:
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

void Print(const char *key, const QString &value)
{
    std::printf("%s %s\n", key, qPrintable(value));
}

// Prints the capability sets of every thread of the process, or-ed together.
void PrintCapabilities()
{
    const char *const keys[] = {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"};
    QMap<QByteArray, quint64> combined;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    const QStringList entries = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        QFile status(tasks.filePath(entry) + QStringLiteral("/status"));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                combined[line.left(colon)] |= line.mid(colon + 1).trimmed().toULongLong(nullptr, 16);
        }
    }
    Print("threads", QString::number(entries.size()));
    for (const char *key : keys)
        Print(key, QString::number(combined.value(key), 16));
}

void SendMagicPacket()
{
    const UdpSender sender;
    sender.Send(INADDR_LOOPBACK, kMagicPort, testdatagrams::MagicPayload(kMac));
}

int RunListeningChild()
{
    TPacketListener listener;
    QList<PacketReport> reports;
    listener.OnDataAvailable = [&reports](const PacketReport &report) { reports.append(report); };
    const bool started = listener.StartListening();
    Print("started", QString::number(started));
    if (!started) {
        Print("error", Text(listener.LastError()));
        return 0;
    }

    QString failure;
    bool dropped = false;
    {
        IdleThread other;
        dropped = DropAllCapabilities(&failure);
        PrintCapabilities();
    }
    Print("dropped", QString::number(dropped));
    Print("failure", failure);

    const int raw = ::socket(AF_INET, SOCK_RAW, IPPROTO_UDP);
    Print("rawAfterDrop", raw >= 0 ? QStringLiteral("opened") : QString::fromLocal8Bit(std::strerror(errno)));
    if (raw >= 0)
        ::close(raw);

    // Still root by user id: a started program would get every capability back
    // unless the bounding set is empty.
    QProcess child;
    child.start(QStringLiteral("/bin/grep"), {QStringLiteral("^CapEff:"), QStringLiteral("/proc/self/status")});
    child.waitForFinished(10000);
    Print("childCapEff", QString::fromLatin1(child.readAllStandardOutput().mid(7).trimmed()));

    SendMagicPacket();
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!reports.isEmpty())
            loop.quit();
    });
    poll.start(10);
    loop.exec();
    Print("reports", QString::number(reports.size()));
    for (const PacketReport &report : reports) {
        if (Text(report.mac) == kMacText) {
            Print("mac", Text(report.mac));
            Print("source", Text(report.sourceAddress));
            Print("destination", Text(report.destinationAddress));
            Print("port", QString::number(report.destinationPort));
        }
    }
    listener.StopListening();
    return 0;
}

int RunFailedStartChild()
{
    FakeSocketCalls calls;
    calls.openError = kWsaEAccess;
    TPacketListener listener(calls);
    Print("started", QString::number(listener.StartListening()));
    Print("error", Text(listener.LastError()));
    QString failure;
    Print("dropped", QString::number(DropAllCapabilities(&failure)));
    Print("failure", failure);
    PrintCapabilities();
    return 0;
}

QMap<QString, QString> RunChild(const QString &scenario)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kChildOption), scenario});
    QMap<QString, QString> values;
    if (!child.waitForFinished(30000) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
        child.kill();
        child.waitForFinished();
        values.insert(QStringLiteral("crashed"), QStringLiteral("1"));
        return values;
    }
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        const qsizetype blank = line.indexOf(' ');
        if (blank > 0)
            values.insert(QString::fromLatin1(line.left(blank)), QString::fromLatin1(line.mid(blank + 1)));
    }
    return values;
}

void CompareNoCapabilities(const QMap<QString, QString> &values)
{
    QVERIFY(values.contains(QStringLiteral("CapEff")));
    QCOMPARE(values.value(QStringLiteral("CapEff")), QStringLiteral("0"));
    QCOMPARE(values.value(QStringLiteral("CapPrm")), QStringLiteral("0"));
    QCOMPARE(values.value(QStringLiteral("CapInh")), QStringLiteral("0"));
    QCOMPARE(values.value(QStringLiteral("CapAmb")), QStringLiteral("0"));
    QCOMPARE(values.value(QStringLiteral("CapBnd")), QStringLiteral("0"));
    QCOMPARE(values.value(QStringLiteral("dropped")), QStringLiteral("1"));
    QCOMPARE(values.value(QStringLiteral("failure")), QString());
}

bool MayDropBoundingSet()
{
    const std::optional<QByteArray> effective = StatusField("CapEff:");
    return effective && (effective->toULongLong(nullptr, 16) & (1ull << 8)); // CAP_SETPCAP
}

} // namespace

class TestPrivileges final : public QObject
{
    Q_OBJECT
private slots:
    void dropSteps_data();
    void dropSteps();
    void dropAfterListening();
    void dropAfterFailedStart();
};

void TestPrivileges::dropSteps_data()
{
    QTest::addColumn<bool>("boundingFails");
    QTest::addColumn<bool>("setsFail");
    QTest::addColumn<int>("failingThread");
    QTest::addColumn<int>("stuckThread");
    QTest::addColumn<int>("bornThread");
    QTest::addColumn<bool>("expectedResult");
    QTest::addColumn<QString>("expectedFailureStart");

    QTest::newRow("all steps succeed") << false << false << 0 << 0 << 0 << true << QString();
    QTest::newRow("thread born during the drop") << false << false << 0 << 0 << 303 << true << QString();
    QTest::newRow("bounding set fails") << true << false << 0 << 0 << 0 << false << QStringLiteral("bounding set: ");
    QTest::newRow("own sets fail") << false << true << 0 << 0 << 0 << false << QStringLiteral("capability sets: ");
    QTest::newRow("thread fails") << false << false << 102 << 0 << 0 << false << QStringLiteral("thread 102: ");
    QTest::newRow("thread keeps capabilities")
        << false << false << 0 << 102 << 0 << false << QStringLiteral("1 other thread(s) kept capabilities");
}

void TestPrivileges::dropSteps()
{
    QFETCH(bool, boundingFails);
    QFETCH(bool, setsFail);
    QFETCH(int, failingThread);
    QFETCH(int, stuckThread);
    QFETCH(int, bornThread);
    QFETCH(bool, expectedResult);
    QFETCH(QString, expectedFailureStart);

    FakeCapabilityCalls calls;
    calls.threads = {101, 102};
    calls.boundingFails = boundingFails;
    calls.setsFail = setsFail;
    calls.failingThread = failingThread;
    calls.stuckThread = stuckThread;
    calls.bornAfterFirstClear = bornThread;

    QString failure = QStringLiteral("left over");
    QCOMPARE(DropAllCapabilities(&failure, calls), expectedResult);
    if (expectedFailureStart.isEmpty())
        QCOMPARE(failure, QString());
    else
        QVERIFY2(failure.startsWith(expectedFailureStart), qPrintable(failure));

    // Every step is taken whatever failed before it.
    QCOMPARE(calls.boundingCalls, 1);
    QCOMPARE(calls.setsCalls, 1);
    QVERIFY(calls.clearedThreads.contains(101));
    QVERIFY(calls.clearedThreads.contains(102));
    if (bornThread)
        QVERIFY(calls.clearedThreads.contains(bornThread));
    QCOMPARE(calls.threads.empty(), failingThread == 0 && stuckThread == 0);
}

void TestPrivileges::dropAfterListening()
{
    if (::geteuid() != 0)
        QSKIP("Opening a raw socket needs root");
    if (!MayDropBoundingSet())
        QSKIP("The test runs without CAP_SETPCAP, so the bounding set cannot be emptied");
    const QMap<QString, QString> values = RunChild(QStringLiteral("listen"));
    QVERIFY(!values.contains(QStringLiteral("crashed")));
    if (values.value(QStringLiteral("started")) != QStringLiteral("1"))
        QSKIP(qPrintable(QStringLiteral("No raw socket here: ") + values.value(QStringLiteral("error"))));

    CompareNoCapabilities(values);
    QVERIFY(values.value(QStringLiteral("threads")).toInt() >= 2);
    QCOMPARE(values.value(QStringLiteral("rawAfterDrop")), QString::fromLocal8Bit(std::strerror(EPERM)));
    QCOMPARE(values.value(QStringLiteral("childCapEff")), QStringLiteral("0000000000000000"));
    QCOMPARE(values.value(QStringLiteral("mac")), kMacText);
    QCOMPARE(values.value(QStringLiteral("source")), QStringLiteral("127.0.0.1"));
    QCOMPARE(values.value(QStringLiteral("destination")), QStringLiteral("127.0.0.1"));
    QCOMPARE(values.value(QStringLiteral("port")), QString::number(kMagicPort));
}

void TestPrivileges::dropAfterFailedStart()
{
    if (!MayDropBoundingSet())
        QSKIP("The test runs without CAP_SETPCAP, so the bounding set cannot be emptied");
    const QMap<QString, QString> values = RunChild(QStringLiteral("failed"));
    QVERIFY(!values.contains(QStringLiteral("crashed")));
    QCOMPARE(values.value(QStringLiteral("started")), QStringLiteral("0"));
    QCOMPARE(values.value(QStringLiteral("error")), QStringLiteral("Permission denied, 10013"));
    CompareNoCapabilities(values);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], kChildOption) == 0) {
        const int result = std::strcmp(argv[2], "listen") == 0 ? RunListeningChild() : RunFailedStartChild();
        std::fflush(stdout);
        return result;
    }
    TestPrivileges test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_privileges.moc"
