#include "wakesend.h"

#include "protocols.h"

#include <algorithm>
#include <iterator>

namespace {

const Ipv4Octets kLimitedBroadcast{255, 255, 255, 255};

bool Sendable(const SendInterface &interface)
{
    return interface.wired && interface.up && interface.carrier;
}

// Why an interface the user named cannot send; empty when it can.
std::string NotSendable(const SendInterface &interface)
{
    if (!interface.wired)
        return interface.name + " is not a wired Ethernet interface";
    if (!interface.up)
        return interface.name + " is down";
    if (!interface.carrier)
        return interface.name + " has no carrier: no cable, or the other end is off";
    return {};
}

// The warning for --to naming a unicast address of a subnet this machine is on: the
// address of another machine there, not the subnet's broadcast address nor this machine's own.
std::string UnicastToWarning(const Ipv4Octets &to, const std::vector<SendInterface> &interfaces)
{
    const SendInterface *interface = InterfaceOnSubnet(to, interfaces);
    if (!interface)
        return {};
    const Ipv4Network &network = *interface->ipv4;
    const std::optional<Ipv4Octets> broadcast = network.Broadcast();
    if (!broadcast || to == *broadcast || to == network.address)
        return {};
    return "--to " + FormatIpv4(to) + " is a unicast address of " + FormatIpv4(network.First()) + "/"
        + std::to_string(network.PrefixLength()) + " on " + interface->name
        + ": once that machine has slept longer than this machine's ARP cache keeps its address (often "
          "minutes), this machine asks in vain who has it and the packet never leaves, unless the card answers "
          "ARP while asleep; send to the subnet's broadcast address "
        + FormatIpv4(*broadcast) + " instead";
}

// An Ethernet header from `source` to the broadcast MAC.
std::vector<std::uint8_t> BroadcastHeader(const MacAddress &source, std::uint16_t etherType)
{
    std::vector<std::uint8_t> header(kEthernetHeaderSize, 0xFF);
    std::copy(source.begin(), source.end(), header.begin() + kEthernetSourceOffset);
    header[kEtherTypeOffset] = std::uint8_t(etherType >> 8);
    header[kEtherTypeOffset + 1] = std::uint8_t(etherType & 0xFF);
    return header;
}

} // namespace

const char *SendFormName(SendForm form)
{
    switch (form) {
    case SendForm::Ethernet:
        return "ethernet";
    case SendForm::SubnetBroadcast:
        return "subnet_broadcast";
    case SendForm::LimitedBroadcast:
        return "broadcast";
    case SendForm::Address:
        return "to";
    }
    return "?";
}

std::vector<std::uint8_t> MagicPayload(const MacAddress &mac, ByteView password)
{
    std::vector<std::uint8_t> payload(6, 0xFF);
    payload.reserve(6 + kMagicCopies * mac.size() + password.size());
    for (int copy = 0; copy < kMagicCopies; ++copy)
        payload.insert(payload.end(), mac.begin(), mac.end());
    payload.insert(payload.end(), password.begin(), password.end());
    return payload;
}

std::vector<std::uint8_t> MagicFrame(const MacAddress &source, const MacAddress &mac, ByteView password)
{
    std::vector<std::uint8_t> frame = BroadcastHeader(source, kWakeOnLanEtherType);
    const std::vector<std::uint8_t> payload = MagicPayload(mac, password);
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

std::vector<std::uint8_t> ArpRequestFrame(const MacAddress &source, const Ipv4Octets &sourceAddress,
                                          const Ipv4Octets &target)
{
    std::vector<std::uint8_t> frame = BroadcastHeader(source, kEtherTypeArp);
    const std::uint8_t header[] = {0, 1, 8, 0, 6, 4, 0, 1}; // Ethernet, IPv4, a request
    frame.insert(frame.end(), std::begin(header), std::end(header));
    frame.insert(frame.end(), source.begin(), source.end());
    frame.insert(frame.end(), sourceAddress.begin(), sourceAddress.end());
    frame.insert(frame.end(), 6, 0); // the MAC asked for
    frame.insert(frame.end(), target.begin(), target.end());
    return frame;
}

std::string WayText(const WakeSend &send, bool broadcastMac)
{
    std::string way = send.form == SendForm::Ethernet
        ? std::string("an Ethernet frame of type 0x0842") + (broadcastMac ? " to FF-FF-FF-FF-FF-FF" : "")
        : "UDP to " + (send.address ? FormatIpv4(*send.address) : std::string("?")) + " port "
            + std::to_string(send.port);
    if (!send.interfaceName.empty())
        way += " on " + send.interfaceName;
    return way;
}

std::string SentLine(const SentPacket &sent)
{
    const WakeSend &send = sent.send;
    std::string line = (sent.error.empty() ? "Sent a magic packet for " : "Could not send a magic packet for ")
        + FormatMac(send.mac) + " (" + std::to_string(send.round + 1) + " of " + std::to_string(kWakeRounds) + ") as "
        + WayText(send, true);
    if (!sent.error.empty())
        line += ": " + sent.error;
    return line;
}

const SendInterface *InterfaceOnSubnet(const Ipv4Octets &address, const std::vector<SendInterface> &interfaces)
{
    const auto holding = std::find_if(interfaces.begin(), interfaces.end(), [&](const SendInterface &interface) {
        return interface.ipv4 && interface.ipv4->Holds(address);
    });
    return holding == interfaces.end() ? nullptr : &*holding;
}

WakePlan PlanWake(const WakeRequest &request, const std::vector<SendInterface> &interfaces,
                  const std::vector<MacAddress> &ownMacs)
{
    WakePlan plan;
    const auto refuse = [&plan](std::string why, bool commandLineFault) {
        plan.refusal = std::move(why);
        plan.commandLineFault = commandLineFault;
        plan.interfaces.clear();
        plan.sends.clear();
        return plan;
    };
    for (const MacAddress &mac : request.macs) {
        if (!CardCanHave(mac))
            return refuse(NoCardProblem(mac) + ": no magic packet can wake it", true);
        const auto own = std::find(ownMacs.begin(), ownMacs.end(), mac);
        if (own != ownMacs.end())
            return refuse(FormatMac(mac) + " is this machine's own MAC address: it is awake, and cannot wake itself",
                          true);
    }

    std::vector<const SendInterface *> chosen;
    if (!request.interfaceName.empty()) {
        const auto named = std::find_if(interfaces.begin(), interfaces.end(), [&](const SendInterface &interface) {
            return interface.name == request.interfaceName;
        });
        if (named == interfaces.end())
            return refuse("this machine has no interface named " + request.interfaceName, true);
        const std::string why = NotSendable(*named);
        if (!why.empty())
            return refuse(why + ": nothing can leave through it", false);
        chosen.push_back(&*named);
    } else {
        for (const SendInterface &interface : interfaces)
            if (Sendable(interface))
                chosen.push_back(&interface);
    }
    if (chosen.empty() && request.to.empty())
        return refuse("no wired interface is up with a carrier: plug a cable in, or name a routed address with --to",
                      false);

    for (const SendInterface *interface : chosen)
        plan.interfaces.push_back(interface->name);
    for (const Ipv4Octets &to : request.to) {
        std::string warning = UnicastToWarning(to, interfaces);
        if (!warning.empty())
            plan.warnings.push_back(std::move(warning));
    }

    for (int round = 0; round < kWakeRounds; ++round) {
        for (const MacAddress &mac : request.macs) {
            for (const SendInterface *interface : chosen) {
                if (request.ethernet)
                    plan.sends.push_back({SendForm::Ethernet, mac, interface->name, std::nullopt, 0, round});
                if (const std::optional<Ipv4Octets> broadcast = interface->ipv4 ? interface->ipv4->Broadcast() : std::nullopt)
                    plan.sends.push_back(
                        {SendForm::SubnetBroadcast, mac, interface->name, broadcast, request.port, round});
                plan.sends.push_back(
                    {SendForm::LimitedBroadcast, mac, interface->name, kLimitedBroadcast, request.port, round});
            }
            for (const Ipv4Octets &to : request.to)
                plan.sends.push_back({SendForm::Address, mac, {}, to, request.port, round});
        }
    }
    return plan;
}
