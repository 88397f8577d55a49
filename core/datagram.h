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

// The directed broadcast address of the subnet that `hostOrderAddress` lies in;
// nothing for a /31 or a /32, which have none.
std::optional<std::uint32_t> SubnetBroadcast(std::uint32_t hostOrderAddress, int prefixLength);

// `payload` must be the whole UDP payload; anything but 102 bytes is no magic packet.
std::string ExtractMagicMac(ByteView payload);

// Six bytes as two hexadecimal digits each: joined by "-" in upper case, the
// report's form ("00-1A-2B-3C-4D-5E"), or by ":" in lower case, as ip, ethtool and
// the boot settings write them ("00:1a:2b:3c:4d:5e").
std::string FormatMac(ByteView sixBytes, char separator = '-');
