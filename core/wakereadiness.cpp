#include "wakereadiness.h"

#include <algorithm>
#include <string_view>

namespace {

bool HasMagic(const std::optional<std::string> &letters)
{
    return letters && letters->find('g') != std::string::npos;
}

bool Contains(const std::vector<std::string> &list, const std::string &item)
{
    return std::find(list.begin(), list.end(), item) != list.end();
}

// As a POSIX shell reads it, quoted only where it has to be.
std::string ShellWord(const std::string &word)
{
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
               || std::string_view("-_./:@%+=,").find(c) != std::string_view::npos;
    });
    if (plain)
        return word;
    std::string quoted = "'";
    for (const char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::vector<std::string> TurnOffFix(const BootSetting &setting, const std::string &name)
{
    const std::string change = "in " + BootPlace(setting) + ", change " + setting.setting + " to ";
    switch (setting.source) {
    case BootSetting::Source::LinkFile:
        return {"in the [Link] section of " + setting.where
                + " (for a file under /usr/lib, in a copy of it in /etc/systemd/network), set WakeOnLan=magic"};
    case BootSetting::Source::UdevRule:
        return {change + "wol g, then: sudo udevadm control --reload"};
    case BootSetting::Source::NetworkManager:
        return {"sudo nmcli connection modify " + ShellWord(setting.name.empty() ? setting.where : setting.name)
                + " 802-3-ethernet.wake-on-lan magic"};
    case BootSetting::Source::Netplan:
        return {"in " + setting.where + ", give " + name + " under network.ethernets the line wakeonlan: true, then: "
                "sudo netplan apply"};
    case BootSetting::Source::Ifupdown:
        if (setting.wakesOnMagic.has_value())
            return {change + (setting.setting.find("ethtool ") != std::string::npos ? "wol g" : "ethernet-wol g")};
        return {"add the line \"ethernet-wol g\" to the iface " + name + " stanza of " + setting.where};
    case BootSetting::Source::SystemdUnit:
        return {change + "wol g, then: sudo systemctl daemon-reload"};
    case BootSetting::Source::Tlp:
        return {"set WOL_DISABLE=N in /etc/tlp.conf, then: sudo tlp start"};
    }
    return {};
}

// What makes the setting survive a reboot where nothing sets it yet: the tool
// that already manages the interface, else a .link file of its own.
std::vector<std::string> KeepFix(const InterfaceFacts &facts)
{
    for (const BootSetting::Source manager :
         {BootSetting::Source::NetworkManager, BootSetting::Source::Netplan, BootSetting::Source::Ifupdown}) {
        for (const BootSetting &setting : facts.boot) {
            if (setting.source != manager || setting.wakesOnMagic.has_value())
                continue;
            // netplan leaves it only where NetworkManager's default does, or where it writes nothing.
            if (manager == BootSetting::Source::Netplan && setting.followsNetworkManagerDefault)
                return {"create /etc/NetworkManager/conf.d/50-wake-on-lan.conf with:", "[connection]",
                        "ethernet.wake-on-lan=magic"};
            if (manager != BootSetting::Source::Netplan)
                return TurnOffFix(setting, facts.name);
        }
    }
    // A .link file that matches is the only one udev applies to the interface, so
    // it carries the default file's naming too.
    return {"create /etc/systemd/network/50-wake-" + facts.name + ".link with:",
            "[Match]",
            "MACAddress=" + facts.permanentMac.value_or(facts.mac),
            "[Link]",
            "NamePolicy=kernel database onboard slot path",
            "MACAddressPolicy=persistent",
            "WakeOnLan=magic"};
}

const std::vector<std::string> kNoFix = {
    "none on this machine: wake it through an interface whose card and driver support Wake-on by magic packet"};

} // namespace

std::string BootSourceName(BootSetting::Source source)
{
    switch (source) {
    case BootSetting::Source::LinkFile:
        return "systemd .link file";
    case BootSetting::Source::UdevRule:
        return "udev rule";
    case BootSetting::Source::SystemdUnit:
        return "systemd unit";
    case BootSetting::Source::NetworkManager:
        return "NetworkManager";
    case BootSetting::Source::Netplan:
        return "netplan";
    case BootSetting::Source::Ifupdown:
        return "ifupdown";
    case BootSetting::Source::Tlp:
        return "TLP";
    }
    return {};
}

std::optional<std::size_t> DecidingBootSetting(const std::vector<BootSetting> &boot)
{
    for (std::size_t i = boot.size(); i > 0; --i) {
        if (boot[i - 1].wakesOnMagic.has_value())
            return i - 1;
    }
    return std::nullopt;
}

std::string BootPlace(const BootSetting &setting)
{
    return setting.where + (setting.line > 0 ? " line " + std::to_string(setting.line) : std::string());
}

std::string BootEffect(const BootSetting &setting)
{
    if (!setting.wakesOnMagic)
        return "leaves Wake-on as it is";
    return *setting.wakesOnMagic ? "turns Wake-on on for magic packets" : "turns Wake-on by magic packet off";
}

InterfaceVerdict JudgeInterface(const InterfaceFacts &facts)
{
    InterfaceVerdict verdict;
    std::vector<Reason> &reasons = verdict.reasons;
    if (std::optional<Reason> carrier = CarrierReason(facts))
        reasons.push_back(*carrier);
    if (!facts.wakeOnSupported || *facts.wakeOnSupported == "d") {
        reasons.push_back({"the driver offers no Wake-on (ethtool shows no \"Supports Wake-on\")"
                               + (facts.kind.empty() ? std::string() : ": " + facts.kind + " is a virtual interface"),
                           kNoFix});
    } else if (!HasMagic(facts.wakeOnSupported)) {
        reasons.push_back({"the driver supports Wake-on " + *facts.wakeOnSupported + " but not by magic packet (g)",
                           kNoFix});
    } else {
        if (!HasMagic(facts.wakeOnEnabled))
            reasons.push_back(
                {"Wake-on by magic packet is off now (Wake-on: " + facts.wakeOnEnabled.value_or("d") + ")",
                 {"sudo ethtool -s " + facts.name + " wol g"}});
        if (facts.deviceWakeup == false)
            reasons.push_back({"the device may not wake the system (power/wakeup is disabled)",
                               {"echo enabled | sudo tee /sys/class/net/" + facts.name + "/device/power/wakeup"}});
        // The last source that turns it on or off decides; one that leaves it changes nothing.
        const std::optional<std::size_t> deciding = DecidingBootSetting(facts.boot);
        for (std::size_t i = 0; deciding && i < *deciding; ++i) {
            const BootSetting &earlier = facts.boot[i];
            if (earlier.wakesOnMagic.has_value() && earlier.wakesOnMagic != facts.boot[*deciding].wakesOnMagic)
                verdict.notes.push_back(BootSourceName(earlier.source) + " " + BootPlace(earlier) + " "
                                        + BootEffect(earlier) + ", but " + BootSourceName(facts.boot[*deciding].source)
                                        + " acts after it and undoes that");
        }
        if (!deciding) {
            reasons.push_back({"nothing turns Wake-on on at boot: after a reboot it is what the driver starts with, "
                               "often off",
                               KeepFix(facts)});
        } else if (const BootSetting &last = facts.boot[*deciding]; last.wakesOnMagic == false) {
            reasons.push_back({BootSourceName(last.source) + " turns Wake-on by magic packet off at every boot ("
                                   + BootPlace(last) + ": " + last.setting + "), acting last",
                               TurnOffFix(last, facts.name)});
        }
    }
    verdict.ready = reasons.empty();

    const std::vector<std::string> addressNotes = AddressNotes(facts);
    verdict.notes.insert(verdict.notes.begin(), addressNotes.begin(), addressNotes.end());
    return verdict;
}

std::optional<Reason> CarrierReason(const InterfaceFacts &facts)
{
    // A virtual interface has no cable; its carrier follows whatever it stands for.
    if (facts.carrier || !facts.kind.empty())
        return std::nullopt;
    return Reason{"no carrier: the cable is unplugged, the other end is off or the interface is down",
                  {"plug the cable in, or switch on the port at the other end"}};
}

std::vector<std::string> AddressNotes(const InterfaceFacts &facts)
{
    std::vector<std::string> notes;
    if (facts.permanentMac)
        notes.push_back("the MAC address was changed: the card may wake on its permanent address " + *facts.permanentMac
                        + " or on the current one " + facts.mac + "; send to both (the wake command does)");
    if (facts.ipv4.empty())
        notes.push_back("no IPv4 address: send from the same network segment, e.g. etherwake -i <interface> "
                        + facts.permanentMac.value_or(facts.mac));
    return notes;
}

std::string WakeCommand(const InterfaceFacts &facts)
{
    std::string command = "wakeonlan";
    const auto subnet = std::find_if(facts.ipv4.begin(), facts.ipv4.end(),
                                     [](const Ipv4Subnet &s) { return !s.broadcast.empty(); });
    if (subnet != facts.ipv4.end())
        command += " -i " + subnet->broadcast;
    if (facts.permanentMac)
        command += " " + *facts.permanentMac;
    return command + " " + facts.mac;
}

std::optional<std::size_t> WakeInterface(const std::vector<InterfaceFacts> &interfaces,
                                         const std::vector<InterfaceVerdict> &verdicts)
{
    const auto first = [&](auto wanted) -> std::optional<std::size_t> {
        for (std::size_t i = 0; i < interfaces.size() && i < verdicts.size(); ++i) {
            if (wanted(interfaces[i], verdicts[i]))
                return i;
        }
        return std::nullopt;
    };
    if (auto found =
            first([](const InterfaceFacts &f, const InterfaceVerdict &v) { return v.ready && !f.ipv4.empty(); }))
        return found;
    if (auto found = first([](const InterfaceFacts &, const InterfaceVerdict &v) { return v.ready; }))
        return found;
    return first([](const InterfaceFacts &f, const InterfaceVerdict &) { return !f.ipv4.empty(); });
}

std::vector<std::string> SleepNotes(const SleepStates &sleep)
{
    std::vector<std::string> notes;
    if (!sleep.states.empty() && !Contains(sleep.states, "mem") && !Contains(sleep.states, "disk"))
        notes.push_back("the kernel offers neither suspend nor hibernation here: only a machine that is shut down "
                        "can be woken");
    if (Contains(sleep.memSleep, "[s2idle]"))
        notes.push_back(Contains(sleep.memSleep, "deep")
                            ? "suspend is s2idle, from which many machines cannot be woken by a magic packet; "
                              "deep is offered: boot with mem_sleep_default=deep"
                            : "suspend is s2idle, from which many machines cannot be woken by a magic packet");
    notes.push_back("waking from shutdown also needs Wake-on-LAN (or power on by PCI-E) allowed in the firmware "
                    "setup, which this check cannot see");
    return notes;
}
