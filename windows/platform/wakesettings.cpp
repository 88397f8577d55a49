#include "wakesettings.h"

#include "addresses.h"

#include <powrprof.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace {

// AoAc sits where older MinGW-w64 headers still have a spare byte; the structure's
// size is the same in both, as Microsoft documents it.
constexpr std::size_t kAoAcOffset = 0x14;
static_assert(sizeof(SYSTEM_POWER_CAPABILITIES) == 0x4c, "SYSTEM_POWER_CAPABILITIES as Windows lays it out");

// Devices that can wake the system from any sleep state or device power state.
constexpr ULONG kWakeFrom = PDCAP_WAKE_FROM_D0_SUPPORTED | PDCAP_WAKE_FROM_D1_SUPPORTED
                            | PDCAP_WAKE_FROM_D2_SUPPORTED | PDCAP_WAKE_FROM_D3_SUPPORTED
                            | PDCAP_WAKE_FROM_S0_SUPPORTED | PDCAP_WAKE_FROM_S1_SUPPORTED
                            | PDCAP_WAKE_FROM_S2_SUPPORTED | PDCAP_WAKE_FROM_S3_SUPPORTED;

std::string Utf8(const wchar_t *text)
{
    if (text == nullptr || *text == L'\0')
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string utf8(std::size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.resize(std::size_t(size - 1));
    return utf8;
}

std::wstring Wide(const std::string &utf8)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (size <= 1)
        return {};
    std::wstring wide(std::size_t(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), size);
    wide.resize(std::size_t(size - 1));
    return wide;
}

// The names of a key's subkeys or values, as `next` gives them one by one.
template <typename Next> std::optional<std::vector<std::string>> Names(const std::string &key, Next next)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(key).c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256] = {};
        DWORD length = DWORD(std::size(name));
        if (next(handle, index, name, &length) != ERROR_SUCCESS)
            break;
        names.push_back(Utf8(name));
    }
    RegCloseKey(handle);
    return names;
}

// Windows compares device and interface names without regard to case.
bool SameName(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

bool Contains(const std::vector<std::string> &names, const std::string &name)
{
    return std::any_of(names.begin(), names.end(), [&](const std::string &n) { return SameName(n, name); });
}

std::optional<std::string> ReadText(WindowsMachineCalls &calls, const std::string &key, const std::string &name)
{
    wchar_t text[512] = {};
    DWORD size = sizeof text;
    if (calls.RegistryValue(key, name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return std::nullopt;
    text[std::size(text) - 1] = L'\0';
    return Utf8(text);
}

// A setting as text the way drivers keep their advanced properties ("1"), or a
// REG_DWORD as its number.
std::optional<std::string> ReadSetting(WindowsMachineCalls &calls, const std::string &key, const std::string &name)
{
    if (std::optional<std::string> text = ReadText(calls, key, name))
        return text;
    DWORD number = 0;
    DWORD size = sizeof number;
    if (calls.RegistryValue(key, name, RRF_RT_REG_DWORD, nullptr, &number, &size) == ERROR_SUCCESS)
        return std::to_string(number);
    return std::nullopt;
}

std::optional<std::uint32_t> ReadNumber(WindowsMachineCalls &calls, const std::string &key, const std::string &name)
{
    const std::optional<std::string> text = ReadSetting(calls, key, name);
    if (!text || text->empty())
        return std::nullopt;
    char *end = nullptr;
    const unsigned long value = std::strtoul(text->c_str(), &end, 10);
    if (*end != '\0')
        return std::nullopt;
    return std::uint32_t(value);
}

std::vector<Ipv4Subnet> Ipv4Subnets(const IP_ADAPTER_ADDRESSES &adapter)
{
    std::vector<Ipv4Subnet> subnets;
    for (const Ipv4Network &network : AdapterNetworks(adapter)) {
        const int prefix = network.PrefixLength();
        // A point-to-point /31 and a /32 have no broadcast address.
        const std::optional<Ipv4Octets> broadcast = network.Broadcast();
        subnets.push_back({FormatIpv4(network.address), prefix, broadcast ? FormatIpv4(*broadcast) : ""});
    }
    return subnets;
}

// The subkey of the adapters' class key whose NetCfgInstanceId is the adapter's
// GUID; empty when there is none.
std::string SettingsKey(WindowsMachineCalls &calls, const std::vector<std::string> &subkeys,
                        const std::string &adapterName)
{
    for (const std::string &subkey : subkeys) {
        const std::optional<std::string> id =
            ReadText(calls, std::string(kNetworkAdapterClassKey) + "\\" + subkey, "NetCfgInstanceId");
        if (id && SameName(*id, adapterName))
            return subkey;
    }
    return {};
}

// The driver's advanced properties that concern waking, each with its name, its
// choices, and the adapter's value or else the driver's default, as the Advanced tab
// shows them.
std::vector<DriverWakeProperty> ReadWakeProperties(WindowsMachineCalls &calls, const std::string &key)
{
    std::vector<DriverWakeProperty> properties;
    const std::string params = key + "\\Ndi\\Params";
    for (const std::string &keyword : calls.RegistrySubkeys(params).value_or(std::vector<std::string>{})) {
        const std::string described = params + "\\" + keyword;
        DriverWakeProperty property;
        property.keyword = keyword;
        property.name = ReadText(calls, described, "ParamDesc").value_or("");
        if (property.name.empty())
            property.name = keyword;
        if (!ConcernsWake(property.keyword, property.name))
            continue;
        property.value = ReadSetting(calls, key, keyword);
        if (!property.value) {
            property.value = ReadSetting(calls, described, "default");
            property.isDefault = property.value.has_value();
        }
        const std::string choices = described + "\\Enum";
        for (const std::string &choice : calls.RegistryValueNames(choices).value_or(std::vector<std::string>{}))
            property.choices.emplace_back(choice, ReadText(calls, choices, choice).value_or(choice));
        properties.push_back(std::move(property));
    }
    return properties;
}

// The adapter's settings as its Advanced and Power Management tabs show them. An
// advanced property the driver offers but that was never changed has no value of
// its own: the tab shows the default from the driver's Ndi\Params.
void ReadSettings(WindowsMachineCalls &calls, WindowsAdapterFacts &adapter)
{
    const std::string key = std::string(kNetworkAdapterClassKey) + "\\" + adapter.settingsKey;
    std::optional<std::uint32_t> magic = ReadNumber(calls, key, "*WakeOnMagicPacket");
    if (!magic)
        magic = ReadNumber(calls, key + "\\Ndi\\Params\\*WakeOnMagicPacket", "default");
    if (magic)
        adapter.wakeOnMagicPacket = *magic != 0;
    adapter.pnpCapabilities = ReadNumber(calls, key, "PnPCapabilities");
    // Without the value Windows may turn the device off (the default, 0).
    adapter.mayPowerDown = (adapter.pnpCapabilities.value_or(0) & kPnpNoPowerDown) == 0;
    adapter.wakeProperties = ReadWakeProperties(calls, key);
}

class SystemCalls final : public WindowsMachineCalls
{
public:
    ULONG AdaptersAddresses(IP_ADAPTER_ADDRESSES *buffer, ULONG *size) override
    {
        return GetAdaptersAddresses(AF_INET,
                                    GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                    nullptr, buffer, size);
    }

    LSTATUS RegistryValue(const std::string &key, const std::string &name, DWORD flags, DWORD *type, void *data,
                          DWORD *size) override
    {
        return RegGetValueW(HKEY_LOCAL_MACHINE, Wide(key).c_str(), Wide(name).c_str(), flags, type, data, size);
    }

    std::optional<std::vector<std::string>> RegistrySubkeys(const std::string &key) override
    {
        return Names(key, [](HKEY handle, DWORD index, wchar_t *name, DWORD *length) {
            return RegEnumKeyExW(handle, index, name, length, nullptr, nullptr, nullptr, nullptr);
        });
    }

    std::optional<std::vector<std::string>> RegistryValueNames(const std::string &key) override
    {
        return Names(key, [](HKEY handle, DWORD index, wchar_t *name, DWORD *length) {
            return RegEnumValueW(handle, index, name, length, nullptr, nullptr, nullptr, nullptr);
        });
    }

    bool PowerCapabilities(SYSTEM_POWER_CAPABILITIES *capabilities) override
    {
        return GetPwrCapabilities(capabilities) != FALSE;
    }

    // Found at run time: Wine's powrprof.dll has no DevicePowerEnumDevices, and a
    // program that imported it would not start there. The device list is opened
    // once for the whole enumeration, which would otherwise open it for each device.
    std::optional<std::vector<std::string>> PowerDevices(ULONG interpretationFlags, ULONG queryFlags) override
    {
        using Enumerate = BOOLEAN(WINAPI *)(ULONG, ULONG, ULONG, PBYTE, PULONG);
        using Open = BOOLEAN(WINAPI *)(ULONG);
        using Close = BOOLEAN(WINAPI *)();
        const HMODULE powrprof = LoadLibraryExA("powrprof.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (powrprof == nullptr)
            return std::nullopt;
        const auto function = [&](const char *name) {
            return reinterpret_cast<void *>(GetProcAddress(powrprof, name));
        };
        const auto enumerate = reinterpret_cast<Enumerate>(function("DevicePowerEnumDevices"));
        const auto open = reinterpret_cast<Open>(function("DevicePowerOpen"));
        const auto close = reinterpret_cast<Close>(function("DevicePowerClose"));
        std::optional<std::vector<std::string>> names;
        if (enumerate != nullptr && open != nullptr && close != nullptr && open(0)) {
            names.emplace();
            // Each call gives one device, until the index runs past the last.
            for (ULONG index = 0; index < 4096; ++index) {
                wchar_t name[1024] = {};
                ULONG size = sizeof name - sizeof(wchar_t);
                if (!enumerate(index, interpretationFlags, queryFlags, reinterpret_cast<PBYTE>(name), &size))
                    break;
                names->push_back(Utf8(name));
            }
            close();
        }
        FreeLibrary(powrprof);
        return names;
    }
};

} // namespace

std::vector<char> AdapterList(WindowsMachineCalls &calls)
{
    ULONG size = 16 * 1024;
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::vector<char> buffer(size);
        const ULONG result = calls.AdaptersAddresses(reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buffer.data()), &size);
        if (result == ERROR_SUCCESS)
            return buffer;
        if (result != ERROR_BUFFER_OVERFLOW)
            break;
    }
    return {};
}

std::string AdapterName(const IP_ADAPTER_ADDRESSES &adapter)
{
    return Utf8(adapter.FriendlyName);
}

std::optional<MacAddress> AdapterMac(const IP_ADAPTER_ADDRESSES &adapter)
{
    if (adapter.PhysicalAddressLength != std::tuple_size_v<MacAddress>)
        return std::nullopt;
    return MacAt(ByteView(adapter.PhysicalAddress, adapter.PhysicalAddressLength), 0);
}

std::vector<Ipv4Network> AdapterNetworks(const IP_ADAPTER_ADDRESSES &adapter)
{
    std::vector<Ipv4Network> networks;
    for (const IP_ADAPTER_UNICAST_ADDRESS *unicast = adapter.FirstUnicastAddress; unicast; unicast = unicast->Next) {
        const SOCKADDR *address = unicast->Address.lpSockaddr;
        if (address == nullptr || address->sa_family != AF_INET || unicast->OnLinkPrefixLength > 32)
            continue;
        const auto &bytes = reinterpret_cast<const sockaddr_in *>(address)->sin_addr.S_un.S_un_b;
        networks.push_back(Ipv4Network::WithPrefix({bytes.s_b1, bytes.s_b2, bytes.s_b3, bytes.s_b4},
                                                   unicast->OnLinkPrefixLength));
    }
    return networks;
}

WindowsMachineCalls &SystemWindowsMachineCalls()
{
    static SystemCalls calls;
    return calls;
}

std::vector<WindowsAdapterFacts> ReadWindowsAdapters(WindowsMachineCalls &calls)
{
    std::vector<WindowsAdapterFacts> adapters;
    const std::vector<char> list = AdapterList(calls);
    if (list.empty())
        return adapters;
    const std::vector<std::string> subkeys = calls.RegistrySubkeys(kNetworkAdapterClassKey).value_or(
        std::vector<std::string>{});
    // A device Windows does not list among those that can wake at all has no wake
    // setting to be told, whatever its name.
    const auto capable = calls.PowerDevices(DEVICEPOWER_FILTER_DEVICES_PRESENT, kWakeFrom);
    const auto armed = calls.PowerDevices(DEVICEPOWER_FILTER_DEVICES_PRESENT | DEVICEPOWER_FILTER_WAKEENABLED,
                                          kWakeFrom);
    for (auto *entry = reinterpret_cast<const IP_ADAPTER_ADDRESSES *>(list.data()); entry; entry = entry->Next) {
        if (entry->IfType != IF_TYPE_ETHERNET_CSMACD)
            continue;
        WindowsAdapterFacts adapter;
        adapter.link.name = AdapterName(*entry);
        if (const std::optional<MacAddress> mac = AdapterMac(*entry))
            adapter.link.mac = FormatMac(*mac, ':');
        adapter.link.ipv4 = Ipv4Subnets(*entry);
        adapter.link.carrier = entry->OperStatus == IfOperStatusUp;
        adapter.description = Utf8(entry->Description);
        adapter.settingsKey = SettingsKey(calls, subkeys, entry->AdapterName ? entry->AdapterName : "");
        if (!adapter.settingsKey.empty())
            ReadSettings(calls, adapter);
        if (capable && armed && Contains(*capable, adapter.description))
            adapter.wakeArmed = Contains(*armed, adapter.description);
        adapters.push_back(std::move(adapter));
    }
    return adapters;
}

WindowsPower ReadWindowsPower(WindowsMachineCalls &calls)
{
    WindowsPower power;
    if (const std::optional<std::uint32_t> hiberboot = ReadNumber(calls, kSessionPowerKey, "HiberbootEnabled"))
        power.fastStartup = *hiberboot != 0;
    SYSTEM_POWER_CAPABILITIES capabilities{};
    if (calls.PowerCapabilities(&capabilities)) {
        power.capabilitiesKnown = true;
        power.hibernationAvailable = capabilities.SystemS4 && capabilities.HiberFilePresent;
        power.s3 = capabilities.SystemS3;
        power.modernStandby = reinterpret_cast<const BYTE *>(&capabilities)[kAoAcOffset] != 0;
    }
    return power;
}
