#include "machineinfo.h"

#include "netlink.h"

#include <QFile>

#include <libmnl/libmnl.h>
#include <linux/ethtool.h>
#include <linux/ethtool_netlink.h>
#include <linux/genetlink.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace {

struct Ifaddrs
{
    Ifaddrs()
    {
        if (getifaddrs(&list) != 0)
            list = nullptr;
    }
    ~Ifaddrs()
    {
        if (list != nullptr)
            freeifaddrs(list);
    }
    ifaddrs *list = nullptr;
};

struct GenlRequest
{
    std::array<char, 1024> buffer{};
    nlmsghdr *header = nullptr;
};

GenlRequest MakeGenlRequest(std::uint16_t family, std::uint8_t command, std::uint8_t version)
{
    GenlRequest request;
    request.header = mnl_nlmsg_put_header(request.buffer.data());
    request.header->nlmsg_type = family;
    request.header->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK; // the acknowledgement ends the answer
    request.header->nlmsg_seq = std::uint32_t(std::time(nullptr));
    auto *genl = static_cast<genlmsghdr *>(mnl_nlmsg_put_extra_header(request.header, sizeof(genlmsghdr)));
    genl->cmd = command;
    genl->version = version;
    return request;
}

// Sends one request and runs `callback` over the answer; false on any error reply.
bool Exchange(mnl_socket *socket, const GenlRequest &request, mnl_cb_t callback, void *data)
{
    if (mnl_socket_sendto(socket, request.header, request.header->nlmsg_len) < 0)
        return false;
    std::array<char, 8192> answer{};
    const unsigned portId = mnl_socket_get_portid(socket);
    int result = MNL_CB_OK;
    while (result > MNL_CB_STOP) {
        const ssize_t received = mnl_socket_recvfrom(socket, answer.data(), answer.size());
        if (received <= 0)
            return false;
        result = mnl_cb_run(answer.data(), size_t(received), request.header->nlmsg_seq, portId, callback, data);
    }
    return result != MNL_CB_ERROR;
}

int FamilyIdAttribute(const nlattr *attribute, void *data)
{
    if (mnl_attr_get_type(attribute) == CTRL_ATTR_FAMILY_ID && mnl_attr_validate(attribute, MNL_TYPE_U16) == 0)
        *static_cast<std::uint16_t *>(data) = mnl_attr_get_u16(attribute);
    return MNL_CB_OK;
}

int FamilyIdMessage(const nlmsghdr *header, void *data)
{
    return mnl_attr_parse(header, sizeof(genlmsghdr), FamilyIdAttribute, data);
}

struct WolModes
{
    std::optional<std::uint32_t> active;
    std::uint32_t supported = 0;
};

std::optional<std::uint32_t> FirstWord(const nlattr *attribute)
{
    if (mnl_attr_get_payload_len(attribute) < sizeof(std::uint32_t))
        return std::nullopt;
    std::uint32_t word = 0;
    std::memcpy(&word, mnl_attr_get_payload(attribute), sizeof word);
    return word;
}

int BitsetAttribute(const nlattr *attribute, void *data)
{
    auto *modes = static_cast<WolModes *>(data);
    if (mnl_attr_get_type(attribute) == ETHTOOL_A_BITSET_VALUE)
        modes->active = FirstWord(attribute);
    else if (mnl_attr_get_type(attribute) == ETHTOOL_A_BITSET_MASK)
        modes->supported = FirstWord(attribute).value_or(0);
    return MNL_CB_OK;
}

int WolAttribute(const nlattr *attribute, void *data)
{
    if (mnl_attr_get_type(attribute) == ETHTOOL_A_WOL_MODES && mnl_attr_validate(attribute, MNL_TYPE_NESTED) == 0)
        return mnl_attr_parse_nested(attribute, BitsetAttribute, data);
    return MNL_CB_OK;
}

int WolMessage(const nlmsghdr *header, void *data)
{
    return mnl_attr_parse(header, sizeof(genlmsghdr), WolAttribute, data);
}

// In host order.
std::optional<std::uint32_t> Ipv4Of(const sockaddr *address)
{
    if (address == nullptr || address->sa_family != AF_INET)
        return std::nullopt;
    return ntohl(reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr);
}

Ipv4Octets Bytes(std::uint32_t hostOrder)
{
    return {std::uint8_t(hostOrder >> 24), std::uint8_t(hostOrder >> 16), std::uint8_t(hostOrder >> 8),
            std::uint8_t(hostOrder)};
}

bool IsSafeInterfaceName(const std::string &name)
{
    return !name.empty() && name.size() < IFNAMSIZ && name != "." && name != ".."
           && name.find('/') == std::string::npos;
}

// One entry of the kernel's neighbour table.
struct Neighbour
{
    std::uint8_t family = 0;
    std::uint16_t state = 0; // NUD_*
    std::optional<MacAddress> mac;
    std::optional<Ipv4Octets> ipv4;
};

int NeighbourAttribute(const nlattr *attribute, void *data)
{
    auto *neighbour = static_cast<Neighbour *>(data);
    if (mnl_attr_get_type(attribute) == NDA_LLADDR && mnl_attr_get_payload_len(attribute) == 6) {
        neighbour->mac.emplace();
        std::memcpy(neighbour->mac->data(), mnl_attr_get_payload(attribute), 6);
    } else if (mnl_attr_get_type(attribute) == NDA_DST && mnl_attr_get_payload_len(attribute) == 4) {
        neighbour->ipv4.emplace();
        std::memcpy(neighbour->ipv4->data(), mnl_attr_get_payload(attribute), 4);
    }
    return MNL_CB_OK;
}

int NeighbourMessage(const nlmsghdr *header, void *data)
{
    const auto *message = static_cast<const ndmsg *>(mnl_nlmsg_get_payload(header));
    Neighbour neighbour{message->ndm_family, message->ndm_state, std::nullopt, std::nullopt};
    mnl_attr_parse(header, sizeof(ndmsg), NeighbourAttribute, &neighbour);
    static_cast<std::vector<Neighbour> *>(data)->push_back(neighbour);
    return MNL_CB_OK;
}

// One dump of the neighbour table over rtnetlink, IPv4 and IPv6.
std::optional<std::vector<Neighbour>> Neighbours()
{
    std::vector<Neighbour> neighbours;
    if (!RouteDump(RTM_GETNEIGH, sizeof(ndmsg), NeighbourMessage, &neighbours, 1))
        return std::nullopt;
    return neighbours;
}

std::optional<std::vector<MacAddress>> Reachable()
{
    const std::optional<std::vector<Neighbour>> neighbours = Neighbours();
    if (!neighbours)
        return std::nullopt;
    std::vector<MacAddress> reachable;
    for (const Neighbour &neighbour : *neighbours) {
        if ((neighbour.state & NUD_REACHABLE) != 0 && neighbour.mac)
            reachable.push_back(*neighbour.mac);
    }
    return reachable;
}

class SystemMachine final : public LocalMachine
{
public:
    std::vector<LocalInterface> Interfaces() override
    {
        std::vector<LocalInterface> interfaces;
        const Ifaddrs addresses;
        for (const ifaddrs *entry = addresses.list; entry != nullptr; entry = entry->ifa_next) {
            if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET)
                continue;
            const auto *link = reinterpret_cast<const sockaddr_ll *>(entry->ifa_addr);
            if (link->sll_hatype != ARPHRD_ETHER || link->sll_halen != 6)
                continue;
            LocalInterface local{entry->ifa_name, {}};
            std::copy_n(link->sll_addr, 6, local.mac.begin());
            interfaces.push_back(local);
        }
        return interfaces;
    }

    std::vector<Ipv4Octets> Ipv4Destinations() override
    {
        std::vector<Ipv4Octets> destinations;
        const Ifaddrs addresses;
        for (const ifaddrs *entry = addresses.list; entry != nullptr; entry = entry->ifa_next) {
            const std::optional<std::uint32_t> address = Ipv4Of(entry->ifa_addr);
            if (!address)
                continue;
            destinations.push_back(Bytes(*address));
            if (const std::optional<std::uint32_t> broadcast = Ipv4Of(entry->ifa_broadaddr);
                broadcast && (entry->ifa_flags & IFF_BROADCAST) != 0)
                destinations.push_back(Bytes(*broadcast));
            // The kernel takes the subnet's last address as broadcast even when none was configured.
            const std::uint32_t mask = Ipv4Of(entry->ifa_netmask).value_or(0xFFFFFFFF);
            if ((~mask & 0xFFFFFFFE) != 0)
                destinations.push_back(Bytes(*address | ~mask));
        }
        return destinations;
    }

    std::optional<std::vector<MacAddress>> ReachableNeighbours() override { return Reachable(); }

    std::vector<Ipv4Network> Ipv4Networks() override
    {
        std::vector<Ipv4Network> networks;
        const Ifaddrs addresses;
        for (const ifaddrs *entry = addresses.list; entry != nullptr; entry = entry->ifa_next) {
            const std::optional<std::uint32_t> address = Ipv4Of(entry->ifa_addr);
            const std::optional<std::uint32_t> mask = Ipv4Of(entry->ifa_netmask);
            if (address && mask)
                networks.push_back({Bytes(*address), Bytes(*mask)});
        }
        return networks;
    }

    std::optional<std::string> WakeOnModes(const std::string &interfaceName) override
    {
        const std::optional<WakeOnState> state = ReadWakeOn(interfaceName);
        return state ? std::optional(state->enabled) : std::nullopt;
    }

    std::optional<bool> DeviceWakeup(const std::string &interfaceName) override
    {
        if (!IsSafeInterfaceName(interfaceName))
            return std::nullopt;
        QFile flag(QString::fromStdString("/sys/class/net/" + interfaceName + "/device/power/wakeup"));
        if (!flag.open(QIODevice::ReadOnly))
            return std::nullopt;
        const QByteArray text = flag.readAll().trimmed();
        if (text == "enabled")
            return true;
        if (text == "disabled")
            return false;
        return std::nullopt;
    }
};

} // namespace

std::map<MacAddress, Ipv4Octets> NeighbourAddresses()
{
    std::map<MacAddress, Ipv4Octets> addresses;
    for (const Neighbour &neighbour : Neighbours().value_or(std::vector<Neighbour>{})) {
        if (neighbour.family == AF_INET && (neighbour.state & (NUD_FAILED | NUD_INCOMPLETE | NUD_NOARP)) == 0
            && neighbour.mac && neighbour.ipv4)
            addresses.emplace(*neighbour.mac, *neighbour.ipv4); // the first, as the table lists them
    }
    return addresses;
}

std::optional<Ipv4Octets> NeighbourAddress(const MacAddress &mac)
{
    const std::map<MacAddress, Ipv4Octets> addresses = NeighbourAddresses();
    const auto found = addresses.find(mac);
    return found == addresses.end() ? std::nullopt : std::optional<Ipv4Octets>(found->second);
}

std::optional<WakeOnState> ReadWakeOn(const std::string &interfaceName)
{
    if (!IsSafeInterfaceName(interfaceName))
        return std::nullopt;
    const MnlSocket socket = OpenNetlink(NETLINK_GENERIC, 1); // a kernel that never answers must not stall the report
    if (!socket)
        return std::nullopt;

    GenlRequest resolve = MakeGenlRequest(GENL_ID_CTRL, CTRL_CMD_GETFAMILY, 1);
    mnl_attr_put_strz(resolve.header, CTRL_ATTR_FAMILY_NAME, ETHTOOL_GENL_NAME);
    std::uint16_t family = 0;
    if (!Exchange(socket.get(), resolve, FamilyIdMessage, &family) || family == 0)
        return std::nullopt;

    GenlRequest get = MakeGenlRequest(family, ETHTOOL_MSG_WOL_GET, ETHTOOL_GENL_VERSION);
    nlattr *const header = mnl_attr_nest_start(get.header, ETHTOOL_A_WOL_HEADER);
    mnl_attr_put_strz(get.header, ETHTOOL_A_HEADER_DEV_NAME, interfaceName.c_str());
    mnl_attr_put_u32(get.header, ETHTOOL_A_HEADER_FLAGS, ETHTOOL_FLAG_COMPACT_BITSETS);
    mnl_attr_nest_end(get.header, header);
    WolModes modes;
    if (!Exchange(socket.get(), get, WolMessage, &modes) || !modes.active || modes.supported == 0)
        return std::nullopt;
    return WakeOnState{WakeOnLetters(modes.supported), WakeOnLetters(*modes.active)};
}

LocalMachine &SystemMachineInfo()
{
    static SystemMachine machine;
    return machine;
}

std::string WakeOnLetters(std::uint32_t wakeModes)
{
    static constexpr struct
    {
        std::uint32_t mode;
        char letter;
    } kLetters[] = {{WAKE_PHY, 'p'},   {WAKE_UCAST, 'u'}, {WAKE_MCAST, 'm'},       {WAKE_BCAST, 'b'},
                    {WAKE_ARP, 'a'},   {WAKE_MAGIC, 'g'}, {WAKE_MAGICSECURE, 's'}, {WAKE_FILTER, 'f'}};
    std::string letters;
    for (const auto &entry : kLetters) {
        if ((wakeModes & entry.mode) != 0)
            letters += entry.letter;
    }
    return letters.empty() ? "d" : letters;
}
