#pragma once

#include "packetreport.h"
#include "wireframe.h"

#include <stdexcept>
#include <string>

// Addresses written as the reports write them, for tables of cases.
inline MacAddress Mac(const std::string &text)
{
    const std::optional<MacAddress> mac = ParseMac(text);
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

// A magic packet as the raw socket reports it.
inline PacketReport SocketMagic(const std::string &from, const std::string &to, const std::string &mac,
                                std::uint16_t sourcePort, std::uint16_t destinationPort,
                                std::optional<RealTime> kernelTime = std::nullopt)
{
    return MagicReport(nullptr, {Octets4(from), Octets4(to), sourcePort, destinationPort, Mac(mac)}, kernelTime);
}
