// The listener on a real raw socket. Runs in a network namespace of its own
// when it can, so that no other traffic of the machine reaches the listener.

#include "rootskip.h"
#include "kernelhelpers.h"
#include "stdtext.h"
#include "packetlistener.h"
#include "testdatagrams.h"
#include "udpsender.h"
#include "vethnamespace.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QElapsedTimer>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <vector>

using testdatagrams::MacText;
using testdatagrams::MagicPayload;

namespace {

constexpr int kWaitMs = 5000;
constexpr int kChildExitMs = 60000; // a child under Valgrind checks its memory before it exits

QByteArray RandomMac()
{
    QByteArray mac(6, '\0');
    for (char &byte : mac)
        byte = char(QRandomGenerator::global()->bounded(256));
    mac[0] = char((mac[0] & 0xFC) | 0x02); // locally administered, unicast
    return mac;
}

struct Notification
{
    PacketReport report;
    QString lastErrorAtCall;
};

// A started listener and everything it reported.
class Capture final
{
public:
    Capture()
    {
        m_listener.OnDataAvailable = [this](const PacketReport &report) {
            m_notifications.push_back({report, Text(m_listener.LastError())});
        };
    }
    Q_DISABLE_COPY_MOVE(Capture)

    TPacketListener &listener() { return m_listener; }
    const std::vector<Notification> &notifications() const { return m_notifications; }

    // Index of the first report of `mac`, or -1.
    int IndexOf(const QByteArray &mac) const
    {
        const QString text = MacText(mac);
        for (size_t i = 0; i < m_notifications.size(); ++i) {
            if (!m_notifications[i].report.error && Text(m_notifications[i].report.mac) == text)
                return int(i);
        }
        return -1;
    }

    int CountOf(const QByteArray &mac) const
    {
        int count = 0;
        for (const Notification &notification : m_notifications)
            count += !notification.report.error && Text(notification.report.mac) == MacText(mac) ? 1 : 0;
        return count;
    }

private:
    TPacketListener m_listener;
    std::vector<Notification> m_notifications;
};

bool RawSocketsAllowed()
{
    const FileDescriptor probe(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP));
    return probe.valid();
}

bool Run(const QString &program, const QStringList &arguments, QString *output = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(kWaitMs)) {
        process.kill();
        process.waitForFinished(kWaitMs);
        return false;
    }
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// A second host on a /24 of its own.
class PeerHost final
{
public:
    PeerHost()
        : m_link(QStringLiteral("corvalen-test-%1").arg(::getpid()), QStringLiteral("cvl%1a").arg(::getpid()),
                 QStringLiteral("cvl%1b").arg(::getpid()))
        , m_subnet(QStringLiteral("10.231.%1").arg(20 + ::getpid() % 200))
    {
    }
    Q_DISABLE_COPY_MOVE(PeerHost)

    // Returns an empty text on success, otherwise what went wrong.
    QString Create()
    {
        QString failure;
        m_link.Create(LocalAddress() + QStringLiteral("/24"), PeerAddress() + QStringLiteral("/24"), &failure);
        return failure;
    }

    QString LocalAddress() const { return m_subnet + QStringLiteral(".1"); }
    QString PeerAddress() const { return m_subnet + QStringLiteral(".2"); }
    QString BroadcastAddress() const { return m_subnet + QStringLiteral(".255"); }

    template<typename Make>
    bool InsidePeer(Make make)
    {
        return m_link.InNamespace(make);
    }

private:
    VethNamespace m_link;
    QString m_subnet;
};

int CountOpenDescriptors()
{
    DIR *directory = ::opendir("/proc/self/fd");
    if (!directory)
        return -1;
    int count = 0;
    while (const dirent *entry = ::readdir(directory)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(directory);
    return count - 1; // the directory's own descriptor
}

bool DropNetRawCapability()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    const quint32 bit = 1u << (CAP_NET_RAW % 32);
    const int word = CAP_NET_RAW / 32;
    data[word].effective &= ~bit;
    data[word].permitted &= ~bit;
    data[word].inheritable &= ~bit;
    return ::syscall(SYS_capset, &header, data) == 0;
}

// Reads datagrams from `raw` until one carries `mac`; returns its IPv4 header length.
int HeaderLengthOfMagic(int raw, const QByteArray &mac)
{
    const QByteArray payload = MagicPayload(mac);
    char buffer[4096];
    for (;;) {
        const ssize_t received = ::recv(raw, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received <= 0)
            return -1;
        const int headerLength = (buffer[0] & 0x0F) * 4;
        if (received == headerLength + 8 + payload.size()
            && QByteArrayView(buffer + headerLength + 8, payload.size()) == payload)
            return headerLength;
    }
}

} // namespace

class TestListenerKernel final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void magicPacketsToPorts_data();
    void magicPacketsToPorts();
    void wakeonlanSender();
    void nothingForOtherDatagrams_data();
    void nothingForOtherDatagrams();
    void oversizedDatagram();
    void magicPacketWithIpOptions_data();
    void magicPacketWithIpOptions();
    void magicPacketFromAnotherHost();
    void startWithoutNetRawCapability();
    void socketQueuesOnlyWhatCanBeReported_data();
    void socketQueuesOnlyWhatCanBeReported();
    void burstIntoSmallBufferReportsDrops();

private:
    bool m_rawSockets = false;
    bool m_ownNamespace = false;
};

void TestListenerKernel::initTestCase()
{
    m_rawSockets = RawSocketsAllowed();
    if (m_rawSockets && ::unshare(CLONE_NEWNET) == 0) {
        QVERIFY2(BringLoopbackUp(), "loopback of the test's own network namespace stays down");
        m_ownNamespace = true;
    }
    qInfo("raw sockets %s, %s network namespace", m_rawSockets ? "allowed" : "not allowed",
          m_ownNamespace ? "own" : "the machine's");
}

void TestListenerKernel::init()
{
    if (!m_rawSockets && QByteArrayView(QTest::currentTestFunction()) != "startWithoutNetRawCapability")
        SKIP_WITHOUT_ROOT("needs root (CAP_NET_RAW) to open a raw socket");
}

void TestListenerKernel::magicPacketsToPorts_data()
{
    QTest::addColumn<QString>("destination");
    QTest::addColumn<int>("port");

    QTest::newRow("port 9") << QStringLiteral("127.0.0.1") << 9;
    QTest::newRow("port 7") << QStringLiteral("127.0.0.1") << 7;
    QTest::newRow("high port") << QStringLiteral("127.0.0.1") << 48123;
    QTest::newRow("another loopback address") << QStringLiteral("127.1.2.3") << 9;
}

void TestListenerKernel::magicPacketsToPorts()
{
    QFETCH(QString, destination);
    QFETCH(int, port);

    Capture capture;
    QVERIFY(capture.listener().StartListening());
    UdpSender sender;
    QVERIFY(sender.valid());
    const QByteArray mac = RandomMac();

    QVERIFY(sender.Send(destination.toLatin1().constData(), quint16(port), MagicPayload(mac)));
    QTRY_VERIFY_WITH_TIMEOUT(capture.IndexOf(mac) >= 0, kWaitMs);
    const PacketReport &report = capture.notifications()[size_t(capture.IndexOf(mac))].report;
    QCOMPARE(report.sender, &capture.listener());
    QCOMPARE(Text(report.sourceAddress), QStringLiteral("127.0.0.1"));
    QCOMPARE(Text(report.destinationAddress), destination);
    QCOMPARE(int(report.sourcePort), int(sender.port()));
    QCOMPARE(int(report.destinationPort), port);
    QCOMPARE(Text(report.mac), MacText(mac));
    QTest::qWait(50);
    QCOMPARE(capture.CountOf(mac), 1);
    QVERIFY(capture.listener().LastError().empty());
}

void TestListenerKernel::wakeonlanSender()
{
    const QString wakeonlan = QStandardPaths::findExecutable(QStringLiteral("wakeonlan"));
    if (wakeonlan.isEmpty())
        QSKIP("the wakeonlan sender (Debian package wakeonlan) is not installed");

    Capture capture;
    QVERIFY(capture.listener().StartListening());
    const QByteArray mac = RandomMac();

    QString output;
    QVERIFY2(Run(wakeonlan, {QStringLiteral("-i"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                             QStringLiteral("9"), MacText(mac, ':').toLower()},
                 &output),
             qPrintable(output));
    QTRY_VERIFY_WITH_TIMEOUT(capture.IndexOf(mac) >= 0, kWaitMs);
    const PacketReport &report = capture.notifications()[size_t(capture.IndexOf(mac))].report;
    QCOMPARE(Text(report.sourceAddress), QStringLiteral("127.0.0.1"));
    QCOMPARE(Text(report.destinationAddress), QStringLiteral("127.0.0.1"));
    QCOMPARE(int(report.destinationPort), 9);
    QVERIFY(report.sourcePort != 0);
    QCOMPARE(Text(report.mac), MacText(mac));
}

void TestListenerKernel::nothingForOtherDatagrams_data()
{
    QTest::addColumn<QByteArray>("payload");

    const QByteArray mac = RandomMac();
    QByteArray nearMagic = MagicPayload(mac);
    nearMagic[60] = char(nearMagic[60] ^ 0x01);
    QTest::newRow("6-byte password") << MagicPayload(mac) + RandomMac();
    QTest::newRow("4-byte password") << MagicPayload(mac) + RandomMac().left(4);
    QTest::newRow("near-magic") << nearMagic;
    QTest::newRow("one byte short") << MagicPayload(mac).chopped(1);
    QTest::newRow("empty UDP payload, 28 bytes") << QByteArray();
}

void TestListenerKernel::nothingForOtherDatagrams()
{
    QFETCH(QByteArray, payload);

    Capture capture;
    QVERIFY(capture.listener().StartListening());
    UdpSender sender;
    QVERIFY(sender.valid());

    // The queue is read in order, so once the marker is reported the datagram
    // before it has been read as well.
    const QByteArray marker = RandomMac();
    QVERIFY(sender.Send("127.0.0.1", 9, payload));
    QVERIFY(sender.Send("127.0.0.1", 9, MagicPayload(marker)));
    QTRY_VERIFY_WITH_TIMEOUT(capture.IndexOf(marker) >= 0, kWaitMs);

    int fromSender = 0;
    for (const Notification &notification : capture.notifications()) {
        QVERIFY2(!notification.report.error, qPrintable(notification.lastErrorAtCall));
        if (notification.report.sourcePort == sender.port())
            ++fromSender;
    }
    QCOMPARE(fromSender, 1);
    QVERIFY(capture.listener().LastError().empty());
}

void TestListenerKernel::oversizedDatagram()
{
    Capture capture;
    QVERIFY(capture.listener().StartListening());
    UdpSender sender;
    QVERIFY(sender.valid());

    const QByteArray marker = RandomMac();
    QVERIFY(sender.Send("127.0.0.1", 9, QByteArray(3000 - 28, char(0xFF))));
    QVERIFY(sender.Send("127.0.0.1", 9, MagicPayload(marker)));
    QTRY_VERIFY_WITH_TIMEOUT(capture.IndexOf(marker) >= 0, kWaitMs);

    const int markerIndex = capture.IndexOf(marker);
    std::vector<Notification> failures;
    for (int i = 0; i < markerIndex; ++i) {
        if (capture.notifications()[size_t(i)].report.error)
            failures.push_back(capture.notifications()[size_t(i)]);
    }
    QCOMPARE(failures.size(), size_t(1));
    const Notification &failure = failures.front();
    QCOMPARE(failure.report.sender, &capture.listener());
    QVERIFY(failure.report.sourceAddress.empty());
    QVERIFY(failure.report.destinationAddress.empty());
    QVERIFY(failure.report.mac.empty());
    QCOMPARE(int(failure.report.sourcePort), 0);
    QCOMPARE(int(failure.report.destinationPort), 0);
    QCOMPARE(failure.lastErrorAtCall, QStringLiteral("Message too long, 10040"));
    QCOMPARE(Text(capture.listener().LastError()), QStringLiteral("Message too long, 10040"));
    QVERIFY(capture.listener().IsListening());
    const PacketReport &report = capture.notifications()[size_t(markerIndex)].report;
    QCOMPARE(int(report.sourcePort), int(sender.port()));
    QCOMPARE(Text(report.mac), MacText(marker));
}

void TestListenerKernel::magicPacketWithIpOptions_data()
{
    QTest::addColumn<QByteArray>("options");
    QTest::addColumn<int>("headerLength");

    const auto recordRoute = [](int slotCount) {
        QByteArray option;
        option.append(char(7));
        option.append(char(3 + 4 * slotCount));
        option.append(char(4));
        option.append(QByteArray(4 * slotCount, '\0'));
        return option;
    };
    QTest::newRow("four NOPs") << QByteArray(4, char(1)) << 24;
    QTest::newRow("record route, 1 slot, NOP") << QByteArray(1, char(1)) + recordRoute(1) << 28;
    QTest::newRow("record route, 2 slots") << recordRoute(2) << 32;
    QTest::newRow("record route, 9 slots") << recordRoute(9) << 60;
}

void TestListenerKernel::magicPacketWithIpOptions()
{
    QFETCH(QByteArray, options);
    QFETCH(int, headerLength);

    // A second raw socket shows that the options really arrive.
    const FileDescriptor probe(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP));
    QVERIFY(probe.valid());
    Capture capture;
    QVERIFY(capture.listener().StartListening());
    UdpSender sender;
    QVERIFY(sender.valid());
    QVERIFY2(sender.SetIpOptions(options), std::strerror(errno));
    const QByteArray mac = RandomMac();

    QVERIFY(sender.Send("127.0.0.1", 40009, MagicPayload(mac)));
    QTRY_VERIFY_WITH_TIMEOUT(capture.IndexOf(mac) >= 0, kWaitMs);
    QCOMPARE(HeaderLengthOfMagic(probe.get(), mac), headerLength);
    const PacketReport &report = capture.notifications()[size_t(capture.IndexOf(mac))].report;
    QCOMPARE(Text(report.sourceAddress), QStringLiteral("127.0.0.1"));
    QCOMPARE(Text(report.destinationAddress), QStringLiteral("127.0.0.1"));
    QCOMPARE(int(report.sourcePort), int(sender.port()));
    QCOMPARE(int(report.destinationPort), 40009);
    QCOMPARE(Text(report.mac), MacText(mac));
}

void TestListenerKernel::magicPacketFromAnotherHost()
{
    if (QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty())
        QSKIP("needs the ip tool (Debian package iproute2) to make a second host");

    PeerHost peer;
    const QString failure = peer.Create();
    if (!failure.isEmpty())
        SKIP_WITHOUT_ROOT(QStringLiteral("cannot make a network namespace joined by veth: ") + failure);

    Capture capture;
    QVERIFY(capture.listener().StartListening());
    std::unique_ptr<UdpSender> sender;
    const QByteArray peerAddress = peer.PeerAddress().toLatin1();
    QVERIFY(peer.InsidePeer([&] { sender = std::make_unique<UdpSender>(peerAddress.constData()); }));
    QVERIFY(sender->valid());

    // The link may take a moment to carry traffic, so send a few times at most.
    const QByteArray mac = RandomMac();
    const QByteArray broadcast = peer.BroadcastAddress().toLatin1();
    for (int attempt = 0; attempt < 5; ++attempt) {
        QVERIFY(sender->Send(broadcast.constData(), 9, MagicPayload(mac)));
        if (QTest::qWaitFor([&] { return capture.IndexOf(mac) >= 0; }, 1000))
            break;
    }
    QVERIFY(capture.IndexOf(mac) >= 0);
    const PacketReport &report = capture.notifications()[size_t(capture.IndexOf(mac))].report;
    QCOMPARE(Text(report.sourceAddress), peer.PeerAddress());
    QCOMPARE(Text(report.destinationAddress), peer.BroadcastAddress());
    QCOMPARE(int(report.sourcePort), int(sender->port()));
    QCOMPARE(int(report.destinationPort), 9);
    QCOMPARE(Text(report.mac), MacText(mac));
}

void TestListenerKernel::startWithoutNetRawCapability()
{
    int channel[2];
    QVERIFY(::pipe2(channel, O_CLOEXEC) == 0);
    const FileDescriptor reading(channel[0]);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        ::close(channel[0]);
        QByteArray result;
        if (!DropNetRawCapability()) {
            result = "capset failed";
        } else {
            const int before = CountOpenDescriptors();
            bool started = false;
            QString lastError;
            {
                TPacketListener listener;
                started = listener.StartListening();
                lastError = Text(listener.LastError());
            }
            const int after = CountOpenDescriptors();
            result = QByteArray(started ? "started" : "refused") + '\n' + lastError.toLatin1() + '\n'
                + QByteArray::number(after - before);
        }
        [[maybe_unused]] const ssize_t written = ::write(channel[1], result.constData(), size_t(result.size()));
        ::_exit(0);
    }
    ::close(channel[1]);

    QByteArray result;
    pollfd waiting{reading.get(), POLLIN, 0};
    char chunk[256];
    while (::poll(&waiting, 1, kChildExitMs) > 0) {
        const ssize_t received = ::read(reading.get(), chunk, sizeof chunk);
        if (received <= 0)
            break;
        result.append(chunk, received);
    }
    // Under Valgrind the child checks its memory before it exits.
    int status = 0;
    pid_t finished = 0;
    for (int tries = 0; tries < kChildExitMs / 10 && (finished = ::waitpid(child, &status, WNOHANG)) == 0; ++tries)
        ::usleep(10000);
    if (finished == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        QFAIL("the child did not finish");
    }
    QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    const QList<QByteArray> lines = result.split('\n');
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], QByteArray("refused"));
    QCOMPARE(QString::fromLatin1(lines[1]), QStringLiteral("Permission denied, 10013"));
    QCOMPARE(lines[2], QByteArray("0")); // no descriptor left open
}

void TestListenerKernel::socketQueuesOnlyWhatCanBeReported_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("ipOptions");
    QTest::addColumn<int>("queuedLength"); // 0: left in the kernel

    const QByteArray mac = RandomMac();
    const QByteArray magic = MagicPayload(mac);
    const auto withStart = [](const QByteArray &start) { return start + QByteArray(102 - start.size(), 'y'); };
    QByteArray copiesDiffer = magic;
    copiesDiffer[60] = char(copiesDiffer[60] ^ 0x01);

    QTest::newRow("magic packet") << magic << QByteArray() << 130;
    QTest::newRow("magic packet with IP options") << magic << QByteArray("\x01\x01\x01\x00", 4) << 134;
    QTest::newRow("six 0xFF, copies differ") << copiesDiffer << QByteArray() << 130;
    QTest::newRow("oversized") << QByteArray(3000, 'z') << QByteArray() << 3028;
    QTest::newRow("magic-sized, no 0xFF") << withStart({}) << QByteArray() << 0;
    QTest::newRow("magic-sized, five 0xFF") << withStart(QByteArray(5, char(0xFF))) << QByteArray() << 0;
    QTest::newRow("magic-sized, 0xFF from the second byte")
        << withStart(QByteArray(1, 'y') + QByteArray(6, char(0xFF))) << QByteArray() << 0;
    QTest::newRow("magic-sized, first four 0xFF") << withStart(QByteArray(4, char(0xFF))) << QByteArray() << 0;
    QTest::newRow("magic with password") << magic + QByteArray(6, '\x01') << QByteArray() << 0;
    QTest::newRow("64 bytes") << QByteArray(64, 'x') << QByteArray() << 0;
    QTest::newRow("empty") << QByteArray() << QByteArray() << 0;
}

void TestListenerKernel::socketQueuesOnlyWhatCanBeReported()
{
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, ipOptions);
    QFETCH(int, queuedLength);

    // The armed socket leaves other traffic in the kernel, so that a flood of it
    // cannot crowd magic packets out of the queue; what it keeps is unchanged.
    SocketCalls &calls = SystemSocketCalls();
    const FileDescriptor raw(calls.Open());
    QVERIFY(raw.valid());
    QCOMPARE(calls.Bind(raw.get()), 0);
    QCOMPARE(calls.Arm(raw.get()), 0);

    UdpSender sender;
    QVERIFY(sender.valid());
    if (!ipOptions.isEmpty())
        QVERIFY(sender.SetIpOptions(ipOptions));
    QVERIFY(sender.Send("127.0.0.1", 9, payload));
    // The queue is in order: once the marker is read, so is what came before it.
    constexpr ssize_t kMarkerLength = 28 + 2500;
    UdpSender markerSender;
    QVERIFY(markerSender.Send("127.0.0.1", 9, QByteArray(kMarkerLength - 28, 'm')));

    QList<ssize_t> lengths;
    char buffer[TPacketListener::kBufferSize];
    QElapsedTimer waited;
    waited.start();
    while (!lengths.endsWith(kMarkerLength) && waited.elapsed() < kWaitMs) {
        ReceiveDetails details;
        const ssize_t received = calls.Receive(raw.get(), buffer, sizeof buffer, details);
        if (received >= 0)
            lengths.append(received);
        else
            QTest::qWait(10);
    }
    const QList<ssize_t> expected =
        queuedLength ? QList<ssize_t>{queuedLength, kMarkerLength} : QList<ssize_t>{kMarkerLength};
    QCOMPARE(lengths, expected);
}

namespace {

// The program's own calls, with a receive buffer shrunk to the least the kernel allows.
class SmallBufferSocketCalls final : public SocketCalls
{
public:
    int Startup() override { return m_calls.Startup(); }
    void Cleanup() override { m_calls.Cleanup(); }
    int Open() override { return socket = m_calls.Open(); }
    int Bind(int s) override { return m_calls.Bind(s); }
    int Arm(int s) override
    {
        const int armed = m_calls.Arm(s);
        const int smallest = 1;
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
        return armed;
    }
    ssize_t Receive(int s, void *buffer, size_t size, ReceiveDetails &details) override
    {
        return m_calls.Receive(s, buffer, size, details);
    }
    int DropCount(int s, std::uint32_t &droppedSoFar) override { return m_calls.DropCount(s, droppedSoFar); }
    int Close(int s) override { return m_calls.Close(s); }
    int LastError() override { return m_calls.LastError(); }

    int socket = -1;

private:
    SocketCalls &m_calls = SystemSocketCalls();
};

} // namespace

void TestListenerKernel::burstIntoSmallBufferReportsDrops()
{
    SmallBufferSocketCalls calls;
    TPacketListener listener(calls);
    std::vector<Notification> notifications;
    std::vector<std::uint32_t> dropCounts;
    listener.OnDataAvailable = [&](const PacketReport &report) {
        notifications.push_back({report, Text(listener.LastError())});
        dropCounts.push_back(listener.LastDropCount());
    };
    QVERIFY(listener.StartListening());
    UdpSender sender;
    QVERIFY(sender.valid());

    // The event loop does not run while the burst is sent, so the queue overflows.
    constexpr int kBurst = 200;
    for (int i = 0; i < kBurst; ++i)
        QVERIFY(sender.Send("127.0.0.1", 9, MagicPayload(RandomMac())));
    // Until every datagram of the burst is either read or counted as dropped.
    QTRY_VERIFY_WITH_TIMEOUT(notifications.size() + RawSocketStateOf(calls.socket).drops >= size_t(kBurst)
                                 && RawSocketStateOf(calls.socket).receiveQueue == 0,
                             kWaitMs);
    const quint64 kernelDrops = RawSocketStateOf(calls.socket).drops;
    QVERIFY(kernelDrops > 0);
    QVERIFY(notifications.size() < size_t(kBurst));
    for (const Notification &notification : notifications)
        QVERIFY2(!notification.report.error, qPrintable(notification.lastErrorAtCall));

    // The kernel tells of drops with the next datagram it queues.
    const size_t burstReports = notifications.size();
    const QByteArray marker = RandomMac();
    QVERIFY(sender.Send("127.0.0.1", 9, MagicPayload(marker)));
    QTRY_COMPARE_WITH_TIMEOUT(notifications.size(), burstReports + 2, kWaitMs);
    const Notification &drops = notifications[burstReports];
    QVERIFY(drops.report.error);
    QVERIFY(drops.report.mac.empty());
    QCOMPARE(drops.lastErrorAtCall, QStringLiteral("No buffer space available, 10055"));
    QCOMPARE(quint64(dropCounts[burstReports]), kernelDrops);
    QCOMPARE(burstReports + kernelDrops, quint64(kBurst));
    QCOMPARE(Text(notifications.back().report.mac), MacText(marker));

    // Reported once: no further drops, no further failure.
    QVERIFY(sender.Send("127.0.0.1", 9, MagicPayload(marker)));
    QTRY_COMPARE_WITH_TIMEOUT(notifications.size(), burstReports + 3, kWaitMs);
    QVERIFY(!notifications.back().report.error);
}

QTEST_GUILESS_MAIN(TestListenerKernel)
#include "tst_listener_kernel.moc"
