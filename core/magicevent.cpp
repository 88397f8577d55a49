#include "magicevent.h"

#include "reportlog.h"

#include <cstdio>

namespace {

std::string OptionalMacText(const std::optional<MacAddress> &mac)
{
    return mac ? FormatMac(*mac) : std::string("?");
}

std::string CarrierLine(const MagicEvent &event)
{
    std::string line = "  Carrier: ";
    if (event.carrier == Carrier::Ethernet)
        line += "Ethernet frame of type 0x0842";
    else
        line += event.family == Family::Ipv6 ? "UDP over IPv6" : "UDP over IPv4";
    if (event.interfaceName)
        line += " on " + *event.interfaceName + ", from " + OptionalMacText(event.sourceMac) + " to "
                + OptionalMacText(event.destinationMac);
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
    const DatagramFields &datagram = report.datagram;
    event.source = IpAddress::FromIpv4(datagram.source);
    event.destination = IpAddress::FromIpv4(datagram.destination);
    event.sourcePort = datagram.sourcePort;
    event.destinationPort = datagram.destinationPort;
    event.mac = datagram.mac.value_or(MacAddress{});
    if (!CardCanHave(event.mac))
        MarkNoCardHasTarget(event, event.mac);
    event.strict = true;
    event.delivered = true;
    event.kernelTime = report.kernelTime;
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
    event.sourceMac = frame.sourceMac;
    event.destinationMac = frame.destinationMac;
    if (frame.carrier == Carrier::Udp) {
        event.source = IpAddress{frame.family, frame.sourceAddress};
        event.destination = IpAddress{frame.family, frame.destinationAddress};
        event.sourcePort = frame.sourcePort;
        event.destinationPort = frame.destinationPort;
    }
    event.mac = frame.magic.mac;
    if (frame.magic.noCardHasTarget)
        MarkNoCardHasTarget(event, frame.magic.mac);
    // The group bit of the first byte: broadcast and multicast frames reach every port.
    event.unicastToOther = frame.carrier == Carrier::Udp && frame.family == Family::Ipv4
                           && (frame.destinationMac[0] & 0x01) == 0;
    event.password.assign(frame.magic.password.begin(), frame.magic.password.end());
    event.strict = frame.strict;
    return event;
}

std::string PasswordText(ByteView password)
{
    if (password.size() == 6)
        return FormatMac(MacAt(password, 0));
    if (password.size() == 4)
        return FormatIpv4({password[0], password[1], password[2], password[3]});
    return {};
}

std::string UnicastProblem(const MagicEvent &event)
{
    return "sent to the unicast address " + (event.destination ? FormatIp(*event.destination) : std::string("?"))
        + " of another machine: once that machine has slept longer than the sender's ARP cache keeps its address "
          "(often minutes), the sender asks in vain who has it and sends nothing, unless the card answers ARP while "
          "asleep; send to "
        + (event.broadcastInstead ? "the subnet's broadcast address " + FormatIpv4(*event.broadcastInstead)
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
        report.sourceAddress = event.source ? FormatIp(*event.source) : std::string();
        report.destinationAddress = event.destination ? FormatIp(*event.destination) : std::string();
        report.sourcePort = event.sourcePort.value_or(0);
        report.destinationPort = event.destinationPort.value_or(0);
        report.mac = FormatMac(event.mac);
        lines = ReportLines(report, std::string(), now, settings);
    } else {
        lines.push_back(event.nearMiss ? "Near miss of a Magic Packet seen." : "Magic Packet seen on the wire.");
        lines.push_back("  Date, Time: " + FormatDateTimeText(now, settings));
        if (event.source) {
            lines.push_back("  Source Address: " + FormatIp(*event.source));
            lines.push_back("  Source Port: " + std::to_string(event.sourcePort.value_or(0)));
            lines.push_back("  Destination Address: " + (event.destination ? FormatIp(*event.destination) : std::string()));
            lines.push_back("  Destination Port: " + std::to_string(event.destinationPort.value_or(0)));
        }
        lines.push_back("  MAC Address: " + FormatMac(event.mac));
        lines.emplace_back();
    }
    lines.push_back(CarrierLine(event));
    if (!event.password.empty())
        lines.push_back("  Password: " + PasswordText(event.password));
    if (event.machine.localInterface)
        lines.push_back(MachineLine(event.machine));
    for (const std::string &problem : EventProblems(event))
        lines.push_back("  Problem: " + problem);
    lines.emplace_back();
    return lines;
}
