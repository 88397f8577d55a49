#include "checkreport.h"

#include <algorithm>

namespace {

using nlohmann::json;

json Text(const std::optional<std::string> &text)
{
    return text ? json(*text) : json(nullptr);
}

json Flag(const std::optional<bool> &flag)
{
    return flag ? json(*flag) : json(nullptr);
}

std::string Joined(const std::vector<std::string> &words, const std::string &ifNone)
{
    if (words.empty())
        return ifNone;
    std::string text = words.front();
    for (std::size_t i = 1; i < words.size(); ++i)
        text += ' ' + words[i];
    return text;
}

std::string Ipv4Text(const Ipv4Subnet &subnet)
{
    std::string text = subnet.address + '/' + std::to_string(subnet.prefixLength);
    if (!subnet.broadcast.empty())
        text += ", broadcast " + subnet.broadcast;
    return text;
}

std::string WakeOnText(const InterfaceFacts &facts)
{
    if (!facts.wakeOnSupported)
        return "none (the driver offers no Wake-on)";
    return "supported " + *facts.wakeOnSupported + ", enabled " + facts.wakeOnEnabled.value_or("d");
}

// "TLP /etc/tlp.conf line 4: WOL_DISABLE=Y; turns Wake-on by magic packet off"
std::string BootText(const BootSetting &setting)
{
    return BootSourceName(setting.source) + " " + BootPlace(setting) + ": " + setting.setting + "; "
           + BootEffect(setting);
}

void AddBootLines(std::vector<std::string> &lines, const std::vector<BootSetting> &boot)
{
    const std::optional<std::size_t> deciding = DecidingBootSetting(boot);
    for (std::size_t i = 0; i < boot.size(); ++i) {
        lines.push_back("  At boot: " + BootText(boot[i]) + (deciding == i ? " (acts last: decides)" : ""));
        if (!boot[i].note.empty())
            lines.push_back("    " + boot[i].note);
    }
    if (boot.empty())
        lines.push_back("  At boot: nothing sets Wake-on");
}

json BootJson(const std::vector<BootSetting> &boot)
{
    const std::optional<std::size_t> deciding = DecidingBootSetting(boot);
    json list = json::array();
    for (std::size_t i = 0; i < boot.size(); ++i) {
        const BootSetting &setting = boot[i];
        list.push_back({{"source", BootSourceName(setting.source)},
                        {"where", setting.where},
                        {"line", setting.line > 0 ? json(setting.line) : json(nullptr)},
                        {"setting", setting.setting},
                        {"wakes_on_magic", Flag(setting.wakesOnMagic)},
                        {"effect", !setting.wakesOnMagic ? "leaves" : *setting.wakesOnMagic ? "on" : "off"},
                        {"note", setting.note.empty() ? json(nullptr) : json(setting.note)},
                        {"decides", deciding == i}});
    }
    return list;
}

std::string YesNo(const std::optional<bool> &flag, const char *unknown)
{
    return !flag ? unknown : *flag ? "yes" : "no";
}

int ExitStatus(const std::vector<InterfaceVerdict> &verdicts)
{
    const bool anyReady =
        std::any_of(verdicts.begin(), verdicts.end(), [](const InterfaceVerdict &verdict) { return verdict.ready; });
    return anyReady ? 0 : 1;
}

void AddAddressLines(std::vector<std::string> &lines, const InterfaceFacts &facts)
{
    for (const Ipv4Subnet &subnet : facts.ipv4)
        lines.push_back("  IPv4: " + Ipv4Text(subnet));
    if (facts.ipv4.empty())
        lines.push_back("  IPv4: none");
    lines.push_back(std::string("  Carrier: ") + (facts.carrier ? "yes" : "no"));
}

void AddVerdictLines(std::vector<std::string> &lines, const InterfaceVerdict &verdict)
{
    for (const Reason &reason : verdict.reasons) {
        lines.push_back("  Not ready: " + reason.text);
        for (std::size_t f = 0; f < reason.fix.size(); ++f)
            lines.push_back((f == 0 ? "    Fix: " : "         ") + reason.fix[f]);
    }
    for (const std::string &note : verdict.notes)
        lines.push_back("  Note: " + note);
}

std::string WakeLine(const std::vector<InterfaceFacts> &interfaces, const std::vector<InterfaceVerdict> &verdicts)
{
    const std::optional<std::size_t> wake = WakeInterface(interfaces, verdicts);
    if (!wake)
        return "No interface to wake this machine through.";
    const std::string command = WakeCommand(interfaces[*wake]);
    return verdicts[*wake].ready
        ? "Wake this machine from another one: " + command
        : "Once " + interfaces[*wake].name + " is ready, wake this machine from another one: " + command;
}

json Ipv4Json(const InterfaceFacts &facts)
{
    json ipv4 = json::array();
    for (const Ipv4Subnet &subnet : facts.ipv4)
        ipv4.push_back({{"address", subnet.address},
                        {"prefix_length", subnet.prefixLength},
                        {"broadcast", subnet.broadcast.empty() ? json(nullptr) : json(subnet.broadcast)}});
    return ipv4;
}

json ReasonsJson(const InterfaceVerdict &verdict)
{
    json reasons = json::array();
    for (const Reason &reason : verdict.reasons)
        reasons.push_back({{"text", reason.text}, {"fix", reason.fix}});
    return reasons;
}

void AddWakeJson(json &object, const std::vector<InterfaceFacts> &interfaces,
                 const std::vector<InterfaceVerdict> &verdicts)
{
    const std::optional<std::size_t> wake = WakeInterface(interfaces, verdicts);
    object["wake_interface"] = wake ? json(interfaces[*wake].name) : json(nullptr);
    object["wake_command"] = wake ? json(WakeCommand(interfaces[*wake])) : json(nullptr);
}

} // namespace

CheckReport JudgeMachine(std::vector<InterfaceFacts> interfaces, SleepStates sleep)
{
    CheckReport report{std::move(interfaces), {}, std::move(sleep)};
    for (const InterfaceFacts &facts : report.interfaces)
        report.verdicts.push_back(JudgeInterface(facts));
    return report;
}

int CheckExitStatus(const CheckReport &report)
{
    return ExitStatus(report.verdicts);
}

std::vector<std::string> CheckLines(const CheckReport &report)
{
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < report.interfaces.size(); ++i) {
        const InterfaceFacts &facts = report.interfaces[i];
        const InterfaceVerdict &verdict = report.verdicts[i];
        lines.push_back(facts.name + (facts.kind.empty() ? std::string() : " (" + facts.kind + ")")
                        + (verdict.ready ? ": ready" : ": not ready"));
        lines.push_back("  MAC: " + facts.mac
                        + (facts.permanentMac ? " (permanent: " + *facts.permanentMac + ")" : std::string()));
        AddAddressLines(lines, facts);
        lines.push_back("  Wake-on: " + WakeOnText(facts));
        lines.push_back(std::string("  Device wakeup: ")
                        + (!facts.deviceWakeup ? "none" : *facts.deviceWakeup ? "enabled" : "disabled"));
        AddBootLines(lines, facts.boot);
        AddVerdictLines(lines, verdict);
    }
    if (report.interfaces.empty())
        lines.push_back("No wired Ethernet interface.");
    lines.push_back("Sleep states: " + Joined(report.sleep.states, "unknown") + "; suspend: "
                    + Joined(report.sleep.memSleep, "unknown"));
    for (const std::string &note : SleepNotes(report.sleep))
        lines.push_back("Note: " + note);
    lines.push_back(WakeLine(report.interfaces, report.verdicts));
    return lines;
}

json CheckJson(const CheckReport &report)
{
    json interfaces = json::array();
    for (std::size_t i = 0; i < report.interfaces.size(); ++i) {
        const InterfaceFacts &facts = report.interfaces[i];
        const InterfaceVerdict &verdict = report.verdicts[i];
        interfaces.push_back({
            {"name", facts.name},
            {"mac", facts.mac},
            {"permanent_mac", Text(facts.permanentMac)},
            {"kind", facts.kind.empty() ? json(nullptr) : json(facts.kind)},
            {"ipv4", Ipv4Json(facts)},
            {"carrier", facts.carrier},
            {"wake_on", {{"supported", Text(facts.wakeOnSupported)}, {"enabled", Text(facts.wakeOnEnabled)}}},
            {"device_wakeup", Flag(facts.deviceWakeup)},
            {"boot", BootJson(facts.boot)},
            {"ready", verdict.ready},
            {"reasons", ReasonsJson(verdict)},
            {"notes", verdict.notes},
            {"wake_command", WakeCommand(facts)},
        });
    }
    json object = {
        {"ready", CheckExitStatus(report) == 0},
        {"interfaces", interfaces},
        {"sleep", {{"states", report.sleep.states},
                   {"mem_sleep", report.sleep.memSleep},
                   {"notes", SleepNotes(report.sleep)}}},
    };
    AddWakeJson(object, report.interfaces, report.verdicts);
    return object;
}

namespace {

std::vector<InterfaceFacts> Links(const WindowsCheckReport &report)
{
    std::vector<InterfaceFacts> links;
    for (const WindowsAdapterFacts &adapter : report.adapters)
        links.push_back(adapter.link);
    return links;
}

std::string PowerLine(const WindowsPower &power)
{
    std::string line = "Fast Startup: " + std::string(!power.fastStartup ? "unknown" : *power.fastStartup ? "on" : "off");
    if (!power.capabilitiesKnown)
        return line + "; sleep states: unknown";
    line += std::string("; hibernation: ") + (power.hibernationAvailable ? "available" : "not available");
    std::string sleep;
    if (power.s3)
        sleep = "S3";
    if (power.modernStandby)
        sleep += sleep.empty() ? "Modern Standby (S0 low power idle)" : " and Modern Standby (S0 low power idle)";
    return line + "; sleep: " + (sleep.empty() ? "none" : sleep);
}

} // namespace

WindowsCheckReport JudgeMachine(std::vector<WindowsAdapterFacts> adapters, WindowsPower power)
{
    WindowsCheckReport report{std::move(adapters), {}, power};
    for (const WindowsAdapterFacts &adapter : report.adapters)
        report.verdicts.push_back(JudgeWindowsAdapter(adapter, report.power));
    return report;
}

int CheckExitStatus(const WindowsCheckReport &report)
{
    return ExitStatus(report.verdicts);
}

std::vector<std::string> CheckLines(const WindowsCheckReport &report)
{
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < report.adapters.size(); ++i) {
        const WindowsAdapterFacts &adapter = report.adapters[i];
        const InterfaceVerdict &verdict = report.verdicts[i];
        lines.push_back(adapter.link.name + (verdict.ready ? ": ready" : ": not ready"));
        if (!adapter.description.empty())
            lines.push_back("  Device: " + adapter.description);
        lines.push_back("  MAC: " + adapter.link.mac);
        AddAddressLines(lines, adapter.link);
        lines.push_back("  Wake on Magic Packet: "
                        + std::string(!adapter.wakeOnMagicPacket ? "not offered by the driver"
                                      : *adapter.wakeOnMagicPacket ? "enabled"
                                                                   : "disabled"));
        for (const DriverWakeProperty &property : adapter.wakeProperties)
            lines.push_back("  Advanced property \"" + property.name + "\": " + WakePropertyValue(property));
        lines.push_back("  Allow this device to wake the computer: " + YesNo(adapter.wakeArmed, "cannot be told"));
        lines.push_back("  Allow the computer to turn off this device: " + YesNo(adapter.mayPowerDown, "cannot be told"));
        AddVerdictLines(lines, verdict);
    }
    if (report.adapters.empty())
        lines.push_back("No wired Ethernet adapter.");
    lines.push_back(PowerLine(report.power));
    for (const std::string &note : PowerNotes(report.power))
        lines.push_back("Note: " + note);
    lines.push_back(WakeLine(Links(report), report.verdicts));
    return lines;
}

json CheckJson(const WindowsCheckReport &report)
{
    json adapters = json::array();
    for (std::size_t i = 0; i < report.adapters.size(); ++i) {
        const WindowsAdapterFacts &adapter = report.adapters[i];
        const InterfaceVerdict &verdict = report.verdicts[i];
        json properties = json::array();
        for (const DriverWakeProperty &property : adapter.wakeProperties)
            properties.push_back({{"keyword", property.keyword},
                                  {"name", property.name},
                                  {"value", Text(property.value)},
                                  {"driver_default", property.isDefault},
                                  {"shown", WakePropertyValue(property)}});
        adapters.push_back({
            {"name", adapter.link.name},
            {"description", adapter.description},
            {"mac", adapter.link.mac},
            {"ipv4", Ipv4Json(adapter.link)},
            {"carrier", adapter.link.carrier},
            {"settings_key", adapter.settingsKey.empty() ? json(nullptr) : json(adapter.settingsKey)},
            {"wake_on_magic_packet", Flag(adapter.wakeOnMagicPacket)},
            {"wake_properties", properties},
            {"wake_armed", Flag(adapter.wakeArmed)},
            {"may_power_down", Flag(adapter.mayPowerDown)},
            {"pnp_capabilities", adapter.pnpCapabilities ? json(*adapter.pnpCapabilities) : json(nullptr)},
            {"ready", verdict.ready},
            {"reasons", ReasonsJson(verdict)},
            {"notes", verdict.notes},
            {"wake_command", WakeCommand(adapter.link)},
        });
    }
    const WindowsPower &power = report.power;
    const auto known = [&](bool flag) { return power.capabilitiesKnown ? json(flag) : json(nullptr); };
    json object = {
        {"ready", CheckExitStatus(report) == 0},
        {"interfaces", adapters},
        {"power", {{"fast_startup", Flag(power.fastStartup)},
                   {"hibernation", known(power.hibernationAvailable)},
                   {"s3", known(power.s3)},
                   {"modern_standby", known(power.modernStandby)},
                   {"notes", PowerNotes(power)}}},
    };
    AddWakeJson(object, Links(report), report.verdicts);
    return object;
}
