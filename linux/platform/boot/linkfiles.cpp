// systemd .link files, which udev applies as the device appears.

#include "bootsources.h"

#include <algorithm>
#include <map>

using namespace BootSources;

namespace {

const QStringList kLinkFolders = SearchFolders(QStringLiteral("systemd/network"));

struct LinkEntry
{
    QString file;
    IniEntry entry;
};

// A .link file then its drop-ins foo.link.d/*.conf, as systemd reads them.
std::vector<LinkEntry> LinkEntries(const QString &root, const QString &file)
{
    QStringList dropInFolders;
    for (const QString &folder : kLinkFolders)
        dropInFolders << folder + QLatin1Char('/') + FileName(file) + QStringLiteral(".d");
    std::vector<LinkEntry> entries;
    for (const QString &part : QStringList{file} + MaskedFiles(root, dropInFolders, QStringLiteral("*.conf"))) {
        for (const IniEntry &entry : IniEntries(FileText(root, part).value_or(QByteArray())))
            entries.push_back({part, entry});
    }
    return entries;
}

// [Match] as systemd.link documents it: every key set must hold; a file without one matches all.
bool LinkMatches(const std::vector<LinkEntry> &entries, const DeviceFacts &device)
{
    std::map<QString, QString> keys; // a key given again adds to its list; an empty one resets it
    for (const LinkEntry &item : entries) {
        if (item.entry.section == QLatin1String("Match"))
            keys[item.entry.key] = item.entry.value.isEmpty() ? QString() : keys[item.entry.key] + ' ' + item.entry.value;
    }
    const LinkIdentity &link = device.link;
    const QString permanent = QString::fromStdString(link.macs.empty() ? std::string() : link.macs.back());
    const std::map<QString, QStringList> values{
        {QStringLiteral("OriginalName"), {QString::fromStdString(link.name)}},
        {QStringLiteral("Driver"), {device.driver}},
        {QStringLiteral("Type"), {device.type}},
        {QStringLiteral("Kind"), {QString::fromStdString(link.kind)}},
        {QStringLiteral("Path"), {device.path}},
    };
    for (const auto &[key, list] : keys) {
        const QString trimmed = list.trimmed();
        if (trimmed.isEmpty())
            continue;
        if (key == QLatin1String("MACAddress") || key == QLatin1String("PermanentMACAddress")) {
            const QString own = key == QLatin1String("MACAddress") && !link.macs.empty()
                                    ? QString::fromStdString(link.macs.front()) : permanent;
            const QStringList macs = Words(trimmed);
            if (std::none_of(macs.begin(), macs.end(), [&](const QString &mac) { return NormalMac(mac) == own; }))
                return false;
        } else if (values.count(key) != 0 && !ListMatches(trimmed, values.at(key))) {
            return false; // the host, kernel and firmware conditions are taken to hold
        }
    }
    return true;
}

// Its [Link] WakeOnLan=: words add up, "off" clears them, an empty value unsets it.
std::optional<BootSetting> LinkWakeOnLan(const std::vector<LinkEntry> &entries)
{
    std::optional<QStringList> words;
    const LinkEntry *last = nullptr;
    for (const LinkEntry &item : entries) {
        if (item.entry.section != QLatin1String("Link") || item.entry.key != QLatin1String("WakeOnLan"))
            continue;
        last = &item;
        if (item.entry.value.isEmpty())
            words.reset();
        else if (item.entry.value == QLatin1String("off"))
            words = QStringList();
        else
            words = words.value_or(QStringList()) + Words(item.entry.value);
    }
    if (last == nullptr || !words)
        return std::nullopt;
    const QString value = words->isEmpty() ? QStringLiteral("off") : words->join(QLatin1Char(' '));
    return BootSetting{BootSetting::Source::LinkFile, last->file.toStdString(), ("WakeOnLan=" + value).toStdString(),
                       words->contains(QStringLiteral("magic")), last->entry.line, {}, {}};
}

} // namespace

std::vector<BootSetting> BootSources::LinkFileSettings(const QString &root, const DeviceFacts &device)
{
    const LinkIdentity &link = device.link;
    std::optional<BootSetting> applied;
    for (const QString &file : MaskedFiles(root, kLinkFolders, QStringLiteral("*.link"))) {
        const std::vector<LinkEntry> entries = LinkEntries(root, file);
        if (!LinkMatches(entries, device))
            continue;
        const std::optional<BootSetting> wake = LinkWakeOnLan(entries);
        if (applied) { // only the first that matches applies
            if (!applied->wakesOnMagic && wake)
                applied->note = file.toStdString() + " also matches and sets " + wake->setting
                                + ", but udev applies only the first .link file in name order";
            if (!applied->note.empty() || wake)
                break;
            continue;
        }
        applied = wake.value_or(BootSetting{BootSetting::Source::LinkFile, file.toStdString(), "WakeOnLan not set",
                                            std::nullopt, 0, {}, {}});
        const auto bootFile = device.udev.find(QStringLiteral("ID_NET_LINK_FILE"));
        if (bootFile != device.udev.end() && bootFile->second != file)
            applied->note = "udev applied " + bootFile->second.toStdString() + " when the device appeared: this file "
                            "takes over after a reboot or: sudo udevadm trigger --action=add /sys/class/net/"
                            + link.name;
    }
    return applied ? std::vector<BootSetting>{*applied} : std::vector<BootSetting>{};
}
