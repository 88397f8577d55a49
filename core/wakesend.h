#pragma once

#include "times.h"
#include "wireframe.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Waking a machine: the packets this machine sends, and where they go. Plain data;
// each platform sends them with its own calls.

// How a magic packet leaves this machine.
enum class SendForm
{
    Ethernet,         // a frame of EtherType 0x0842 to the broadcast MAC
    SubnetBroadcast,  // UDP to the interface's IPv4 broadcast address
    LimitedBroadcast, // UDP to 255.255.255.255, bound to the interface
    Address,          // UDP to an address of the user's (--to), routed as the system routes it
};
// "ethernet", "subnet_broadcast", "broadcast", "to": the events' names for the forms.
const char *SendFormName(SendForm form);

// An interface the packets may leave through, as the platform sees it.
struct SendInterface
{
    std::string name;
    MacAddress mac{};
    std::optional<Ipv4Network> ipv4; // its first IPv4 address, with its mask
    bool wired = false;
    bool up = false;
    bool carrier = false;
};

struct WakeRequest
{
    std::vector<MacAddress> macs;
    std::uint16_t port = 9;
    std::vector<std::uint8_t> password; // empty, 4 or 6 bytes
    std::vector<Ipv4Octets> to;
    std::string interfaceName; // empty: every wired interface that is up with a carrier
    bool ethernet = true;      // the raw frame can be sent (it needs CAP_NET_RAW)
};

// One packet to send.
struct WakeSend
{
    SendForm form = SendForm::Ethernet;
    MacAddress mac{};
    std::string interfaceName;         // empty for SendForm::Address
    std::optional<Ipv4Octets> address; // UDP's destination; nothing for the Ethernet frame
    std::uint16_t port = 0;
    int round = 0;                     // 0 to kWakeRounds - 1
};

// Each form goes out this many times, this far apart: a card that renegotiates its
// link as it goes to sleep, or after, can miss one.
inline constexpr int kWakeRounds = 3;
inline constexpr std::chrono::milliseconds kWakeRoundGap{100};

struct WakePlan
{
    std::vector<std::string> interfaces; // where the packets leave, in order
    std::vector<WakeSend> sends;         // round by round
    std::vector<std::string> warnings;   // sent all the same
    // Nothing is sent: why. `commandLineFault` for what the user asked wrongly.
    std::string refusal;
    bool commandLineFault = false;
};

// Six 0xFF bytes, sixteen copies of `mac`, then the password.
std::vector<std::uint8_t> MagicPayload(const MacAddress &mac, ByteView password);
// The payload in an Ethernet frame of type 0x0842 from `source` to the broadcast MAC.
std::vector<std::uint8_t> MagicFrame(const MacAddress &source, const MacAddress &mac, ByteView password);
// An ARP request from `source` at `sourceAddress` asking, by broadcast, who has `target`.
std::vector<std::uint8_t> ArpRequestFrame(const MacAddress &source, const Ipv4Octets &sourceAddress,
                                          const Ipv4Octets &target);

// One magic packet sent, or that could not be.
struct SentPacket
{
    WakeSend send;
    RealTime time{};
    std::string error; // why it did not leave; empty when it did
};

// How a packet goes: "UDP to 192.168.1.255 port 9 on eth0", "an Ethernet frame of type
// 0x0842 on eth0" (with " to FF-FF-FF-FF-FF-FF" after the type when `broadcastMac`).
std::string WayText(const WakeSend &send, bool broadcastMac);

// "Sent a magic packet for 00-1A-2B-3C-4D-5E (1 of 3) as UDP to 192.168.1.255 port 9
// on eth0", "… as an Ethernet frame of type 0x0842 to FF-FF-FF-FF-FF-FF on eth0",
// "Could not send …: ERROR".
std::string SentLine(const SentPacket &sent);

// The first of `interfaces` whose IPv4 subnet holds `address`: where a machine at that
// address can be asked for by ARP. Null when the address is behind a router.
const SendInterface *InterfaceOnSubnet(const Ipv4Octets &address, const std::vector<SendInterface> &interfaces);

// What to send for `request` from `interfaces`; `ownMacs` are this machine's.
WakePlan PlanWake(const WakeRequest &request, const std::vector<SendInterface> &interfaces,
                  const std::vector<MacAddress> &ownMacs);
