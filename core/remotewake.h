#pragma once

#include "addresses.h"
#include "exitstatus.h"

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The requester's side of a wake over MQTT: which sensor to ask, and what its
// replies mean. The connection is the caller's.

// What the broker keeps of the sensors: their status, and their records of one machine.
class SensorDirectory
{
public:
    void Status(const std::string &sensor, std::string_view payload);
    void Record(const std::string &sensor, std::string_view payload);

    struct Choice
    {
        std::optional<std::string> sensor; // nothing when none can be asked
        std::string why;                   // why none; or, with a sensor, what it saw
    };
    // The online sensor that saw `mac` last.
    Choice Choose(const MacAddress &mac) const;

private:
    struct Seen
    {
        double unixTime = 0;
        std::string interfaceName;
        std::optional<int> vlan;
        std::optional<std::string> address;
    };
    std::map<std::string, bool> m_online;
    std::map<std::string, Seen> m_seen;
};

// What one reply means to the requester: lines for standard output and for
// standard error, and the exit status when it ends the wake.
struct ReplyMeaning
{
    std::vector<std::string> out;
    std::vector<std::string> err;
    std::optional<ExitStatus> end;
};
// `program` prefixes the lines for standard error.
ReplyMeaning ReadReply(std::string_view payload, const std::string &program);

// "woke through lab-2 on eth0, VLAN 40: DHCP request from the machine 14.2 s after
// the magic packet", from a "woke" reply.
std::string ThroughLine(const nlohmann::json &woke);
