#include "windowsreadiness.h"

#include <algorithm>
#include <initializer_list>

namespace {

// A double-quoted PowerShell string: the backtick escapes what would end or expand it.
std::string PowerShellWord(const std::string &word)
{
    std::string quoted = "\"";
    for (const char c : word) {
        if (c == '"' || c == '`' || c == '$')
            quoted += '`';
        quoted += c;
    }
    return quoted + "\"";
}

std::string DeviceManagerPath(const WindowsAdapterFacts &adapter, const std::string &tab)
{
    return "Device Manager > Network adapters > " + adapter.description + " > Properties > " + tab;
}

std::string PnpText(std::uint32_t value)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    do {
        hex.insert(hex.begin(), digits[value % 16]);
        value /= 16;
    } while (value != 0);
    return "0x" + hex;
}

// Sets an advanced property on the Advanced tab, or by its keyword in PowerShell.
std::vector<std::string> AdvancedFix(const WindowsAdapterFacts &adapter, const std::string &name,
                                     const std::string &keyword, const std::pair<std::string, std::string> &choice)
{
    return {DeviceManagerPath(adapter, "Advanced") + ": set \"" + name + "\" to " + choice.second,
            "or in an elevated PowerShell: Set-NetAdapterAdvancedProperty -Name " + PowerShellWord(adapter.link.name)
                + " -RegistryKeyword " + PowerShellWord(keyword) + " -RegistryValue " + choice.first};
}

Reason MagicPacketOff(const WindowsAdapterFacts &adapter)
{
    return {"\"Wake on Magic Packet\" is disabled in the adapter's advanced properties (*WakeOnMagicPacket is 0)",
            AdvancedFix(adapter, "Wake on Magic Packet", "*WakeOnMagicPacket", {"1", "Enabled"})};
}

std::string Lower(std::string text)
{
    for (char &c : text)
        c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    return text;
}

// Whether the keyword or the name holds one of the words (in lower case) in any
// case, or "PME", which only stands for power management events in capitals.
bool Speaks(const std::string &keyword, const std::string &name, std::initializer_list<const char *> words)
{
    for (const std::string &text : {keyword, name}) {
        const std::string lower = Lower(text);
        if (text.find("PME") != std::string::npos
            || std::any_of(words.begin(), words.end(),
                           [&](const char *word) { return lower.find(word) != std::string::npos; }))
            return true;
    }
    return false;
}

// Whether a choice's text turns the property on (true) or off (false), in the
// words the drivers' own English texts use; nothing for other texts.
std::optional<bool> OnOffText(const std::string &text)
{
    const std::string lower = Lower(text);
    if (lower == "enabled" || lower == "enable" || lower == "on")
        return true;
    if (lower == "disabled" || lower == "disable" || lower == "off")
        return false;
    return std::nullopt;
}

const std::string *ChoiceText(const DriverWakeProperty &property, const std::string &value)
{
    for (const auto &[choice, text] : property.choices) {
        if (choice == value)
            return &text;
    }
    return nullptr;
}

// An on/off switch: no choices but a number, or the choices 0 and 1 alone.
bool IsSwitch(const DriverWakeProperty &property)
{
    return std::all_of(property.choices.begin(), property.choices.end(),
                       [](const auto &choice) { return choice.first == "0" || choice.first == "1"; });
}

// The choice that turns the property on: the one whose text says so, else 1.
std::pair<std::string, std::string> OnChoice(const DriverWakeProperty &property)
{
    for (const auto &choice : property.choices) {
        if (OnOffText(choice.second) == true)
            return choice;
    }
    const std::string *one = ChoiceText(property, "1");
    return {"1", one ? *one : "1"};
}

Reason NoWakeFromPowerOff(const WindowsAdapterFacts &adapter, const DriverWakeProperty &property)
{
    return {"\"" + property.name + "\" is " + WakePropertyValue(property)
                + ": the adapter will not wake the machine from shutdown",
            AdvancedFix(adapter, property.name, property.keyword, OnChoice(property))};
}

// The wake setting is greyed out while Windows may not turn the device off, so
// the fix ticks both; the registry's way clears only the two bits that stand for
// them and needs the device restarted before Windows reads the value again.
Reason NoPowerDown(const WindowsAdapterFacts &adapter)
{
    const std::uint32_t value = adapter.pnpCapabilities.value_or(kPnpNoPowerManagement);
    return {"\"Allow the computer to turn off this device to save power\" is off (PnPCapabilities " + PnpText(value)
                + "): Windows then greys out \"Allow this device to wake the computer\" and does not arm the adapter",
            {DeviceManagerPath(adapter, "Power Management")
                 + ": tick \"Allow the computer to turn off this device to save power\", then \"Allow this device to "
                   "wake the computer\"",
             "or, elevated: reg add \"HKLM\\" + std::string(kNetworkAdapterClassKey) + "\\" + adapter.settingsKey
                 + "\" /v PnPCapabilities /t REG_DWORD /d " + std::to_string(value & ~kPnpNoPowerManagement)
                 + " /f, then disable and enable the adapter (or restart) and run: powercfg /deviceenablewake \""
                 + adapter.description + "\""}};
}

Reason NotArmed(const WindowsAdapterFacts &adapter)
{
    return {"the adapter may not wake the computer (\"Allow this device to wake the computer\" is off; "
            "powercfg /devicequery wake_armed does not list it)",
            {"elevated: powercfg /deviceenablewake \"" + adapter.description + "\"",
             "or " + DeviceManagerPath(adapter, "Power Management")
                 + ": tick \"Allow this device to wake the computer\""}};
}

// Microsoft supports waking by LAN from sleep and from a hibernation the user asked
// for, not from the hybrid shutdown that Fast Startup makes of "Shut down": Windows
// leaves the adapter unarmed there. The fix turns Fast Startup off alone, not
// hibernation with it (powercfg /hibernate off would do both): hibernation is
// a state Windows does arm the adapter for, and hybrid sleep needs it.
Reason FastStartupOn()
{
    return {"Fast Startup is on: \"Shut down\" is then a hybrid shutdown, for which Windows does not arm the adapter "
            "(Microsoft supports Wake on LAN from sleep and hibernation, not from a Fast Startup shutdown)",
            {"Control Panel > Power Options > Choose what the power buttons do > Change settings that are currently "
             "unavailable: untick \"Turn on fast startup (recommended)\"",
             "or, elevated: reg add \"HKLM\\" + std::string(kSessionPowerKey)
                 + "\" /v HiberbootEnabled /t REG_DWORD /d 0 /f"}};
}

} // namespace

bool ConcernsWake(const std::string &keyword, const std::string &name)
{
    return Speaks(keyword, name, {"wake", "wol"});
}

std::string WakePropertyValue(const DriverWakeProperty &property)
{
    if (!property.value)
        return "not set (" + property.keyword + " has no value, and the driver no default)";
    const std::string *text = ChoiceText(property, *property.value);
    const std::string shown = text ? *text + " (" + property.keyword + " " + *property.value
                                   : *property.value + " (" + property.keyword;
    return shown + (property.isDefault ? ", the driver's default)" : ")");
}

bool TurnsOffWakeFromPowerOff(const DriverWakeProperty &property)
{
    // Its own reason says when the standard keyword is off.
    const auto powerOff = {"shutdown", "shut down", "power off", "power-off", "poweroff", "s5"};
    if (!property.value || property.keyword == "*WakeOnMagicPacket"
        || !Speaks(property.keyword, property.name, powerOff))
        return false;
    const std::string *text = ChoiceText(property, *property.value);
    if (const std::optional<bool> on = text ? OnOffText(*text) : std::nullopt)
        return !*on;
    // A text in another language: a switch at 0 is off.
    return IsSwitch(property) && *property.value == "0";
}

InterfaceVerdict JudgeWindowsAdapter(const WindowsAdapterFacts &adapter, const WindowsPower &power)
{
    InterfaceVerdict verdict;
    std::vector<Reason> &reasons = verdict.reasons;
    std::vector<std::string> &notes = verdict.notes;
    if (std::optional<Reason> carrier = CarrierReason(adapter.link))
        reasons.push_back(*carrier);
    if (adapter.wakeOnMagicPacket == false)
        reasons.push_back(MagicPacketOff(adapter));
    for (const DriverWakeProperty &property : adapter.wakeProperties) {
        if (TurnsOffWakeFromPowerOff(property))
            reasons.push_back(NoWakeFromPowerOff(adapter, property));
    }
    // While the device may not be turned off, its wake setting cannot be changed:
    // that reason comes alone, with a fix that arms the adapter too.
    if (adapter.mayPowerDown == false)
        reasons.push_back(NoPowerDown(adapter));
    else if (adapter.wakeArmed == false)
        reasons.push_back(NotArmed(adapter));
    const bool hibernationPossible = power.hibernationAvailable || !power.capabilitiesKnown;
    if (power.fastStartup == true && power.capabilitiesKnown && power.hibernationAvailable)
        reasons.push_back(FastStartupOn());
    verdict.ready = reasons.empty();

    if (adapter.settingsKey.empty())
        notes.push_back("the adapter's settings were not found under HKLM\\" + std::string(kNetworkAdapterClassKey)
                        + ": \"Wake on Magic Packet\" and its power management could not be checked");
    else if (!adapter.wakeOnMagicPacket)
        notes.push_back("the driver shows no \"Wake on Magic Packet\" property: the adapter may wake on magic packets "
                        "anyway, or not at all; its Advanced tab may have a setting of the vendor's own name for it");
    if (adapter.mayPowerDown != false && !adapter.wakeArmed)
        notes.push_back("whether the adapter may wake the computer could not be told: powercfg /devicequery wake_armed "
                        "lists the devices that may");
    if (power.fastStartup == true && !power.capabilitiesKnown)
        notes.push_back("Fast Startup is on, and whether hibernation is available could not be told: if it is, "
                        "\"Shut down\" leaves the adapter unarmed; turn Fast Startup off (Control Panel > Power "
                        "Options > Choose what the power buttons do)");
    if (!power.fastStartup && hibernationPossible)
        notes.push_back("whether Fast Startup is on could not be told (no HiberbootEnabled value): if it is, "
                        "\"Shut down\" leaves the adapter unarmed");
    for (std::string &note : AddressNotes(adapter.link))
        notes.push_back(std::move(note));
    return verdict;
}

std::vector<std::string> PowerNotes(const WindowsPower &power)
{
    std::vector<std::string> notes;
    if (!power.capabilitiesKnown)
        notes.push_back("the machine's sleep states could not be read (GetPwrCapabilities failed)");
    else if (power.modernStandby && !power.s3)
        notes.push_back("this machine sleeps in Modern Standby (S0 low power idle), not S3: a magic packet does not "
                        "wake most such machines from sleep; waking from hibernation or shutdown may still work");
    else if (!power.s3 && !power.hibernationAvailable)
        notes.push_back("the machine offers neither sleep (S3) nor hibernation: only a machine that is shut down can "
                        "be woken");
    notes.push_back("waking from shutdown also needs Wake-on-LAN (or power on by PCI-E) allowed in the firmware "
                    "setup, which this check cannot see; Microsoft does not support waking from a full shutdown (S5), "
                    "though many machines do wake from it");
    return notes;
}
