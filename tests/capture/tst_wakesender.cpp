// The sender through the real kernel: a plan's packets leave through a veth into a
// second network namespace, where a packet socket sees what arrived.
#include "rootskip.h"
#include "vethnamespace.h"
#include "wakesender.h"

#include <QElapsedTimer>
#include <QTest>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>

namespace {

const QString kLink = QStringLiteral("cvw%1a").arg(::getpid() % 100000);
const QString kPeer = QStringLiteral("cvw%1b").arg(::getpid() % 100000);
constexpr int kWaitMs = 20000;

MacAddress LinkMac(const QString &name)
{
    MacAddress mac{};
    ifreq request{};
    std::strncpy(request.ifr_name, name.toLatin1().constData(), IFNAMSIZ - 1);
    const FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.valid() && ::ioctl(fd.get(), SIOCGIFHWADDR, &request) == 0)
        std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, mac.size());
    return mac;
}

bool Running(const std::string &name)
{
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    const FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    return fd.valid() && ::ioctl(fd.get(), SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_RUNNING);
}

std::string Text(const std::map<std::string, int> &counts)
{
    std::string text;
    for (const auto &[what, count] : counts)
        text += what + " x" + std::to_string(count) + "; ";
    return text;
}

} // namespace

class TestWakeSender final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { m_veth.reset(); }
    void everyFormArrives();

private:
    std::unique_ptr<VethNamespace> m_veth;
};

void TestWakeSender::initTestCase()
{
    if (::geteuid() != 0)
        SKIP_WITHOUT_ROOT("needs root for network namespaces and packet sockets");
    QVERIFY(::unshare(CLONE_NEWNET) == 0);
    QVERIFY(BringLoopbackUp());
    m_veth = std::make_unique<VethNamespace>(QStringLiteral("cvwake%1").arg(::getpid()), kLink, kPeer);
    QString failure;
    QVERIFY2(m_veth->Create("10.231.51.1/24", "10.231.51.2/24", &failure), qPrintable(failure));
}

void TestWakeSender::everyFormArrives()
{
    // What arrives at the other end, from the moment before anything is sent.
    int peer = -1;
    QVERIFY(m_veth->InNamespace([&peer] {
        peer = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL));
        sockaddr_ll here{};
        here.sll_family = AF_PACKET;
        here.sll_protocol = htons(ETH_P_ALL);
        here.sll_ifindex = int(::if_nametoindex(kPeer.toLatin1().constData()));
        if (peer >= 0 && ::bind(peer, reinterpret_cast<sockaddr *>(&here), sizeof here) != 0) {
            ::close(peer);
            peer = -1;
        }
    }));
    const FileDescriptor received(peer);
    QVERIFY(received.valid());

    SendInterface link{kLink.toStdString(), LinkMac(kLink), Ipv4Network{{10, 231, 51, 1}, {255, 255, 255, 0}}, true,
                       true, true};
    QVERIFY(link.mac != MacAddress{});
    QVERIFY(QTest::qWaitFor([&] { return Running(link.name); }, kWaitMs));

    WakeRequest request;
    const MacAddress target{0x02, 0xc1, 0x1e, 0x00, 0x00, 0x77};
    request.macs = {target};
    request.port = 7;
    request.password = {192, 168, 1, 1};
    request.to = {{10, 231, 51, 255}};
    const WakePlan plan = PlanWake(request, {link}, {link.mac});
    QVERIFY(plan.refusal.empty());
    QCOMPARE(plan.sends.size(), std::size_t(kWakeRounds * 4));

    WakeSender sender(plan, {link});
    for (const WakeSend &send : plan.sends) {
        const SentPacket sent = sender.Send(send, request.password, 1);
        QVERIFY2(sent.error.empty(), SentLine(sent).c_str());
    }

    // Each magic packet by where it went: "ethernet" or "udp ADDRESS:PORT".
    std::map<std::string, int> arrived;
    int magic = 0;
    QElapsedTimer waited;
    waited.start();
    while (magic < int(plan.sends.size()) && waited.elapsed() < kWaitMs) {
        pollfd ready{received.get(), POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0)
            continue;
        std::uint8_t frame[2048];
        const ssize_t size = ::recv(received.get(), frame, sizeof frame, 0);
        if (size <= 0)
            continue;
        const std::optional<WireFrame> decoded = DecodeFrame(ByteView(frame, std::size_t(size)));
        if (!decoded || decoded->magic.kind != MagicKind::Magic)
            continue;
        ++magic;
        QVERIFY(decoded->magic.mac == target);
        QCOMPARE(std::vector<std::uint8_t>(decoded->magic.password.begin(), decoded->magic.password.end()),
                 request.password);
        if (decoded->carrier == Carrier::Ethernet) {
            QVERIFY(decoded->sourceMac == link.mac);
            ++arrived["ethernet"];
        } else {
            Ipv4Octets to{};
            std::copy_n(decoded->destinationAddress.begin(), 4, to.begin());
            ++arrived["udp " + FormatIpv4(to) + ":" + std::to_string(decoded->destinationPort)];
        }
    }
    const std::map<std::string, int> expected{
        {"ethernet", kWakeRounds},
        {"udp 10.231.51.255:7", 2 * kWakeRounds}, // the subnet's broadcast, and --to the same
        {"udp 255.255.255.255:7", kWakeRounds},
    };
    QCOMPARE(Text(arrived), Text(expected));
}

QTEST_GUILESS_MAIN(TestWakeSender)
#include "tst_wakesender.moc"
