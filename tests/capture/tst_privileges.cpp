#include "fakesocketcalls.h"
#include "stdtext.h"
#include "packetlistener.h"
#include "privileges.h"
#include "testdatagrams.h"

#include <QTest>

#include <cerrno>

using namespace testdatagrams;

namespace {

class FakeCapabilityCalls final : public CapabilityCalls
{
public:
    int threads = 1;
    bool boundingFails = false;
    bool setsFail = false;
    int boundingCalls = 0;
    int setsCalls = 0;

    int ThreadCount() override { return threads; }
    int DropBoundingSet() override
    {
        ++boundingCalls;
        return Fail(boundingFails);
    }
    int ClearSets() override
    {
        ++setsCalls;
        return Fail(setsFail);
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

} // namespace

class TestPrivileges final : public QObject
{
    Q_OBJECT
private slots:
    void dropSteps_data();
    void dropSteps();
    void listenerTakesEarlySocket_data();
    void listenerTakesEarlySocket();
};

void TestPrivileges::dropSteps_data()
{
    QTest::addColumn<int>("threads");
    QTest::addColumn<bool>("boundingFails");
    QTest::addColumn<bool>("setsFail");
    QTest::addColumn<bool>("expectedResult");
    QTest::addColumn<QString>("expectedFailure");

    QTest::newRow("one thread, all steps succeed") << 1 << false << false << true << QString();
    QTest::newRow("other threads exist") << 3 << false << false << false
                                         << QStringLiteral("2 other thread(s) keep their capabilities");
    QTest::newRow("threads cannot be counted") << -1 << false << false << false
                                               << QStringLiteral("threads: cannot be counted");
    QTest::newRow("bounding set fails") << 1 << true << false << false
                                        << QStringLiteral("bounding set: Operation not permitted");
    QTest::newRow("sets fail") << 1 << false << true << false
                               << QStringLiteral("capability sets: Operation not permitted");
    QTest::newRow("first failure is kept") << 2 << true << true << false
                                           << QStringLiteral("1 other thread(s) keep their capabilities");
}

void TestPrivileges::dropSteps()
{
    QFETCH(int, threads);
    QFETCH(bool, boundingFails);
    QFETCH(bool, setsFail);
    QFETCH(bool, expectedResult);
    QFETCH(QString, expectedFailure);

    FakeCapabilityCalls calls;
    calls.threads = threads;
    calls.boundingFails = boundingFails;
    calls.setsFail = setsFail;
    std::string failure = "left over";
    QCOMPARE(DropAllCapabilities(&failure, calls), expectedResult);
    QCOMPARE(QString::fromStdString(failure), expectedFailure);
    // Every step is taken whatever failed before it.
    QCOMPARE(calls.boundingCalls, 1);
    QCOMPARE(calls.setsCalls, 1);
}

void TestPrivileges::listenerTakesEarlySocket_data()
{
    QTest::addColumn<int>("openError");
    QTest::addColumn<bool>("started");
    QTest::addColumn<QString>("lastError");

    QTest::newRow("opened") << 0 << true << QString();
    QTest::newRow("no right to open raw sockets") << EPERM << false << QStringLiteral("Permission denied, 10013");
    QTest::newRow("out of descriptors") << EMFILE << false << QStringLiteral("Too many open files, 10024");
}

void TestPrivileges::listenerTakesEarlySocket()
{
    QFETCH(int, openError);
    QFETCH(bool, started);
    QFETCH(QString, lastError);

    FakeSocketCalls system;
    system.openError = openError;
    OpenedEarlySocketCalls early(system);
    QCOMPARE(system.openCalls, 1);
    // Whatever happened to errno since, the failure is the one of the early open.
    system.bindError = EINVAL;
    system.Bind(-1);
    system.bindError = 0;

    TPacketListener listener(early);
    QList<PacketReport> reports;
    listener.OnDataAvailable = [&reports](const PacketReport &report) { reports.append(report); };
    QCOMPARE(listener.StartListening(), started);
    QCOMPARE(Text(listener.LastError()), lastError);
    QCOMPARE(system.openCalls, 1);
    if (!started)
        return;

    QCOMPARE(system.armedSocket, system.openedSocket);
    QVERIFY(system.Feed(BuildDatagram({.payload = MagicPayload(Mac({2, 0, 0, 0, 0, 9}))})));
    QTRY_COMPARE(reports.size(), 1);
    QCOMPARE(Text(reports.front().mac), QStringLiteral("02-00-00-00-00-09"));
    listener.StopListening();
    QCOMPARE(system.closedSockets, std::vector<int>{system.openedSocket});
}

QTEST_GUILESS_MAIN(TestPrivileges)
#include "tst_privileges.moc"
