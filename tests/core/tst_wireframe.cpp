#include "wireframe.h"

#include "testdatagrams.h"

#include <QTest>

#include <initializer_list>
#include <vector>

namespace {

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int value : values)
        bytes.append(char(value));
    return bytes;
}

QByteArray BigEndian16(int value)
{
    return Bytes({(value >> 8) & 0xFF, value & 0xFF});
}

const QByteArray kMac = Bytes({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
const QByteArray kOtherMac = Bytes({0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F});
const QByteArray kSync(6, char(0xFF));

QByteArray Magic(const QByteArray &mac = kMac)
{
    return kSync + mac.repeated(16);
}

QByteArray WithCopy(QByteArray payload, int copy, const QByteArray &mac)
{
    return payload.replace(6 + (copy - 1) * 6, 6, mac);
}

QByteArray Ethernet(int etherType, const QByteArray &body, std::initializer_list<int> tagProtocols = {})
{
    QByteArray frame = Bytes({0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x02});
    for (int protocol : tagProtocols)
        frame += BigEndian16(protocol) + BigEndian16(0x0064);
    return frame + BigEndian16(etherType) + body;
}

QByteArray Udp(const QByteArray &payload, int lengthAdjust = 0)
{
    return BigEndian16(40000) + BigEndian16(9) + BigEndian16(8 + int(payload.size()) + lengthAdjust) + BigEndian16(0)
           + payload;
}

struct Ipv4Shape
{
    int ihl = 5;
    int fragment = 0x4000; // don't fragment
    int protocol = 17;
    int totalLengthAdjust = 0;
};

QByteArray Ipv4(const QByteArray &body, const Ipv4Shape &shape = {})
{
    const int headerSize = shape.ihl * 4;
    QByteArray packet = Bytes({0x40 | shape.ihl, 0}) + BigEndian16(qMax(headerSize, 20) + int(body.size()) + shape.totalLengthAdjust)
                        + BigEndian16(0x1234) + BigEndian16(shape.fragment) + Bytes({64, shape.protocol})
                        + BigEndian16(0) + Bytes({192, 168, 1, 10, 192, 168, 1, 255});
    packet += QByteArray(qMax(headerSize - 20, 0), char(1)); // NOP options
    return packet + body;
}

QByteArray Ipv6(int nextHeader, const QByteArray &body, int payloadLengthAdjust = 0)
{
    QByteArray packet = Bytes({0x60, 0, 0, 0}) + BigEndian16(int(body.size()) + payloadLengthAdjust)
                        + Bytes({nextHeader, 64});
    packet += Bytes({0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    packet += Bytes({0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    return packet + body;
}

// An options header (hop-by-hop, routing, destination) of (units + 1) * 8 bytes.
QByteArray OptionsHeader(int nextHeader, int units = 0)
{
    return Bytes({nextHeader, units}) + QByteArray((units + 1) * 8 - 2, char(0));
}

QByteArray FragmentHeader(int nextHeader, int offsetAndMore)
{
    return Bytes({nextHeader, 0}) + BigEndian16(offsetAndMore) + Bytes({0, 0, 0, 1});
}

QByteArray AuthenticationHeader(int nextHeader)
{
    return Bytes({nextHeader, 4, 0, 0}) + QByteArray(20, char(0)); // (4 + 2) * 4 bytes
}

// Decodes from a heap block of exactly the frame's length, so that a read past the
// end shows up under AddressSanitizer.
std::optional<WireFrame> DecodeExact(const QByteArray &frame, std::vector<std::uint8_t> &storage)
{
    storage.assign(frame.cbegin(), frame.cend());
    return DecodeFrame(ByteView(storage.data(), storage.size()));
}

QByteArray ToBytes(ByteView view)
{
    return QByteArray(reinterpret_cast<const char *>(view.data()), qsizetype(view.size()));
}

QByteArray ToBytes(const MacAddress &mac)
{
    return ToBytes(ByteView(mac.data(), mac.size()));
}

} // namespace

Q_DECLARE_METATYPE(MagicKind)
Q_DECLARE_METATYPE(Carrier)
Q_DECLARE_METATYPE(Family)

class TestWireFrame final : public QObject
{
    Q_OBJECT

private slots:
    void findMagic_data();
    void findMagic();
    void addressesNoCardHas_data();
    void addressesNoCardHas();
    void decodeFrame_data();
    void decodeFrame();
    void framesThatAreNoCandidate_data();
    void framesThatAreNoCandidate();
    void cutPacketsDecodeToNothing_data();
    void cutPacketsDecodeToNothing();
};

void TestWireFrame::findMagic_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<MagicKind>("kind");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("mac");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("reason");

    const QByteArray none;
    const QByteArray ffMac(6, char(0xFF));
    QTest::newRow("exact") << Magic() << MagicKind::Magic << 0 << kMac << none << QString();
    QTest::newRow("all 0xFF") << QByteArray(102, char(0xFF)) << MagicKind::Magic << 0 << ffMac << none << QString();
    QTest::newRow("behind 10 bytes") << QByteArray(10, 'x') + Magic() << MagicKind::Magic << 10 << kMac << none
                                     << QString();
    QTest::newRow("behind a longer run of 0xFF") << QByteArray(3, char(0xFF)) + Magic() << MagicKind::Magic << 3
                                                 << kMac << none << QString();
    QTest::newRow("4-byte password") << Magic() + Bytes({192, 168, 1, 2}) << MagicKind::Magic << 0 << kMac
                                     << Bytes({192, 168, 1, 2}) << QString();
    QTest::newRow("6-byte password") << Magic() + kOtherMac << MagicKind::Magic << 0 << kMac << kOtherMac
                                     << QString();
    QTest::newRow("5 bytes after it are no password") << Magic() + QByteArray(5, 'p') << MagicKind::Magic << 0
                                                      << kMac << none << QString();
    QTest::newRow("password not at the end") << QByteArray(4, 'x') + Magic() + QByteArray(6, 'p') << MagicKind::Magic
                                             << 4 << kMac << QByteArray(6, 'p') << QString();
    QTest::newRow("magic after a near miss") << WithCopy(Magic(), 3, kOtherMac) + Magic(kOtherMac)
                                             << MagicKind::Magic << 102 << kOtherMac << none << QString();

    QTest::newRow("copy 9 differs") << WithCopy(Magic(), 9, kOtherMac) << MagicKind::NearMiss << 0 << kMac << none
                                    << QStringLiteral("MAC copy 9 of 16 differs");
    QTest::newRow("last byte of copy 16 differs") << Magic().chopped(1) + "x" << MagicKind::NearMiss << 0 << kMac
                                                  << none << QStringLiteral("MAC copy 16 of 16 differs");
    QTest::newRow("11 copies") << kSync + kMac.repeated(11) << MagicKind::NearMiss << 0 << kMac << none
                               << QStringLiteral("only 11 copies of the MAC address");
    QTest::newRow("copy 16 cut short") << Magic().chopped(1) << MagicKind::NearMiss << 0 << kMac << none
                                       << QStringLiteral("only 15 copies of the MAC address");
    QTest::newRow("one copy") << kSync + kMac << MagicKind::NearMiss << 0 << kMac << none
                              << QStringLiteral("only 1 copy of the MAC address");
    QTest::newRow("the better of two near misses") << WithCopy(Magic(), 3, kOtherMac) + WithCopy(Magic(), 12, kOtherMac)
                                                    << MagicKind::NearMiss << 102 << kMac << none
                                                    << QStringLiteral("MAC copy 12 of 16 differs");
    QTest::newRow("the first of two equal near misses")
        << WithCopy(Magic(), 5, kOtherMac) + WithCopy(Magic(kOtherMac), 5, kMac) << MagicKind::NearMiss << 0 << kMac
        << none << QStringLiteral("MAC copy 5 of 16 differs");

    QTest::newRow("copy 2 differs: any bytes after six 0xFF")
        << WithCopy(Magic(), 2, kOtherMac) << MagicKind::None << 0 << none << none << QString();
    QTest::newRow("empty") << QByteArray() << MagicKind::None << 0 << none << none << QString();
    QTest::newRow("sync and 5 bytes") << kSync + kMac.left(5) << MagicKind::None << 0 << none << none << QString();
    QTest::newRow("five 0xFF") << Magic().mid(1) << MagicKind::None << 0 << none << none << QString();
    QTest::newRow("runs of five 0xFF") << (QByteArray(5, char(0xFF)) + "x").repeated(40) << MagicKind::None << 0
                                       << none << none << QString();
}

void TestWireFrame::findMagic()
{
    QFETCH(QByteArray, payload);
    QFETCH(MagicKind, kind);
    QFETCH(int, offset);
    QFETCH(QByteArray, mac);
    QFETCH(QByteArray, password);
    QFETCH(QString, reason);

    const std::vector<std::uint8_t> exact(payload.cbegin(), payload.cend());
    const MagicMatch match = FindMagic(ByteView(exact.data(), exact.size()));
    QCOMPARE(match.kind, kind);
    QCOMPARE(QString::fromStdString(NearMissReason(match)), reason);
    if (kind == MagicKind::None)
        return;
    QCOMPARE(int(match.offset), offset);
    QCOMPARE(ToBytes(match.mac), mac);
    QCOMPARE(ToBytes(match.password), password);
}

void TestWireFrame::addressesNoCardHas_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<MagicKind>("kind");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("mac");
    QTest::addColumn<bool>("noCard");

    const QByteArray ff(6, char(0xFF));
    const QByteArray zero(6, char(0));
    const QByteArray group = Bytes({0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB});
    const QByteArray video = testdatagrams::VideoPayload();
    QTest::newRow("video with null packets and stuffing") << video << MagicKind::None << 0 << QByteArray() << false;
    QTest::newRow("one stuffed packet") << testdatagrams::TransportPacket(0x100, 0, 0) << MagicKind::None << 0 << QByteArray()
                                        << false;
    QTest::newRow("103 0xFF") << "x" + QByteArray(103, char(0xFF)) + "x" << MagicKind::None << 0 << QByteArray()
                              << false;
    QTest::newRow("102 0xFF on their own") << "x" + QByteArray(102, char(0xFF)) + "x" << MagicKind::Magic << 1 << ff
                                           << true;
    QTest::newRow("the all-zero address") << Magic(zero) + "x" << MagicKind::Magic << 0 << zero << true;
    QTest::newRow("zero bytes that go on") << Magic(zero) + QByteArray(100, '\0') << MagicKind::None << 0
                                           << QByteArray() << false;
    QTest::newRow("a group address") << Magic(group) << MagicKind::Magic << 0 << group << true;
    QTest::newRow("no near miss of a group address") << WithCopy(Magic(group), 3, kOtherMac) << MagicKind::None << 0
                                                     << QByteArray() << false;
    QTest::newRow("magic packet after stuffing") << video + Magic() << MagicKind::Magic << int(video.size()) << kMac
                                                 << false;
    QTest::newRow("magic packet right behind a null packet's 0xFF")
        << testdatagrams::TransportPacket(0x1FFF, 184, 0) + Magic() << MagicKind::Magic << 188 << kMac << false;
    QTest::newRow("a card's address wins") << QByteArray(102, char(0xFF)) + "x" + Magic() << MagicKind::Magic << 103
                                           << kMac << false;
    QTest::newRow("a card's near miss comes after") << QByteArray(102, char(0xFF)) + "x" + WithCopy(Magic(), 4, zero)
                                                    << MagicKind::Magic << 0 << ff << true;
}

// A run of 0xFF or zero bytes longer than a magic packet is padding; copies of an
// address no card has count only as a whole magic packet on its own.
void TestWireFrame::addressesNoCardHas()
{
    QFETCH(QByteArray, payload);
    QFETCH(MagicKind, kind);
    QFETCH(int, offset);
    QFETCH(QByteArray, mac);
    QFETCH(bool, noCard);

    const std::vector<std::uint8_t> exact(payload.cbegin(), payload.cend());
    const MagicMatch match = FindMagic(ByteView(exact.data(), exact.size()));
    QCOMPARE(match.kind, kind);
    QCOMPARE(match.noCardHasTarget, noCard);
    if (kind == MagicKind::None)
        return;
    QCOMPARE(int(match.offset), offset);
    QCOMPARE(ToBytes(match.mac), mac);
}

void TestWireFrame::decodeFrame_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<MagicKind>("kind");
    QTest::addColumn<Carrier>("carrier");
    QTest::addColumn<Family>("family");
    QTest::addColumn<int>("destinationPort");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("strict");

    const QByteArray magic = Magic();
    const QByteArray password = magic + kOtherMac;
    const QByteArray nearMiss = WithCopy(magic, 9, kOtherMac);
    const QByteArray behind = QByteArray(10, 'x') + magic;
    const QByteArray none;

    QTest::newRow("IPv4 UDP") << Ethernet(0x0800, Ipv4(Udp(magic))) << MagicKind::Magic << Carrier::Udp
                              << Family::Ipv4 << 9 << magic << true;
    QTest::newRow("IPv4 options") << Ethernet(0x0800, Ipv4(Udp(magic), {.ihl = 15})) << MagicKind::Magic
                                  << Carrier::Udp << Family::Ipv4 << 9 << magic << true;
    QTest::newRow("IPv4, Ethernet padding") << Ethernet(0x0800, Ipv4(Udp(magic)) + QByteArray(8, '\0'))
                                            << MagicKind::Magic << Carrier::Udp << Family::Ipv4 << 9 << magic << true;
    QTest::newRow("IPv4 password") << Ethernet(0x0800, Ipv4(Udp(password))) << MagicKind::Magic << Carrier::Udp
                                   << Family::Ipv4 << 9 << password << false;
    QTest::newRow("IPv4 pattern further in") << Ethernet(0x0800, Ipv4(Udp(behind))) << MagicKind::Magic
                                             << Carrier::Udp << Family::Ipv4 << 9 << behind << false;
    QTest::newRow("IPv4 bytes behind the UDP length") << Ethernet(0x0800, Ipv4(Udp(magic) + "tail"))
                                                      << MagicKind::Magic << Carrier::Udp << Family::Ipv4 << 9
                                                      << magic << false;
    QTest::newRow("IPv4 near miss") << Ethernet(0x0800, Ipv4(Udp(nearMiss))) << MagicKind::NearMiss << Carrier::Udp
                                    << Family::Ipv4 << 9 << nearMiss << false;
    QTest::newRow("802.1Q") << Ethernet(0x0800, Ipv4(Udp(magic)), {0x8100}) << MagicKind::Magic << Carrier::Udp
                            << Family::Ipv4 << 9 << magic << true;
    QTest::newRow("802.1ad and 802.1Q") << Ethernet(0x0800, Ipv4(Udp(magic)), {0x88A8, 0x8100}) << MagicKind::Magic
                                        << Carrier::Udp << Family::Ipv4 << 9 << magic << true;
    QTest::newRow("0x0842") << Ethernet(0x0842, magic) << MagicKind::Magic << Carrier::Ethernet << Family::None << 0
                            << magic << false;
    QTest::newRow("0x0842 in 802.1Q") << Ethernet(0x0842, magic, {0x8100}) << MagicKind::Magic << Carrier::Ethernet
                                      << Family::None << 0 << magic << false;
    QTest::newRow("0x0842 cut after 11 copies") << Ethernet(0x0842, magic.left(6 + 66)) << MagicKind::NearMiss
                                                << Carrier::Ethernet << Family::None << 0 << magic.left(72) << false;
    QTest::newRow("IPv6 UDP") << Ethernet(0x86DD, Ipv6(17, Udp(magic))) << MagicKind::Magic << Carrier::Udp
                              << Family::Ipv6 << 9 << magic << false;
    QTest::newRow("IPv6 hop-by-hop, routing, destination options")
        << Ethernet(0x86DD, Ipv6(0, OptionsHeader(43, 1) + OptionsHeader(60, 2) + OptionsHeader(17) + Udp(magic)))
        << MagicKind::Magic << Carrier::Udp << Family::Ipv6 << 9 << magic << false;
    QTest::newRow("IPv6 atomic fragment, authentication header")
        << Ethernet(0x86DD, Ipv6(44, FragmentHeader(51, 0) + AuthenticationHeader(17) + Udp(magic)))
        << MagicKind::Magic << Carrier::Udp << Family::Ipv6 << 9 << magic << false;
    QTest::newRow("IPv6 in 802.1Q") << Ethernet(0x86DD, Ipv6(17, Udp(password)), {0x8100}) << MagicKind::Magic
                                    << Carrier::Udp << Family::Ipv6 << 9 << password << false;
}

void TestWireFrame::decodeFrame()
{
    QFETCH(QByteArray, frame);
    QFETCH(MagicKind, kind);
    QFETCH(Carrier, carrier);
    QFETCH(Family, family);
    QFETCH(int, destinationPort);
    QFETCH(QByteArray, payload);
    QFETCH(bool, strict);

    std::vector<std::uint8_t> storage;
    const std::optional<WireFrame> decoded = DecodeExact(frame, storage);
    QVERIFY(decoded.has_value());
    QCOMPARE(decoded->magic.kind, kind);
    QCOMPARE(decoded->carrier, carrier);
    QCOMPARE(decoded->family, family);
    QCOMPARE(int(decoded->destinationPort), destinationPort);
    QCOMPARE(int(decoded->sourcePort), carrier == Carrier::Udp ? 40000 : 0);
    QCOMPARE(ToBytes(decoded->payload), payload);
    QCOMPARE(decoded->strict, strict);
    QCOMPARE(ToBytes(decoded->destinationMac), frame.left(6));
    QCOMPARE(ToBytes(decoded->sourceMac), frame.mid(6, 6));
    if (family == Family::None)
        return;
    const int addressSize = family == Family::Ipv4 ? 4 : 16;
    const QByteArray addresses = family == Family::Ipv4 ? Ipv4({}).mid(12, 8) : Ipv6(17, {}).mid(8, 32);
    QCOMPARE(ToBytes(ByteView(decoded->sourceAddress.data(), addressSize)), addresses.left(addressSize));
    QCOMPARE(ToBytes(ByteView(decoded->destinationAddress.data(), addressSize)), addresses.mid(addressSize));
}

void TestWireFrame::framesThatAreNoCandidate_data()
{
    QTest::addColumn<QByteArray>("frame");

    const QByteArray udp = Udp(Magic());
    QTest::newRow("13 bytes") << Ethernet(0x0842, Magic()).left(13);
    QTest::newRow("only VLAN tags") << Ethernet(0x8100, {}, {0x8100, 0x8100}).chopped(2);
    QTest::newRow("three VLAN tags") << Ethernet(0x0800, Ipv4(udp), {0x88A8, 0x8100, 0x8100});
    QTest::newRow("ARP") << Ethernet(0x0806, Magic());
    QTest::newRow("UDP without a magic packet") << Ethernet(0x0800, Ipv4(Udp(QByteArray(102, 'x'))));
    QTest::newRow("TCP") << Ethernet(0x0800, Ipv4(udp, {.protocol = 6}));
    QTest::newRow("IPv4 first fragment") << Ethernet(0x0800, Ipv4(udp, {.fragment = 0x2000}));
    QTest::newRow("IHL 4") << Ethernet(0x0800, Ipv4(udp, {.ihl = 4}));
    QTest::newRow("IPv4 total length beyond the frame") << Ethernet(0x0800, Ipv4(udp, {.totalLengthAdjust = 1}));
    QTest::newRow("IPv4 total length inside the header") << Ethernet(0x0800, Ipv4(udp, {.ihl = 6, .totalLengthAdjust = -int(udp.size()) - 1}));
    QTest::newRow("UDP length beyond the packet") << Ethernet(0x0800, Ipv4(Udp(Magic(), 1)));
    QTest::newRow("UDP length below its header") << Ethernet(0x0800, Ipv4(Udp(Magic(), -103)));
    QTest::newRow("IPv6 payload length beyond the frame") << Ethernet(0x86DD, Ipv6(17, udp, 1));
    QTest::newRow("IPv6 first fragment") << Ethernet(0x86DD, Ipv6(44, FragmentHeader(17, 0x0001) + udp));
    QTest::newRow("IPv6 later fragment") << Ethernet(0x86DD, Ipv6(44, FragmentHeader(17, 0x0008) + udp));
    QTest::newRow("IPv6 ESP") << Ethernet(0x86DD, Ipv6(50, udp));
    QTest::newRow("IPv6 options header beyond the payload") << Ethernet(0x86DD, Ipv6(0, Bytes({17, 200}) + udp));
}

void TestWireFrame::framesThatAreNoCandidate()
{
    QFETCH(QByteArray, frame);
    std::vector<std::uint8_t> storage;
    QVERIFY(!DecodeExact(frame, storage).has_value());
}

void TestWireFrame::cutPacketsDecodeToNothing_data()
{
    QTest::addColumn<QByteArray>("frame");

    const QByteArray udp = Udp(Magic());
    QTest::newRow("IPv4") << Ethernet(0x0800, Ipv4(udp, {.ihl = 7}), {0x8100});
    QTest::newRow("IPv6") << Ethernet(0x86DD, Ipv6(0, OptionsHeader(44) + FragmentHeader(17, 0) + udp));
}

// A frame that ends before its IP packet does must not be read as a shorter packet.
void TestWireFrame::cutPacketsDecodeToNothing()
{
    QFETCH(QByteArray, frame);
    std::vector<std::uint8_t> storage;
    QVERIFY(DecodeExact(frame, storage).has_value());
    for (qsizetype length = 0; length < frame.size(); ++length)
        QVERIFY2(!DecodeExact(frame.left(length), storage).has_value(), qPrintable(QString::number(length)));
}

QTEST_APPLESS_MAIN(TestWireFrame)
#include "tst_wireframe.moc"
