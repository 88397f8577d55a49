#include "wireframe.h"
#include "protocols.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t kSyncSize = 6;
constexpr std::size_t kMacSize = 6;

constexpr std::size_t kVlanTagSize = 4;
constexpr std::size_t kMaxVlanTags = 2;

constexpr std::size_t kIpv4VersionAndIhlOffset = 0;
constexpr std::size_t kIpv4TotalLengthOffset = 2;
constexpr std::size_t kIpv4FragmentOffset = 6;
constexpr std::size_t kIpv4DestinationOffset = 16;
constexpr std::size_t kIpv4AddressSize = 4;
constexpr std::uint16_t kIpv4MoreFragmentsAndOffset = 0x3FFF;

constexpr std::size_t kIpv6PayloadLengthOffset = 4;
constexpr std::size_t kIpv6DestinationOffset = 24;
constexpr std::size_t kIpv6AddressSize = 16;
constexpr std::uint8_t kIpv6HopByHop = 0;
constexpr std::uint8_t kIpv6Routing = 43;
constexpr std::uint8_t kIpv6Fragment = 44;
constexpr std::uint8_t kIpv6DestinationOptions = 60;
constexpr std::uint8_t kIpv6AuthenticationHeader = 51;
constexpr std::size_t kIpv6FragmentHeaderSize = 8;
constexpr std::size_t kIpv6FragmentOffsetAndMoreOffset = 2;
constexpr std::uint16_t kIpv6FragmentOffsetAndMore = 0xFFF9;

constexpr std::size_t kUdpSourcePortOffset = 0;
constexpr std::size_t kUdpDestinationPortOffset = 2;
constexpr std::size_t kUdpLengthOffset = 4;

constexpr std::size_t kMagicSize = kSyncSize + kMagicCopies * kMacSize;

// Six 0xFF bytes in a row hold one byte at an index of 5 modulo 6, so where none of
// those up to `lastOffset` + 5 is 0xFF, no six start at `lastOffset` or before. A look
// at every sixth byte costs less than the search on the short payloads floods are
// mostly made of; on longer ones memchr's wide steps win.
constexpr std::size_t kShortPayload = 192;

bool MaySync(const std::uint8_t *data, std::size_t lastOffset)
{
    for (std::size_t at = kSyncSize - 1; at <= lastOffset + kSyncSize - 1; at += kSyncSize) {
        if (data[at] == 0xFF)
            return true;
    }
    return false;
}

// Out of line, so that a payload the look at every sixth byte turns away costs no
// more than that look.
[[gnu::noinline]] MagicMatch SearchMagic(ByteView payload);

// How the copies after the six 0xFF bytes at `offset` would fare.
MagicMatch MatchCopies(ByteView payload, std::size_t offset)
{
    const ByteView copies = payload.subspan(offset + kSyncSize);
    const int available = int(std::min<std::size_t>(copies.size() / kMacSize, kMagicCopies));
    MagicMatch match;
    if (available == 0)
        return match;
    match.offset = offset;
    match.mac = MacAt(copies, 0);
    match.equalCopies = 1;
    while (match.equalCopies < available
           && std::memcmp(copies.data() + match.equalCopies * kMacSize, copies.data(), kMacSize) == 0)
        ++match.equalCopies;
    if (match.equalCopies < kMagicCopies) {
        match.kind = MagicKind::NearMiss;
        match.payloadEnded = match.equalCopies == available;
        return match;
    }
    match.kind = MagicKind::Magic;
    const ByteView rest = copies.subspan(kMagicCopies * kMacSize);
    if (rest.size() == 4 || rest.size() == 6)
        match.password = rest;
    return match;
}

// The UDP datagram inside an IPv4 packet that is not a fragment.
std::optional<ByteView> Ipv4Udp(ByteView packet)
{
    if (packet.size() < kIpv4MinimumHeaderSize || packet[kIpv4VersionAndIhlOffset] >> 4 != 4)
        return std::nullopt;
    const std::size_t headerSize = std::size_t(packet[kIpv4VersionAndIhlOffset] & 0x0F) * 4;
    const std::size_t totalLength = ReadBigEndian16(packet, kIpv4TotalLengthOffset);
    if (headerSize < kIpv4MinimumHeaderSize || totalLength < headerSize || totalLength > packet.size())
        return std::nullopt;
    if ((ReadBigEndian16(packet, kIpv4FragmentOffset) & kIpv4MoreFragmentsAndOffset) != 0
        || packet[kIpv4ProtocolOffset] != kProtocolUdp)
        return std::nullopt;
    return packet.subspan(headerSize, totalLength - headerSize);
}

// The UDP datagram behind an IPv6 header and its extension headers.
std::optional<ByteView> Ipv6Udp(ByteView packet)
{
    if (packet.size() < kIpv6HeaderSize || packet[0] >> 4 != 6)
        return std::nullopt;
    const std::size_t payloadLength = ReadBigEndian16(packet, kIpv6PayloadLengthOffset);
    if (payloadLength > packet.size() - kIpv6HeaderSize)
        return std::nullopt;
    std::uint8_t nextHeader = packet[kIpv6NextHeaderOffset];
    ByteView rest = packet.subspan(kIpv6HeaderSize, payloadLength);
    while (nextHeader != kProtocolUdp) {
        if (rest.size() < 2)
            return std::nullopt;
        std::size_t headerSize = 0;
        if (nextHeader == kIpv6HopByHop || nextHeader == kIpv6Routing || nextHeader == kIpv6DestinationOptions)
            headerSize = (std::size_t(rest[1]) + 1) * 8;
        else if (nextHeader == kIpv6AuthenticationHeader)
            headerSize = (std::size_t(rest[1]) + 2) * 4;
        else if (nextHeader == kIpv6Fragment && rest.size() >= kIpv6FragmentHeaderSize
                 && (ReadBigEndian16(rest, kIpv6FragmentOffsetAndMoreOffset) & kIpv6FragmentOffsetAndMore) == 0)
            headerSize = kIpv6FragmentHeaderSize; // an atomic fragment holds the whole datagram
        if (headerSize == 0 || headerSize > rest.size())
            return std::nullopt;
        nextHeader = rest[0];
        rest = rest.subspan(headerSize);
    }
    return rest;
}

// Where the payload of a candidate lies; read before anything is copied, since
// nearly every frame turns out to be no magic packet.
struct Located
{
    Family family = Family::None;
    ByteView network; // the IP header on
    ByteView udp;
    ByteView payload;
    bool fillsPacket = false; // the UDP length fills the IP packet
};

bool LocateUdpPayload(ByteView ipPayload, Located &located)
{
    if (ipPayload.size() < kUdpHeaderSize)
        return false;
    const std::size_t udpLength = ReadBigEndian16(ipPayload, kUdpLengthOffset);
    if (udpLength < kUdpHeaderSize || udpLength > ipPayload.size())
        return false;
    located.udp = ipPayload;
    located.payload = ipPayload.subspan(kUdpHeaderSize, udpLength - kUdpHeaderSize);
    located.fillsPacket = udpLength == ipPayload.size();
    return true;
}

std::optional<Located> Locate(std::uint16_t etherType, ByteView network)
{
    Located located;
    located.network = network;
    if (etherType == kWakeOnLanEtherType) {
        located.payload = network;
        return located;
    }
    std::optional<ByteView> udp;
    if (etherType == kEtherTypeIpv4) {
        located.family = Family::Ipv4;
        udp = Ipv4Udp(network);
    } else if (etherType == kEtherTypeIpv6) {
        located.family = Family::Ipv6;
        udp = Ipv6Udp(network);
    }
    if (!udp || !LocateUdpPayload(*udp, located))
        return std::nullopt;
    return located;
}

void CopyAddresses(const Located &located, WireFrame &decoded)
{
    const bool ipv4 = located.family == Family::Ipv4;
    const std::size_t size = ipv4 ? kIpv4AddressSize : kIpv6AddressSize;
    const auto network = located.network.begin();
    std::copy_n(network + std::ptrdiff_t(ipv4 ? kIpv4SourceOffset : kIpv6SourceOffset), size,
                decoded.sourceAddress.begin());
    std::copy_n(network + std::ptrdiff_t(ipv4 ? kIpv4DestinationOffset : kIpv6DestinationOffset), size,
                decoded.destinationAddress.begin());
}

} // namespace

MagicMatch FindMagic(ByteView payload)
{
    if (payload.size() < kSyncSize + kMacSize
        || (payload.size() <= kShortPayload && !MaySync(payload.data(), payload.size() - kSyncSize - kMacSize)))
        return MagicMatch();
    return SearchMagic(payload);
}

namespace {

// FindMagic on a payload of a MAC copy and six bytes more at least, that may hold one.
MagicMatch SearchMagic(ByteView payload)
{
    MagicMatch best;
    MagicMatch noCard; // the first magic packet for an address no card has, standing on its own
    const std::size_t lastOffset = payload.size() - kSyncSize - kMacSize;
    const std::uint8_t *const data = payload.data();
    std::size_t offset = 0;
    while (offset <= lastOffset) {
        const void *found = std::memchr(data + offset, 0xFF, lastOffset - offset + 1);
        if (found == nullptr)
            break;
        offset = std::size_t(static_cast<const std::uint8_t *>(found) - data);
        std::size_t sync = 1;
        while (sync < kSyncSize && data[offset + sync] == 0xFF)
            ++sync;
        if (sync < kSyncSize) {
            offset += sync + 1; // the byte that broke the run cannot start one
            continue;
        }
        if (data[offset + kSyncSize] == 0xFF) {
            // A run of 0xFF: each place in it but its last six bytes has copies of a
            // group address. Exactly a magic packet long, it is one for the broadcast address.
            std::size_t runEnd = offset + kSyncSize + 1;
            while (runEnd < payload.size() && data[runEnd] == 0xFF)
                ++runEnd;
            const bool runStarts = offset == 0 || data[offset - 1] != 0xFF;
            if (noCard.kind == MagicKind::None && runStarts && runEnd - offset == kMagicSize) {
                noCard = MatchCopies(payload, offset);
                noCard.noCardHasTarget = true;
            }
            offset = runEnd - kSyncSize;
            continue;
        }
        const MagicMatch candidate = MatchCopies(payload, offset);
        if (!CardCanHave(candidate.mac)) {
            // Zero bytes that go on past the sixteenth copy are padding, not a magic packet.
            const std::size_t end = offset + kMagicSize;
            const bool runGoesOn = candidate.mac == MacAddress{} && end < payload.size() && data[end] == 0;
            if (noCard.kind == MagicKind::None && candidate.kind == MagicKind::Magic && !runGoesOn) {
                noCard = candidate;
                noCard.noCardHasTarget = true;
            }
        } else if (candidate.kind == MagicKind::Magic) {
            return candidate;
        } else if (candidate.equalCopies > best.equalCopies && (candidate.equalCopies > 1 || candidate.payloadEnded)) {
            best = candidate;
        }
        ++offset;
    }
    return noCard.kind == MagicKind::Magic ? noCard : best;
}

} // namespace

std::string NearMissReason(const MagicMatch &match)
{
    if (match.kind != MagicKind::NearMiss)
        return {};
    if (!match.payloadEnded)
        return "MAC copy " + std::to_string(match.equalCopies + 1) + " of " + std::to_string(kMagicCopies)
               + " differs";
    if (match.equalCopies == 1)
        return "only 1 copy of the MAC address";
    return "only " + std::to_string(match.equalCopies) + " copies of the MAC address";
}

const char *CarrierName(Carrier carrier)
{
    return carrier == Carrier::Udp ? "udp" : "ethernet";
}

// Filled where the caller keeps it: a copy made of small stores, read back at once in
// wide loads, would stall the processor on every frame.
std::optional<EthernetFrame> UnwrapEthernet(ByteView frame)
{
    std::optional<EthernetFrame> unwrapped;
    if (frame.size() < kEthernetHeaderSize)
        return unwrapped;
    EthernetFrame &ethernet = unwrapped.emplace();
    ethernet.destination = MacAt(frame, kEthernetDestinationOffset);
    ethernet.source = MacAt(frame, kEthernetSourceOffset);
    std::size_t typeOffset = kEtherTypeOffset;
    for (std::size_t tags = 0; tags <= kMaxVlanTags && frame.size() >= typeOffset + 2; ++tags) {
        const std::uint16_t etherType = ReadBigEndian16(frame, typeOffset);
        if (etherType != kEtherTypeVlan && etherType != kEtherTypeQinQ && etherType != kEtherTypeQinQLegacy) {
            ethernet.etherType = etherType;
            ethernet.payload = frame.subspan(typeOffset + 2);
            return unwrapped;
        }
        if (tags == 0 && frame.size() >= typeOffset + 4)
            ethernet.vlan = std::uint16_t(ReadBigEndian16(frame, typeOffset + 2) & 0x0FFF);
        typeOffset += kVlanTagSize;
    }
    ethernet.etherType = ReadBigEndian16(frame, kEtherTypeOffset);
    return unwrapped;
}

std::optional<WireFrame> DecodeFrame(const EthernetFrame &ethernet)
{
    const std::optional<Located> located = Locate(ethernet.etherType, ethernet.payload);
    if (!located)
        return std::nullopt;
    const MagicMatch magic = FindMagic(located->payload);
    if (magic.kind == MagicKind::None)
        return std::nullopt;

    WireFrame decoded;
    decoded.destinationMac = ethernet.destination;
    decoded.sourceMac = ethernet.source;
    decoded.payload = located->payload;
    decoded.magic = magic;
    if (located->family == Family::None)
        return decoded;
    decoded.carrier = Carrier::Udp;
    decoded.family = located->family;
    CopyAddresses(*located, decoded);
    decoded.sourcePort = ReadBigEndian16(located->udp, kUdpSourcePortOffset);
    decoded.destinationPort = ReadBigEndian16(located->udp, kUdpDestinationPortOffset);
    decoded.strict = decoded.family == Family::Ipv4 && located->fillsPacket && decoded.payload.size() == kMagicSize
                     && magic.kind == MagicKind::Magic;
    return decoded;
}

std::optional<WireFrame> DecodeFrame(ByteView frame)
{
    const std::optional<EthernetFrame> ethernet = UnwrapEthernet(frame);
    return ethernet ? DecodeFrame(*ethernet) : std::nullopt;
}
