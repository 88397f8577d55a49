#pragma once

#include "machinestates.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A watched machine as Home Assistant finds it through its MQTT discovery: for each
// sensor that watches it, a button that wakes it, a binary sensor of class power that
// is on while it is awake, and a sensor of its last wake's duration. Each entity's
// config is retained under the discovery prefix, with the sensor's status topic as
// its availability; the device carries the machine's MAC in its connections, so that
// two sensors watching one machine show one device.

inline constexpr const char *kDiscoveryPrefix = "homeassistant";

// corvalen/<sensor>/machine/<MAC>/awake: "ON" or "OFF", retained.
std::string MachineAwakeTopic(const std::string &sensor, const MacAddress &mac);
// corvalen/<sensor>/machine/<MAC>/last_wake: the seconds from the first magic packet
// to the first sign of life of its last wake, retained.
std::string MachineLastWakeTopic(const std::string &sensor, const MacAddress &mac);
inline constexpr const char *kAwakeOn = "ON";
inline constexpr const char *kAwakeOff = "OFF";
// "4.215": seconds to the millisecond.
std::string LastWakePayload(Nanoseconds duration);

struct DiscoveryConfig
{
    std::string topic; // homeassistant/<component>/corvalen-<sensor>/<mac>_<what>/config
    nlohmann::json config;
};
// The three configs of a machine watched by `sensor`.
std::vector<DiscoveryConfig> DiscoveryConfigs(const std::string &sensor, const WatchedMachine &machine,
                                              const std::string &version);
// Every config topic of `sensor`, to subscribe to: the retained ones of machines it no
// longer watches come back, to be removed.
std::string EveryDiscoveryConfig(const std::string &sensor);
// The machine a config topic of `sensor` is for; nothing for another topic.
std::optional<MacAddress> DiscoveredMachine(const std::string &sensor, std::string_view topic);
