#pragma once

#include "signoflife.h"
#include "times.h"

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>

// An asker that repeated its ARP request for the address of a machine someone wakes,
// with no frame from that machine in between: a unicast magic packet to it can
// no longer be sent.
struct UnansweredArp
{
    Ipv4Octets address{};
    Ipv4Octets askerAddress{};
    MacAddress askerMac{};
    MacAddress mac{}; // the machine the address belongs to
    int requests = 0;
    RealTime first{}, last{};
};

// "Unanswered ARP: 10.0.0.1 (02-00-00-00-00-01) asked 3 times within 2.0 s who has
// 10.0.0.23, the address of 00-11-22-33-44-55"
std::string UnansweredArpLine(const UnansweredArp &arp);
std::string UnansweredArpProblem(const UnansweredArp &arp);

// Learns which machine each address belongs to, from magic packets unicast to it
// and from the machines' own ARP and DHCP while awake, and, for the machines
// someone wakes, tells when an asker's ARP requests for one go unanswered. The
// tables are bounded.
class ArpWatch
{
public:
    static constexpr int kRequests = 3;
    static constexpr Nanoseconds kWindow = std::chrono::seconds(5);
    static constexpr std::size_t kMostMachines = 1024;
    static constexpr std::size_t kMostAskings = 1024;
    static constexpr std::size_t kMostRequests = 64; // counted of one asker for one address

    // A magic packet for `mac`; `unicastTo` is the IPv4 address it was sent to
    // when that was one machine's.
    void MagicSeen(const MacAddress &mac, const std::optional<Ipv4Octets> &unicastTo);
    // Any frame; returns the unanswered ARP it completes.
    std::optional<UnansweredArp> FrameSeen(const SignOfLife &sign, RealTime time);

private:
    struct Machine
    {
        RealTime lastFrame{}; // its last frame, so that earlier requests were answered
    };
    struct Asking
    {
        std::deque<RealTime> requests; // within the window, oldest first
        bool told = false;                 // until the machine answers
    };
    void Learn(const Ipv4Octets &address, const MacAddress &mac);

    std::map<MacAddress, Machine> m_woken;
    std::map<Ipv4Octets, MacAddress> m_owners;
    std::map<std::pair<Ipv4Octets, MacAddress>, Asking> m_askings; // by address and asker
};
