#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

using ByteView = std::span<const std::uint8_t>;

struct HeaderSizes
{
    int ipHeader = 20;
    int udpHeader = 8;
    int headers = 28;
};

struct DecodedDatagram
{
    std::string sourceAddress;
    std::string destinationAddress;
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::string mac; // empty unless the payload is a magic packet
};

inline constexpr int kMagicPayloadSize = 102;

// `datagram` is the received IPv4 datagram (header, UDP header, payload), sized to
// the received length. Returns nothing for a datagram that does not hold together.
std::optional<DecodedDatagram> DecodeDatagram(ByteView datagram, const HeaderSizes &sizes);

std::string FormatDottedQuad(std::uint32_t hostOrderAddress);

// `payload` must be the whole UDP payload; anything but 102 bytes is no magic packet.
std::string ExtractMagicMac(ByteView payload);

// Six bytes as two upper-case hexadecimal digits each, joined by "-".
std::string FormatMac(ByteView sixBytes);
