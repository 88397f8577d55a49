#pragma once

#include "localmachine.h"
#include "wakesettings.h"
#include "wakesend.h"

#include <winsock2.h>
#include <ws2ipdef.h>
#include <windows.h>
#include <iphlpapi.h>

#include <optional>
#include <string>
#include <vector>

// This machine's neighbours as Windows knows them, and the questions it may ask
// them: each call on its own, so that a test can stand in where the system (or Wine)
// has no answer.
class NeighbourCalls
{
public:
    virtual ~NeighbourCalls() = default;
    // GetIpNetTable2 for IPv4: the rows; nothing when the call fails.
    virtual std::optional<std::vector<MIB_IPNET_ROW2>> Table() = 0;
    // ResolveIpNetEntry2: flushes the entry of `row`'s address on its interface and
    // asks for it by ARP, waiting for the answer. ERROR_CALL_NOT_IMPLEMENTED where the
    // system has no such call.
    virtual DWORD Resolve(MIB_IPNET_ROW2 *row, const SOCKADDR_INET *source) = 0;
    virtual bool CanResolve() = 0;
    // IcmpSendEcho to `address`, waiting at most `timeoutMs`: true when it answered.
    // `error` says why the request could not be made at all.
    virtual bool Echo(const Ipv4Octets &address, DWORD timeoutMs, std::string *error) = 0;
};

NeighbourCalls &SystemNeighbourCalls();

// The IPv4 address the neighbour table holds for `mac`, in any state but
// unreachable or incomplete; nothing when it holds none.
std::optional<Ipv4Octets> NeighbourAddress(NeighbourCalls &calls, const MacAddress &mac);

// A wired Ethernet adapter the packets may leave through, with the index that its
// ARP requests need.
struct SendAdapter
{
    SendInterface link;
    NET_IFINDEX index = 0;
};

// The adapters of type IF_TYPE_ETHERNET_CSMACD, from GetAdaptersAddresses: up with
// a carrier when their operational status is up.
std::vector<SendAdapter> ReadSendAdapters(WindowsMachineCalls &calls);
std::vector<SendInterface> SendInterfaces(const std::vector<SendAdapter> &adapters);

// What this machine says about itself while it wakes another: its adapters, and the
// neighbours Windows holds as reachable. Windows tells no driver's Wake-on modes here.
class WindowsMachineInfo final : public LocalMachine
{
public:
    WindowsMachineInfo(std::vector<SendAdapter> adapters, NeighbourCalls &calls);
    std::vector<LocalInterface> Interfaces() override;
    std::vector<Ipv4Octets> Ipv4Destinations() override;
    std::vector<Ipv4Network> Ipv4Networks() override;
    std::optional<std::string> WakeOnModes(const std::string &) override { return std::nullopt; }
    std::optional<bool> DeviceWakeup(const std::string &) override { return std::nullopt; }
    std::optional<std::vector<MacAddress>> ReachableNeighbours() override;

private:
    std::vector<SendAdapter> m_adapters;
    NeighbourCalls &m_calls;
};
