#pragma once

#include "wireframe.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// What a frame says about the machine that sent it: every frame is a sign of life,
// and some say what a waking machine does first.
struct SignOfLife
{
    enum class Kind { Dhcp, Arp, Ipv6, Frame };
    Kind kind = Kind::Frame;
    MacAddress sourceMac{};
    std::uint16_t etherType = 0;      // after any VLAN tags
    std::string what;                 // "DHCP request", "ARP request", "IPv6 neighbour solicitation", ...
    std::optional<std::string> hostName; // DHCP option 12
    std::optional<std::string> address;  // the address it asks for, announces or probes

    // For ARP: a request (or else a reply), and its sender's and target's IPv4 addresses.
    bool arpRequest = false;
    std::array<std::uint8_t, 4> arpSender{};
    std::array<std::uint8_t, 4> arpTarget{};
};

// `frame` is a whole Ethernet II frame with up to two VLAN tags; nothing when it is
// too short to have a source address and an EtherType.
std::optional<SignOfLife> ReadSignOfLife(ByteView frame);
