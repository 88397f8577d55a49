#pragma once

#include "addresses.h"

#include <cstdint>
#include <optional>
#include <string>

struct HeaderSizes
{
    int ipHeader = 20;
    int udpHeader = 8;
    int headers = 28;
};

// A datagram of the raw socket with its fields as it holds them.
struct DatagramFields
{
    Ipv4Octets source{};
    Ipv4Octets destination{};
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::optional<MacAddress> mac; // nothing unless the payload is a magic packet
};

// The same as the report shows it.
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
std::optional<DatagramFields> ReadDatagram(ByteView datagram, const HeaderSizes &sizes);
// The same, made text.
std::optional<DecodedDatagram> DecodeDatagram(ByteView datagram, const HeaderSizes &sizes);
DecodedDatagram DatagramText(const DatagramFields &fields);

std::string FormatDottedQuad(std::uint32_t hostOrderAddress);

// `payload` must be the whole UDP payload; anything but 102 bytes is no magic packet.
std::optional<MacAddress> MagicMac(ByteView payload);
// The same as MAC text; empty for no magic packet.
std::string ExtractMagicMac(ByteView payload);
