#pragma once

// The addresses of the link and the network: their types, their one text form each,
// the one reader of each text, and the arithmetic of a subnet.

#include "bytes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using MacAddress = std::array<std::uint8_t, 6>;
using Ipv4Octets = std::array<std::uint8_t, 4>;
using Ipv6Octets = std::array<std::uint8_t, 16>;

enum class Family { None, Ipv4, Ipv6 };

// An IPv4 or IPv6 address as the packet holds it.
struct IpAddress
{
    Family family = Family::Ipv4;
    Ipv6Octets bytes{}; // the first four for IPv4

    static IpAddress FromIpv4(const Ipv4Octets &octets);
    Ipv4Octets Ipv4() const { return {bytes[0], bytes[1], bytes[2], bytes[3]}; }
    bool operator==(const IpAddress &other) const = default;
};

// An IPv4 address of an interface, with its subnet mask.
struct Ipv4Network
{
    Ipv4Octets address{};
    Ipv4Octets mask{};

    // `address` with the first `prefixLength` bits of its mask set (0 to 32).
    static Ipv4Network WithPrefix(const Ipv4Octets &address, int prefixLength);
    // The number of leading bits the mask sets.
    int PrefixLength() const;
    // `other` lies in this network's subnet.
    bool Holds(const Ipv4Octets &other) const;
    // The subnet's own address, its first.
    Ipv4Octets First() const;
    // The subnet's directed broadcast address, its last; nothing for a /31 or a /32,
    // which have none.
    std::optional<Ipv4Octets> Broadcast() const;
};

// The six bytes at `offset`, which the caller has checked are there.
MacAddress MacAt(ByteView bytes, std::size_t offset);

// Six bytes as two hexadecimal digits each: joined by "-" in upper case, the
// reports' form ("00-1A-2B-3C-4D-5E"), or by ":" in lower case, as ip, ethtool and
// the boot settings write them ("00:1a:2b:3c:4d:5e").
std::string FormatMac(const MacAddress &mac, char separator = '-');
// A MAC written as people write it: 00:11:22:33:44:55, 00-11-22-33-44-55 or
// 001122334455, in either case; nothing for anything else.
std::optional<MacAddress> ParseMac(std::string_view text);

// False for the addresses no network card has, and so no magic packet can wake: the
// group addresses (the low bit of the first byte set, broadcast among them) and the
// all-zero address.
bool CardCanHave(const MacAddress &mac);
// "FF-FF-FF-FF-FF-FF is the broadcast address, which no network card has"
std::string NoCardProblem(const MacAddress &mac);

// "192.168.1.23"
std::string FormatIpv4(const Ipv4Octets &address);
// RFC 5952 text: lower-case groups, the longest run of two or more zero groups as "::".
std::string FormatIpv6(const Ipv6Octets &address);
// Either of the two above.
std::string FormatIp(const IpAddress &address);
// Four decimal numbers from 0 to 255 with dots between, and nothing else.
std::optional<Ipv4Octets> ParseIpv4(std::string_view text);

// "ipv4", "ipv6", or null for a frame without IP.
const char *FamilyName(Family family);
