#include "checkreport.h"

#include <QJsonArray>

#include <algorithm>

namespace {

QString Q(const std::string &text)
{
    return QString::fromStdString(text);
}

QJsonValue Text(const std::optional<std::string> &text)
{
    return text ? QJsonValue(Q(*text)) : QJsonValue(QJsonValue::Null);
}

QJsonValue Flag(const std::optional<bool> &flag)
{
    return flag ? QJsonValue(*flag) : QJsonValue(QJsonValue::Null);
}

QJsonArray Texts(const std::vector<std::string> &texts)
{
    QJsonArray array;
    for (const std::string &text : texts)
        array.append(Q(text));
    return array;
}

QString Ipv4Text(const Ipv4Subnet &subnet)
{
    QString text = QStringLiteral("%1/%2").arg(Q(subnet.address)).arg(subnet.prefixLength);
    if (!subnet.broadcast.empty())
        text += QStringLiteral(", broadcast ") + Q(subnet.broadcast);
    return text;
}

QString WakeOnText(const InterfaceFacts &facts)
{
    if (!facts.wakeOnSupported)
        return QStringLiteral("none (the driver offers no Wake-on)");
    return QStringLiteral("supported %1, enabled %2")
        .arg(Q(*facts.wakeOnSupported), Q(facts.wakeOnEnabled.value_or("d")));
}

QString BootText(const BootSetting &setting)
{
    return Q(BootSourceName(setting.source) + " " + setting.where + ": " + setting.setting);
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

QStringList CheckLines(const CheckReport &report)
{
    QStringList lines;
    for (std::size_t i = 0; i < report.interfaces.size(); ++i) {
        const InterfaceFacts &facts = report.interfaces[i];
        const InterfaceVerdict &verdict = report.verdicts[i];
        lines << Q(facts.name) + (facts.kind.empty() ? QString() : QStringLiteral(" (%1)").arg(Q(facts.kind)))
                     + (verdict.ready ? QStringLiteral(": ready") : QStringLiteral(": not ready"));
        lines << QStringLiteral("  MAC: ") + Q(facts.mac)
                     + (facts.permanentMac ? QStringLiteral(" (permanent: %1)").arg(Q(*facts.permanentMac))
                                           : QString());
        for (const Ipv4Subnet &subnet : facts.ipv4)
            lines << QStringLiteral("  IPv4: ") + Ipv4Text(subnet);
        if (facts.ipv4.empty())
            lines << QStringLiteral("  IPv4: none");
        lines << QStringLiteral("  Carrier: ") + (facts.carrier ? QStringLiteral("yes") : QStringLiteral("no"));
        lines << QStringLiteral("  Wake-on: ") + WakeOnText(facts);
        lines << QStringLiteral("  Device wakeup: ")
                     + (!facts.deviceWakeup ? QStringLiteral("none")
                                            : *facts.deviceWakeup ? QStringLiteral("enabled")
                                                                  : QStringLiteral("disabled"));
        for (const BootSetting &setting : facts.boot)
            lines << QStringLiteral("  At boot: ") + BootText(setting);
        if (facts.boot.empty())
            lines << QStringLiteral("  At boot: nothing sets Wake-on");
        for (const Reason &reason : verdict.reasons) {
            lines << QStringLiteral("  Not ready: ") + Q(reason.text);
            for (std::size_t f = 0; f < reason.fix.size(); ++f)
                lines << (f == 0 ? QStringLiteral("    Fix: ") : QStringLiteral("         ")) + Q(reason.fix[f]);
        }
        for (const std::string &note : verdict.notes)
            lines << QStringLiteral("  Note: ") + Q(note);
    }
    if (report.interfaces.empty())
        lines << QStringLiteral("No wired Ethernet interface.");
    QStringList states;
    for (const std::string &state : report.sleep.states)
        states << Q(state);
    QStringList memSleep;
    for (const std::string &state : report.sleep.memSleep)
        memSleep << Q(state);
    lines << QStringLiteral("Sleep states: %1; suspend: %2")
                 .arg(states.isEmpty() ? QStringLiteral("unknown") : states.join(QLatin1Char(' ')),
                      memSleep.isEmpty() ? QStringLiteral("unknown") : memSleep.join(QLatin1Char(' ')));
    for (const std::string &note : SleepNotes(report.sleep))
        lines << QStringLiteral("Note: ") + Q(note);
    if (const std::optional<std::size_t> wake = WakeIndex(report)) {
        const QString command = Q(WakeCommand(report.interfaces[*wake]));
        lines << (report.verdicts[*wake].ready
                      ? QStringLiteral("Wake this machine from another one: ") + command
                      : QStringLiteral("Once %1 is ready, wake this machine from another one: %2")
                            .arg(Q(report.interfaces[*wake].name), command));
    } else {
        lines << QStringLiteral("No interface to wake this machine through.");
    }
    return lines;
}

QJsonObject CheckJson(const CheckReport &report)
{
    QJsonArray interfaces;
    for (std::size_t i = 0; i < report.interfaces.size(); ++i) {
        const InterfaceFacts &facts = report.interfaces[i];
        const InterfaceVerdict &verdict = report.verdicts[i];
        QJsonArray ipv4;
        for (const Ipv4Subnet &subnet : facts.ipv4)
            ipv4.append(QJsonObject{{"address", Q(subnet.address)},
                                    {"prefix_length", subnet.prefixLength},
                                    {"broadcast", subnet.broadcast.empty() ? QJsonValue(QJsonValue::Null)
                                                                           : QJsonValue(Q(subnet.broadcast))}});
        QJsonArray boot;
        for (const BootSetting &setting : facts.boot)
            boot.append(QJsonObject{{"source", Q(BootSourceName(setting.source))},
                                    {"where", Q(setting.where)},
                                    {"setting", Q(setting.setting)},
                                    {"wakes_on_magic", Flag(setting.wakesOnMagic)}});
        QJsonArray reasons;
        for (const Reason &reason : verdict.reasons)
            reasons.append(QJsonObject{{"text", Q(reason.text)}, {"fix", Texts(reason.fix)}});
        interfaces.append(QJsonObject{
            {"name", Q(facts.name)},
            {"mac", Q(facts.mac)},
            {"permanent_mac", Text(facts.permanentMac)},
            {"kind", facts.kind.empty() ? QJsonValue(QJsonValue::Null) : QJsonValue(Q(facts.kind))},
            {"ipv4", ipv4},
            {"carrier", facts.carrier},
            {"wake_on",
             QJsonObject{{"supported", Text(facts.wakeOnSupported)}, {"enabled", Text(facts.wakeOnEnabled)}}},
            {"device_wakeup", Flag(facts.deviceWakeup)},
            {"boot", boot},
            {"ready", verdict.ready},
            {"reasons", reasons},
            {"notes", Texts(verdict.notes)},
            {"wake_command", Q(WakeCommand(facts))},
        });
    }
    const std::optional<std::size_t> wake = WakeIndex(report);
    return QJsonObject{
        {"ready", CheckExitStatus(report) == 0},
        {"interfaces", interfaces},
        {"sleep", QJsonObject{{"states", Texts(report.sleep.states)},
                              {"mem_sleep", Texts(report.sleep.memSleep)},
                              {"notes", Texts(SleepNotes(report.sleep))}}},
        {"wake_interface", wake ? QJsonValue(Q(report.interfaces[*wake].name)) : QJsonValue(QJsonValue::Null)},
        {"wake_command", wake ? QJsonValue(Q(WakeCommand(report.interfaces[*wake]))) : QJsonValue(QJsonValue::Null)},
    };
}
