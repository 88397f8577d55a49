#pragma once

#include "localmachine.h"

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

// getifaddrs, ethtool netlink through libmnl, and sysfs.
LocalMachine &SystemMachineInfo();

struct WakeOnState
{
    std::string supported; // ethtool's letters
    std::string enabled;
};
// Through ethtool netlink, which needs no privilege; nothing when the driver
// offers no Wake-on at all or cannot be asked.
std::optional<WakeOnState> ReadWakeOn(const std::string &interfaceName);

// The IPv4 address the kernel's neighbour table holds for `mac`, in any state that
// has its MAC (stale ones too: a sleeping machine's entry goes stale first); nothing
// when it holds none.
std::optional<Ipv4Octets> NeighbourAddress(const MacAddress &mac);
// The same for every MAC the table holds, read once.
std::map<MacAddress, Ipv4Octets> NeighbourAddresses();

// ethtool's letters for a WAKE_* bit mask, in ethtool's order; "d" for none.
std::string WakeOnLetters(std::uint32_t wakeModes);
