// NetworkManager's profiles: the active one through nmcli, else the keyfile it would activate.

#include "bootsources.h"

#include <QRegularExpression>

using namespace BootSources;

namespace {

struct NmProfile
{
    QString file;
    QString id;
    std::optional<IniEntry> wake;
    int rank = 0; // 2 names the interface or its address, 1 any Ethernet device, 0 not this one
};

NmProfile ReadNmProfile(const QString &root, const QString &file, const DeviceFacts &device)
{
    NmProfile profile{file, {}, {}, 0};
    bool ethernet = false;
    std::optional<bool> named;
    for (const IniEntry &entry : IniEntries(FileText(root, file).value_or(QByteArray()))) {
        const bool wired = entry.section == QLatin1String("ethernet") || entry.section == QLatin1String("802-3-ethernet");
        if (entry.section == QLatin1String("connection") && entry.key == QLatin1String("id"))
            profile.id = entry.value;
        else if (entry.section == QLatin1String("connection") && entry.key == QLatin1String("type"))
            ethernet = entry.value == QLatin1String("ethernet") || entry.value == QLatin1String("802-3-ethernet");
        else if (entry.section == QLatin1String("connection") && entry.key == QLatin1String("interface-name"))
            named = named.value_or(true) && entry.value.toStdString() == device.link.name;
        else if (wired && entry.key == QLatin1String("mac-address"))
            named = named.value_or(true) && HasMac(device.link, entry.value);
        else if (wired && entry.key == QLatin1String("wake-on-lan"))
            profile.wake = entry;
    }
    profile.rank = !ethernet || named == false ? 0 : named ? 2 : 1;
    return profile;
}

} // namespace

std::vector<BootSetting> BootSources::NetworkManagerSettings(const QString &root, CommandRunner &runner,
                                                             const DeviceFacts &device)
{
    const LinkIdentity &link = device.link;
    const std::optional<QByteArray> active = runner.Run(
        QStringLiteral("nmcli"), {QStringLiteral("-g"), QStringLiteral("GENERAL.CONNECTION"), QStringLiteral("device"),
                                  QStringLiteral("show"), QString::fromStdString(link.name)});
    // -g escapes the colon and the backslash.
    QString connection = QString::fromUtf8(active.value_or(QByteArray())).trimmed();
    connection.replace(QRegularExpression(QStringLiteral("\\\\(.)")), QStringLiteral("\\1"));
    if (connection == QLatin1String("--"))
        connection.clear();

    // The active profile's keyfile, else the keyfile NetworkManager would activate on it.
    std::optional<NmProfile> chosen;
    for (const QString &file : MaskedFiles(root,
                                           {QStringLiteral("/etc/NetworkManager/system-connections"),
                                            QStringLiteral("/run/NetworkManager/system-connections"),
                                            QStringLiteral("/usr/lib/NetworkManager/system-connections")},
                                           QStringLiteral("*"))) {
        const NmProfile profile = ReadNmProfile(root, file, device);
        const bool better = connection.isEmpty() ? profile.rank > (chosen ? chosen->rank : 0)
                                                 : profile.id == connection && !chosen;
        if (better)
            chosen = profile;
    }
    BootSetting setting{BootSetting::Source::NetworkManager, {}, {}, std::nullopt, 0, {}, {}};
    QString value;
    if (chosen) {
        setting.where = chosen->file.toStdString();
        setting.name = chosen->id.toStdString();
        setting.line = chosen->wake ? chosen->wake->line : 0;
        value = chosen->wake ? chosen->wake->value : QStringLiteral("1");
        setting.setting = chosen->wake ? ("wake-on-lan=" + value).toStdString() : "wake-on-lan not set (default)";
    } else if (!connection.isEmpty()) {
        const std::optional<QByteArray> wake = runner.Run(
            QStringLiteral("nmcli"), {QStringLiteral("-g"), QStringLiteral("802-3-ethernet.wake-on-lan"),
                                      QStringLiteral("connection"), QStringLiteral("show"), QStringLiteral("id"),
                                      connection});
        value = QString::fromUtf8(wake.value_or(QByteArray())).trimmed().toLower();
        setting.where = setting.name = connection.toStdString();
        setting.setting = "802-3-ethernet.wake-on-lan " + (value.isEmpty() ? std::string("unknown") : value.toStdString());
    } else {
        return {};
    }
    if (const std::optional<uint> flags = NmWakeFlags(value))
        ApplyNmFlags(setting, *flags, root, device);
    return {setting};
}
