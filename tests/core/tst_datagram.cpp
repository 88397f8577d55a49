#include "datagram.h"
#include "stdtext.h"
#include "testdatagrams.h"

#include <QTest>

#include <vector>

using namespace testdatagrams;

namespace {

const HeaderSizes kSizes{20, 8, 28};

// Decodes from a heap block of exactly the received length, so that a read past
// the end shows up under AddressSanitizer.
std::optional<DecodedDatagram> DecodeExact(const QByteArray &datagram)
{
    const std::vector<std::uint8_t> exact(datagram.cbegin(), datagram.cend());
    return DecodeDatagram(exact, kSizes);
}

QString MacFromExact(const QByteArray &payload)
{
    const std::vector<std::uint8_t> exact(payload.cbegin(), payload.cend());
    return Text(ExtractMagicMac(exact));
}

const QByteArray kMac = Mac({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
const QString kMacText = QStringLiteral("00-1A-2B-3C-4D-5E");

} // namespace

class TestDatagram final : public QObject
{
    Q_OBJECT

private slots:
    void shortDatagramsAreIgnored_data();
    void shortDatagramsAreIgnored();
    void decode_data();
    void decode();
    void inconsistentDatagramsAreIgnored_data();
    void inconsistentDatagramsAreIgnored();
    void extractMagicMac_data();
    void extractMagicMac();
    void formatDottedQuad_data();
    void formatDottedQuad();
    void subnetBroadcast_data();
    void subnetBroadcast();
};

void TestDatagram::shortDatagramsAreIgnored_data()
{
    QTest::addColumn<QByteArray>("datagram");

    const QByteArray magic = BuildDatagram({.payload = MagicPayload(kMac)});
    for (int length = 0; length <= 28; ++length) {
        QTest::addRow("zeros, %d bytes", length) << QByteArray(length, '\0');
        QTest::addRow("0xFF, %d bytes", length) << QByteArray(length, char(0xFF));
        QTest::addRow("start of a magic datagram, %d bytes", length) << magic.left(length);
    }
}

void TestDatagram::shortDatagramsAreIgnored()
{
    QFETCH(QByteArray, datagram);
    QVERIFY(!DecodeExact(datagram).has_value());
}

void TestDatagram::decode_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QString>("sourceAddress");
    QTest::addColumn<QString>("destinationAddress");
    QTest::addColumn<int>("sourcePort");
    QTest::addColumn<int>("destinationPort");
    QTest::addColumn<QString>("mac");

    const QString src = QStringLiteral("192.168.1.10");
    const QString dst = QStringLiteral("192.168.1.255");

    QTest::newRow("magic packet, 130 bytes")
        << BuildDatagram({.payload = MagicPayload(kMac)}) << src << dst << 40000 << 9 << kMacText;
    QTest::newRow("leading zeros kept in MAC")
        << BuildDatagram({.payload = MagicPayload(Mac({0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}))}) << src << dst
        << 40000 << 9 << QStringLiteral("0A-0B-0C-0D-0E-0F");
    QTest::newRow("MAC bytes with the high bit set")
        << BuildDatagram({.payload = MagicPayload(Mac({0xA0, 0xFE, 0x80, 0x7F, 0x01, 0xC3}))}) << src << dst
        << 40000 << 9 << QStringLiteral("A0-FE-80-7F-01-C3");
    QTest::newRow("payload all 0xFF")
        << BuildDatagram({.payload = QByteArray(102, char(0xFF))}) << src << dst << 40000 << 9
        << QStringLiteral("FF-FF-FF-FF-FF-FF");
    QTest::newRow("all-zero MAC")
        << BuildDatagram({.payload = MagicPayload(QByteArray(6, '\0'))}) << src << dst << 40000 << 9
        << QStringLiteral("00-00-00-00-00-00");

    QByteArray copyDiffers = MagicPayload(kMac);
    copyDiffers[6 + 6 * 7 + 3] = char(0x3D);
    QTest::newRow("one copy differs in one byte")
        << BuildDatagram({.payload = copyDiffers}) << src << dst << 40000 << 9 << QString();
    QByteArray lastByteDiffers = MagicPayload(kMac);
    lastByteDiffers[101] = char(0x5F);
    QTest::newRow("last byte of the last copy differs")
        << BuildDatagram({.payload = lastByteDiffers}) << src << dst << 40000 << 9 << QString();
    QByteArray syncDiffers = MagicPayload(kMac);
    syncDiffers[5] = char(0xFE);
    QTest::newRow("sync byte differs")
        << BuildDatagram({.payload = syncDiffers}) << src << dst << 40000 << 9 << QString();
    QTest::newRow("magic packet with 6-byte password, 136 bytes")
        << BuildDatagram({.payload = MagicPayload(kMac) + Mac({1, 2, 3, 4, 5, 6})}) << src << dst << 40000 << 9
        << QString();
    QTest::newRow("magic packet with 4-byte password")
        << BuildDatagram({.payload = MagicPayload(kMac) + Mac({1, 2, 3, 4})}) << src << dst << 40000 << 9
        << QString();
    QTest::newRow("magic packet short of its last byte")
        << BuildDatagram({.payload = MagicPayload(kMac).chopped(1)}) << src << dst << 40000 << 9 << QString();
    QTest::newRow("one payload byte, 29 bytes")
        << BuildDatagram({.payload = QByteArray(1, char(0xFF))}) << src << dst << 40000 << 9 << QString();

    QTest::newRow("addresses 0.0.0.0 to 255.255.255.255")
        << BuildDatagram({.source = 0, .destination = 0xFFFFFFFF, .payload = MagicPayload(kMac)})
        << QStringLiteral("0.0.0.0") << QStringLiteral("255.255.255.255") << 40000 << 9 << kMacText;
    QTest::newRow("addresses 255.255.255.255 to 0.0.0.0")
        << BuildDatagram({.source = 0xFFFFFFFF, .destination = 0, .payload = MagicPayload(kMac)})
        << QStringLiteral("255.255.255.255") << QStringLiteral("0.0.0.0") << 40000 << 9 << kMacText;
    QTest::newRow("address byte order")
        << BuildDatagram({.source = 0x01020304, .destination = 0x0A00FF80, .payload = MagicPayload(kMac)})
        << QStringLiteral("1.2.3.4") << QStringLiteral("10.0.255.128") << 40000 << 9 << kMacText;
    QTest::newRow("ports 0 and 65535")
        << BuildDatagram({.sourcePort = 0, .destinationPort = 65535, .payload = MagicPayload(kMac)}) << src << dst
        << 0 << 65535 << kMacText;
    QTest::newRow("ports 65535 and 0")
        << BuildDatagram({.sourcePort = 65535, .destinationPort = 0, .payload = MagicPayload(kMac)}) << src << dst
        << 65535 << 0 << kMacText;
    QTest::newRow("port byte order")
        << BuildDatagram({.sourcePort = 0x0102, .destinationPort = 0x8001, .payload = MagicPayload(kMac)}) << src
        << dst << 0x0102 << 0x8001 << kMacText;

    // The header length comes from the IHL field; ports and payload follow the options.
    for (int ihl : {6, 7, 8, 15}) {
        QTest::addRow("IHL %d, magic packet", ihl)
            << BuildDatagram({.ihl = ihl, .sourcePort = 50123, .destinationPort = 7, .payload = MagicPayload(kMac)})
            << src << dst << 50123 << 7 << kMacText;
        QTest::addRow("IHL %d, empty UDP payload", ihl)
            << BuildDatagram({.ihl = ihl, .sourcePort = 50123, .destinationPort = 7, .payload = {}}) << src << dst << 50123 << 7
            << QString();
    }
}

void TestDatagram::decode()
{
    QFETCH(QByteArray, datagram);
    QFETCH(QString, sourceAddress);
    QFETCH(QString, destinationAddress);
    QFETCH(int, sourcePort);
    QFETCH(int, destinationPort);
    QFETCH(QString, mac);

    const auto decoded = DecodeExact(datagram);
    QVERIFY(decoded.has_value());
    QCOMPARE(Text(decoded->sourceAddress), sourceAddress);
    QCOMPARE(Text(decoded->destinationAddress), destinationAddress);
    QCOMPARE(int(decoded->sourcePort), sourcePort);
    QCOMPARE(int(decoded->destinationPort), destinationPort);
    QCOMPARE(Text(decoded->mac), mac);
}

void TestDatagram::inconsistentDatagramsAreIgnored_data()
{
    QTest::addColumn<QByteArray>("datagram");

    const QByteArray magic = MagicPayload(kMac);
    QTest::newRow("UDP length one more than received")
        << BuildDatagram({.payload = magic, .udpLengthAdjust = 1});
    QTest::newRow("UDP length one less than received")
        << BuildDatagram({.payload = magic, .udpLengthAdjust = -1});
    QTest::newRow("UDP length 4 short, as if options were not counted")
        << BuildDatagram({.payload = magic, .udpLengthAdjust = -4});
    QTest::newRow("UDP length 0") << BuildDatagram({.payload = magic, .udpLengthAdjust = -110});
    QTest::newRow("UDP length 65535") << BuildDatagram({.payload = magic, .udpLengthAdjust = 65535 - 110});
    QTest::newRow("received length 4 longer than the UDP length says")
        << BuildDatagram({.payload = magic}) + QByteArray(4, '\0');
    QTest::newRow("IHL 8, UDP length one less")
        << BuildDatagram({.ihl = 8, .payload = magic, .udpLengthAdjust = -1});
    QTest::newRow("IHL 8, UDP length one more")
        << BuildDatagram({.ihl = 8, .payload = magic, .udpLengthAdjust = 1});

    // IHL below 5 is no IPv4 header, even when the bytes at offset 20 are a magic packet.
    for (int ihl = 0; ihl < 5; ++ihl) {
        QByteArray datagram = BuildDatagram({.payload = magic});
        datagram[0] = char(0x40 | ihl);
        QTest::addRow("IHL %d", ihl) << datagram;
    }

    // Too short to hold the header that the IHL announces plus the UDP header.
    for (int ihl : {6, 7, 8, 15}) {
        const QByteArray whole = BuildDatagram({.ihl = ihl, .payload = {}});
        for (int missing : {1, 4, 7}) {
            const QByteArray cut = whole.chopped(missing);
            if (cut.size() > 28)
                QTest::addRow("IHL %d, %d bytes", ihl, int(cut.size())) << cut;
        }
    }
}

void TestDatagram::inconsistentDatagramsAreIgnored()
{
    QFETCH(QByteArray, datagram);
    QVERIFY(datagram.size() > 28);
    QVERIFY(!DecodeExact(datagram).has_value());
}

void TestDatagram::extractMagicMac_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("mac");

    const QByteArray magic = MagicPayload(kMac);
    QTest::newRow("magic") << magic << kMacText;
    QTest::newRow("all 0xFF") << QByteArray(102, char(0xFF)) << QStringLiteral("FF-FF-FF-FF-FF-FF");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("101 bytes") << magic.chopped(1) << QString();
    QTest::newRow("103 bytes") << magic + char(0x00) << QString();
    QTest::newRow("108 bytes, password") << magic + Mac({1, 2, 3, 4, 5, 6}) << QString();
    QTest::newRow("all zero") << QByteArray(102, '\0') << QString();
    for (int sync = 0; sync < 6; ++sync) {
        QByteArray payload = magic;
        payload[sync] = char(0x7F);
        QTest::addRow("sync byte %d differs", sync) << payload << QString();
    }
    for (int copy = 0; copy < 16; ++copy) {
        for (int position : {0, 5}) {
            QByteArray payload = magic;
            payload[6 + copy * 6 + position] = char(payload[6 + copy * 6 + position] ^ 0x01);
            QTest::addRow("copy %d differs at byte %d", copy, position) << payload << QString();
        }
    }
    QByteArray shifted = QByteArray(6, char(0xFF)) + kMac.repeated(16);
    shifted.prepend(char(0xFF)).chop(1);
    QTest::newRow("copies shifted by one byte") << shifted << QString();
}

void TestDatagram::extractMagicMac()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, mac);
    QCOMPARE(MacFromExact(payload), mac);
}

void TestDatagram::formatDottedQuad_data()
{
    QTest::addColumn<quint32>("address");
    QTest::addColumn<QString>("text");

    QTest::newRow("0.0.0.0") << quint32(0) << QStringLiteral("0.0.0.0");
    QTest::newRow("255.255.255.255") << quint32(0xFFFFFFFF) << QStringLiteral("255.255.255.255");
    QTest::newRow("192.168.1.10") << quint32(0xC0A8010A) << QStringLiteral("192.168.1.10");
    QTest::newRow("127.0.0.1") << quint32(0x7F000001) << QStringLiteral("127.0.0.1");
    QTest::newRow("most significant byte first") << quint32(0x01020304) << QStringLiteral("1.2.3.4");
    QTest::newRow("no leading zeros") << quint32(0x0A00FF80) << QStringLiteral("10.0.255.128");
}

void TestDatagram::formatDottedQuad()
{
    QFETCH(quint32, address);
    QFETCH(QString, text);
    QCOMPARE(Text(FormatDottedQuad(address)), text);
}

void TestDatagram::subnetBroadcast_data()
{
    QTest::addColumn<int>("prefixLength");
    QTest::addColumn<QString>("broadcast"); // empty: none

    QTest::newRow("/24") << 24 << "192.168.1.255";
    QTest::newRow("/30") << 30 << "192.168.1.11";
    QTest::newRow("/31 has none") << 31 << QString();
    QTest::newRow("/32 has none") << 32 << QString();
    QTest::newRow("/0") << 0 << "255.255.255.255";
}

void TestDatagram::subnetBroadcast()
{
    QFETCH(int, prefixLength);
    QFETCH(QString, broadcast);
    const std::optional<Ipv4Octets> found = Ipv4Network::WithPrefix({192, 168, 1, 10}, prefixLength).Broadcast();
    QCOMPARE(found ? Text(FormatIpv4(*found)) : QString(), broadcast);
}

QTEST_APPLESS_MAIN(TestDatagram)
#include "tst_datagram.moc"
