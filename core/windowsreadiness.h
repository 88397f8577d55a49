#pragma once

#include "wakereadiness.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Whether Windows lets one of its wired adapters wake the machine: the adapter's
// own settings (Advanced and Power Management tabs of Device Manager) and the
// machine's power settings, judged as JudgeInterface judges a Linux interface.

// An advanced property of the adapter that concerns waking, as its driver describes
// it under Ndi\Params\<keyword> and the Advanced tab of Device Manager shows it.
struct DriverWakeProperty
{
    std::string keyword; // the value's name in the adapter's key: "S5WakeOnLan"
    std::string name;    // ParamDesc: "Shutdown Wake-On-Lan"; the keyword when the driver gives none
    // The adapter's own value, else the driver's default; nothing when neither is there.
    std::optional<std::string> value;
    bool isDefault = false; // the value is the driver's default
    // An enum property's choices, each value with its text: {"0", "Disabled"}, {"1", "Enabled"}.
    std::vector<std::pair<std::string, std::string>> choices;
};

struct WindowsAdapterFacts
{
    // name = the adapter's friendly name ("Ethernet"), mac 00:11:22:33:44:55, ipv4
    // with broadcast, carrier = operational status up; kind, wakeOn*, deviceWakeup
    // and boot stay empty.
    InterfaceFacts link;
    std::string description; // the device's name as Device Manager lists it
    // The subkey of the network adapters' class key that holds the adapter's
    // settings ("0001"); empty when none was found, and then the two below are nothing.
    std::string settingsKey;
    // "Wake on Magic Packet" (*WakeOnMagicPacket); nothing when the driver has none.
    std::optional<bool> wakeOnMagicPacket;
    // "Allow this device to wake the computer"; nothing when it cannot be told.
    std::optional<bool> wakeArmed;
    // "Allow the computer to turn off this device to save power" (PnPCapabilities).
    std::optional<bool> mayPowerDown;
    std::optional<std::uint32_t> pnpCapabilities; // the value as read; nothing when absent
    // Each advanced property of the driver's that concerns waking (ConcernsWake), in its order.
    std::vector<DriverWakeProperty> wakeProperties;
};

struct WindowsPower
{
    std::optional<bool> fastStartup;   // HiberbootEnabled; nothing when absent
    bool capabilitiesKnown = false;    // false: the three below could not be read
    bool hibernationAvailable = false; // S4 with a hibernation file present
    bool s3 = false;                   // sleeps in S3
    bool modernStandby = false;        // S0 low power idle (AoAc)
};

// Where Windows keeps the settings of each network adapter, below HKLM.
inline constexpr const char *kNetworkAdapterClassKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}";
inline constexpr const char *kSessionPowerKey = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Power";

// PnPCapabilities bits that keep Windows from turning the device off to save power;
// the Power Management tab then greys out the wake settings too. Microsoft's
// documented value for that is 24 (0x18): 0x08 stands for the unticked "Allow the
// computer to turn off this device", 0x10 for the wake setting taken away with it.
inline constexpr std::uint32_t kPnpNoPowerDown = 0x08;
inline constexpr std::uint32_t kPnpNoPowerManagement = 0x18;

// Whether a property of this keyword and Device Manager name speaks of wake, WOL or PME.
bool ConcernsWake(const std::string &keyword, const std::string &name);
// The value as the Advanced tab shows it, with the keyword and the number:
// "Disabled (S5WakeOnLan 0, the driver's default)".
std::string WakePropertyValue(const DriverWakeProperty &property);
// Whether the property keeps the adapter from waking the machine from shutdown: it
// speaks of shutdown, power off, S5 or PME, and its value turns it off.
bool TurnsOffWakeFromPowerOff(const DriverWakeProperty &property);

InterfaceVerdict JudgeWindowsAdapter(const WindowsAdapterFacts &adapter, const WindowsPower &power);

// What the sleep states mean for waking by magic packet.
std::vector<std::string> PowerNotes(const WindowsPower &power);
