#pragma once

#include "addresses.h"
#include "bytes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

enum class MagicKind { None, Magic, NearMiss };

// What a network card's pattern matcher would make of one payload.
struct MagicMatch
{
    MagicKind kind = MagicKind::None;
    std::size_t offset = 0; // of the six 0xFF bytes within the payload
    MacAddress mac{};       // the first copy after them
    ByteView password;      // empty, or the 4 or 6 bytes after the sixteenth copy that end the payload
    int equalCopies = 0;    // consecutive copies equal to the first, counting the first
    bool payloadEnded = false; // a near miss that ran out of payload, not one with a differing copy
    // A magic packet for an address no network card has (see CardCanHave): it wakes nothing.
    bool noCardHasTarget = false;
};

inline constexpr int kMagicCopies = 16;

// Six 0xFF bytes followed by sixteen copies of one MAC address anywhere in the payload,
// the first such place winning. Without one, the place with the most equal copies
// after six 0xFF bytes is a near miss, provided two whole copies agree, or one whole
// copy ends the payload: six 0xFF bytes followed by any twelve bytes are no near miss.
// Copies of an address no card has count only as a magic packet that stands on its
// own, never as a near miss: a run of 0xFF or zero bytes longer than a magic packet is
// the padding of video streams and files, and is nothing.
MagicMatch FindMagic(ByteView payload);

// "MAC copy 9 of 16 differs" or "only 11 copies of the MAC address".
std::string NearMissReason(const MagicMatch &match);

enum class Carrier { Udp, Ethernet };

// "udp", "ethernet"
const char *CarrierName(Carrier carrier);

// One Ethernet frame that holds a magic packet or a near miss.
struct WireFrame
{
    MacAddress destinationMac{};
    MacAddress sourceMac{};
    Carrier carrier = Carrier::Ethernet;
    Family family = Family::None;
    std::array<std::uint8_t, 16> sourceAddress{};      // the first four bytes for IPv4
    std::array<std::uint8_t, 16> destinationAddress{}; // the first four bytes for IPv4
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    ByteView payload; // the UDP payload, or what follows EtherType 0x0842
    MagicMatch magic;
    // The raw UDP socket of the main window would report it: IPv4, a UDP length that
    // fills the IP packet, and a payload of exactly a magic packet.
    bool strict = false;
};

inline constexpr std::uint16_t kWakeOnLanEtherType = 0x0842;

// An Ethernet II frame with its header and VLAN tags read once; each reader of
// frames takes it so, and none reads the header again.
struct EthernetFrame
{
    MacAddress destination{};
    MacAddress source{};
    std::uint16_t etherType = 0; // inside the tags
    ByteView payload;            // after the inner EtherType
    std::optional<std::uint16_t> vlan; // the outer tag's VLAN ID; nothing untagged
};

// Up to two VLAN tags, each 802.1Q (0x8100), 802.1ad (0x88A8) or the older 0x9100,
// as the capture's kernel filter passes them. Nothing for a frame too short for its
// header. A frame whose tags do not hold together (too short for them, or more of
// them) keeps its first EtherType, a tag's, and no payload: to every reader it is a
// frame of that type and nothing more.
std::optional<EthernetFrame> UnwrapEthernet(ByteView frame);

// Returns nothing unless the frame carries a magic packet or a near miss, as UDP over
// IPv4 or IPv6 or as EtherType 0x0842; fragments are not joined.
std::optional<WireFrame> DecodeFrame(const EthernetFrame &frame);
// The same for a whole Ethernet II frame from the destination address on.
std::optional<WireFrame> DecodeFrame(ByteView frame);
