#include "homeassistant.h"

#include "relaytopics.h"

#include <cmath>
#include <cstdio>

namespace {

// The MAC as twelve lower-case hexadecimal digits, fit for an ID.
std::string MacId(const MacAddress &mac)
{
    std::string id;
    for (std::uint8_t byte : mac) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", byte);
        id += two;
    }
    return id;
}

std::string NodeId(const std::string &sensor)
{
    return "corvalen-" + sensor;
}

std::string ConfigTopic(const char *component, const std::string &sensor, const MacAddress &mac, const char *what)
{
    return std::string(kDiscoveryPrefix) + '/' + component + '/' + NodeId(sensor) + '/' + MacId(mac) + '_' + what
           + "/config";
}

} // namespace

std::string MachineAwakeTopic(const std::string &sensor, const MacAddress &mac)
{
    return MachineTopic(sensor, mac) + "/awake";
}

std::string MachineLastWakeTopic(const std::string &sensor, const MacAddress &mac)
{
    return MachineTopic(sensor, mac) + "/last_wake";
}

std::string LastWakePayload(Nanoseconds duration)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", std::chrono::duration<double>(duration).count());
    return text;
}

std::vector<DiscoveryConfig> DiscoveryConfigs(const std::string &sensor, const WatchedMachine &machine,
                                              const std::string &version)
{
    const std::string id = MacId(machine.mac);
    // Home Assistant writes a MAC connection in lower case with colons.
    const nlohmann::json device = {
        {"name", machine.name},
        {"connections", nlohmann::json::array({nlohmann::json::array({"mac", FormatMac(machine.mac, ':')})})},
    };
    const nlohmann::json common = {
        {"availability_topic", StatusTopic(sensor)},
        {"payload_available", kOnline},
        {"payload_not_available", kOffline},
        {"device", device},
        {"origin", {{"name", "Corvalen"}, {"sw_version", version}}},
    };
    const std::string uniqueId = "corvalen_" + sensor + "_" + id;

    nlohmann::json button = common;
    button["name"] = "Wake";
    button["unique_id"] = uniqueId + "_wake";
    button["command_topic"] = WakeTopic(sensor);
    button["payload_press"] = nlohmann::json{{"mac", FormatMac(machine.mac)}}.dump();

    nlohmann::json awake = common;
    awake["name"] = "Awake";
    awake["unique_id"] = uniqueId + "_awake";
    awake["device_class"] = "power";
    awake["state_topic"] = MachineAwakeTopic(sensor, machine.mac);
    awake["payload_on"] = kAwakeOn;
    awake["payload_off"] = kAwakeOff;

    nlohmann::json lastWake = common;
    lastWake["name"] = "Last wake";
    lastWake["unique_id"] = uniqueId + "_last_wake";
    lastWake["device_class"] = "duration";
    lastWake["unit_of_measurement"] = "s";
    lastWake["state_class"] = "measurement";
    lastWake["state_topic"] = MachineLastWakeTopic(sensor, machine.mac);

    return {
        {ConfigTopic("button", sensor, machine.mac, "wake"), std::move(button)},
        {ConfigTopic("binary_sensor", sensor, machine.mac, "awake"), std::move(awake)},
        {ConfigTopic("sensor", sensor, machine.mac, "last_wake"), std::move(lastWake)},
    };
}

std::string EveryDiscoveryConfig(const std::string &sensor)
{
    return std::string(kDiscoveryPrefix) + "/+/" + NodeId(sensor) + "/+/config";
}

std::optional<MacAddress> DiscoveredMachine(const std::string &sensor, std::string_view topic)
{
    const std::string start = std::string(kDiscoveryPrefix) + '/';
    const std::string node = '/' + NodeId(sensor) + '/';
    const std::string_view end = "/config";
    if (topic.substr(0, start.size()) != start || topic.size() < end.size()
        || topic.substr(topic.size() - end.size()) != end)
        return std::nullopt;
    const std::size_t at = topic.find(node, start.size());
    if (at == std::string_view::npos || topic.find('/', start.size()) != at)
        return std::nullopt;
    const std::string_view object = topic.substr(at + node.size(), topic.size() - end.size() - at - node.size());
    if (object.size() < 13 || object[12] != '_' || object.find('/') != std::string_view::npos)
        return std::nullopt;
    return ParseMac(std::string(object.substr(0, 12)));
}
