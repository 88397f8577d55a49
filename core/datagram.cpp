#include "datagram.h"

#include <algorithm>
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

std::uint16_t ReadBigEndian16(ByteView bytes, std::size_t offset)
{
    return std::uint16_t((bytes[offset] << 8) | bytes[offset + 1]);
}

std::uint32_t ReadBigEndian32(ByteView bytes, std::size_t offset)
{
    return (std::uint32_t(ReadBigEndian16(bytes, offset)) << 16) | ReadBigEndian16(bytes, offset + 2);
}

} // namespace

std::optional<DecodedDatagram> DecodeDatagram(ByteView datagram, const HeaderSizes &sizes)
{
    const std::size_t received = datagram.size();
    if (received <= std::size_t(sizes.headers))
        return std::nullopt;

    // The header length comes from the IHL field: datagrams with IP options do arrive.
    const int ihl = datagram[kVersionAndIhlOffset] & 0x0F;
    if (ihl < kMinimumIhl)
        return std::nullopt;
    const std::size_t ipHeaderSize = std::size_t(ihl) * 4;
    if (received < ipHeaderSize + std::size_t(sizes.udpHeader))
        return std::nullopt;

    const ByteView udp = datagram.subspan(ipHeaderSize);
    const int udpLength = ReadBigEndian16(udp, kUdpLengthOffset);
    if (received != std::size_t(udpLength) + ipHeaderSize)
        return std::nullopt;

    DecodedDatagram decoded;
    decoded.sourcePort = ReadBigEndian16(udp, kUdpSourcePortOffset);
    decoded.destinationPort = ReadBigEndian16(udp, kUdpDestinationPortOffset);
    decoded.sourceAddress = FormatDottedQuad(ReadBigEndian32(datagram, kSourceAddressOffset));
    decoded.destinationAddress = FormatDottedQuad(ReadBigEndian32(datagram, kDestinationAddressOffset));
    if (udpLength - sizes.udpHeader == kMagicPayloadSize)
        decoded.mac = ExtractMagicMac(udp.subspan(std::size_t(sizes.udpHeader)));
    return decoded;
}

std::string FormatDottedQuad(std::uint32_t hostOrderAddress)
{
    // Runs for every datagram that holds together, so it formats in place.
    char text[16];
    char *end = text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        end = std::to_chars(end, text + sizeof text, (hostOrderAddress >> shift) & 0xFF).ptr;
        if (shift > 0)
            *end++ = '.';
    }
    return std::string(text, end);
}

std::string ExtractMagicMac(ByteView payload)
{
    if (payload.size() != kMagicPayloadSize)
        return {};
    for (int i = 0; i < kSyncSize; ++i) {
        if (payload[i] != 0xFF)
            return {};
    }
    const ByteView mac = payload.subspan(kSyncSize, kMacSize);
    for (int copy = 1; copy < kMacCopies; ++copy) {
        const ByteView next = payload.subspan(kSyncSize + copy * kMacSize, kMacSize);
        if (!std::equal(next.begin(), next.end(), mac.begin()))
            return {};
    }
    return FormatMac(mac);
}

std::string FormatMac(ByteView sixBytes, char separator)
{
    const char *const digits = separator == '-' ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    text.reserve(17);
    for (std::size_t i = 0; i < sixBytes.size() && i < kMacSize; ++i) {
        if (i > 0)
            text += separator;
        text += digits[sixBytes[i] >> 4];
        text += digits[sixBytes[i] & 0x0F];
    }
    return text;
}

std::optional<std::uint32_t> SubnetBroadcast(std::uint32_t hostOrderAddress, int prefixLength)
{
    if (prefixLength < 0 || prefixLength > 30)
        return std::nullopt;
    return hostOrderAddress | (prefixLength == 0 ? 0xFFFFFFFFu : (1u << (32 - prefixLength)) - 1);
}
