#pragma once

#include "windowsreadiness.h"
#include "wireframe.h"

#include <winsock2.h>
#include <ws2ipdef.h> // before iphlpapi.h, for the neighbour table's rows
#include <windows.h>
#include <iphlpapi.h>

#include <optional>
#include <string>
#include <vector>

// What Windows says about waking the machine by its wired adapters: the adapters,
// their settings in the registry, the sleep states and which devices may wake it.

// The system calls the readers make, one by one, so that a test can stand in for
// any of them. A call that fails leaves its fact as "cannot be told".
class WindowsMachineCalls
{
public:
    virtual ~WindowsMachineCalls() = default;
    // GetAdaptersAddresses for IPv4, without anycast, multicast and DNS server addresses.
    virtual ULONG AdaptersAddresses(IP_ADAPTER_ADDRESSES *buffer, ULONG *size) = 0;
    // RegGetValueW below HKEY_LOCAL_MACHINE, with the key and the name in UTF-8: text
    // comes as UTF-16.
    virtual LSTATUS RegistryValue(const std::string &key, const std::string &name, DWORD flags, DWORD *type,
                                  void *data, DWORD *size) = 0;
    // The names, in UTF-8, of the subkeys of a key below HKEY_LOCAL_MACHINE, or of its
    // values; nothing when it cannot be opened.
    virtual std::optional<std::vector<std::string>> RegistrySubkeys(const std::string &key) = 0;
    virtual std::optional<std::vector<std::string>> RegistryValueNames(const std::string &key) = 0;
    virtual bool PowerCapabilities(SYSTEM_POWER_CAPABILITIES *capabilities) = 0;
    // The names DevicePowerEnumDevices gives for the devices present that match
    // the flags, in UTF-8; nothing when the call is missing or fails.
    virtual std::optional<std::vector<std::string>> PowerDevices(ULONG interpretationFlags, ULONG queryFlags) = 0;
};

WindowsMachineCalls &SystemWindowsMachineCalls();

// What GetAdaptersAddresses lists, in a buffer of its own; empty when it fails.
std::vector<char> AdapterList(WindowsMachineCalls &calls);
// The adapter's name as Windows shows it ("Ethernet"), in UTF-8.
std::string AdapterName(const IP_ADAPTER_ADDRESSES &adapter);
// The adapter's IPv4 addresses with their on-link prefixes, in the order Windows lists them.
std::vector<Ipv4Network> AdapterNetworks(const IP_ADAPTER_ADDRESSES &adapter);
// Its Ethernet address; nothing for an adapter without one of six bytes.
std::optional<MacAddress> AdapterMac(const IP_ADAPTER_ADDRESSES &adapter);

// The wired Ethernet adapters (IF_TYPE_ETHERNET_CSMACD) with their wake settings.
std::vector<WindowsAdapterFacts> ReadWindowsAdapters(WindowsMachineCalls &calls);

WindowsPower ReadWindowsPower(WindowsMachineCalls &calls);
