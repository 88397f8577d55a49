#include "datagram.h"

#include <algorithm>

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

Ipv4Octets OctetsAt(ByteView bytes, std::size_t offset)
{
    return {bytes[offset], bytes[offset + 1], bytes[offset + 2], bytes[offset + 3]};
}

} // namespace

std::optional<DatagramFields> ReadDatagram(ByteView datagram, const HeaderSizes &sizes)
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

    DatagramFields fields;
    fields.sourcePort = ReadBigEndian16(udp, kUdpSourcePortOffset);
    fields.destinationPort = ReadBigEndian16(udp, kUdpDestinationPortOffset);
    fields.source = OctetsAt(datagram, kSourceAddressOffset);
    fields.destination = OctetsAt(datagram, kDestinationAddressOffset);
    if (udpLength - sizes.udpHeader == kMagicPayloadSize)
        fields.mac = MagicMac(udp.subspan(std::size_t(sizes.udpHeader)));
    return fields;
}

std::optional<DecodedDatagram> DecodeDatagram(ByteView datagram, const HeaderSizes &sizes)
{
    const std::optional<DatagramFields> fields = ReadDatagram(datagram, sizes);
    if (!fields)
        return std::nullopt;
    return DatagramText(*fields);
}

DecodedDatagram DatagramText(const DatagramFields &fields)
{
    return {FormatIpv4(fields.source), FormatIpv4(fields.destination), fields.sourcePort, fields.destinationPort,
            fields.mac ? FormatMac(*fields.mac) : std::string()};
}

std::string FormatDottedQuad(std::uint32_t hostOrderAddress)
{
    return FormatIpv4({std::uint8_t(hostOrderAddress >> 24), std::uint8_t(hostOrderAddress >> 16),
                       std::uint8_t(hostOrderAddress >> 8), std::uint8_t(hostOrderAddress)});
}

std::optional<MacAddress> MagicMac(ByteView payload)
{
    if (payload.size() != kMagicPayloadSize)
        return std::nullopt;
    for (int i = 0; i < kSyncSize; ++i) {
        if (payload[i] != 0xFF)
            return std::nullopt;
    }
    const ByteView mac = payload.subspan(kSyncSize, kMacSize);
    for (int copy = 1; copy < kMacCopies; ++copy) {
        const ByteView next = payload.subspan(kSyncSize + copy * kMacSize, kMacSize);
        if (!std::equal(next.begin(), next.end(), mac.begin()))
            return std::nullopt;
    }
    return MacAt(payload, kSyncSize);
}

std::string ExtractMagicMac(ByteView payload)
{
    const std::optional<MacAddress> mac = MagicMac(payload);
    return mac ? FormatMac(*mac) : std::string();
}
