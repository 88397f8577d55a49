#include "magicevent.h"

#include "reportlog.h"

#include <cstdio>

namespace {

std::string FormatAddress(Family family, const std::array<std::uint8_t, 16> &address)
{
    if (family == Family::Ipv6)
        return FormatIpv6(address);
    return FormatDottedQuad(std::uint32_t(address[0]) << 24 | std::uint32_t(address[1]) << 16
                            | std::uint32_t(address[2]) << 8 | address[3]);
}

std::string MacText(const MacAddress &mac)
{
    return FormatMac(ByteView(mac.data(), mac.size()));
}

std::string CarrierLine(const MagicEvent &event)
{
    std::string line = "  Carrier: ";
    if (event.carrier == Carrier::Ethernet)
        line += "Ethernet frame of type 0x0842";
    else
        line += event.family == Family::Ipv6 ? "UDP over IPv6" : "UDP over IPv4";
    if (event.interfaceName)
        line += " on " + *event.interfaceName + ", from " + event.sourceMac.value_or("?") + " to "
                + event.destinationMac.value_or("?");
    else
        line += ", seen by the raw socket only";
    if (event.delivered == true && event.interfaceName)
        line += ", delivered to UDP";
    return line;
}

std::string MachineLine(const ThisMachine &machine)
{
    std::string line = "  This machine: " + *machine.localInterface + ", Wake-on " + machine.wakeOn.value_or("unknown");
    if (machine.deviceWakeup)
        line += *machine.deviceWakeup ? ", device wakeup enabled" : ", device wakeup disabled";
    return line;
}

void MarkNoCardHasTarget(MagicEvent &event, const MacAddress &mac)
{
    event.nearMiss = true;
    event.noCardHasTarget = true;
    event.nearMissReason = NoCardProblem(mac);
}

} // namespace

MagicEvent EventFromDatagram(const PacketReport &report)
{
    MagicEvent event;
    event.source = report.sourceAddress;
    event.destination = report.destinationAddress;
    event.sourcePort = report.sourcePort;
    event.destinationPort = report.destinationPort;
    event.mac = report.mac;
    if (const std::optional<MacAddress> mac = ParseMacText(report.mac); mac && !CardCanHave(*mac))
        MarkNoCardHasTarget(event, *mac);
    event.strict = true;
    event.delivered = true;
    event.kernelTimeNs = report.kernelTimeNs;
    return event;
}

MagicEvent EventFromFrame(const WireFrame &frame, const std::string &interfaceName)
{
    MagicEvent event;
    event.nearMiss = frame.magic.kind == MagicKind::NearMiss;
    event.nearMissReason = NearMissReason(frame.magic);
    event.carrier = frame.carrier;
    event.family = frame.family;
    event.interfaceName = interfaceName;
    event.sourceMac = MacText(frame.sourceMac);
    event.destinationMac = MacText(frame.destinationMac);
    if (frame.carrier == Carrier::Udp) {
        event.source = FormatAddress(frame.family, frame.sourceAddress);
        event.destination = FormatAddress(frame.family, frame.destinationAddress);
        event.sourcePort = frame.sourcePort;
        event.destinationPort = frame.destinationPort;
    }
    event.mac = MacText(frame.magic.mac);
    if (frame.magic.noCardHasTarget)
        MarkNoCardHasTarget(event, frame.magic.mac);
    // The group bit of the first byte: broadcast and multicast frames reach every port.
    event.unicastToOther = frame.carrier == Carrier::Udp && frame.family == Family::Ipv4
                           && (frame.destinationMac[0] & 0x01) == 0;
    if (!frame.magic.password.empty())
        event.password = PasswordText(frame.magic.password);
    event.strict = frame.strict;
    return event;
}

std::string PasswordText(ByteView password)
{
    if (password.size() == 6)
        return FormatMac(password);
    if (password.size() == 4)
        return FormatDottedQuad(std::uint32_t(password[0]) << 24 | std::uint32_t(password[1]) << 16
                                | std::uint32_t(password[2]) << 8 | password[3]);
    return {};
}

std::string FormatIpv6(const std::array<std::uint8_t, 16> &address)
{
    int groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = address[2 * i] << 8 | address[2 * i + 1];
    int bestStart = -1;
    int bestLength = 1; // a single zero group is not shortened
    for (int start = 0; start < 8;) {
        int length = 0;
        while (start + length < 8 && groups[start + length] == 0)
            ++length;
        if (length > bestLength) {
            bestStart = start;
            bestLength = length;
        }
        start += length > 0 ? length : 1;
    }
    std::string text;
    char group[8];
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':')
            text += ':';
        std::snprintf(group, sizeof group, "%x", groups[i]);
        text += group;
    }
    return text;
}

std::string UnicastProblem(const MagicEvent &event)
{
    return "sent to the unicast address " + event.destination.value_or("?")
        + " of another machine: once that machine has slept longer than the sender's ARP cache keeps its address "
          "(often minutes), the sender asks in vain who has it and sends nothing, unless the card answers ARP while "
          "asleep; send to "
        + (event.broadcastInstead ? "the subnet's broadcast address " + *event.broadcastInstead
                                  : std::string("the subnet's broadcast address"))
        + " instead";
}

std::vector<std::string> EventProblems(const MagicEvent &event)
{
    std::vector<std::string> problems;
    if (event.nearMiss)
        problems.push_back(event.nearMissReason);
    if (event.unicastToOther && !event.nearMiss)
        problems.push_back(UnicastProblem(event));
    if (event.delivered == false)
        problems.push_back(kNotDeliveredProblem);
    const ThisMachine &machine = event.machine;
    if (!event.aboutThisMachine || event.noCardHasTarget)
        return problems;
    if (!machine.localInterface) {
        problems.push_back(kNoInterfaceProblem);
        return problems;
    }
    const std::string &name = *machine.localInterface;
    if (machine.wakeOn && machine.wakeOn->find('g') == std::string::npos)
        problems.push_back("Wake-on is off on " + name + " (ethtool -s " + name + " wol g turns it on)");
    if (machine.deviceWakeup == false)
        problems.push_back("the device of " + name + " may not wake the system (/sys/class/net/" + name
                           + "/device/power/wakeup is disabled)");
    return problems;
}

std::vector<std::string> EventLines(const MagicEvent &event, const LocalDateTime &now,
                                    const DateTimeSettings &settings)
{
    std::vector<std::string> lines;
    if (event.strict && (!event.nearMiss || event.noCardHasTarget)) {
        PacketReport report;
        report.sourceAddress = event.source.value_or(std::string());
        report.destinationAddress = event.destination.value_or(std::string());
        report.sourcePort = event.sourcePort.value_or(0);
        report.destinationPort = event.destinationPort.value_or(0);
        report.mac = event.mac;
        lines = ReportLines(report, std::string(), now, settings);
    } else {
        lines.push_back(event.nearMiss ? "Near miss of a Magic Packet seen." : "Magic Packet seen on the wire.");
        lines.push_back("  Date, Time: " + FormatDateTimeText(now, settings));
        if (event.source) {
            lines.push_back("  Source Address: " + *event.source);
            lines.push_back("  Source Port: " + std::to_string(event.sourcePort.value_or(0)));
            lines.push_back("  Destination Address: " + *event.destination);
            lines.push_back("  Destination Port: " + std::to_string(event.destinationPort.value_or(0)));
        }
        lines.push_back("  MAC Address: " + event.mac);
        lines.emplace_back();
    }
    lines.push_back(CarrierLine(event));
    if (event.password)
        lines.push_back("  Password: " + *event.password);
    if (event.machine.localInterface)
        lines.push_back(MachineLine(event.machine));
    for (const std::string &problem : EventProblems(event))
        lines.push_back("  Problem: " + problem);
    lines.emplace_back();
    return lines;
}
