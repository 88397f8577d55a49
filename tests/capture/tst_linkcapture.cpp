// The libpcap capture and this machine's own view of itself, on a veth pair whose
// far end sits in a network namespace made for the test.

#include "linkcapture.h"
#include "rootskip.h"
#include "machineinfo.h"
#include "testdatagrams.h"
#include "testframes.h"
#include "vethnamespace.h"

#include <pcap/pcap.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

constexpr int kWaitMs = 5000;
const QString kMarkerMac = QStringLiteral("02:C0:FF:EE:00:01");

struct Seen
{
    std::string interfaceName;
    QByteArray bytes;
};

QByteArray MacBytes(const QString &text)
{
    return QByteArray::fromHex(text.toLatin1().replace(':', ""));
}

std::optional<WireFrame> Decode(const QByteArray &bytes)
{
    return DecodeFrame(ByteView(reinterpret_cast<const std::uint8_t *>(bytes.constData()), std::size_t(bytes.size())));
}

bool IsMagicFor(const QByteArray &bytes, const QByteArray &mac)
{
    const std::optional<WireFrame> frame = Decode(bytes);
    return frame && frame->magic.kind == MagicKind::Magic
           && QByteArray(reinterpret_cast<const char *>(frame->magic.mac.data()), 6) == mac;
}

// ARP, or IPv4 that is not UDP: what the kernel filter must keep away.
// TCP over IPv4: neither a magic packet nor ARP.
bool IsTcp(const QByteArray &bytes)
{
    const int etherType = (std::uint8_t(bytes[12]) << 8) | std::uint8_t(bytes[13]);
    return etherType == 0x0800 && bytes.size() > 23 && bytes[23] == 6;
}

} // namespace

class TestLinkCapture final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void filterLetsThroughCandidatesOnly_data();
    void filterLetsThroughCandidatesOnly();
    void filterTurnsAwayTransportStreams_data();
    void filterTurnsAwayTransportStreams();
    void sourcesJoinTheFilterAsCompiled();
    void everyEthernetInterfaceIsOpened();
    void machineKnowsTheVeth();

private:
    bool RunInPeer(const QStringList &command);
    bool WaitForMarker();

    const QString m_namespace = QStringLiteral("cvwire%1").arg(::getpid());
    const QString m_localLink = QStringLiteral("cvw%1a").arg(::getpid() % 100000);
    const QString m_peerLink = QStringLiteral("cvw%1b").arg(::getpid() % 100000);
    std::unique_ptr<VethNamespace> m_veth;
    PcapLinkCapture m_capture;
    std::vector<Seen> m_seen;
};

void TestLinkCapture::initTestCase()
{
    if (::geteuid() != 0)
        SKIP_WITHOUT_ROOT("needs root to make a network namespace and open a link-layer capture");
    for (const char *tool : {"ip", "etherwake", "wakeonlan"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            QFAIL(qPrintable(QStringLiteral("%1 is not installed").arg(QLatin1String(tool))));
    }
    // A network namespace of its own, which nothing else on this machine sends into,
    // with a sysfs that shows its interfaces.
    QVERIFY(::unshare(CLONE_NEWNET | CLONE_NEWNS) == 0);
    QVERIFY(::mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0); // the kernel ignores both names here
    QVERIFY(::umount2("/sys", MNT_DETACH) == 0);
    QVERIFY(::mount("sysfs", "/sys", "sysfs", 0, nullptr) == 0);
    QVERIFY(BringLoopbackUp());
    m_veth = std::make_unique<VethNamespace>(m_namespace, m_localLink, m_peerLink);
    QString failure;
    QVERIFY2(m_veth->Create(QStringLiteral("10.231.41.1/24"), QStringLiteral("10.231.41.2/24"), &failure),
             qPrintable(failure));
    QVERIFY2(m_capture.Open(m_localLink.toStdString()), m_capture.LastError().c_str());
    m_capture.OnFrame = [this](const std::string &interfaceName, ByteView frame, RealTime) {
        m_seen.push_back({interfaceName, QByteArray(reinterpret_cast<const char *>(frame.data()), qsizetype(frame.size()))});
    };
    m_capture.Start();
}

void TestLinkCapture::cleanupTestCase()
{
    m_capture.Close();
    m_veth.reset();
}

bool TestLinkCapture::RunInPeer(const QStringList &command)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("ip"), QStringList{QStringLiteral("netns"), QStringLiteral("exec"), m_namespace} + command);
    const bool finished = process.waitForFinished(kWaitMs);
    if (!finished || process.exitCode() != 0)
        qWarning() << command << process.readAll();
    return finished && process.exitCode() == 0;
}

// Frames arrive in order, so once a marker sent after the others is in, so is
// everything before it. The marker and whatever came after it are dropped.
bool TestLinkCapture::WaitForMarker()
{
    if (!RunInPeer({QStringLiteral("etherwake"), QStringLiteral("-i"), m_peerLink, kMarkerMac}))
        return false;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < kWaitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        const auto marker = std::find_if(m_seen.begin(), m_seen.end(),
                                         [](const Seen &seen) { return IsMagicFor(seen.bytes, MacBytes(kMarkerMac)); });
        if (marker != m_seen.end()) {
            m_seen.erase(marker, m_seen.end());
            return true;
        }
    }
    return false;
}

void TestLinkCapture::filterLetsThroughCandidatesOnly_data()
{
    QTest::addColumn<QStringList>("peerCommand");
    QTest::addColumn<QStringList>("localCommand");
    QTest::addColumn<int>("magicFrames");
    QTest::addColumn<int>("frameSize");
    QTest::addColumn<bool>("peerWatched"); // every frame of the peer's passes

    const QString mac = QStringLiteral("02:11:22:33:44:55");
    QTest::newRow("etherwake") << QStringList{QStringLiteral("etherwake"), QStringLiteral("-i"), m_peerLink, mac}
                               << QStringList() << 1 << 116 << false;
    QTest::newRow("etherwake with a password")
        << QStringList{QStringLiteral("etherwake"), QStringLiteral("-i"), m_peerLink, QStringLiteral("-p"),
                       QStringLiteral("11:22:33:44:55:66"), mac}
        << QStringList() << 1 << 122 << false;
    QTest::newRow("wakeonlan to the broadcast address")
        << QStringList{QStringLiteral("wakeonlan"), QStringLiteral("-i"), QStringLiteral("10.231.41.255"), mac}
        << QStringList() << 1 << 14 + 20 + 8 + 102 << false;
    const QStringList tcp{QStringLiteral("bash"), QStringLiteral("-c"),
                          QStringLiteral("timeout 1 bash -c \"echo > /dev/tcp/10.231.41.1/1\"; true")};
    QTest::newRow("ARP and TCP") << tcp << QStringList() << 0 << 0 << false;
    QTest::newRow("TCP from a watched machine") << tcp << QStringList() << 0 << 0 << true;
    QTest::newRow("outgoing magic packet")
        << QStringList()
        << QStringList{QStringLiteral("wakeonlan"), QStringLiteral("-i"), QStringLiteral("10.231.41.2"), mac} << 0 << 0
        << false;
}

void TestLinkCapture::filterLetsThroughCandidatesOnly()
{
    QFETCH(QStringList, peerCommand);
    QFETCH(QStringList, localCommand);
    QFETCH(int, magicFrames);
    QFETCH(int, frameSize);
    QFETCH(bool, peerWatched);

    std::vector<MacAddress> watched;
    if (peerWatched) {
        const std::string peer = m_veth->PeerMac().toStdString();
        MacAddress mac{};
        QCOMPARE(std::sscanf(peer.c_str(), "%hhx:%hhx:%hhx:%hhx:%hhx:%hhx", &mac[0], &mac[1], &mac[2], &mac[3],
                             &mac[4], &mac[5]),
                 6);
        watched.push_back(mac);
    }
    m_capture.SetWatchedSources(watched);
    m_seen.clear();
    if (!peerCommand.isEmpty())
        QVERIFY(RunInPeer(peerCommand));
    if (!localCommand.isEmpty())
        QCOMPARE(QProcess::execute(localCommand.first(), localCommand.mid(1)), 0);
    QVERIFY2(WaitForMarker(), "the marker frame never arrived");

    const QByteArray mac = MacBytes(QStringLiteral("02:11:22:33:44:55"));
    const auto magic = std::count_if(m_seen.begin(), m_seen.end(), [&](const Seen &seen) { return IsMagicFor(seen.bytes, mac); });
    QCOMPARE(int(magic), magicFrames);
    for (const Seen &seen : m_seen) {
        QCOMPARE(seen.interfaceName, m_localLink.toStdString());
        QVERIFY2(peerWatched || !IsTcp(seen.bytes), seen.bytes.toHex().constData());
        if (IsMagicFor(seen.bytes, mac))
            QCOMPARE(int(seen.bytes.size()), frameSize);
    }
    if (peerWatched)
        QVERIFY(std::any_of(m_seen.begin(), m_seen.end(), [](const Seen &seen) { return IsTcp(seen.bytes); }));
    m_capture.SetWatchedSources({});
    QCOMPARE(m_capture.Drops(), std::uint64_t(0));
}

void TestLinkCapture::filterTurnsAwayTransportStreams_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("tag"); // an 802.1Q tag before the EtherType, or nothing
    QTest::addColumn<bool>("passes");

    const QByteArray video = testdatagrams::VideoPayload();
    const QByteArray rtp = testdatagrams::Mac({0x80, 0xA1, 0, 1, 0, 0, 0, 0, 0x12, 0x34, 0x56, 0x78}); // marker bit set
    const QByteArray vlan = testdatagrams::Mac({0x81, 0x00, 0x00, 0x64});
    const QByteArray magic = testdatagrams::MagicPayload(MacBytes(QStringLiteral("02:11:22:33:44:55")));
    QTest::newRow("seven transport packets") << video << QByteArray() << false;
    QTest::newRow("one transport packet, in 802.1Q") << video.left(188) << vlan << false;
    QTest::newRow("transport packets behind RTP") << rtp + video << QByteArray() << false;
    QTest::newRow("a magic packet") << magic << QByteArray() << true;
    QTest::newRow("a magic packet in 188 bytes") << "x" + magic + QByteArray(85, char(0x47)) << QByteArray() << true;
    QTest::newRow("transport packets and a magic packet") << video + magic << QByteArray() << true;
    QTest::newRow("behind RTP of another payload type") << testdatagrams::Mac({0x80, 96}) + rtp.mid(2) + video
                                                          << QByteArray() << true;
}

// Checked offline with the filter as the capture compiles it: the kernel runs the same program.
void TestLinkCapture::filterTurnsAwayTransportStreams()
{
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, tag);
    QFETCH(bool, passes);

    testdatagrams::DatagramShape shape;
    shape.destination = 0xEFFF2A2A; // 239.255.42.42
    shape.payload = payload;
    const QByteArray frame = QByteArray::fromHex("01005e7f2a2a020000000002") + tag + QByteArray::fromHex("0800")
                             + testdatagrams::BuildDatagram(shape);
    pcap_t *const dead = pcap_open_dead(DLT_EN10MB, 262144);
    bpf_program program{};
    QCOMPARE(pcap_compile(dead, &program, PcapLinkCapture::kFilter, 1, PCAP_NETMASK_UNKNOWN), 0);
    pcap_pkthdr header{};
    header.caplen = header.len = bpf_u_int32(frame.size());
    const bool passed = pcap_offline_filter(&program, &header, reinterpret_cast<const u_char *>(frame.constData())) != 0;
    pcap_freecode(&program);
    pcap_close(dead);
    QCOMPARE(passed, passes);
}

// The watched sources join the compiled filter without compiling again: every frame,
// whole or cut short anywhere, untagged or behind tags, from a watched machine, from
// one whose address differs in its first two or its last four bytes, or from another,
// fares as it does with the filter compiled from FilterWithSources.
void TestLinkCapture::sourcesJoinTheFilterAsCompiled()
{
    using testframes::Bytes;
    const Bytes watched = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    const std::vector<Bytes> sources = {watched, {0x12, 0x11, 0x22, 0x33, 0x44, 0x55}, {0x02, 0x11, 0x22, 0x33, 0x44, 0x56},
                                        testframes::kSender};
    Bytes tcp = testframes::Udp(testframes::kSender, 2, 40000, 80, Bytes(30, 0x61));
    tcp[23] = 6;
    const QByteArray video = testdatagrams::VideoPayload();
    Bytes neighbour(40 + 24, 0);
    neighbour[0] = 0x60;
    neighbour[5] = 24;
    neighbour[6] = 58;
    neighbour[40] = 135;
    const std::vector<Bytes> frames = {
        testframes::Udp(testframes::kSender, 2, 40000, 9, testframes::Magic(watched)),
        testframes::Udp(testframes::kSender, 2, 40000, 5004, Bytes(video.begin(), video.end())),
        testframes::Udp(testframes::kSender, 2, 40000, 9, Bytes(4, 0xFF)),
        testframes::DhcpRequest(testframes::kSender, "nas"),
        testframes::ArpRequest(testframes::kSender, 2, 23),
        testframes::Ethernet(testframes::kSender, 0x0842, testframes::Magic(watched)),
        testframes::Ethernet(testframes::kSender, 0x86DD, neighbour),
        testframes::Ethernet(testframes::kSender, 0x88B5, Bytes(46, 0)),
        tcp,
    };
    const std::vector<Bytes> tagSets = {{}, {0x81, 0x00, 0x00, 0x64}, {0x88, 0xA8, 0, 10, 0x81, 0, 0, 20},
                                        {0x81, 0, 0, 1, 0x81, 0, 0, 2, 0x81, 0, 0, 3}};
    const std::vector<std::vector<MacAddress>> macSets = {
        {}, {MacAddress{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}},
        {MacAddress{0x02, 0, 0, 0, 0, 0x09}, MacAddress{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}, MacAddress{0x0A, 0, 0, 0, 0, 1}}};

    pcap_t *const dead = pcap_open_dead(DLT_EN10MB, 262144);
    bpf_program filter{};
    QCOMPARE(pcap_compile(dead, &filter, PcapLinkCapture::kFilter, 1, PCAP_NETMASK_UNKNOWN), 0);
    int lettingThrough = 0;
    for (const std::vector<MacAddress> &macs : macSets) {
        bpf_program compiled{};
        QCOMPARE(pcap_compile(dead, &compiled, PcapLinkCapture::FilterWithSources(macs).c_str(), 1, PCAP_NETMASK_UNKNOWN), 0);
        std::vector<bpf_insn> joined =
            PcapLinkCapture::WithSources(filter.bf_insns, filter.bf_len, macs, bpf_u_int32(pcap_snapshot(dead)));
        const bpf_program built{u_int(joined.size()), joined.data()};
        QVERIFY(bpf_validate(built.bf_insns, int(built.bf_len)) != 0);
        for (Bytes frame : frames) {
            for (const Bytes &tags : tagSets) {
                for (const Bytes &source : sources) {
                    Bytes tagged = frame;
                    std::copy(source.begin(), source.end(), tagged.begin() + 6);
                    tagged.insert(tagged.begin() + 12, tags.begin(), tags.end());
                    for (std::size_t size = 0; size <= tagged.size(); ++size) {
                        pcap_pkthdr header{};
                        header.caplen = header.len = bpf_u_int32(size);
                        const int expected = pcap_offline_filter(&compiled, &header, tagged.data());
                        QVERIFY2(pcap_offline_filter(&built, &header, tagged.data()) == expected,
                                 qPrintable(QStringLiteral("%1 MAC(s), %2 of %3 bytes: %4")
                                                .arg(macs.size())
                                                .arg(size)
                                                .arg(tagged.size())
                                                .arg(QByteArray(reinterpret_cast<const char *>(tagged.data()),
                                                                qsizetype(size)).toHex())));
                        lettingThrough += expected != 0;
                    }
                }
            }
        }
        pcap_freecode(&compiled);
    }
    QVERIFY(lettingThrough > 0);
    pcap_freecode(&filter);
    pcap_close(dead);
}

void TestLinkCapture::everyEthernetInterfaceIsOpened()
{
    PcapLinkCapture capture;
    QElapsedTimer timer;
    timer.start();
    QVERIFY2(capture.Open(std::string()), capture.LastError().c_str());
    qInfo("opened %zu interfaces in %lld ms", capture.Interfaces().size(), timer.elapsed());
    const std::vector<std::string> names = capture.Interfaces();
    QVERIFY(std::find(names.begin(), names.end(), "lo") != names.end());
    QVERIFY(std::find(names.begin(), names.end(), m_localLink.toStdString()) != names.end());
    QVERIFY(std::find(names.begin(), names.end(), "any") == names.end());
}

void TestLinkCapture::machineKnowsTheVeth()
{
    LocalMachine &machine = SystemMachineInfo();
    const std::string link = m_localLink.toStdString();
    QFile addressFile(QStringLiteral("/sys/class/net/%1/address").arg(m_localLink));
    QVERIFY(addressFile.open(QIODevice::ReadOnly));
    const QByteArray mac = MacBytes(QString::fromLatin1(addressFile.readAll().trimmed()));

    const std::vector<LocalInterface> interfaces = machine.Interfaces();
    const auto found = std::find_if(interfaces.begin(), interfaces.end(), [&](const LocalInterface &local) { return local.name == link; });
    QVERIFY(found != interfaces.end());
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(found->mac.data()), 6), mac);
    QVERIFY(std::none_of(interfaces.begin(), interfaces.end(), [](const LocalInterface &local) { return local.name == "lo"; }));

    const std::vector<Ipv4Octets> destinations = machine.Ipv4Destinations();
    QVERIFY(std::find(destinations.begin(), destinations.end(), Ipv4Octets{10, 231, 41, 1}) != destinations.end());
    QVERIFY(std::find(destinations.begin(), destinations.end(), Ipv4Octets{10, 231, 41, 255}) != destinations.end());
    QVERIFY(std::find(destinations.begin(), destinations.end(), Ipv4Octets{10, 231, 41, 2}) == destinations.end());

    // A veth has no Wake-on and no device behind it.
    QCOMPARE(machine.WakeOnModes(link), std::optional<std::string>());
    QCOMPARE(machine.DeviceWakeup(link), std::optional<bool>());
    QCOMPARE(machine.WakeOnModes("../lo"), std::optional<std::string>());
}

QTEST_GUILESS_MAIN(TestLinkCapture)
#include "tst_linkcapture.moc"
