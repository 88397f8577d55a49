#include "wiredinterfaces.h"

#include "datagram.h"
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
#include <bit>
#include <cstdio>
#include <ctime>
#include <memory>

namespace {

struct Link
{
    std::string name;
    std::string mac;
    std::string permanentMac;
    bool carrier = false;
    std::string kind;
    bool enslaved = false; // a port of a bridge or bond
};

struct LinkDump
{
    std::vector<Link> links;
};

std::string MacOf(const nlattr *attribute)
{
    if (mnl_attr_get_payload_len(attribute) != 6)
        return {};
    return FormatMac(ByteView(static_cast<const std::uint8_t *>(mnl_attr_get_payload(attribute)), 6), ':');
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
    if (mnl_attr_parse(header, sizeof(ifinfomsg), LinkAttribute, &link) != MNL_CB_OK || link.mac.empty())
        return MNL_CB_OK;
    link.carrier = link.carrier && (info->ifi_flags & IFF_UP) != 0; // a link that is down says nothing
    if (link.permanentMac == link.mac || link.permanentMac == "00:00:00:00:00:00")
        link.permanentMac.clear();
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

std::uint32_t HostOrder(const sockaddr *address)
{
    return ntohl(reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr);
}

std::vector<Ipv4Subnet> Ipv4Of(const std::string &name)
{
    std::vector<Ipv4Subnet> subnets;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return subnets;
    for (const ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || name != entry->ifa_name)
            continue;
        const std::uint32_t address = HostOrder(entry->ifa_addr);
        const std::uint32_t mask = entry->ifa_netmask != nullptr ? HostOrder(entry->ifa_netmask) : 0xFFFFFFFF;
        Ipv4Subnet subnet{FormatDottedQuad(address), std::popcount(mask), {}};
        // Without a broadcast address of its own, glibc gives the address itself here.
        const std::uint32_t broadcast = entry->ifa_broadaddr != nullptr ? HostOrder(entry->ifa_broadaddr) : 0;
        if ((entry->ifa_flags & IFF_BROADCAST) != 0 && broadcast != 0 && broadcast != address)
            subnet.broadcast = FormatDottedQuad(broadcast);
        else if (const std::optional<std::uint32_t> last = SubnetBroadcast(address, subnet.prefixLength))
            subnet.broadcast = FormatDottedQuad(*last); // the subnet's last address, which the kernel takes as broadcast
        subnets.push_back(subnet);
    }
    freeifaddrs(list);
    return subnets;
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
        facts.mac = link.mac;
        if (!link.permanentMac.empty())
            facts.permanentMac = link.permanentMac;
        facts.ipv4 = Ipv4Of(link.name);
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
        std::string macText = link.mac;
        std::replace(macText.begin(), macText.end(), ':', '-');
        const std::optional<MacAddress> mac = ParseMacText(macText);
        // A port of a bridge or bond sends through its master, which has the address.
        if (link.name.empty() || !mac || link.enslaved)
            continue;
        SendInterface interface;
        interface.name = link.name;
        interface.mac = *mac;
        interface.wired = !IsWireless(root, QString::fromStdString(link.name));
        interface.up = interface.carrier = link.carrier; // a link that is down has no carrier here
        const std::vector<Ipv4Subnet> subnets = Ipv4Of(link.name);
        if (!subnets.empty()) {
            if (const std::optional<Ipv4Octets> address = ParseIpv4(subnets.front().address))
                interface.ipv4 = Ipv4Network::WithPrefix(*address, subnets.front().prefixLength);
        }
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
