#include "datagram.h"

#include <charconv>

namespace {

constexpr int kVersionAndIhlOffset = 0;
constexpr int kSourceAddressOffset = 12;
constexpr int kDestinationAddressOffset = 16;
constexpr int kMinimumIhl = 5;

constexpr int kUdpSourcePortOffset = 0;
constexpr int kUdpDestinationPortOffset = 2;
constexpr int kUdpLengthOffset = 4;

constexpr int kSyncSize = 6;
constexpr int kMacSize = 6;
constexpr int kMacCopies = 16;

std::uint16_t ReadBigEndian16(QByteArrayView bytes, qsizetype offset)
{
    return std::uint16_t((std::uint8_t(bytes[offset]) << 8) | std::uint8_t(bytes[offset + 1]));
}

std::uint32_t ReadBigEndian32(QByteArrayView bytes, qsizetype offset)
{
    return (std::uint32_t(ReadBigEndian16(bytes, offset)) << 16) | ReadBigEndian16(bytes, offset + 2);
}

} // namespace

std::optional<DecodedDatagram> DecodeDatagram(QByteArrayView datagram, const HeaderSizes &sizes)
{
    const qsizetype received = datagram.size();
    if (received <= sizes.headers)
        return std::nullopt;

    // The header length comes from the IHL field: datagrams with IP options do arrive.
    const int ihl = std::uint8_t(datagram[kVersionAndIhlOffset]) & 0x0F;
    if (ihl < kMinimumIhl)
        return std::nullopt;
    const int ipHeaderSize = ihl * 4;
    if (received < ipHeaderSize + sizes.udpHeader)
        return std::nullopt;

    const QByteArrayView udp = datagram.sliced(ipHeaderSize);
    const int udpLength = ReadBigEndian16(udp, kUdpLengthOffset);
    if (received != qsizetype(udpLength) + ipHeaderSize)
        return std::nullopt;

    DecodedDatagram decoded;
    decoded.sourcePort = ReadBigEndian16(udp, kUdpSourcePortOffset);
    decoded.destinationPort = ReadBigEndian16(udp, kUdpDestinationPortOffset);
    decoded.sourceAddress = FormatDottedQuad(ReadBigEndian32(datagram, kSourceAddressOffset));
    decoded.destinationAddress = FormatDottedQuad(ReadBigEndian32(datagram, kDestinationAddressOffset));
    if (udpLength - sizes.udpHeader == kMagicPayloadSize)
        decoded.mac = ExtractMagicMac(udp.sliced(sizes.udpHeader));
    return decoded;
}

QString FormatDottedQuad(std::uint32_t hostOrderAddress)
{
    // Runs for every datagram that holds together, so it avoids QString::arg.
    char text[16];
    char *end = text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        end = std::to_chars(end, text + sizeof text, (hostOrderAddress >> shift) & 0xFF).ptr;
        if (shift > 0)
            *end++ = '.';
    }
    return QString::fromLatin1(text, end - text);
}

QString ExtractMagicMac(QByteArrayView payload)
{
    if (payload.size() != kMagicPayloadSize)
        return {};
    for (int i = 0; i < kSyncSize; ++i) {
        if (std::uint8_t(payload[i]) != 0xFF)
            return {};
    }
    const QByteArrayView mac = payload.sliced(kSyncSize, kMacSize);
    for (int copy = 1; copy < kMacCopies; ++copy) {
        if (payload.sliced(kSyncSize + copy * kMacSize, kMacSize) != mac)
            return {};
    }
    return QString::fromLatin1(mac.toByteArray().toHex('-').toUpper());
}
