#include "relaytopics.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace {

constexpr std::string_view kRoot = "corvalen/";

bool NameCharacter(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
}

} // namespace

std::optional<MqttUrl> ParseMqttUrl(std::string_view text, std::string &why)
{
    MqttUrl url;
    if (text.substr(0, 7) == "mqtt://") {
        text.remove_prefix(7);
    } else if (text.substr(0, 8) == "mqtts://") {
        text.remove_prefix(8);
        url.tls = true;
        url.port = kMqttTlsPort;
    } else {
        why = "write mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
        return std::nullopt;
    }
    if (!text.empty() && text.back() == '/')
        text.remove_suffix(1);
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            why = "the IPv6 address has no closing ']'";
            return std::nullopt;
        }
        url.host = std::string(text.substr(1, close - 1));
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            why = "write the port after the address as [ADDRESS]:PORT";
            return std::nullopt;
        }
        port = rest.empty() ? rest : rest.substr(1);
        if (rest == ":") {
            why = "the port is empty";
            return std::nullopt;
        }
    } else {
        const std::size_t colon = text.find(':');
        url.host = std::string(text.substr(0, colon));
        if (colon != std::string_view::npos) {
            port = text.substr(colon + 1);
            if (port.empty()) {
                why = "the port is empty";
                return std::nullopt;
            }
        }
    }
    if (url.host.empty()) {
        why = "the host is empty";
        return std::nullopt;
    }
    if (url.host.find_first_of("/?#@ ") != std::string::npos) {
        why = "'" + url.host + "' is not a host name or address (a user name or path has no place here)";
        return std::nullopt;
    }
    if (!port.empty()) {
        int value = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (error != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535) {
            why = "'" + std::string(port) + "' is not a port from 1 to 65535";
            return std::nullopt;
        }
        url.port = value;
    }
    return url;
}

bool IsLoopbackHost(const std::string &host)
{
    if (host == "localhost" || host == "::1")
        return true;
    const std::optional<Ipv4Octets> address = ParseIpv4(host);
    return address && (*address)[0] == 127;
}

bool ValidSensorName(std::string_view name)
{
    return !name.empty() && name.size() <= kLongestSensorName && std::all_of(name.begin(), name.end(), NameCharacter);
}

std::string SensorNameFromHost(std::string_view hostName)
{
    std::string name(hostName.substr(0, hostName.find('.')));
    std::replace_if(name.begin(), name.end(), [](char c) { return !NameCharacter(c); }, '-');
    if (name.size() > kLongestSensorName)
        name.resize(kLongestSensorName);
    return name.empty() ? std::string("sensor") : name;
}

std::string StatusTopic(const std::string &sensor)
{
    return std::string(kRoot) + sensor + "/status";
}

std::string EventTopic(const std::string &sensor)
{
    return std::string(kRoot) + sensor + "/event";
}

std::string MachineTopic(const std::string &sensor, const MacAddress &mac)
{
    return std::string(kRoot) + sensor + "/machine/" + FormatMac(mac);
}

std::string WakeTopic(const std::string &sensor)
{
    return std::string(kRoot) + sensor + "/wake";
}

std::string ReplyTopic(const std::string &sensor)
{
    return WakeTopic(sensor) + "/reply";
}

std::string ReplyTopicFor(const std::string &sensor, const std::string &clientId)
{
    return ReplyTopic(sensor) + "/" + clientId;
}

std::string EveryMachineRecord(const MacAddress &mac)
{
    return MachineTopic("+", mac);
}

std::string EveryReplyFor(const std::string &clientId)
{
    return ReplyTopicFor("+", clientId);
}

std::optional<std::string> SensorOfTopic(std::string_view topic)
{
    if (topic.substr(0, kRoot.size()) != kRoot)
        return std::nullopt;
    topic.remove_prefix(kRoot.size());
    const std::size_t slash = topic.find('/');
    if (slash == std::string_view::npos || !ValidSensorName(topic.substr(0, slash)))
        return std::nullopt;
    return std::string(topic.substr(0, slash));
}
