// Both programs as they start: each opens its raw socket, then holds it in a
// process none of whose threads keeps a capability.

#include "rootskip.h"
#include "kernelhelpers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <QTemporaryDir>

#include <cstring>

#include <sched.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 10000;

// "tid Name: value" for every capability set of every thread that is not empty.
QStringList HeldCapabilities(qint64 pid, int *threads)
{
    QStringList held;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList entries = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    *threads = int(entries.size());
    for (const QString &tid : entries) {
        QFile status(tasks.filePath(tid) + QStringLiteral("/status"));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Cap") && line.mid(line.indexOf(':') + 1).trimmed().toULongLong(nullptr, 16) != 0)
                held.append(tid + QLatin1Char(' ') + QString::fromLatin1(line));
        }
    }
    return held;
}

} // namespace

class TestLeastPrivilege final : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void startedProgram_data();
    void startedProgram();
    void readyForTheServiceManager();
};

void TestLeastPrivilege::initTestCase()
{
    if (::geteuid() != 0)
        SKIP_WITHOUT_ROOT("the programs hold every capability to give up only when root starts them");
    QVERIFY(::unshare(CLONE_NEWNET) == 0 && BringLoopbackUp());
}

void TestLeastPrivilege::startedProgram_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("corvalen-cli") << QStringLiteral(CORVALEN_CLI);
    QTest::newRow("corvalen") << QStringLiteral(CORVALEN_GUI);
}

void TestLeastPrivilege::startedProgram()
{
    QFETCH(QString, program);

    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, {});
    QVERIFY(process.waitForStarted());
    const qint64 pid = process.processId();
    QVERIFY(QTest::qWaitFor([&] { return RawSocketOfProcess(pid).found; }, kWaitMs));
    // Give the program time to start the threads it starts.
    QTest::qWait(500);
    QVERIFY(RawSocketOfProcess(pid).found);
    int threads = 0;
    const QStringList held = HeldCapabilities(pid, &threads);
    qInfo("%d thread(s)", threads);
    QVERIFY2(held.isEmpty(), qPrintable(held.join(QStringLiteral("; "))));
    QCOMPARE(process.state(), QProcess::Running);
    process.terminate();
    QVERIFY(process.waitForFinished(kWaitMs));
}

// As a systemd service of Type=notify: READY=1 comes once both sources are open
// and no thread holds a capability, with the metrics server's threads running;
// then WATCHDOG=1 at half the watchdog's time, and STOPPING=1 at the end.
void TestLeastPrivilege::readyForTheServiceManager()
{
    QTemporaryDir directory;
    const QByteArray path = directory.filePath(QStringLiteral("notify")).toLocal8Bit();
    const int notify = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QVERIFY(notify >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    QVERIFY(::bind(notify, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0);
    const auto receive = [notify](int waitMs) {
        timeval timeout{waitMs / 1000, (waitMs % 1000) * 1000};
        ::setsockopt(notify, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char message[512];
        const ssize_t size = ::recv(notify, message, sizeof message, 0);
        return size > 0 ? QByteArray(message, int(size)) : QByteArray();
    };

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(path));
    environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("400000"));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QStringLiteral(CORVALEN_CLI), {QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:19009")});
    QVERIFY(process.waitForStarted());
    const qint64 pid = process.processId();

    const QByteArray ready = receive(kWaitMs);
    QVERIFY2(ready.startsWith("READY=1\n"), ready.constData());
    int threads = 0;
    const QStringList held = HeldCapabilities(pid, &threads);
    QVERIFY2(held.isEmpty(), qPrintable(held.join(QStringLiteral("; "))));
    QVERIFY(RawSocketOfProcess(pid).found);
    QVERIFY2(threads > 2, "the metrics server's threads run");
    QVERIFY2(ready.contains("STATUS=Watching the raw socket and the link layer; metrics on port 19009"),
             ready.constData());
    for (int beat = 0; beat < 2; ++beat)
        QCOMPARE(receive(kWaitMs), QByteArray("WATCHDOG=1"));
    process.terminate();
    QByteArray last;
    for (QByteArray message = receive(kWaitMs); !message.isEmpty() && last != "STOPPING=1"; message = receive(kWaitMs))
        last = message;
    QCOMPARE(last, QByteArray("STOPPING=1"));
    QVERIFY(process.waitForFinished(kWaitMs));
    QCOMPARE(process.exitCode(), 0);
    ::close(notify);
}

QTEST_GUILESS_MAIN(TestLeastPrivilege)
#include "tst_leastprivilege.moc"
