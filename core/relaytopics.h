#pragma once

#include "addresses.h"

#include <optional>
#include <string>
#include <string_view>

// Where the sensors and the requesters meet on an MQTT broker. Every topic lies
// under corvalen/<sensor name>/, so that one line of the broker's ACL gives a sensor
// its own tree; MACs are written as the window writes them, 00-11-22-33-44-55.

inline constexpr int kMqttPort = 1883;
inline constexpr int kMqttTlsPort = 8883;

// --mqtt: mqtt://HOST[:PORT] or mqtts://HOST[:PORT].
struct MqttUrl
{
    std::string host; // without brackets for an IPv6 address
    int port = kMqttPort;
    bool tls = false;
};
// Nothing, with `why` saying what is wrong, when the text is no such URL.
std::optional<MqttUrl> ParseMqttUrl(std::string_view text, std::string &why);
// localhost, 127.0.0.0/8 or ::1: a password sent in clear stays on this machine.
bool IsLoopbackHost(const std::string &host);

// A sensor's name: 1 to 64 letters, digits, '-' and '_'.
inline constexpr std::size_t kLongestSensorName = 64;
bool ValidSensorName(std::string_view name);
// The host name as a sensor's name: cut at its first dot, other characters turned into '-'.
std::string SensorNameFromHost(std::string_view hostName);

std::string StatusTopic(const std::string &sensor);
std::string EventTopic(const std::string &sensor);
std::string MachineTopic(const std::string &sensor, const MacAddress &mac);
std::string WakeTopic(const std::string &sensor);
// Where replies go when the request named no response topic.
std::string ReplyTopic(const std::string &sensor);
// Where a requester with this client ID takes its replies.
std::string ReplyTopicFor(const std::string &sensor, const std::string &clientId);

// What a requester subscribes to: every sensor's status, every sensor's record of
// one machine, and its own replies from every sensor.
inline constexpr const char *kEveryStatus = "corvalen/+/status";
std::string EveryMachineRecord(const MacAddress &mac);
std::string EveryReplyFor(const std::string &clientId);

// The sensor a topic under corvalen/ belongs to; nothing for another topic.
std::optional<std::string> SensorOfTopic(std::string_view topic);

inline constexpr const char *kOnline = "online";
inline constexpr const char *kOffline = "offline";
