// The wake settings as the readers find them: in this prefix's registry, written
// here for a real adapter, and from stand-ins for the power calls that Wine lacks or
// answers with fixed values. Arguments, from adapter-test: the adapter to use,
// its MAC address, IPv4 subnet and broadcast address.
#include "check.h"
#include "wakesettings.h"

#include <powrprof.h>

#include <string>
#include <tuple>

namespace {

const std::string kClassKey = kNetworkAdapterClassKey;
const std::string kTestKey = "corvalen-test-b", kDecoyKey = "corvalen-test-a";

// The adapter named on the command line, else the first Ethernet adapter, as
// soon as Windows lists it; with its GUID.
struct Adapter
{
    WindowsAdapterFacts facts;
    std::string guid;
};

std::string Narrow(const wchar_t *text)
{
    char narrow[256] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow - 1, nullptr, nullptr);
    return narrow;
}

std::optional<Adapter> FindAdapter(WindowsMachineCalls &calls)
{
    const std::string wanted = TestArgument(0);
    for (const DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(50)) {
        std::vector<char> list(64 * 1024);
        ULONG size = ULONG(list.size());
        auto *first = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(list.data());
        if (calls.AdaptersAddresses(first, &size) != ERROR_SUCCESS)
            continue;
        for (const IP_ADAPTER_ADDRESSES *entry = first; entry; entry = entry->Next) {
            const std::string name = Narrow(entry->FriendlyName);
            if (entry->IfType != IF_TYPE_ETHERNET_CSMACD || (!wanted.empty() && name != wanted))
                continue;
            for (const WindowsAdapterFacts &facts : ReadWindowsAdapters(calls)) {
                if (facts.link.name == name)
                    return Adapter{facts, entry->AdapterName};
            }
        }
    }
    return std::nullopt;
}

Adapter AdapterOrSkip(WindowsMachineCalls &calls)
{
    std::optional<Adapter> adapter = FindAdapter(calls);
    if (!adapter)
        Skip("Windows lists no Ethernet adapter " + TestArgument(0));
    return *adapter;
}

bool Exists(const std::string &key)
{
    HKEY handle = nullptr;
    const bool exists = RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) == ERROR_SUCCESS;
    if (exists)
        RegCloseKey(handle);
    return exists;
}

// Sets a value (text, or a number when text is null), or deletes it when both are absent.
void Write(const std::string &key, const char *name, const char *text, std::optional<DWORD> number = {})
{
    HKEY handle = nullptr;
    if (!CHECK(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                               nullptr) == ERROR_SUCCESS))
        Skip("cannot write " + key + ": an administrator's rights are needed");
    const auto wide = [](const char *utf8) {
        std::wstring text(256, L'\0');
        text.resize(std::size_t(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text.data(), 256)));
        return text;
    };
    if (text)
        RegSetValueExW(handle, wide(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(wide(text).c_str()),
                       DWORD(wide(text).size() * sizeof(wchar_t)));
    else if (number)
        RegSetValueExA(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&*number), sizeof(DWORD));
    else
        RegDeleteValueA(handle, name);
    RegCloseKey(handle);
}

// Removes the keys a run of this test writes, and the class key when the run made it.
void RemoveTestKeys(bool classKeyWasThere)
{
    for (const std::string &key : {kTestKey, kDecoyKey})
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, (kClassKey + "\\" + key).c_str());
    if (!classKeyWasThere)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kClassKey.c_str());
}

// The real calls, with the device power list and the power capabilities stood in for.
struct StandInPower final : WindowsMachineCalls
{
    WindowsMachineCalls &system = SystemWindowsMachineCalls();
    std::optional<std::vector<std::string>> capable, armed;
    std::optional<SYSTEM_POWER_CAPABILITIES> capabilities;

    ULONG AdaptersAddresses(IP_ADAPTER_ADDRESSES *buffer, ULONG *size) override
    {
        return system.AdaptersAddresses(buffer, size);
    }
    LSTATUS RegistryValue(const std::string &key, const std::string &name, DWORD flags, DWORD *type, void *data,
                          DWORD *size) override
    {
        return system.RegistryValue(key, name, flags, type, data, size);
    }
    std::optional<std::vector<std::string>> RegistrySubkeys(const std::string &key) override
    {
        return system.RegistrySubkeys(key);
    }
    std::optional<std::vector<std::string>> RegistryValueNames(const std::string &key) override
    {
        return system.RegistryValueNames(key);
    }
    bool PowerCapabilities(SYSTEM_POWER_CAPABILITIES *out) override
    {
        return capabilities && (*out = *capabilities, true);
    }
    std::optional<std::vector<std::string>> PowerDevices(ULONG interpretation, ULONG) override
    {
        return interpretation & DEVICEPOWER_FILTER_WAKEENABLED ? armed : capable;
    }
};

std::string Flag(const std::optional<bool> &flag)
{
    return flag ? (*flag ? "true" : "false") : "nothing";
}

} // namespace

TEST(AdvancedAndPowerManagementSettingsFromTheRegistry)
{
    const Adapter adapter = AdapterOrSkip(SystemWindowsMachineCalls());
    if (!TestArgument(1).empty()) {
        const InterfaceFacts &link = adapter.facts.link;
        CHECK_EQUAL(link.mac, TestArgument(1));
        CHECK(link.carrier);
        CHECK(link.ipv4.size() == 1);
        CHECK_EQUAL(link.ipv4.at(0).address + "/" + std::to_string(link.ipv4.at(0).prefixLength), TestArgument(2));
        CHECK_EQUAL(link.ipv4.at(0).broadcast, TestArgument(3));
    }
    const bool classKeyWasThere = Exists(kClassKey);
    RemoveTestKeys(true); // what a run that died left behind
    // Another adapter's settings, which must not be taken for this one's.
    Write(kClassKey + "\\" + kDecoyKey, "NetCfgInstanceId", "{00000000-0000-0000-0000-000000000000}");
    Write(kClassKey + "\\" + kDecoyKey, "*WakeOnMagicPacket", "0");
    Write(kClassKey + "\\" + kDecoyKey, "PnPCapabilities", nullptr, 24);
    Write(kClassKey + "\\" + kTestKey, "NetCfgInstanceId", adapter.guid.c_str());

    struct Row
    {
        const char *magic, *magicDefault; // *WakeOnMagicPacket, and the driver's default for it
        std::optional<DWORD> pnp;
        std::optional<bool> wakeOnMagicPacket;
        bool mayPowerDown;
    };
    const Row rows[] = {
        {"1", nullptr, {}, true, true},   {"0", nullptr, 24, false, false}, {nullptr, "1", 280, true, false},
        {nullptr, nullptr, 256, {}, true}, {"0", "1", 16, false, true},
    };
    for (const Row &row : rows) {
        Write(kClassKey + "\\" + kTestKey, "*WakeOnMagicPacket", row.magic);
        Write(kClassKey + "\\" + kTestKey + "\\Ndi\\Params\\*WakeOnMagicPacket", "default", row.magicDefault);
        Write(kClassKey + "\\" + kTestKey, "PnPCapabilities", nullptr, row.pnp);
        std::optional<Adapter> read = FindAdapter(SystemWindowsMachineCalls());
        if (!CHECK(read.has_value()))
            break;
        CHECK_EQUAL(read->facts.settingsKey, kTestKey);
        CHECK_EQUAL(Flag(read->facts.wakeOnMagicPacket), Flag(row.wakeOnMagicPacket));
        CHECK_EQUAL(Flag(read->facts.mayPowerDown), Flag(row.mayPowerDown));
        CHECK_EQUAL(read->facts.pnpCapabilities.value_or(~0u), row.pnp.value_or(~0u));
        // Wine has no DevicePowerEnumDevices: whether the adapter may wake cannot be told.
        if (RunningUnderWine())
            CHECK(!read->facts.wakeArmed);
    }
    RemoveTestKeys(classKeyWasThere);
    CHECK(Exists(kClassKey) == classKeyWasThere);
}

// The driver's Ndi\Params entries (keyword, ParamDesc, default, the enum's choices)
// as Intel's e1d65x64.inf writes them on a German Windows, and the adapter's own value.
TEST(DriverWakePropertiesFromNdiParams)
{
    const Adapter adapter = AdapterOrSkip(SystemWindowsMachineCalls());
    const bool classKeyWasThere = Exists(kClassKey);
    const std::string key = kClassKey + "\\" + kTestKey;
    RemoveTestKeys(true);
    Write(key, "NetCfgInstanceId", adapter.guid.c_str());
    const std::tuple<const char *, const char *, const char *> params[] = {
        {"*WakeOnMagicPacket", "Akt. über Magic Packet", "1"},
        {"EnablePME", "PME aktivieren", "0"},
        {"ReduceSpeedOnPowerDown", "Geschw. beim Abschalten reduzieren", "1"}, // no wake setting
    };
    for (const auto &[keyword, paramDesc, defaultValue] : params) {
        const std::string described = key + "\\Ndi\\Params\\" + keyword;
        Write(described, "ParamDesc", paramDesc);
        Write(described, "default", defaultValue);
        Write(described + "\\Enum", "1", "Aktiviert");
        Write(described + "\\Enum", "0", "Deaktiviert");
    }
    Write(key, "*WakeOnMagicPacket", "0");
    const std::optional<Adapter> read = FindAdapter(SystemWindowsMachineCalls());
    std::vector<std::string> shown;
    for (const DriverWakeProperty &property : read ? read->facts.wakeProperties : std::vector<DriverWakeProperty>{})
        shown.push_back(property.name + ": " + WakePropertyValue(property));
    // Windows lists the keywords in their order, as Wine does.
    const std::vector<std::string> expected = {"Akt. über Magic Packet: Deaktiviert (*WakeOnMagicPacket 0)",
                                               "PME aktivieren: Deaktiviert (EnablePME 0, the driver's default)"};
    CHECK(shown == expected);
    RemoveTestKeys(classKeyWasThere);
}

TEST(FastStartupFromHiberbootEnabled)
{
    DWORD saved = 0, size = sizeof saved;
    const bool wasThere = RegGetValueA(HKEY_LOCAL_MACHINE, kSessionPowerKey, "HiberbootEnabled", RRF_RT_REG_DWORD,
                                       nullptr, &saved, &size) == ERROR_SUCCESS;
    const bool keyWasThere = Exists(kSessionPowerKey);
    const std::pair<std::optional<DWORD>, std::optional<bool>> rows[] = {{1, true}, {0, false}, {{}, {}}};
    for (const auto &[value, fastStartup] : rows) {
        Write(kSessionPowerKey, "HiberbootEnabled", nullptr, value);
        CHECK_EQUAL(Flag(ReadWindowsPower(SystemWindowsMachineCalls()).fastStartup), Flag(fastStartup));
    }
    Write(kSessionPowerKey, "HiberbootEnabled", nullptr, wasThere ? std::optional(saved) : std::nullopt);
    if (!keyWasThere)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSessionPowerKey);
}

// Armed or not only for a device that Windows lists among those that can wake.
TEST(WakeArmedOnlyWhereWindowsCanTell)
{
    StandInPower calls;
    const std::string name = AdapterOrSkip(calls).facts.description;
    std::string otherCase = name;
    for (char &c : otherCase)
        c = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    using Names = std::optional<std::vector<std::string>>;
    const auto list = [](std::initializer_list<std::string> names) { return Names(names); };
    const struct
    {
        Names capable, armed;
        std::optional<bool> wakeArmed;
    } rows[] = {
        {std::nullopt, std::nullopt, std::nullopt},
        {list({"HID-compliant mouse"}), list({}), std::nullopt},
        {list({"HID-compliant mouse", name}), std::nullopt, std::nullopt},
        {list({"HID-compliant mouse", name}), list({"HID-compliant mouse"}), false},
        {list({otherCase}), list({otherCase}), true},
    };
    for (const auto &row : rows) {
        calls.capable = row.capable;
        calls.armed = row.armed;
        CHECK_EQUAL(Flag(AdapterOrSkip(calls).facts.wakeArmed), Flag(row.wakeArmed));
    }
}

TEST(SleepStatesFromThePowerCapabilities)
{
    StandInPower calls;
    struct Row
    {
        bool answers, s3, s4, hiberFile, aoac;
        bool known, sleeps, hibernates, modernStandby;
    };
    const Row rows[] = {
        {false, true, true, true, true, false, false, false, false},
        {true, true, true, true, false, true, true, true, false},
        {true, false, true, false, true, true, false, false, true}, // hibernation turned off: no file
        {true, false, false, false, false, true, false, false, false},
    };
    for (const Row &row : rows) {
        SYSTEM_POWER_CAPABILITIES capabilities{};
        capabilities.SystemS3 = row.s3;
        capabilities.SystemS4 = row.s4;
        capabilities.HiberFilePresent = row.hiberFile;
        reinterpret_cast<BYTE *>(&capabilities)[0x14] = row.aoac; // AoAc, as Windows lays it out
        calls.capabilities = row.answers ? std::optional(capabilities) : std::nullopt;
        const WindowsPower power = ReadWindowsPower(calls);
        CHECK(power.capabilitiesKnown == row.known && power.s3 == row.sleeps
              && power.hibernationAvailable == row.hibernates && power.modernStandby == row.modernStandby);
    }
}
