#include "eventjson.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

using nlohmann::json;

json Text(const std::optional<std::string> &text)
{
    return text ? json(*text) : json(nullptr);
}

json Address(const std::optional<IpAddress> &address)
{
    return address ? json(FormatIp(*address)) : json(nullptr);
}

json Mac(const std::optional<MacAddress> &mac)
{
    return mac ? json(FormatMac(*mac)) : json(nullptr);
}

json Number(const std::optional<std::uint16_t> &number)
{
    return number ? json(*number) : json(nullptr);
}

json Flag(const std::optional<bool> &flag)
{
    return flag ? json(*flag) : json(nullptr);
}

json FamilyJson(Family family)
{
    const char *const name = FamilyName(family);
    return name ? json(name) : json(nullptr);
}

// A span of time in seconds, to the millisecond.
double Seconds(RealTime from, RealTime to)
{
    return double(std::chrono::round<std::chrono::milliseconds>(to - from).count()) / 1000;
}

} // namespace

json EventJson(const MagicEvent &event, const std::string &time)
{
    return {
        {"event", event.nearMiss ? "near_miss" : "magic"},
        {"time", time},
        {"source", Address(event.source)},
        {"source_port", Number(event.sourcePort)},
        {"destination", Address(event.destination)},
        {"destination_port", Number(event.destinationPort)},
        {"mac", FormatMac(event.mac)},
        {"carrier", CarrierName(event.carrier)},
        {"family", FamilyJson(event.family)},
        {"interface", Text(event.interfaceName)},
        {"source_mac", Mac(event.sourceMac)},
        {"destination_mac", Mac(event.destinationMac)},
        {"password", event.password.empty() ? json(nullptr) : json(PasswordText(event.password))},
        {"strict", event.strict},
        {"delivered", Flag(event.delivered)},
        {"local_interface", Text(event.machine.localInterface)},
        {"wake_on", Text(event.machine.wakeOn)},
        {"problems", EventProblems(event)},
    };
}

json DatagramJson(const PacketReport &report, const std::string &time)
{
    return {
        {"event", "magic"},
        {"time", time},
        {"source", report.sourceAddress},
        {"source_port", report.sourcePort},
        {"destination", report.destinationAddress},
        {"destination_port", report.destinationPort},
        {"mac", report.mac},
    };
}

json SweepJson(const SweepEvent &sweep, const std::string &time)
{
    return {
        {"event", "sweep"},
        {"time", time},
        {"source", SenderText(sweep.source)},
        {"macs", sweep.macs.size()},
        {"seconds", Seconds(sweep.first, sweep.last)},
    };
}

const char *EvidenceName(SignOfLife::Kind kind)
{
    static const char *const kEvidence[] = {"dhcp", "arp", "ipv6", "frame", "icmp"};
    return kEvidence[int(kind)];
}

json OutcomeJson(const WakeOutcome &outcome, const std::string &time)
{
    const double seconds = Seconds(outcome.first, outcome.end);
    json event = {
        {"event", outcome.woke ? "woke" : "no_sign_of_life"},
        {"time", time},
        {"mac", FormatMac(outcome.mac)},
        {"interface", outcome.interfaceName.empty() ? json(nullptr) : json(outcome.interfaceName)},
        {"packets", outcome.packets},
    };
    if (!outcome.woke) {
        event["waited"] = seconds;
        event["cut_short"] = outcome.cutShort;
        event["problems"] = OutcomeProblems(outcome);
        return event;
    }
    const SignOfLife &sign = *outcome.sign;
    char etherType[8];
    std::snprintf(etherType, sizeof etherType, "0x%04X", sign.etherType);
    event["after"] = seconds;
    event["evidence"] = EvidenceName(sign.kind);
    event["what"] = SignOfLifeText(sign);
    event["ether_type"] = etherType;
    event["hostname"] = sign.hostName ? json(*sign.hostName) : json(nullptr);
    event["address"] = Address(sign.address);
    event["was_awake"] = outcome.wasAwake ? json(*outcome.wasAwake) : json(nullptr);
    return event;
}

json MachineStateJson(const MachineStateEvent &event, const std::string &time)
{
    const json address = event.address ? json(FormatIpv4(*event.address)) : json(nullptr);
    const json interfaceName = event.interfaceName.empty() ? json(nullptr) : json(event.interfaceName);
    json object = {
        {"event", event.awake ? "awake" : "asleep"},
        {"time", time},
        {"mac", FormatMac(event.machine.mac)},
        {"machine", event.machine.name},
    };
    if (event.awake) {
        object["evidence"] = event.sign ? EvidenceName(event.sign->kind) : "frame";
        object["what"] = event.sign ? SignOfLifeText(*event.sign) : "frame";
        object["answered_arp"] = event.answeredArp;
        object["interface"] = interfaceName;
        object["vlan"] = event.sign ? Number(event.sign->vlan) : json(nullptr);
        object["address"] = address;
        return object;
    }
    const bool asked = event.reason == MachineStateEvent::Reason::NoArpAnswer;
    object["evidence"] = asked ? "no_arp_answer" : "silence";
    object["silent_seconds"] = std::chrono::duration<double>(event.silentFor).count();
    object["asked"] = asked;
    object["interface"] = interfaceName;
    object["address"] = address;
    object["last_seen_unix_time"] = event.lastSeen ? json(std::chrono::duration<double>(event.lastSeen->time_since_epoch()).count()) : json(nullptr);
    return object;
}

json UnansweredArpJson(const UnansweredArp &arp, const std::string &time)
{
    return {
        {"event", "unanswered_arp"},
        {"time", time},
        {"address", FormatIpv4(arp.address)},
        {"asker", FormatIpv4(arp.askerAddress)},
        {"asker_mac", FormatMac(arp.askerMac)},
        {"mac", FormatMac(arp.mac)},
        {"requests", arp.requests},
        {"seconds", Seconds(arp.first, arp.last)},
        {"problems", {UnansweredArpProblem(arp)}},
    };
}

json DropsJson(std::uint64_t count)
{
    return {{"event", "drops"}, {"count", count}};
}

json ErrorJson(const std::string &text)
{
    return {{"event", "error"}, {"text", text}};
}

std::string JsonLine(const json &object)
{
    return object.dump(-1, ' ', false, json::error_handler_t::replace) + '\n';
}

std::string IsoLocalTime(const LocalDateTime &moment, int offsetFromUtcSeconds)
{
    const int minutes = std::abs(offsetFromUtcSeconds) / 60;
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", moment.year, moment.month,
                  moment.day, moment.hour, moment.minute, moment.second, moment.millisecond,
                  offsetFromUtcSeconds < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

json SentJson(const SentPacket &sent, const std::string &time)
{
    const WakeSend &send = sent.send;
    return {
        {"event", "sent"},
        {"time", time},
        {"mac", FormatMac(send.mac)},
        {"form", SendFormName(send.form)},
        {"interface", send.interfaceName.empty() ? json(nullptr) : json(send.interfaceName)},
        {"destination", send.address ? json(FormatIpv4(*send.address)) : json("FF-FF-FF-FF-FF-FF")},
        {"port", send.form == SendForm::Ethernet ? json(nullptr) : json(send.port)},
        {"round", send.round + 1},
        {"error", sent.error.empty() ? json(nullptr) : json(sent.error)},
    };
}
