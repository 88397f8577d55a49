#include "signoflife.h"

#include "magicevent.h"
#include "protocols.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::size_t kArpSize = 28;
constexpr std::size_t kArpOperationOffset = 6;
constexpr std::size_t kArpSenderIpOffset = 14;
constexpr std::size_t kArpTargetIpOffset = 24;
constexpr std::uint16_t kArpRequest = 1;

constexpr std::uint16_t kDhcpClientPort = 68;
constexpr std::uint16_t kDhcpServerPort = 67;
constexpr std::size_t kBootpOptionsOffset = 240; // after the fixed part and the magic cookie
constexpr std::size_t kBootpCookieOffset = 236;
constexpr std::uint32_t kDhcpCookie = 0x63825363;
constexpr std::uint8_t kOptionPad = 0, kOptionEnd = 255, kOptionHostName = 12, kOptionRequestedAddress = 50,
                       kOptionMessageType = 53;
constexpr std::uint8_t kDhcpDiscover = 1, kDhcpRequest = 3;

constexpr std::uint8_t kProtocolIcmpv6 = 58;
constexpr std::uint8_t kRouterSolicitation = 133, kNeighbourSolicitation = 135, kNeighbourAdvertisement = 136;
constexpr std::size_t kNeighbourTargetOffset = 8;

std::uint16_t Read16(ByteView bytes, std::size_t offset)
{
    return std::uint16_t(bytes[offset] << 8 | bytes[offset + 1]);
}

bool AllZero(ByteView bytes)
{
    for (const std::uint8_t byte : bytes) {
        if (byte != 0)
            return false;
    }
    return true;
}

void ReadArp(ByteView arp, SignOfLife &sign)
{
    if (arp.size() < kArpSize || Read16(arp, 0) != 1 || Read16(arp, 2) != kEtherTypeIpv4 || arp[4] != 6
        || arp[5] != 4)
        return;
    sign.kind = SignOfLife::Kind::Arp;
    sign.arpRequest = Read16(arp, kArpOperationOffset) == kArpRequest;
    std::copy_n(arp.begin() + kArpSenderIpOffset, 4, sign.arpSender.begin());
    std::copy_n(arp.begin() + kArpTargetIpOffset, 4, sign.arpTarget.begin());
    // A probe (RFC 5227) has no sender address yet: the address it wants is the target.
    const bool probe = AllZero(ByteView(sign.arpSender));
    sign.address = IpAddress::FromIpv4(probe ? sign.arpTarget : sign.arpSender);
    sign.what = probe ? "ARP probe" : sign.arpRequest ? "ARP request" : "ARP reply";
}

// DHCP DISCOVER and REQUEST from a client, with the host name and requested address.
void ReadDhcp(ByteView ipv4, SignOfLife &sign)
{
    const std::size_t headerSize = std::size_t(ipv4[0] & 0x0F) * 4;
    if (headerSize < kIpv4MinimumHeaderSize || ipv4[kIpv4ProtocolOffset] != kProtocolUdp
        || ipv4.size() < headerSize + kUdpHeaderSize)
        return;
    const ByteView udp = ipv4.subspan(headerSize);
    if (Read16(udp, 0) != kDhcpClientPort || Read16(udp, 2) != kDhcpServerPort)
        return;
    const ByteView bootp = udp.subspan(kUdpHeaderSize);
    if (bootp.size() < kBootpOptionsOffset
        || (std::uint32_t(Read16(bootp, kBootpCookieOffset)) << 16 | Read16(bootp, kBootpCookieOffset + 2))
               != kDhcpCookie)
        return;
    std::optional<std::uint8_t> messageType;
    for (std::size_t at = kBootpOptionsOffset; at < bootp.size() && bootp[at] != kOptionEnd;) {
        if (bootp[at] == kOptionPad) {
            ++at;
            continue;
        }
        if (at + 2 > bootp.size() || at + 2 + bootp[at + 1] > bootp.size())
            break;
        const ByteView value = bootp.subspan(at + 2, bootp[at + 1]);
        if (bootp[at] == kOptionMessageType && value.size() == 1)
            messageType = value[0];
        else if (bootp[at] == kOptionHostName && !value.empty())
            sign.hostName = std::string(value.begin(), value.end());
        else if (bootp[at] == kOptionRequestedAddress && value.size() == 4) {
            sign.dhcpRequested = Ipv4Octets{value[0], value[1], value[2], value[3]};
            sign.address = IpAddress::FromIpv4(*sign.dhcpRequested);
        }
        at += 2 + value.size();
    }
    if (messageType != kDhcpDiscover && messageType != kDhcpRequest) {
        sign.hostName.reset();
        sign.address.reset();
        sign.dhcpRequested.reset();
        return;
    }
    sign.kind = SignOfLife::Kind::Dhcp;
    sign.what = messageType == kDhcpDiscover ? "DHCP discover" : "DHCP request";
}

void ReadNeighbourDiscovery(ByteView ipv6, SignOfLife &sign)
{
    if (ipv6.size() < kIpv6HeaderSize + 4 || ipv6[kIpv6NextHeaderOffset] != kProtocolIcmpv6)
        return;
    const ByteView icmp = ipv6.subspan(kIpv6HeaderSize);
    const std::uint8_t type = icmp[0];
    if (type != kRouterSolicitation && type != kNeighbourSolicitation && type != kNeighbourAdvertisement)
        return;
    sign.kind = SignOfLife::Kind::Ipv6;
    if (type == kRouterSolicitation) {
        sign.what = "IPv6 router solicitation";
        return;
    }
    const bool fromUnspecified = AllZero(ipv6.subspan(kIpv6SourceOffset, 16));
    sign.what = type == kNeighbourAdvertisement ? "IPv6 neighbour advertisement"
                : fromUnspecified              ? "IPv6 duplicate address detection"
                                               : "IPv6 neighbour solicitation";
    if (icmp.size() >= kNeighbourTargetOffset + 16) {
        IpAddress target{Family::Ipv6, {}};
        std::copy_n(icmp.begin() + kNeighbourTargetOffset, 16, target.bytes.begin());
        sign.address = target;
    }
}

} // namespace

bool IsArpOrDhcp(const EthernetFrame &frame)
{
    if (frame.etherType == kEtherTypeArp)
        return true;
    const ByteView ip = frame.payload;
    if (frame.etherType != kEtherTypeIpv4 || ip.size() < kIpv4MinimumHeaderSize
        || ip[kIpv4ProtocolOffset] != kProtocolUdp)
        return false;
    const std::size_t udp = std::size_t(ip[0] & 0x0F) * 4;
    return ip.size() >= udp + 4 && Read16(ip, udp + 2) == kDhcpServerPort;
}

std::string SignOfLifeText(const SignOfLife &sign)
{
    if (sign.what != nullptr)
        return sign.what;
    char type[32];
    std::snprintf(type, sizeof type, "frame of type 0x%04X", sign.etherType);
    return type;
}

SignOfLife ReadSignOfLife(const EthernetFrame &frame)
{
    SignOfLife sign;
    sign.sourceMac = frame.source;
    sign.etherType = frame.etherType;
    sign.vlan = frame.vlan;
    if (sign.etherType == kEtherTypeArp)
        ReadArp(frame.payload, sign);
    else if (sign.etherType == kEtherTypeIpv4 && frame.payload.size() >= kIpv4MinimumHeaderSize) {
        const Ipv4Octets source{frame.payload[kIpv4SourceOffset], frame.payload[kIpv4SourceOffset + 1],
                                frame.payload[kIpv4SourceOffset + 2], frame.payload[kIpv4SourceOffset + 3]};
        if (source != Ipv4Octets{})
            sign.ipv4Source = source;
        ReadDhcp(frame.payload, sign);
    }
    else if (sign.etherType == kEtherTypeIpv6)
        ReadNeighbourDiscovery(frame.payload, sign);
    return sign;
}
