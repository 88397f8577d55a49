#pragma once

#include "wireframe.h"

#include <optional>
#include <string>
#include <vector>

// What this machine says about itself, as the watch asks it: each platform reads
// it from its own system; tests give their own.

struct LocalInterface
{
    std::string name;
    MacAddress mac{};
};

// What this machine says about itself when a magic packet arrives. None of it needs
// a privilege, so it is read after the capabilities are gone.
class LocalMachine
{
public:
    virtual ~LocalMachine() = default;

    // The interfaces that have an Ethernet address.
    virtual std::vector<LocalInterface> Interfaces() = 0;
    // The IPv4 addresses that mean this machine: its own and its subnets' broadcast
    // addresses (255.255.255.255 and 127.0.0.0/8 go without saying).
    virtual std::vector<Ipv4Octets> Ipv4Destinations() = 0;
    // This machine's IPv4 addresses with their subnet masks.
    virtual std::vector<Ipv4Network> Ipv4Networks() { return {}; }
    // The driver's active Wake-on modes as ethtool's letters ("g", "pumbg", "d" for
    // none); nothing when the driver offers no Wake-on at all or cannot be asked.
    virtual std::optional<std::string> WakeOnModes(const std::string &interfaceName) = 0;
    // The device's power/wakeup flag: true for "enabled", false for "disabled",
    // nothing where the device has none.
    virtual std::optional<bool> DeviceWakeup(const std::string &interfaceName) = 0;
    // The MACs that the kernel's neighbour table (ARP, IPv6 neighbour discovery) holds
    // as reachable, confirmed within the last seconds; nothing when it cannot be asked.
    virtual std::optional<std::vector<MacAddress>> ReachableNeighbours() { return std::nullopt; }
};
