#include "addresses.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

IpAddress IpAddress::FromIpv4(const Ipv4Octets &octets)
{
    IpAddress address;
    std::copy(octets.begin(), octets.end(), address.bytes.begin());
    return address;
}

Ipv4Network Ipv4Network::WithPrefix(const Ipv4Octets &address, int prefixLength)
{
    Ipv4Network network{address, {}};
    for (int bit = 0; bit < prefixLength && bit < 32; ++bit)
        network.mask[std::size_t(bit / 8)] |= std::uint8_t(0x80 >> bit % 8);
    return network;
}

int Ipv4Network::PrefixLength() const
{
    int length = 0;
    for (const std::uint8_t byte : mask)
        for (int bit = 7; bit >= 0 && (byte >> bit & 1); --bit)
            ++length;
    return length;
}

bool Ipv4Network::Holds(const Ipv4Octets &other) const
{
    for (std::size_t i = 0; i < other.size(); ++i) {
        if ((other[i] & mask[i]) != (address[i] & mask[i]))
            return false;
    }
    return true;
}

Ipv4Octets Ipv4Network::First() const
{
    Ipv4Octets first{};
    for (std::size_t i = 0; i < first.size(); ++i)
        first[i] = std::uint8_t(address[i] & mask[i]);
    return first;
}

std::optional<Ipv4Octets> Ipv4Network::Broadcast() const
{
    if (PrefixLength() > 30)
        return std::nullopt;
    Ipv4Octets broadcast{};
    for (std::size_t i = 0; i < broadcast.size(); ++i)
        broadcast[i] = std::uint8_t(address[i] | ~mask[i]);
    return broadcast;
}

MacAddress MacAt(ByteView bytes, std::size_t offset)
{
    MacAddress mac;
    std::copy_n(bytes.begin() + std::ptrdiff_t(offset), mac.size(), mac.begin());
    return mac;
}

std::string FormatMac(const MacAddress &mac, char separator)
{
    const char *const digits = separator == '-' ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    text.reserve(17);
    for (std::size_t i = 0; i < mac.size(); ++i) {
        if (i > 0)
            text += separator;
        text += digits[mac[i] >> 4];
        text += digits[mac[i] & 0x0F];
    }
    return text;
}

std::optional<MacAddress> ParseMac(std::string_view text)
{
    // Twelve digits, alone or in pairs with one kind of separator between them.
    const bool separated = text.size() == 17;
    if (!separated && text.size() != 12)
        return std::nullopt;
    const char separator = separated ? text[2] : '\0';
    if (separated && separator != ':' && separator != '-')
        return std::nullopt;
    MacAddress mac{};
    for (std::size_t i = 0; i < mac.size(); ++i) {
        const char *const first = text.data() + (separated ? 3 : 2) * i;
        if (separated && i > 0 && first[-1] != separator)
            return std::nullopt;
        const auto [after, error] = std::from_chars(first, first + 2, mac[i], 16);
        if (error != std::errc() || after != first + 2)
            return std::nullopt;
    }
    return mac;
}

bool CardCanHave(const MacAddress &mac)
{
    return (mac[0] & 0x01) == 0 && mac != MacAddress{};
}

std::string NoCardProblem(const MacAddress &mac)
{
    const char *const kind = mac == MacAddress{} ? "the all-zero address"
                             : mac == MacAddress{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF} ? "the broadcast address"
                                                                                     : "a group address";
    return FormatMac(mac) + " is " + kind + ", which no network card has";
}

std::string FormatIpv4(const Ipv4Octets &address)
{
    // Runs for every magic packet the raw socket reports, so it formats in place.
    char text[16];
    char *end = text;
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (i > 0)
            *end++ = '.';
        end = std::to_chars(end, text + sizeof text, address[i]).ptr;
    }
    return std::string(text, end);
}

std::string FormatIpv6(const Ipv6Octets &address)
{
    int groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = address[2 * i] << 8 | address[2 * i + 1];
    int bestStart = -1;
    int bestLength = 1; // a single zero group is not shortened
    for (int start = 0; start < 8;) {
        int length = 0;
        while (start + length < 8 && groups[start + length] == 0)
            ++length;
        if (length > bestLength) {
            bestStart = start;
            bestLength = length;
        }
        start += length > 0 ? length : 1;
    }
    std::string text;
    char group[8];
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':')
            text += ':';
        std::snprintf(group, sizeof group, "%x", groups[i]);
        text += group;
    }
    return text;
}

std::string FormatIp(const IpAddress &address)
{
    return address.family == Family::Ipv6 ? FormatIpv6(address.bytes) : FormatIpv4(address.Ipv4());
}

std::optional<Ipv4Octets> ParseIpv4(std::string_view text)
{
    Ipv4Octets address{};
    const char *next = text.data();
    const char *const end = text.data() + text.size();
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (i > 0 && (next == end || *next++ != '.'))
            return std::nullopt;
        unsigned value = 256;
        const auto [after, error] = std::from_chars(next, end, value);
        if (error != std::errc() || after - next > 3 || value > 255)
            return std::nullopt;
        address[i] = std::uint8_t(value);
        next = after;
    }
    if (next != end)
        return std::nullopt;
    return address;
}

const char *FamilyName(Family family)
{
    return family == Family::Ipv4 ? "ipv4" : family == Family::Ipv6 ? "ipv6" : nullptr;
}
