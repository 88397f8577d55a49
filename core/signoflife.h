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
    // Echo: it answered this machine's ICMP echo request (--wake --ip), through a router.
    enum class Kind { Dhcp, Arp, Ipv6, Frame, Echo };
    Kind kind = Kind::Frame;
    MacAddress sourceMac{};
    std::uint16_t etherType = 0;      // after any VLAN tags
    const char *what = nullptr;       // "DHCP request", "ARP request", ...; nothing for a frame of another kind
    std::optional<std::string> hostName; // DHCP option 12
    std::optional<IpAddress> address;    // the address it asks for, announces or probes

    // For ARP: a request (or else a reply), and its sender's and target's IPv4 addresses.
    bool arpRequest = false;
    Ipv4Octets arpSender{};
    Ipv4Octets arpTarget{};
    std::optional<Ipv4Octets> dhcpRequested; // DHCP option 50
    std::optional<Ipv4Octets> ipv4Source;    // an IPv4 packet's source address, where it is not 0.0.0.0
    std::optional<std::uint16_t> vlan;       // the frame's outer VLAN tag
};

// What it is: "DHCP request", "ARP probe", "IPv6 neighbour solicitation", "frame of type 0x88B5", ...
std::string SignOfLifeText(const SignOfLife &sign);

// ARP, or UDP to the DHCP server port over IPv4, untagged or behind one or two VLAN
// tags: a test cheap enough for every frame of a flood, before ReadSignOfLife.
bool IsArpOrDhcp(const EthernetFrame &frame);

// Every frame says something; one whose tags do not hold together is a frame of its
// first EtherType.
SignOfLife ReadSignOfLife(const EthernetFrame &frame);
