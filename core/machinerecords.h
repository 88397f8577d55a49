#pragma once

#include "signoflife.h"
#include "times.h"

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <string>
#include <vector>

// Where each machine lives, as far as one sensor sees: the last ARP or DHCP frame it
// sent, on which interface and VLAN, from which address. A requester reads these to
// find the sensor on a sleeping machine's segment.
struct MachineRecord
{
    SignOfLife sign;
    std::string interfaceName;
    std::optional<Ipv4Octets> address; // the last one it gave, from this frame or an earlier one
    RealTime time{};
};

// Which signs of life make a new record: a machine's first, one that changes its
// address, interface or VLAN, and otherwise one every kRepublishAfter.
class MachineRecords
{
public:
    static constexpr Nanoseconds kRepublishAfter = std::chrono::minutes(10);
    // Beyond this many machines one is forgotten for each new one; it is told again when next seen.
    static constexpr std::size_t kMostMachines = 100000;

    // `own`: this machine's MACs, whose frames make no record.
    explicit MachineRecords(std::vector<MacAddress> own) : m_own(std::move(own)) {}

    // The record to publish for a sign of life; nothing while the last one stands.
    std::optional<MachineRecord> Seen(const SignOfLife &sign, const std::string &interfaceName, RealTime time);
    std::size_t Count() const { return m_known.size(); }

private:
    struct Known
    {
        std::string interfaceName;
        std::optional<std::uint16_t> vlan;
        std::optional<Ipv4Octets> address;
        RealTime published{};
    };

    std::vector<MacAddress> m_own;
    std::map<MacAddress, Known> m_known;
};

// The retained JSON of a record: "mac", "time" (ISO 8601 local), "unix_time",
// "evidence", "what", "interface", "vlan", "address", "sensor".
nlohmann::json MachineRecordJson(const MachineRecord &record, const std::string &sensor, const std::string &time);
