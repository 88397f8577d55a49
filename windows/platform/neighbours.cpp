#include "neighbours.h"

#include "wakesettings.h"

#include <icmpapi.h>

#include <algorithm>
#include <cstring>

namespace {

Ipv4Octets Octets(const IN_ADDR &address)
{
    const auto &bytes = address.S_un.S_un_b;
    return {bytes.s_b1, bytes.s_b2, bytes.s_b3, bytes.s_b4};
}

IPAddr Address(const Ipv4Octets &octets)
{
    IPAddr address = 0;
    std::memcpy(&address, octets.data(), sizeof address); // network order, as the bytes go
    return address;
}

std::optional<MacAddress> RowMac(const MIB_IPNET_ROW2 &row)
{
    if (row.PhysicalAddressLength != std::tuple_size_v<MacAddress>)
        return std::nullopt;
    return MacAt(ByteView(row.PhysicalAddress, row.PhysicalAddressLength), 0);
}

class SystemCalls final : public NeighbourCalls
{
public:
    std::optional<std::vector<MIB_IPNET_ROW2>> Table() override
    {
        MIB_IPNET_TABLE2 *table = nullptr;
        if (GetIpNetTable2(AF_INET, &table) != NO_ERROR || table == nullptr)
            return std::nullopt;
        std::vector<MIB_IPNET_ROW2> rows(table->Table, table->Table + table->NumEntries);
        FreeMibTable(table);
        return rows;
    }

    // Found at run time: Wine has no ResolveIpNetEntry2, and a program that imported
    // it would not start there.
    DWORD Resolve(MIB_IPNET_ROW2 *row, const SOCKADDR_INET *source) override
    {
        const auto resolve = Resolver();
        return resolve ? resolve(row, source) : DWORD(ERROR_CALL_NOT_IMPLEMENTED);
    }

    bool CanResolve() override { return Resolver() != nullptr; }

    bool Echo(const Ipv4Octets &address, DWORD timeoutMs, std::string *error) override
    {
        const HANDLE icmp = IcmpCreateFile();
        if (icmp == INVALID_HANDLE_VALUE) {
            *error = "IcmpCreateFile failed with error " + std::to_string(GetLastError());
            return false;
        }
        char request[32] = "corvalen";
        // Room for one reply with the data echoed, and for an ICMP error message.
        char reply[sizeof(ICMP_ECHO_REPLY) + sizeof request + 8 + 64] = {};
        const DWORD replies = IcmpSendEcho(icmp, Address(address), request, sizeof request, nullptr, reply,
                                           sizeof reply, timeoutMs);
        IcmpCloseHandle(icmp);
        // An ICMP error from a router (unreachable, TTL exceeded) is a reply too.
        const auto *echo = reinterpret_cast<const ICMP_ECHO_REPLY *>(reply);
        return replies > 0 && echo->Status == IP_SUCCESS && echo->Address == Address(address);
    }

private:
    using ResolveFunction = NETIO_STATUS(WINAPI *)(PMIB_IPNET_ROW2, const SOCKADDR_INET *);
    static ResolveFunction Resolver()
    {
        static const ResolveFunction resolve = [] {
            const HMODULE iphlpapi = GetModuleHandleA("iphlpapi.dll");
            return iphlpapi ? reinterpret_cast<ResolveFunction>(
                                  reinterpret_cast<void *>(GetProcAddress(iphlpapi, "ResolveIpNetEntry2")))
                            : nullptr;
        }();
        return resolve;
    }
};

} // namespace

NeighbourCalls &SystemNeighbourCalls()
{
    static SystemCalls calls;
    return calls;
}

std::optional<Ipv4Octets> NeighbourAddress(NeighbourCalls &calls, const MacAddress &mac)
{
    const auto rows = calls.Table();
    if (!rows)
        return std::nullopt;
    for (const MIB_IPNET_ROW2 &row : *rows) {
        if (row.Address.si_family != AF_INET || row.State == NlnsUnreachable || row.State == NlnsIncomplete)
            continue;
        if (RowMac(row) == mac)
            return Octets(row.Address.Ipv4.sin_addr);
    }
    return std::nullopt;
}

std::vector<SendAdapter> ReadSendAdapters(WindowsMachineCalls &calls)
{
    std::vector<SendAdapter> adapters;
    const std::vector<char> list = AdapterList(calls);
    for (auto *entry = list.empty() ? nullptr : reinterpret_cast<const IP_ADAPTER_ADDRESSES *>(list.data()); entry;
         entry = entry->Next) {
        const std::optional<MacAddress> mac = AdapterMac(*entry);
        if (entry->IfType != IF_TYPE_ETHERNET_CSMACD || !mac)
            continue;
        SendAdapter adapter;
        adapter.index = entry->IfIndex;
        SendInterface &link = adapter.link;
        link.name = AdapterName(*entry);
        link.mac = *mac;
        link.wired = true;
        link.up = link.carrier = entry->OperStatus == IfOperStatusUp;
        if (const std::vector<Ipv4Network> networks = AdapterNetworks(*entry); !networks.empty())
            link.ipv4 = networks.front();
        adapters.push_back(std::move(adapter));
    }
    return adapters;
}

std::vector<SendInterface> SendInterfaces(const std::vector<SendAdapter> &adapters)
{
    std::vector<SendInterface> interfaces;
    for (const SendAdapter &adapter : adapters)
        interfaces.push_back(adapter.link);
    return interfaces;
}

WindowsMachineInfo::WindowsMachineInfo(std::vector<SendAdapter> adapters, NeighbourCalls &calls)
    : m_adapters(std::move(adapters))
    , m_calls(calls)
{
}

std::vector<LocalInterface> WindowsMachineInfo::Interfaces()
{
    std::vector<LocalInterface> interfaces;
    for (const SendAdapter &adapter : m_adapters)
        interfaces.push_back({adapter.link.name, adapter.link.mac});
    return interfaces;
}

std::vector<Ipv4Network> WindowsMachineInfo::Ipv4Networks()
{
    std::vector<Ipv4Network> networks;
    for (const SendAdapter &adapter : m_adapters) {
        if (adapter.link.ipv4)
            networks.push_back(*adapter.link.ipv4);
    }
    return networks;
}

std::vector<Ipv4Octets> WindowsMachineInfo::Ipv4Destinations()
{
    std::vector<Ipv4Octets> destinations;
    for (const Ipv4Network &network : Ipv4Networks()) {
        destinations.push_back(network.address);
        if (const std::optional<Ipv4Octets> broadcast = network.Broadcast())
            destinations.push_back(*broadcast);
    }
    return destinations;
}

// Reachable: its address was confirmed within the last ReachableTime (about 30 s).
std::optional<std::vector<MacAddress>> WindowsMachineInfo::ReachableNeighbours()
{
    const auto rows = m_calls.Table();
    if (!rows)
        return std::nullopt;
    std::vector<MacAddress> reachable;
    for (const MIB_IPNET_ROW2 &row : *rows) {
        if (row.State != NlnsReachable)
            continue;
        if (const std::optional<MacAddress> mac = RowMac(row))
            reachable.push_back(*mac);
    }
    return reachable;
}
