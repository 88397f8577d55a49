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

std::string BootText(const BootSetting &setting)
{
    return BootSourceName(setting.source) + " " + setting.where + ": " + setting.setting;
}

std::optional<std::size_t> WakeIndex(const CheckReport &report)
{
    return WakeInterface(report.interfaces, report.verdicts);
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
    const bool anyReady = std::any_of(report.verdicts.begin(), report.verdicts.end(),
                                      [](const InterfaceVerdict &verdict) { return verdict.ready; });
    return anyReady ? 0 : 1;
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
        for (const Ipv4Subnet &subnet : facts.ipv4)
            lines.push_back("  IPv4: " + Ipv4Text(subnet));
        if (facts.ipv4.empty())
            lines.push_back("  IPv4: none");
        lines.push_back(std::string("  Carrier: ") + (facts.carrier ? "yes" : "no"));
        lines.push_back("  Wake-on: " + WakeOnText(facts));
        lines.push_back(std::string("  Device wakeup: ")
                        + (!facts.deviceWakeup ? "none" : *facts.deviceWakeup ? "enabled" : "disabled"));
        for (const BootSetting &setting : facts.boot)
            lines.push_back("  At boot: " + BootText(setting));
        if (facts.boot.empty())
            lines.push_back("  At boot: nothing sets Wake-on");
        for (const Reason &reason : verdict.reasons) {
            lines.push_back("  Not ready: " + reason.text);
            for (std::size_t f = 0; f < reason.fix.size(); ++f)
                lines.push_back((f == 0 ? "    Fix: " : "         ") + reason.fix[f]);
        }
        for (const std::string &note : verdict.notes)
            lines.push_back("  Note: " + note);
    }
    if (report.interfaces.empty())
        lines.push_back("No wired Ethernet interface.");
    lines.push_back("Sleep states: " + Joined(report.sleep.states, "unknown") + "; suspend: "
                    + Joined(report.sleep.memSleep, "unknown"));
    for (const std::string &note : SleepNotes(report.sleep))
        lines.push_back("Note: " + note);
    if (const std::optional<std::size_t> wake = WakeIndex(report)) {
        const std::string command = WakeCommand(report.interfaces[*wake]);
        lines.push_back(report.verdicts[*wake].ready
                            ? "Wake this machine from another one: " + command
                            : "Once " + report.interfaces[*wake].name + " is ready, wake this machine from another one: "
                                  + command);
    } else {
        lines.push_back("No interface to wake this machine through.");
    }
    return lines;
}

json CheckJson(const CheckReport &report)
{
    json interfaces = json::array();
    for (std::size_t i = 0; i < report.interfaces.size(); ++i) {
        const InterfaceFacts &facts = report.interfaces[i];
        const InterfaceVerdict &verdict = report.verdicts[i];
        json ipv4 = json::array();
        for (const Ipv4Subnet &subnet : facts.ipv4)
            ipv4.push_back({{"address", subnet.address},
                            {"prefix_length", subnet.prefixLength},
                            {"broadcast", subnet.broadcast.empty() ? json(nullptr) : json(subnet.broadcast)}});
        json boot = json::array();
        for (const BootSetting &setting : facts.boot)
            boot.push_back({{"source", BootSourceName(setting.source)},
                            {"where", setting.where},
                            {"setting", setting.setting},
                            {"wakes_on_magic", Flag(setting.wakesOnMagic)}});
        json reasons = json::array();
        for (const Reason &reason : verdict.reasons)
            reasons.push_back({{"text", reason.text}, {"fix", reason.fix}});
        interfaces.push_back({
            {"name", facts.name},
            {"mac", facts.mac},
            {"permanent_mac", Text(facts.permanentMac)},
            {"kind", facts.kind.empty() ? json(nullptr) : json(facts.kind)},
            {"ipv4", ipv4},
            {"carrier", facts.carrier},
            {"wake_on", {{"supported", Text(facts.wakeOnSupported)}, {"enabled", Text(facts.wakeOnEnabled)}}},
            {"device_wakeup", Flag(facts.deviceWakeup)},
            {"boot", boot},
            {"ready", verdict.ready},
            {"reasons", reasons},
            {"notes", verdict.notes},
            {"wake_command", WakeCommand(facts)},
        });
    }
    const std::optional<std::size_t> wake = WakeIndex(report);
    return {
        {"ready", CheckExitStatus(report) == 0},
        {"interfaces", interfaces},
        {"sleep", {{"states", report.sleep.states},
                   {"mem_sleep", report.sleep.memSleep},
                   {"notes", SleepNotes(report.sleep)}}},
        {"wake_interface", wake ? json(report.interfaces[*wake].name) : json(nullptr)},
        {"wake_command", wake ? json(WakeCommand(report.interfaces[*wake])) : json(nullptr)},
    };
}
