#pragma once

#include "wireframe.h"

#include <stdexcept>
#include <string>

// Addresses written as the reports write them, for tables of cases.
inline MacAddress Mac(const std::string &text)
{
    const std::optional<MacAddress> mac = ParseMacText(text);
    if (!mac)
        throw std::invalid_argument("not a MAC: " + text);
    return *mac;
}

inline IpAddress Ip4(const std::string &text)
{
    const std::optional<Ipv4Octets> octets = ParseIpv4(text);
    if (!octets)
        throw std::invalid_argument("not an IPv4 address: " + text);
    return IpAddress::FromIpv4(*octets);
}

inline Ipv4Octets Octets4(const std::string &text)
{
    return Ip4(text).Ipv4();
}
