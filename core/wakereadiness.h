#pragma once

#include <optional>
#include <string>
#include <vector>

// Whether this machine can be woken through one of its wired interfaces, and
// whether that still holds after the next boot: the verdict, each reason with
// what fixes it, and the command that wakes the machine from another one.

// One place that sets Wake-on when the machine starts.
struct BootSetting
{
    enum class Source { LinkFile, UdevRule, Netplan, Ifupdown, NetworkManager, SystemdUnit, Tlp };
    Source source = Source::LinkFile;
    std::string where;   // the file, or NetworkManager's connection
    std::string setting; // what it sets, as written there
    // true: magic packets wake after boot; false: it turns that off; nothing: it
    // leaves Wake-on as the driver has it.
    std::optional<bool> wakesOnMagic;
    int line = 0;       // of the setting in `where`; 0 where there is none
    std::string name;   // NetworkManager's connection, the systemd unit; empty for the rest
    std::string note;   // what else decides what it does
    bool followsNetworkManagerDefault = false; // "default": NetworkManager.conf's ethernet.wake-on-lan decides
};

// The setting that acts last of those that turn Wake-on on or off; nothing when none does.
std::optional<std::size_t> DecidingBootSetting(const std::vector<BootSetting> &boot);
// "/etc/tlp.conf line 4"
std::string BootPlace(const BootSetting &setting);
// "turns Wake-on on for magic packets", "turns Wake-on by magic packet off", "leaves Wake-on as it is"
std::string BootEffect(const BootSetting &setting);

struct Ipv4Subnet
{
    std::string address;
    int prefixLength = 32;
    std::string broadcast; // where to send; empty when the subnet has none
};

struct InterfaceFacts
{
    std::string name;
    std::string mac;                         // 00:11:22:33:44:55
    std::optional<std::string> permanentMac; // only when it differs from mac
    std::string kind; // "veth", "bridge", ... for a virtual interface; empty for a card
    std::vector<Ipv4Subnet> ipv4;
    bool carrier = false;
    std::optional<std::string> wakeOnSupported; // ethtool's letters; nothing when the driver offers no Wake-on
    std::optional<std::string> wakeOnEnabled;
    std::optional<bool> deviceWakeup; // power/wakeup; nothing where the device has none
    std::vector<BootSetting> boot;
};

struct Reason
{
    std::string text;
    std::vector<std::string> fix; // lines; empty when nothing on this machine fixes it
};

struct InterfaceVerdict
{
    bool ready = false;
    std::vector<Reason> reasons;
    std::vector<std::string> notes;
};

InterfaceVerdict JudgeInterface(const InterfaceFacts &facts);

// The parts of the verdict that do not depend on the system: no carrier on a card,
// and the notes on a changed MAC address and on no IPv4 address.
std::optional<Reason> CarrierReason(const InterfaceFacts &facts);
std::vector<std::string> AddressNotes(const InterfaceFacts &facts);

// The source's name as the report shows it ("systemd .link file", "TLP", ...).
std::string BootSourceName(BootSetting::Source source);

// "wakeonlan -i 192.168.1.255 00:11:22:33:44:55": to the first broadcast address
// of the interface, to both addresses when the permanent one differs.
std::string WakeCommand(const InterfaceFacts &facts);

// The interface to wake the machine through: the first ready one with IPv4, then
// the first ready one, then the first with IPv4; nothing when there is none.
std::optional<std::size_t> WakeInterface(const std::vector<InterfaceFacts> &interfaces,
                                         const std::vector<InterfaceVerdict> &verdicts);

struct SleepStates
{
    std::vector<std::string> states;   // /sys/power/state
    std::vector<std::string> memSleep; // /sys/power/mem_sleep, the chosen one in brackets
};

// What the sleep states mean for waking by magic packet.
std::vector<std::string> SleepNotes(const SleepStates &sleep);
