#pragma once

#include "wireframe.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

struct LocalInterface
{
    std::string name;
    MacAddress mac{};
};


using Ipv4Address = Ipv4Octets;

struct Ipv4Network
{
    Ipv4Address address{};
    Ipv4Address mask{};
};

// What this machine says about itself when a magic packet arrives. None of it needs
// a privilege, so it is read after the capabilities are gone.
class MachineInfo
{
public:
    virtual ~MachineInfo() = default;

    // The interfaces that have an Ethernet address.
    virtual std::vector<LocalInterface> Interfaces() = 0;
    // The IPv4 addresses that mean this machine: its own and its subnets' broadcast
    // addresses (255.255.255.255 and 127.0.0.0/8 go without saying).
    virtual std::vector<Ipv4Address> Ipv4Destinations() = 0;
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

// getifaddrs, ethtool netlink through libmnl, and sysfs.
MachineInfo &SystemMachineInfo();

struct WakeOnState
{
    std::string supported; // ethtool's letters
    std::string enabled;
};
// Through ethtool netlink, which needs no privilege; nothing when the driver
// offers no Wake-on at all or cannot be asked.
std::optional<WakeOnState> ReadWakeOn(const std::string &interfaceName);

// ethtool's letters for a WAKE_* bit mask, in ethtool's order; "d" for none.
std::string WakeOnLetters(std::uint32_t wakeModes);
