// Both programs as they start: each opens its raw socket, then holds it in a
// process none of whose threads keeps a capability.

#include "rootskip.h"
#include "kernelhelpers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <sched.h>
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

QTEST_GUILESS_MAIN(TestLeastPrivilege)
#include "tst_leastprivilege.moc"
