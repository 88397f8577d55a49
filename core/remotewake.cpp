#include "remotewake.h"

#include "relaytopics.h"

#include <cstdio>

namespace {

using nlohmann::json;

std::string Text(const json &object, const char *field)
{
    const auto found = object.find(field);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::string OneDecimal(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

} // namespace

void SensorDirectory::Status(const std::string &sensor, std::string_view payload)
{
    m_online[sensor] = payload == kOnline;
}

void SensorDirectory::Record(const std::string &sensor, std::string_view payload)
{
    if (payload.empty()) { // a record taken back
        m_seen.erase(sensor);
        return;
    }
    const json record = json::parse(payload, nullptr, false);
    if (!record.is_object() || !record.contains("unix_time") || !record["unix_time"].is_number())
        return;
    Seen seen;
    seen.unixTime = record["unix_time"].get<double>();
    seen.interfaceName = Text(record, "interface");
    if (record.contains("vlan") && record["vlan"].is_number_integer())
        seen.vlan = record["vlan"].get<int>();
    if (const std::string address = Text(record, "address"); !address.empty())
        seen.address = address;
    m_seen[sensor] = seen;
}

SensorDirectory::Choice SensorDirectory::Choose(const MacAddress &mac) const
{
    Choice choice;
    const Seen *latest = nullptr;
    std::string offline;
    for (const auto &[sensor, seen] : m_seen) {
        const auto online = m_online.find(sensor);
        if (online == m_online.end() || !online->second) {
            offline += (offline.empty() ? "" : ", ") + sensor;
            continue;
        }
        if (!latest || seen.unixTime > latest->unixTime) {
            latest = &seen;
            choice.sensor = sensor;
        }
    }
    if (latest) {
        choice.why = *choice.sensor + " saw it last, on " + latest->interfaceName
            + (latest->vlan ? ", VLAN " + std::to_string(*latest->vlan) : std::string())
            + (latest->address ? " at " + *latest->address : std::string());
        return choice;
    }
    if (!offline.empty())
        choice.why = "no sensor that has seen " + FormatMac(mac) + " is online (it was seen by " + offline + ")";
    else
        choice.why = "no sensor has seen " + FormatMac(mac) + ": give --via NAME to ask one all the same";
    return choice;
}

std::string ThroughLine(const json &woke)
{
    std::string line = "woke through " + Text(woke, "sensor");
    if (const std::string interfaceName = Text(woke, "interface"); !interfaceName.empty())
        line += " on " + interfaceName;
    if (woke.contains("vlan") && woke["vlan"].is_number_integer())
        line += ", VLAN " + std::to_string(woke["vlan"].get<int>());
    line += ": " + Text(woke, "what") + " from the machine";
    if (woke.contains("after") && woke["after"].is_number())
        line += " " + OneDecimal(woke["after"].get<double>()) + " s after the magic packet";
    return line;
}

ReplyMeaning ReadReply(std::string_view payload, const std::string &program)
{
    ReplyMeaning meaning;
    const json reply = json::parse(payload, nullptr, false);
    if (!reply.is_object()) {
        meaning.err.push_back(program + ": a reply that is not a JSON object was left aside");
        return meaning;
    }
    const std::string event = Text(reply, "event");
    const std::string sensor = Text(reply, "sensor");
    std::vector<std::string> lines;
    if (const auto found = reply.find("lines"); found != reply.end() && found->is_array())
        for (const json &line : *found)
            if (line.is_string())
                lines.push_back(line.get<std::string>());
    if (event == "note" || event == "refused" || event == "failed") {
        for (const std::string &line : lines)
            meaning.err.push_back(program + ": " + sensor + ": " + line);
    } else {
        meaning.out = lines;
    }
    if (event == "woke") {
        meaning.out.push_back(ThroughLine(reply));
        meaning.end = kExitStopped;
    } else if (event == "no_sign_of_life") {
        meaning.end = kExitTimedOut;
    } else if (event == "refused") {
        meaning.end = kExitUsage;
    } else if (event == "failed") {
        meaning.end = kExitNotListening;
    }
    return meaning;
}
