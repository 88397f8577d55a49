#pragma once

#include "datetimetext.h"
#include "packetreport.h"
#include "times.h"
#include "wireframe.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What this machine says about the target of a magic packet.
struct ThisMachine
{
    std::optional<std::string> localInterface; // the interface that has the target MAC
    std::optional<std::string> wakeOn;         // ethtool's letters
    std::optional<bool> deviceWakeup;          // the device's power/wakeup flag
};

// One magic packet or near miss as the console reports it, whichever source saw it.
struct MagicEvent
{
    bool nearMiss = false;
    std::string nearMissReason;
    // For an address no card has: a near miss, whose reason says so, even in the form
    // the main window reports.
    bool noCardHasTarget = false;
    Carrier carrier = Carrier::Udp;
    Family family = Family::Ipv4;
    std::optional<std::string> interfaceName; // nothing when only the raw socket saw it
    std::optional<MacAddress> sourceMac;
    std::optional<MacAddress> destinationMac;
    std::optional<IpAddress> source;
    std::optional<IpAddress> destination;
    std::optional<std::uint16_t> sourcePort;
    std::optional<std::uint16_t> destinationPort;
    MacAddress mac{};
    std::vector<std::uint8_t> password; // 4 or 6 bytes, or none
    bool strict = false;
    std::optional<bool> delivered; // true when the raw UDP socket got it
    ThisMachine machine;
    // False for a packet in a capture file: this machine's interfaces and socket say nothing about it.
    bool aboutThisMachine = true;
    // Sent over IPv4 in a frame to one machine's MAC, for an address not this machine's:
    // it needs the sender's ARP entry for a machine that sleeps. With the broadcast
    // address of the subnet the address lies in, where this machine has one.
    bool unicastToOther = false;
    std::optional<Ipv4Octets> broadcastInstead;
    std::optional<RealTime> kernelTime; // when the kernel received it, where it said
};

MagicEvent EventFromFrame(const WireFrame &frame, const std::string &interfaceName);
// A magic packet as the raw UDP socket got it: strict, delivered, on no known interface.
MagicEvent EventFromDatagram(const PacketReport &report);

// A 6-byte password in the MAC text form, a 4-byte one in dotted decimal; empty for none.
std::string PasswordText(ByteView password);

inline constexpr const char *kNotDeliveredProblem =
    "not delivered to UDP: a firewall rule or the reverse-path filter of this machine dropped it";
inline constexpr const char *kNoInterfaceProblem = "no interface of this machine has this MAC address";

// "sent to the unicast address 192.168.1.23 of another machine: ..."
std::string UnicastProblem(const MagicEvent &event);

// Everything that would keep the packet from waking this machine, most basic first.
std::vector<std::string> EventProblems(const MagicEvent &event);

// The lines of one event on a terminal. A packet that the main window would report
// starts with that window's eight lines; the lines after them say what more is known.
std::vector<std::string> EventLines(const MagicEvent &event, const LocalDateTime &now,
                                    const DateTimeSettings &settings);
