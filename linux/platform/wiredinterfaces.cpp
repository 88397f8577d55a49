#include "wiredinterfaces.h"

#include "addresses.h"
#include "machineinfo.h"
#include "netlink.h"

#include <QDir>
#include <QFile>

#include <libmnl/libmnl.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <memory>

namespace {

struct Link
{
    std::string name;
    std::optional<MacAddress> mac;
    std::optional<MacAddress> permanentMac;
    bool carrier = false;
    std::string kind;
    bool enslaved = false; // a port of a bridge or bond
};

struct LinkDump
{
    std::vector<Link> links;
};

std::optional<MacAddress> MacOf(const nlattr *attribute)
{
    if (mnl_attr_get_payload_len(attribute) != 6)
        return std::nullopt;
    return MacAt(ByteView(static_cast<const std::uint8_t *>(mnl_attr_get_payload(attribute)), 6), 0);
}

int LinkInfoAttribute(const nlattr *attribute, void *data)
{
    if (mnl_attr_get_type(attribute) == IFLA_INFO_KIND && mnl_attr_validate(attribute, MNL_TYPE_NUL_STRING) == 0)
        static_cast<Link *>(data)->kind = mnl_attr_get_str(attribute);
    return MNL_CB_OK;
}

int LinkAttribute(const nlattr *attribute, void *data)
{
    auto *link = static_cast<Link *>(data);
    switch (mnl_attr_get_type(attribute)) {
    case IFLA_IFNAME:
        if (mnl_attr_validate(attribute, MNL_TYPE_NUL_STRING) == 0)
            link->name = mnl_attr_get_str(attribute);
        break;
    case IFLA_ADDRESS:
        link->mac = MacOf(attribute);
        break;
    case IFLA_PERM_ADDRESS:
        link->permanentMac = MacOf(attribute);
        break;
    case IFLA_LINKINFO:
        if (mnl_attr_validate(attribute, MNL_TYPE_NESTED) == 0)
            mnl_attr_parse_nested(attribute, LinkInfoAttribute, data);
        break;
    case IFLA_MASTER:
        link->enslaved = true;
        break;
    case IFLA_CARRIER:
        if (mnl_attr_validate(attribute, MNL_TYPE_U8) == 0)
            link->carrier = mnl_attr_get_u8(attribute) != 0;
        break;
    default:
        break;
    }
    return MNL_CB_OK;
}

int LinkMessage(const nlmsghdr *header, void *data)
{
    const auto *info = static_cast<const ifinfomsg *>(mnl_nlmsg_get_payload(header));
    if (info->ifi_type != ARPHRD_ETHER)
        return MNL_CB_OK;
    Link link;
    if (mnl_attr_parse(header, sizeof(ifinfomsg), LinkAttribute, &link) != MNL_CB_OK || !link.mac)
        return MNL_CB_OK;
    link.carrier = link.carrier && (info->ifi_flags & IFF_UP) != 0; // a link that is down says nothing
    if (link.permanentMac == link.mac || link.permanentMac == MacAddress{})
        link.permanentMac.reset();
    static_cast<LinkDump *>(data)->links.push_back(link);
    return MNL_CB_OK;
}

std::vector<Link> EthernetLinks()
{
    LinkDump dump;
    if (!RouteDump(RTM_GETLINK, sizeof(ifinfomsg), LinkMessage, &dump, 2))
        return {};
    return dump.links;
}

Ipv4Octets OctetsOf(const sockaddr *address)
{
    Ipv4Octets octets;
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(&reinterpret_cast<const sockaddr_in *>(address)->sin_addr);
    std::copy_n(bytes, octets.size(), octets.begin());
    return octets;
}

// An IPv4 address of an interface, and the broadcast address its packets go to.
struct Ipv4OfLink
{
    Ipv4Network network;
    std::optional<Ipv4Octets> broadcast;
};

std::vector<Ipv4OfLink> Ipv4Of(const std::string &name)
{
    std::vector<Ipv4OfLink> addresses;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return addresses;
    for (const ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || name != entry->ifa_name)
            continue;
        Ipv4OfLink address;
        address.network.address = OctetsOf(entry->ifa_addr);
        address.network.mask = entry->ifa_netmask != nullptr ? OctetsOf(entry->ifa_netmask) : Ipv4Octets{255, 255, 255, 255};
        // Without a broadcast address of its own, glibc gives the address itself here.
        const std::optional<Ipv4Octets> broadcast =
            entry->ifa_broadaddr != nullptr ? std::optional(OctetsOf(entry->ifa_broadaddr)) : std::nullopt;
        if ((entry->ifa_flags & IFF_BROADCAST) != 0 && broadcast && *broadcast != Ipv4Octets{}
            && *broadcast != address.network.address)
            address.broadcast = broadcast;
        else
            address.broadcast = address.network.Broadcast(); // the subnet's last address, which the kernel takes as broadcast
        addresses.push_back(address);
    }
    freeifaddrs(list);
    return addresses;
}

QByteArray SysText(const QString &root, const QString &path)
{
    QFile file(QDir::cleanPath(root + QLatin1Char('/') + path));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

bool IsWireless(const QString &root, const QString &name)
{
    return QFile::exists(QDir::cleanPath(root + "/sys/class/net/" + name + "/wireless"))
           || SysText(root, "/sys/class/net/" + name + "/uevent").contains("DEVTYPE=wlan");
}

} // namespace

std::vector<InterfaceFacts> ReadWiredInterfaces(const QString &root, CommandRunner &runner)
{
    std::vector<InterfaceFacts> interfaces;
    for (const Link &link : EthernetLinks()) {
        const QString name = QString::fromStdString(link.name);
        if (link.name.empty() || name.contains(QLatin1Char('/')) || IsWireless(root, name))
            continue;
        InterfaceFacts facts;
        facts.name = link.name;
        facts.mac = FormatMac(*link.mac, ':');
        if (link.permanentMac)
            facts.permanentMac = FormatMac(*link.permanentMac, ':');
        for (const Ipv4OfLink &address : Ipv4Of(link.name))
            facts.ipv4.push_back({FormatIpv4(address.network.address), address.network.PrefixLength(),
                                  address.broadcast ? FormatIpv4(*address.broadcast) : std::string()});
        facts.carrier = link.carrier;
        facts.kind = link.kind;
        if (const std::optional<WakeOnState> wakeOn = ReadWakeOn(link.name)) {
            facts.wakeOnSupported = wakeOn->supported;
            facts.wakeOnEnabled = wakeOn->enabled;
        }
        facts.deviceWakeup = SystemMachineInfo().DeviceWakeup(link.name);
        LinkIdentity identity{facts.name, {facts.mac}, facts.kind};
        if (facts.permanentMac)
            identity.macs.push_back(*facts.permanentMac);
        facts.boot = BootSettings(root, runner, identity);
        interfaces.push_back(std::move(facts));
    }
    return interfaces;
}

std::vector<SendInterface> ReadSendInterfaces(const QString &root)
{
    std::vector<SendInterface> interfaces;
    for (const Link &link : EthernetLinks()) {
        // A port of a bridge or bond sends through its master, which has the address.
        if (link.name.empty() || link.enslaved)
            continue;
        SendInterface interface;
        interface.name = link.name;
        interface.mac = *link.mac;
        interface.wired = !IsWireless(root, QString::fromStdString(link.name));
        interface.up = interface.carrier = link.carrier; // a link that is down has no carrier here
        if (const std::vector<Ipv4OfLink> addresses = Ipv4Of(link.name); !addresses.empty())
            interface.ipv4 = addresses.front().network;
        interfaces.push_back(std::move(interface));
    }
    return interfaces;
}

SleepStates ReadSleepStates(const QString &root)
{
    SleepStates sleep;
    for (const QByteArray &word : SysText(root, QStringLiteral("/sys/power/state")).simplified().split(' '))
        if (!word.isEmpty())
            sleep.states.push_back(word.toStdString());
    for (const QByteArray &word : SysText(root, QStringLiteral("/sys/power/mem_sleep")).simplified().split(' '))
        if (!word.isEmpty())
            sleep.memSleep.push_back(word.toStdString());
    return sleep;
}
