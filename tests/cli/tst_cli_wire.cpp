// corvalen-cli with both sources, the link-layer capture and the raw socket, as a
// process. The test moves into a network namespace of its own (the receiving
// machine) and makes a second one joined to it by veth (the sender).

#include "rootskip.h"
#include "kernelhelpers.h"
#include "testdatagrams.h"
#include "udpsender.h"
#include "vethnamespace.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <net/if.h>
#include <sys/ioctl.h>
#include <netinet/in.h>
#include <sched.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace {

constexpr int kWaitMs = 20000; // waits end as soon as what they wait for holds
const QString kNamespace = QStringLiteral("cvclw%1").arg(::getpid());
const QString kLocalLink = QStringLiteral("cvl%1a").arg(::getpid() % 100000);
const QString kPeerLink = QStringLiteral("cvl%1b").arg(::getpid() % 100000);
const QString kLocalAddress = QStringLiteral("10.231.43.1");
const QString kPeerAddress = QStringLiteral("10.231.43.2");
const QString kUnknownMac = QStringLiteral("02:C1:1E:00:01:01");
const QString kMarkerMac = QStringLiteral("02:C1:1E:00:01:FF");

QByteArray MacBytes(const QString &text)
{
    return QByteArray::fromHex(QString(text).remove(':').remove('-').toLatin1());
}

QString MacText(const QString &text)
{
    return QString::fromLatin1(MacBytes(text).toHex('-').toUpper());
}

QByteArray Magic(const QString &mac)
{
    return QByteArray(6, char(0xFF)) + MacBytes(mac).repeated(16);
}

bool Run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(kWaitMs) && process.exitStatus() == QProcess::NormalExit
                    && process.exitCode() == 0;
    if (!ok)
        qWarning() << program << arguments << process.readAll();
    return ok;
}

bool RunInPeer(const QStringList &command)
{
    return Run(QStringLiteral("ip"), QStringList{QStringLiteral("netns"), QStringLiteral("exec"), kNamespace} + command);
}

// corvalen-cli --json, its events read as they come.
class Cli final
{
public:
    explicit Cli(const QStringList &arguments) { m_process.start(QStringLiteral(CORVALEN_CLI), arguments); }
    ~Cli()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    Q_DISABLE_COPY_MOVE(Cli)

    bool WaitUntilListening()
    {
        return QTest::qWaitFor([this] { return Err().contains("listening for magic packets"); }, kWaitMs);
    }
    bool WaitForExit() { return m_process.waitForFinished(kWaitMs) || m_process.state() == QProcess::NotRunning; }
    int ExitCode() const { return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1; }
    QByteArray Err()
    {
        m_err += m_process.readAllStandardError();
        return m_err;
    }
    QList<QByteArray> Lines()
    {
        m_out += m_process.readAllStandardOutput();
        QList<QByteArray> lines = m_out.split('\n');
        lines.removeLast();
        return lines;
    }
    // The events that came before the marker, once it is in; the marker goes out
    // last, and every event comes out in the order its packet arrived.
    std::optional<QList<QJsonObject>> EventsUpToMarker()
    {
        if (!RunInPeer({QStringLiteral("etherwake"), QStringLiteral("-i"), kPeerLink, kMarkerMac}))
            return std::nullopt;
        QList<QJsonObject> events;
        const bool marked = QTest::qWaitFor(
            [&] {
                const QList<QByteArray> lines = Lines();
                for (qsizetype i = m_consumed; i < lines.size(); ++i) {
                    const QJsonObject event = QJsonDocument::fromJson(lines[i]).object();
                    if (event.value("mac").toString() == MacText(kMarkerMac)) {
                        m_consumed = i + 1;
                        return true;
                    }
                    events.append(event);
                }
                events.clear();
                return false;
            },
            kWaitMs);
        return marked ? std::optional(events) : std::nullopt;
    }

private:
    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
    qsizetype m_consumed = 0;
};

// sysfs shows the interfaces of the namespace that mounted it, so ask the kernel.
QString LocalMac()
{
    const FileDescriptor control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, kLocalLink.toLatin1().constData(), IFNAMSIZ - 1);
    if (::ioctl(control.get(), SIOCGIFHWADDR, &request) != 0)
        return {};
    return QString::fromLatin1(QByteArray(request.ifr_hwaddr.sa_data, 6).toHex(':').toUpper());
}

} // namespace

class TestCliWire final : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void oneEventPerPacket_data();
    void oneEventPerPacket();
    void udpOnlyIsTheWindowsView();
    void quietOnVideoAndPadding();
    void captureThatCannotOpen();
    void sweepOfOneSender();
    void wakeOfThePeer_data();
    void wakeOfThePeer();

private:
    bool SendFromPeer(const QByteArray &payload, const QString &address);
    bool SendIpv6FromPeer(const QByteArray &payload);

    std::unique_ptr<VethNamespace> m_veth;
    std::unique_ptr<Cli> m_cli;
};

void TestCliWire::initTestCase()
{
    if (::geteuid() != 0)
        SKIP_WITHOUT_ROOT("needs root for network namespaces and the link-layer capture");
    for (const char *tool : {"ip", "etherwake", "wakeonlan", "nft"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QFAIL(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
    }
    QVERIFY(::unshare(CLONE_NEWNET) == 0);
    QVERIFY(BringLoopbackUp());
    m_veth = std::make_unique<VethNamespace>(kNamespace, kLocalLink, kPeerLink);
    QString failure;
    QVERIFY2(m_veth->Create(kLocalAddress + "/24", kPeerAddress + "/24", &failure), qPrintable(failure));
    // IPv6 sends need the link-local address of the sender past duplicate address detection.
    QVERIFY(QTest::qWaitFor(
        [] {
            QProcess ip;
            ip.start("ip", {"-n", kNamespace, "-6", "addr", "show", "dev", kPeerLink, "tentative"});
            ip.waitForFinished();
            const QByteArray tentative = ip.readAll();
            ip.start("ip", {"-n", kNamespace, "-6", "addr", "show", "dev", kPeerLink});
            ip.waitForFinished();
            return tentative.trimmed().isEmpty() && ip.readAll().contains("fe80");
        },
        10000));
    m_cli = std::make_unique<Cli>(QStringList{"--json"});
    QVERIFY(m_cli->WaitUntilListening());
}

void TestCliWire::cleanupTestCase()
{
    m_cli.reset();
    m_veth.reset();
}

bool TestCliWire::SendFromPeer(const QByteArray &payload, const QString &address)
{
    bool sent = false;
    const bool moved = m_veth->InNamespace([&] {
        const UdpSender sender(INADDR_ANY);
        sent = sender.Send(address.toLatin1().constData(), 9, payload);
    });
    return moved && sent;
}

bool TestCliWire::SendIpv6FromPeer(const QByteArray &payload)
{
    bool sent = false;
    const bool moved = m_veth->InNamespace([&] {
        const FileDescriptor socket(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in6 allNodes{};
        allNodes.sin6_family = AF_INET6;
        allNodes.sin6_port = htons(9);
        allNodes.sin6_scope_id = ::if_nametoindex(kPeerLink.toLatin1().constData());
        inet_pton(AF_INET6, "ff02::1", &allNodes.sin6_addr);
        sent = ::sendto(socket.get(), payload.constData(), size_t(payload.size()), 0,
                        reinterpret_cast<const sockaddr *>(&allNodes), sizeof allNodes)
               == payload.size();
    });
    return moved && sent;
}

void TestCliWire::oneEventPerPacket_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("mac"); // empty: the receiving veth's own
    QTest::addColumn<QJsonObject>("expected");

    const QJsonValue null(QJsonValue::Null);
    const QJsonArray none;
    const QJsonArray unknown{"no interface of this machine has this MAC address"};
    QTest::newRow("etherwake") << "etherwake" << QString()
                               << QJsonObject{{"event", "magic"}, {"carrier", "ethernet"}, {"family", null},
                                              {"source", null}, {"source_port", null}, {"password", null},
                                              {"strict", false}, {"delivered", null}, {"wake_on", null},
                                              {"problems", none}};
    QTest::newRow("etherwake with a password")
        << "etherwake-password" << kUnknownMac
        << QJsonObject{{"carrier", "ethernet"}, {"password", "11-22-33-44-55-66"}, {"local_interface", null},
                       {"problems", unknown}};
    QTest::newRow("wakeonlan to the broadcast address")
        << "wakeonlan" << QString()
        << QJsonObject{{"event", "magic"}, {"carrier", "udp"}, {"family", "ipv4"}, {"destination", "10.231.43.255"},
                       {"destination_port", 9}, {"strict", true}, {"delivered", true}, {"problems", none},
                       {"destination_mac", "FF-FF-FF-FF-FF-FF"}};
    QTest::newRow("UDP port 9 dropped by nftables")
        << "nft" << QString()
        << QJsonObject{{"carrier", "udp"}, {"strict", true}, {"delivered", false},
                       {"problems", QJsonArray{"not delivered to UDP: a firewall rule or the reverse-path filter of "
                                               "this machine dropped it"}}};
    QTest::newRow("near miss") << "near-miss" << QString()
                               << QJsonObject{{"event", "near_miss"}, {"carrier", "udp"}, {"strict", false},
                                              {"delivered", null}, {"problems", QJsonArray{"MAC copy 9 of 16 differs"}}};
    QTest::newRow("IPv6 to ff02::1") << "ipv6" << QString()
                                     << QJsonObject{{"carrier", "udp"}, {"family", "ipv6"}, {"destination", "ff02::1"},
                                                    {"strict", false}, {"delivered", null}, {"problems", none}};
    QTest::newRow("loopback") << "loopback" << kUnknownMac
                              << QJsonObject{{"interface", "lo"}, {"strict", true}, {"delivered", true},
                                             {"source_mac", "00-00-00-00-00-00"}, {"problems", unknown}};
}

void TestCliWire::oneEventPerPacket()
{
    QFETCH(QString, how);
    QFETCH(QString, mac);
    QFETCH(QJsonObject, expected);
    if (mac.isEmpty())
        mac = LocalMac();

    bool sent = false;
    if (how == "etherwake")
        sent = RunInPeer({"etherwake", "-i", kPeerLink, mac});
    else if (how == "etherwake-password")
        sent = RunInPeer({"etherwake", "-i", kPeerLink, "-p", "11:22:33:44:55:66", mac});
    else if (how == "wakeonlan")
        sent = RunInPeer({"wakeonlan", "-i", "10.231.43.255", mac});
    else if (how == "nft") {
        QVERIFY(Run("nft", {"add table inet cvtest; add chain inet cvtest input { type filter hook input priority 0; }; "
                            "add rule inet cvtest input udp dport 9 drop"}));
        sent = RunInPeer({"wakeonlan", "-i", kLocalAddress, mac});
    } else if (how == "near-miss") {
        QByteArray nearMiss = Magic(mac);
        nearMiss[6 + 8 * 6] = char(nearMiss[6 + 8 * 6] ^ 0x01);
        sent = SendFromPeer(nearMiss, kLocalAddress);
    } else if (how == "ipv6")
        sent = SendIpv6FromPeer(Magic(mac));
    else if (how == "loopback")
        sent = UdpSender().Send("127.0.0.1", 9, Magic(mac));
    QVERIFY(sent);
    const std::optional<QList<QJsonObject>> events = m_cli->EventsUpToMarker();
    if (how == "nft")
        QVERIFY(Run("nft", {"delete table inet cvtest"}));
    QVERIFY2(events, "the marker never came");
    QCOMPARE(events->size(), 1);
    const QJsonObject &event = events->first();
    QCOMPARE(event.value("mac").toString(), MacText(mac));
    if (MacText(mac) == MacText(LocalMac()))
        QCOMPARE(event.value("local_interface").toString(), kLocalLink);
    if (how != "loopback")
        QCOMPARE(event.value("interface").toString(), kLocalLink);
    for (auto field = expected.begin(); field != expected.end(); ++field)
        QVERIFY2(event.value(field.key()) == field.value(),
                 qPrintable(field.key() + ": " + QJsonDocument(event).toJson(QJsonDocument::Compact)));
}

void TestCliWire::udpOnlyIsTheWindowsView()
{
    Cli cli({"--udp-only"});
    QVERIFY(cli.WaitUntilListening());
    QVERIFY(RunInPeer({"etherwake", "-i", kPeerLink, kUnknownMac}));
    QVERIFY(RunInPeer({"wakeonlan", "-i", "10.231.43.255", kUnknownMac}));
    QVERIFY(QTest::qWaitFor([&] { return cli.Lines().size() >= 8; }, kWaitMs));
    QTest::qWait(500);
    const QList<QByteArray> lines = cli.Lines();
    QCOMPARE(lines.size(), 8);
    QCOMPARE(lines.first(), QByteArray("Magic Packet received."));
    QCOMPARE(lines[6], "  MAC Address: " + MacText(kUnknownMac).toLatin1());
    QCOMPARE(lines[7], QByteArray());
}

// Video streams and file blocks full of 0xFF and zero bytes make no event, no watch
// and no count; a magic packet for the broadcast address is a near miss that says why.
void TestCliWire::quietOnVideoAndPadding()
{
    const QString metrics = QStringLiteral("127.0.0.1:19077");
    Cli cli({"--json", "--interface", kLocalLink, "--wake-timeout", "1", "--metrics", metrics});
    QVERIFY(cli.WaitUntilListening());
    QVERIFY(RunInPeer({"ip", "route", "replace", "224.0.0.0/4", "dev", kPeerLink}));
    QByteArray rtp = testdatagrams::Mac({0x80, 33, 0, 1, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78});
    for (int i = 0; i < 20; ++i) {
        QVERIFY(SendFromPeer(testdatagrams::VideoPayload(i), "239.255.42.42"));
        QVERIFY(SendFromPeer(testdatagrams::VideoPayload(i), kLocalAddress));
        QVERIFY(SendFromPeer(rtp + testdatagrams::VideoPayload(i), "239.255.42.43"));
    }
    // A TFTP data block of an erased flash image, and one of a file of zeros after a -1.
    const QByteArray tftp = testdatagrams::Mac({0, 3, 0, 1});
    QVERIFY(SendFromPeer(tftp + QByteArray(300, char(0xFF)) + QByteArray(212, '\0'), kLocalAddress));
    QVERIFY(SendFromPeer(tftp + QByteArray(8, char(0xFF)) + QByteArray(504, '\0'), kLocalAddress));
    QVERIFY(SendFromPeer(QByteArray(102, char(0xFF)), "10.231.43.255"));
    const std::optional<QList<QJsonObject>> events = cli.EventsUpToMarker();
    QVERIFY2(events, "the marker never came");
    QCOMPARE(events->size(), 1);
    const QJsonObject &broadcast = events->first();
    QCOMPARE(broadcast.value("event").toString(), "near_miss");
    QCOMPARE(broadcast.value("mac").toString(), "FF-FF-FF-FF-FF-FF");
    QCOMPARE(broadcast.value("strict").toBool(), true);
    QCOMPARE(broadcast.value("problems").toArray(),
             QJsonArray{"FF-FF-FF-FF-FF-FF is the broadcast address, which no network card has"});
    // Watches end in the order they began: the marker's, an unknown machine's, is the last.
    QVERIFY(QTest::qWaitFor([&] { return cli.Lines().last().contains("no_sign_of_life"); }, kWaitMs));
    QCOMPARE(cli.Lines().count(), 3);
    QProcess curl;
    curl.start("curl", {"-sf", "http://" + metrics + "/metrics"});
    QVERIFY(curl.waitForFinished(kWaitMs));
    double magic = 0;
    double nearMisses = 0;
    for (const QByteArray &line : curl.readAllStandardOutput().split('\n')) {
        if (line.startsWith("corvalen_magic_packets_total{"))
            magic += line.split(' ').last().toDouble();
        else if (line.startsWith("corvalen_near_misses_total{"))
            nearMisses += line.split(' ').last().toDouble();
    }
    QCOMPARE(magic, 1.0); // the marker
    QCOMPARE(nearMisses, 1.0);
}

void TestCliWire::captureThatCannotOpen()
{
    Cli cli({"--interface", "cvl-none"});
    QVERIFY(cli.WaitUntilListening());
    QCOMPARE(cli.Err().count("cvl-none"), 1);
    QVERIFY(UdpSender().Send("127.0.0.1", 9, Magic(kUnknownMac)));
    QVERIFY(QTest::qWaitFor([&] { return cli.Lines().size() >= 11; }, kWaitMs));
    const QList<QByteArray> lines = cli.Lines();
    QCOMPARE(lines.first(), QByteArray("Magic Packet received."));
    QCOMPARE(lines[8], QByteArray("  Carrier: UDP over IPv4, seen by the raw socket only"));
}

// Three machines woken at once by wakeonlan from the peer: one sweep, after their events.
void TestCliWire::sweepOfOneSender()
{
    Cli cli({"--json", "--interface", kLocalLink, "--sweep-threshold", "3", "--count", "3", "--timeout", "60"});
    QVERIFY(cli.WaitUntilListening());
    QVERIFY(RunInPeer({"wakeonlan", "-i", "10.231.43.255", "02:5e:00:00:00:01", "02:5e:00:00:00:02",
                       "02:5e:00:00:00:03"}));
    QVERIFY(QTest::qWaitFor([&] { return cli.Err().contains("3 magic packet(s) reported"); }, kWaitMs));
    const QList<QByteArray> lines = cli.Lines();
    QCOMPARE(lines.size(), 4);
    const QJsonObject sweep = QJsonDocument::fromJson(lines.last()).object();
    QCOMPARE(sweep.value("event").toString(), "sweep");
    QCOMPARE(sweep.value("source").toString(), kPeerAddress);
    QCOMPARE(sweep.value("macs").toInt(), 3);
    QVERIFY(sweep.value("seconds").toDouble() < 10);
}

void TestCliWire::wakeOfThePeer_data()
{
    QTest::addColumn<bool>("wakes");
    QTest::addColumn<bool>("awakeAlready"); // this machine has just had an answer from it
    QTest::newRow("a frame from it: woke") << true << false;
    QTest::newRow("answered a ping just before: awake already") << true << true;
    QTest::newRow("nothing from it: no sign of life") << false << false;
}

// The peer plays the machine that wakes: a magic packet for its MAC goes out, and,
// once corvalen-cli watches that MAC, the peer sends a datagram (with an ARP request
// first unless it knows the address) too short to be a magic packet.
void TestCliWire::wakeOfThePeer()
{
    QFETCH(bool, wakes);
    QFETCH(bool, awakeAlready);
    // The peer's own frames (neighbour discovery, ARP) come when they will: the
    // machine that never wakes is one nobody has.
    const QString peer = wakes ? m_veth->PeerMac() : kUnknownMac;
    QVERIFY(!peer.isEmpty());
    Cli cli({"--json", "--interface", kLocalLink, "--mac", peer, "--until-woke", "--wake-timeout", wakes ? "60" : "1",
             "--timeout", "90"});
    QVERIFY(cli.WaitUntilListening());
    // Nothing known of the peer; or an answer from it just now: an ARP reply to a datagram sent to it.
    QVERIFY(Run("ip", {"neigh", "flush", "dev", kLocalLink}));
    if (awakeAlready) {
        QVERIFY(UdpSender(INADDR_ANY).Send(kPeerAddress.toLatin1().constData(), 9, "?"));
        QVERIFY(QTest::qWaitFor(
            [] {
                QProcess ip;
                ip.start("ip", {"neigh", "show", "to", kPeerAddress});
                ip.waitForFinished();
                return ip.readAll().contains("REACHABLE");
            },
            kWaitMs));
    }
    QVERIFY(RunInPeer({"wakeonlan", "-i", "10.231.43.255", peer}));
    QVERIFY(QTest::qWaitFor([&] { return !cli.Lines().isEmpty(); }, kWaitMs));
    if (wakes)
        QVERIFY(SendFromPeer("!", kLocalAddress));
    QVERIFY(QTest::qWaitFor([&] { return cli.Lines().size() >= 2; }, kWaitMs));
    const QJsonObject outcome = QJsonDocument::fromJson(cli.Lines().at(1)).object();
    QVERIFY2(outcome.value("event").toString() == (wakes ? "woke" : "no_sign_of_life"), cli.Lines().at(1));
    QCOMPARE(outcome.value("mac").toString(), MacText(peer));
    QCOMPARE(outcome.value("packets").toInt(), 1);
    if (wakes)
        QCOMPARE(outcome.value("was_awake").toBool(), awakeAlready);
    QVERIFY(cli.WaitForExit());
    QCOMPARE(cli.ExitCode(), wakes ? 0 : 1);
}

QTEST_GUILESS_MAIN(TestCliWire)
#include "tst_cli_wire.moc"
