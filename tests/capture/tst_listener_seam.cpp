#include "fakesocketcalls.h"
#include "stdtext.h"
#include "packetlistener.h"
#include "testdatagrams.h"

#include <QCoreApplication>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <vector>

using namespace testdatagrams;

namespace {

// Datagrams go through a local socketpair; anything slower than this is a fault.
constexpr int kWaitMs = 10000; // waits end as soon as what they wait for holds

// The set-up step that a case makes fail.
enum class Step { Bind, Arm };

struct Notification
{
    PacketReport report;
    QString lastErrorAtCall;
};

class Recorder final
{
public:
    explicit Recorder(TPacketListener &listener)
    {
        listener.OnDataAvailable = [this, &listener](const PacketReport &report) {
            notifications.push_back({report, Text(listener.LastError())});
        };
    }
    Q_DISABLE_COPY_MOVE(Recorder)

    std::vector<Notification> notifications;
};

const QByteArray kMac = Mac({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
const QString kMacText = QStringLiteral("00-1A-2B-3C-4D-5E");

QByteArray MagicDatagram()
{
    return BuildDatagram({.source = 0x0A000105,
                          .destination = 0xC0A80164,
                          .sourcePort = 51234,
                          .destinationPort = 9,
                          .payload = MagicPayload(kMac)});
}

// Gives the notifier a few more turns, so that a spurious extra receive would show.
void SettleEventLoop()
{
    QTest::qWait(20);
}

void VerifyFailureReport(const Notification &notification, const TPacketListener &listener, const QString &text)
{
    QCOMPARE(notification.report.sender, &listener);
    QVERIFY(notification.report.error);
    QVERIFY(notification.report.sourceAddress.empty());
    QVERIFY(notification.report.destinationAddress.empty());
    QVERIFY(notification.report.mac.empty());
    QCOMPARE(int(notification.report.sourcePort), 0);
    QCOMPARE(int(notification.report.destinationPort), 0);
    QCOMPARE(notification.lastErrorAtCall, text);
}

void VerifyMagicReport(const Notification &notification, const TPacketListener &listener)
{
    QCOMPARE(notification.report.sender, &listener);
    QVERIFY(!notification.report.error);
    QCOMPARE(Text(notification.report.sourceAddress), QStringLiteral("10.0.1.5"));
    QCOMPARE(Text(notification.report.destinationAddress), QStringLiteral("192.168.1.100"));
    QCOMPARE(Text(notification.report.mac), kMacText);
    QCOMPARE(int(notification.report.sourcePort), 51234);
    QCOMPARE(int(notification.report.destinationPort), 9);
}

} // namespace

class TestListenerSeam final : public QObject
{
    Q_OBJECT

private slots:
    void startsAndStops();
    void startupFailure_data();
    void startupFailure();
    void openFailure_data();
    void openFailure();
    void bindOrArmFailureLeavesSocketOpen_data();
    void bindOrArmFailureLeavesSocketOpen();
    void magicPacketIsReported();
    void samePacketTwiceGivesTwoReports();
    void failedReceiveIsReportedAndListeningGoesOn_data();
    void failedReceiveIsReportedAndListeningGoesOn();
    void growingDropCountIsReportedOnce_data();
    void growingDropCountIsReportedOnce();
    void oversizedDatagram_data();
    void oversizedDatagram();
    void nothingForOtherDatagrams_data();
    void nothingForOtherDatagrams();
    void batchReadsWhatIsQueued_data();
    void batchReadsWhatIsQueued();
    void unassignedCallback();
    void stopListeningTwice();
    void stopListeningBeforeStart();
};

void TestListenerSeam::startsAndStops()
{
    FakeSocketCalls calls;
    {
        TPacketListener listener(calls);
        QCOMPARE(calls.startupCalls, 1);
        QVERIFY(!listener.IsListening());
        QVERIFY(listener.LastError().empty());

        QVERIFY(listener.StartListening());
        QVERIFY(listener.IsListening());
        QVERIFY(listener.LastError().empty());
        QCOMPARE(calls.openCalls, 1);
        QCOMPARE(calls.bindCalls, 1);
        QCOMPARE(calls.armCalls, 1);
        QCOMPARE(calls.boundSocket, calls.openedSocket);
        QCOMPARE(calls.armedSocket, calls.openedSocket);
        QVERIFY(calls.closedSockets.empty());
        QCOMPARE(calls.receiveCalls, 0);
    }
    QCOMPARE(calls.closedSockets, std::vector<int>{calls.openedSocket});
    QCOMPARE(calls.cleanupCalls, 1);
    QCOMPARE(calls.startupCalls, 1);
}

void TestListenerSeam::startupFailure_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("lastError");

    QTest::newRow("10091") << 10091 << QStringLiteral("WSASYSNOTREADY");
    QTest::newRow("10092") << 10092 << QStringLiteral("WSAVERNOTSUPPORTED");
    QTest::newRow("12345") << 12345 << QStringLiteral("WSAERROR");
}

void TestListenerSeam::startupFailure()
{
    QFETCH(int, code);
    QFETCH(QString, lastError);

    FakeSocketCalls calls;
    calls.startupCode = code;
    {
        TPacketListener listener(calls);
        QVERIFY(listener.LastError().empty());
        QVERIFY(!listener.StartListening());
        QCOMPARE(Text(listener.LastError()), lastError);
        QVERIFY(!listener.IsListening());
        QCOMPARE(calls.openCalls, 0);
        listener.StopListening();
    }
    QCOMPARE(calls.openCalls, 0);
    QVERIFY(calls.closedSockets.empty());
    QCOMPARE(calls.cleanupCalls, 0);
}

void TestListenerSeam::openFailure_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("lastError");

    QTest::newRow("permission") << EPERM << QStringLiteral("Permission denied, 10013");
    QTest::newRow("descriptors") << EMFILE << QStringLiteral("Too many open files, 10024");
    QTest::newRow("memory") << ENOMEM << QStringLiteral("No buffer space available, 10055");
    QTest::newRow("unknown code") << 10100 << QStringLiteral(", 10100");
}

void TestListenerSeam::openFailure()
{
    QFETCH(int, code);
    QFETCH(QString, lastError);

    FakeSocketCalls calls;
    calls.openError = code;
    {
        TPacketListener listener(calls);
        QVERIFY(!listener.StartListening());
        QCOMPARE(Text(listener.LastError()), lastError);
        QVERIFY(!listener.IsListening());
        QCOMPARE(calls.bindCalls, 0);
        QCOMPARE(calls.armCalls, 0);
    }
    QVERIFY(calls.closedSockets.empty());
    QCOMPARE(calls.cleanupCalls, 1);
}

void TestListenerSeam::bindOrArmFailureLeavesSocketOpen_data()
{
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("lastError");
    QTest::addColumn<bool>("stopFirst");

    const int bind = int(Step::Bind);
    const int arm = int(Step::Arm);
    QTest::newRow("bind, address in use") << bind << EADDRINUSE << QStringLiteral("Address already in use, 10048")
                                          << false;
    QTest::newRow("bind, not available")
        << bind << EADDRNOTAVAIL << QStringLiteral("Can't assign requested address, 10049") << false;
    QTest::newRow("bind, then stop") << bind << EINVAL << QStringLiteral("Invalid argument, 10022") << true;
    QTest::newRow("arm, invalid") << arm << EINVAL << QStringLiteral("Invalid argument, 10022") << false;
    QTest::newRow("arm, not a socket") << arm << ENOTSOCK << QStringLiteral("Socket operation on non-socket, 10038")
                                       << false;
    QTest::newRow("arm, then stop") << arm << ENOBUFS << QStringLiteral("No buffer space available, 10055") << true;
}

void TestListenerSeam::bindOrArmFailureLeavesSocketOpen()
{
    QFETCH(int, step);
    QFETCH(int, code);
    QFETCH(QString, lastError);
    QFETCH(bool, stopFirst);

    FakeSocketCalls calls;
    (Step(step) == Step::Bind ? calls.bindError : calls.armError) = code;
    {
        TPacketListener listener(calls);
        QVERIFY(!listener.StartListening());
        QCOMPARE(Text(listener.LastError()), lastError);
        QVERIFY(!listener.IsListening());
        QCOMPARE(calls.openCalls, 1);
        QCOMPARE(calls.armCalls, Step(step) == Step::Arm ? 1 : 0);
        QVERIFY(calls.closedSockets.empty());
        QVERIFY(::fcntl(calls.openedSocket, F_GETFD) != -1);
        if (stopFirst) {
            listener.StopListening();
            QCOMPARE(calls.closedSockets, std::vector<int>{calls.openedSocket});
            QVERIFY(!listener.IsListening());
        }
    }
    QCOMPARE(calls.closedSockets, std::vector<int>{calls.openedSocket});
    QCOMPARE(calls.cleanupCalls, 1);
}

void TestListenerSeam::magicPacketIsReported()
{
    FakeSocketCalls calls;
    TPacketListener listener(calls);
    Recorder recorder(listener);
    QVERIFY(listener.StartListening());

    QVERIFY(calls.Feed(MagicDatagram()));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notifications.size(), size_t(1), kWaitMs);
    VerifyMagicReport(recorder.notifications.front(), listener);
    SettleEventLoop();
    QCOMPARE(calls.receiveCalls, 1);
    QCOMPARE(calls.receiveSizes, std::vector<size_t>{2076});
    QCOMPARE(recorder.notifications.size(), size_t(1));
    QVERIFY(listener.LastError().empty());
}

void TestListenerSeam::samePacketTwiceGivesTwoReports()
{
    FakeSocketCalls calls;
    TPacketListener listener(calls);
    Recorder recorder(listener);
    QVERIFY(listener.StartListening());

    QVERIFY(calls.Feed(MagicDatagram()));
    QVERIFY(calls.Feed(MagicDatagram()));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notifications.size(), size_t(2), kWaitMs);
    VerifyMagicReport(recorder.notifications[0], listener);
    VerifyMagicReport(recorder.notifications[1], listener);
    SettleEventLoop();
    QCOMPARE(calls.receiveCalls, 2);
    QCOMPARE(recorder.notifications.size(), size_t(2));
}

void TestListenerSeam::failedReceiveIsReportedAndListeningGoesOn_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("lastError");

    QTest::newRow("connection reset") << ECONNRESET << QStringLiteral("Connection reset by peer, 10054");
    QTest::newRow("would block") << EAGAIN << QStringLiteral("Operation would block, 10035");
    QTest::newRow("network down") << ENETDOWN << QStringLiteral("Network is down, 10050");
    QTest::newRow("unknown code") << 10100 << QStringLiteral(", 10100");
}

void TestListenerSeam::failedReceiveIsReportedAndListeningGoesOn()
{
    QFETCH(int, code);
    QFETCH(QString, lastError);

    FakeSocketCalls calls;
    TPacketListener listener(calls);
    Recorder recorder(listener);
    QVERIFY(listener.StartListening());

    calls.receiveFailures.push_back(code);
    QVERIFY(calls.Feed(MagicDatagram()));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notifications.size(), size_t(1), kWaitMs);
    SettleEventLoop();
    QCOMPARE(recorder.notifications.size(), size_t(1));
    VerifyFailureReport(recorder.notifications.front(), listener, lastError);
    QCOMPARE(Text(listener.LastError()), lastError);
    QVERIFY(listener.IsListening());
    QVERIFY(calls.closedSockets.empty());

    QVERIFY(calls.Feed(MagicDatagram()));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notifications.size(), size_t(2), kWaitMs);
    VerifyMagicReport(recorder.notifications[1], listener);
    QCOMPARE(Text(listener.LastError()), lastError);
    QCOMPARE(calls.receiveCalls, 2);
}

void TestListenerSeam::growingDropCountIsReportedOnce_data()
{
    QTest::addColumn<quint32>("before"); // the count the previous datagram carried
    QTest::addColumn<quint32>("after");
    QTest::addColumn<quint32>("reported"); // 0: no failure

    QTest::newRow("no drops") << 0u << 0u << 0u;
    QTest::newRow("first drops") << 0u << 37u << 37u;
    QTest::newRow("more drops") << 12u << 49u << 37u;
    QTest::newRow("count wrapped around") << 0xFFFFFFF0u << 5u << 21u;
}

void TestListenerSeam::growingDropCountIsReportedOnce()
{
    QFETCH(quint32, before);
    QFETCH(quint32, after);
    QFETCH(quint32, reported);

    FakeSocketCalls calls;
    TPacketListener listener(calls);
    Recorder recorder(listener);
    QVERIFY(listener.StartListening());
    calls.droppedSoFar = before;
    QVERIFY(calls.Feed(MagicDatagram()));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notifications.size(), size_t(before ? 2 : 1), kWaitMs);
    recorder.notifications.clear();

    // Told before the datagram that came after the drops, and only once.
    calls.droppedSoFar = after;
    QVERIFY(calls.Feed(MagicDatagram()));
    QVERIFY(calls.Feed(MagicDatagram()));
    const size_t expected = reported ? 3 : 2;
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notifications.size(), expected, kWaitMs);
    SettleEventLoop();
    QCOMPARE(recorder.notifications.size(), expected);
    if (reported) {
        VerifyFailureReport(recorder.notifications.front(), listener, QStringLiteral("No buffer space available, 10055"));
        QCOMPARE(listener.LastDropCount(), reported);
    }
    VerifyMagicReport(recorder.notifications[expected - 2], listener);
    VerifyMagicReport(recorder.notifications[expected - 1], listener);
}

void TestListenerSeam::oversizedDatagram_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("fails");

    QTest::newRow("2076 bytes fit") << 2076 << false;
    QTest::newRow("2077 bytes") << 2077 << true;
    QTest::newRow("3000 bytes") << 3000 << true;
    QTest::newRow("65535 bytes") << 65535 << true;
}

void TestListenerSeam::oversizedDatagram()
{
    QFETCH(int, size);
    QFETCH(bool, fails);

    FakeSocketCalls calls;
    TPacketListener listener(calls);
    Recorder recorder(listener);
    QVERIFY(listener.StartListening());

    const QByteArray datagram = BuildDatagram({.payload = QByteArray(size - 28, char(0xFF))});
    QCOMPARE(datagram.size(), size);
    QVERIFY(calls.Feed(datagram));
    QTRY_COMPARE_WITH_TIMEOUT(calls.receiveCalls, 1, kWaitMs);
    SettleEventLoop();
    QCOMPARE(calls.receiveCalls, 1);

    if (fails) {
        QCOMPARE(recorder.notifications.size(), size_t(1));
        VerifyFailureReport(recorder.notifications.front(), listener, QStringLiteral("Message too long, 10040"));
        QCOMPARE(Text(listener.LastError()), QStringLiteral("Message too long, 10040"));
    } else {
        QVERIFY(recorder.notifications.empty());
        QVERIFY(listener.LastError().empty());
    }
    QVERIFY(listener.IsListening());

    QVERIFY(calls.Feed(MagicDatagram()));
    QTRY_COMPARE_WITH_TIMEOUT(calls.receiveCalls, 2, kWaitMs);
    QCOMPARE(recorder.notifications.size(), size_t(fails ? 2 : 1));
    VerifyMagicReport(recorder.notifications.back(), listener);
}

void TestListenerSeam::nothingForOtherDatagrams_data()
{
    QTest::addColumn<QByteArray>("datagram");

    QByteArray nearMagic = MagicPayload(kMac);
    nearMagic[50] = char(nearMagic[50] ^ 0x10);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("1 byte") << QByteArray(1, char(0xFF));
    QTest::newRow("28 bytes, empty UDP payload") << BuildDatagram({});
    QTest::newRow("first 28 bytes of a magic datagram") << MagicDatagram().left(28);
    QTest::newRow("near-magic") << BuildDatagram({.payload = nearMagic});
    QTest::newRow("password of 6 bytes") << BuildDatagram({.payload = MagicPayload(kMac) + QByteArray(6, '\x42')});
    QTest::newRow("UDP length one short") << BuildDatagram({.payload = MagicPayload(kMac), .udpLengthAdjust = -1});
    QByteArray badIhl = MagicDatagram();
    badIhl[0] = char(0x44);
    QTest::newRow("IHL 4") << badIhl;
}

void TestListenerSeam::nothingForOtherDatagrams()
{
    QFETCH(QByteArray, datagram);

    FakeSocketCalls calls;
    TPacketListener listener(calls);
    Recorder recorder(listener);
    QVERIFY(listener.StartListening());

    // A failure first, so that LastError holds a text that must survive.
    const QString failure = QStringLiteral("Connection reset by peer, 10054");
    calls.receiveFailures.push_back(ECONNRESET);
    QVERIFY(calls.Feed(MagicDatagram()));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notifications.size(), size_t(1), kWaitMs);
    QCOMPARE(Text(listener.LastError()), failure);

    QVERIFY(calls.Feed(datagram));
    QTRY_COMPARE_WITH_TIMEOUT(calls.receiveCalls, 2, kWaitMs);
    SettleEventLoop();
    QCOMPARE(calls.receiveCalls, 2);
    QCOMPARE(recorder.notifications.size(), size_t(1));
    QCOMPARE(Text(listener.LastError()), failure);
    QVERIFY(listener.IsListening());
}

void TestListenerSeam::batchReadsWhatIsQueued_data()
{
    QTest::addColumn<QStringList>("fed");      // "magic", "oversized", or the errno of a failed receive
    QTest::addColumn<QStringList>("reported"); // "magic", or the failure's text
    QTest::addColumn<int>("receives");

    const QString magic = QStringLiteral("magic");
    QTest::newRow("three magic packets") << QStringList{magic, magic, magic} << QStringList{magic, magic, magic} << 4;
    QTest::newRow("an oversized datagram among them")
        << QStringList{magic, QStringLiteral("oversized"), magic}
        << QStringList{magic, QStringLiteral("Message too long, 10040"), magic} << 4;
    QTest::newRow("a failed receive ends a batch, the next reads the rest")
        << QStringList{QString::number(ECONNRESET), magic, magic}
        << QStringList{QStringLiteral("Connection reset by peer, 10054"), magic, magic} << 4;
}

// The queue running empty ends a batch without a report, and listening goes on.
void TestListenerSeam::batchReadsWhatIsQueued()
{
    QFETCH(QStringList, fed);
    QFETCH(QStringList, reported);
    QFETCH(int, receives);

    FakeSocketCalls calls;
    TPacketListener listener(calls);
    Recorder recorder(listener);
    listener.SetBatchDelay(500);
    QVERIFY(listener.StartListening());
    for (const QString &datagram : fed) {
        if (datagram == QStringLiteral("magic"))
            QVERIFY(calls.Feed(MagicDatagram()));
        else if (datagram == QStringLiteral("oversized"))
            QVERIFY(calls.FeedOversized(3000));
        else
            QVERIFY(calls.FeedFailure(datagram.toInt()));
    }
    QCoreApplication::processEvents();
    QCOMPARE(calls.receiveCalls, 0); // the first datagram waits for those behind it

    QTRY_COMPARE_WITH_TIMEOUT(recorder.notifications.size(), size_t(reported.size()), kWaitMs);
    QTest::qWait(600); // a batch too many would show
    QCOMPARE(calls.receiveCalls, receives);
    QStringList seen;
    for (const Notification &notification : recorder.notifications)
        seen << (notification.report.error ? notification.lastErrorAtCall : QStringLiteral("magic"));
    QCOMPARE(seen, reported);

    QVERIFY(calls.Feed(MagicDatagram()));
    QTRY_COMPARE_WITH_TIMEOUT(recorder.notifications.size(), size_t(reported.size() + 1), kWaitMs);
    VerifyMagicReport(recorder.notifications.back(), listener);
}

void TestListenerSeam::unassignedCallback()
{
    FakeSocketCalls calls;
    TPacketListener listener(calls);
    QVERIFY(!listener.OnDataAvailable);
    QVERIFY(listener.StartListening());

    QVERIFY(calls.Feed(MagicDatagram()));
    QTRY_COMPARE_WITH_TIMEOUT(calls.receiveCalls, 1, kWaitMs);
    QVERIFY(listener.LastError().empty());

    calls.receiveFailures.push_back(ECONNRESET);
    QVERIFY(calls.Feed(MagicDatagram()));
    QTRY_COMPARE_WITH_TIMEOUT(calls.receiveCalls, 2, kWaitMs);
    QCOMPARE(Text(listener.LastError()), QStringLiteral("Connection reset by peer, 10054"));

    QVERIFY(calls.Feed(BuildDatagram({.payload = QByteArray(3000, '\0')})));
    QTRY_COMPARE_WITH_TIMEOUT(calls.receiveCalls, 3, kWaitMs);
    QCOMPARE(Text(listener.LastError()), QStringLiteral("Message too long, 10040"));
    QVERIFY(listener.IsListening());
}

void TestListenerSeam::stopListeningTwice()
{
    FakeSocketCalls calls;
    {
        TPacketListener listener(calls);
        Recorder recorder(listener);
        QVERIFY(listener.StartListening());
        listener.StopListening();
        QVERIFY(!listener.IsListening());
        QCOMPARE(calls.closedSockets, std::vector<int>{calls.openedSocket});
        listener.StopListening();
        QVERIFY(!listener.IsListening());
        QCOMPARE(calls.closedSockets.size(), size_t(1));
        QVERIFY(recorder.notifications.empty());
    }
    QCOMPARE(calls.closedSockets.size(), size_t(1));
    QCOMPARE(calls.cleanupCalls, 1);
}

void TestListenerSeam::stopListeningBeforeStart()
{
    FakeSocketCalls calls;
    {
        TPacketListener listener(calls);
        listener.StopListening();
        QVERIFY(!listener.IsListening());
        QVERIFY(listener.LastError().empty());
    }
    QCOMPARE(calls.openCalls, 0);
    QVERIFY(calls.closedSockets.empty());
    QCOMPARE(calls.cleanupCalls, 1);
}

QTEST_GUILESS_MAIN(TestListenerSeam)
#include "tst_listener_seam.moc"
