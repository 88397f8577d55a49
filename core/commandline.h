#pragma once

#include "exitstatus.h"
#include "machinestates.h"
#include "relaytopics.h"
#include "wireframe.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// corvalen-cli's command line, the same on every platform. A platform whose
// program watches only the raw socket has no --udp-only and no --interface.
struct ConsoleProgram
{
    std::string name = "corvalen-cli";
    std::string version;
    bool linkLayer = true;
};

// The machines --mac may name: each has metrics of its own.
inline constexpr std::size_t kMostNamedMacs = 64;

struct WatchOptions
{
    bool json = false;
    // Each once, in the order given; empty for every MAC.
    std::vector<MacAddress> macs;
    std::optional<int> count;
    std::optional<std::chrono::milliseconds> timeout;
    bool udpOnly = false;      // the raw socket alone, as the window has it
    std::string interfaceName; // the link-layer capture on this interface alone; empty for all
    bool check = false;        // whether this machine is ready to be woken, instead of the watch
    int sweepThreshold = 10;   // target MACs from one sender within 10 s that make a sweep
    std::string readFile;      // a capture file to read instead of live traffic; "-" for standard input
    std::chrono::milliseconds wakeTimeout{120000}; // how long a machine a magic packet was for is watched; zero for not at all
    bool untilWoke = false;     // end when the --mac machine woke (0) or its watch ended without (1)
    bool promiscuous = false;   // the capture sees unicast frames for other machines too
    std::string metricsAddress; // where /metrics is served, as the web server takes it; empty for nowhere
    bool journal = false;       // events go to the systemd journal
    // --wake: send magic packets to these machines, then watch until they woke.
    std::vector<MacAddress> wake;
    std::uint16_t wakePort = 9;
    std::vector<std::uint8_t> password;  // a SecureOn password: empty, 4 or 6 bytes
    std::vector<Ipv4Octets> wakeTo;      // UDP to these addresses too (a remote subnet's broadcast, a relay)
    std::optional<Ipv4Octets> wakeIp;    // the machine's address, asked by ARP or ICMP echo once sent
    // --machine: the machines whose awake or asleep state is kept, and the silence that makes one asleep.
    std::vector<WatchedMachine> machines;
    std::chrono::milliseconds asleepAfter{600000};
    // --mqtt: a sensor that publishes its events and wakes machines on request; with
    // --wake, a requester that asks a sensor to wake the machine.
    struct Mqtt
    {
        std::optional<MqttUrl> url;
        std::string user;
        std::string passwordFile; // empty: the service's credential, or no password
        std::string ca;           // empty: the system's certificate authorities
        std::string cert;
        std::string key;
        std::string name; // the sensor's; empty: from the host name
        std::string via;  // the sensor to ask; empty: the one that saw the machine last
    } mqtt;

    // Whether events for this MAC are reported.
    bool Wants(const MacAddress &mac) const;
};

// A machine's name as --machine gives it: 1 to 64 bytes of UTF-8, none of them a control character.
inline constexpr std::size_t kLongestMachineName = 64;
bool ValidMachineName(std::string_view name);

// The port /metrics is served on when --metrics names an address alone: outside
// 9100-9999, which Prometheus's exporters have taken up.
inline constexpr int kDefaultMetricsPort = 19009;

struct ParsedCommandLine
{
    WatchOptions options;
    std::string usageError; // empty when the command line is good
    std::string output;     // the text of --help or --version, to print instead of running
};

// `arguments` without the program's own name. Reads nothing else and changes
// nothing, so that a program can read its command line before it opens anything.
ParsedCommandLine ParseCommandLine(const std::vector<std::string> &arguments, const ConsoleProgram &program);

// "corvalen-cli: ERROR" and the hint at --help, as a wrong command line gets it on stderr.
std::string UsageErrorText(const ConsoleProgram &program, const std::string &error);

// "[ADDRESS:]PORT" or "ADDRESS" as the web server's listening address: an IPv4
// address, or an IPv6 one in brackets; a port alone listens on every IPv4 address.
// Empty when the text is none of these.
std::string MetricsListenAddress(const std::string &written);
