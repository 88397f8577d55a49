#include "bootsources.h"

#include "addresses.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <fnmatch.h>

#include <algorithm>
#include <filesystem>
#include <map>

namespace BootSources {

namespace {

bool IsMac(const std::string &own, const QString &written)
{
    const QString mac = NormalMac(written);
    return !mac.isEmpty() && mac == QString::fromStdString(own);
}

// A command line split as a shell splits it; ; && || and | are words of their own.
QStringList ShellWords(const QString &command)
{
    QStringList words;
    QString word;
    bool inWord = false;
    QChar quote;
    for (qsizetype i = 0; i < command.size(); ++i) {
        const QChar c = command[i];
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
            else if (c == QLatin1Char('\\') && quote == QLatin1Char('"') && i + 1 < command.size())
                word += command[++i];
            else
                word += c;
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            quote = c;
            inWord = true;
        } else if (c == QLatin1Char('\\') && i + 1 < command.size()) {
            word += command[++i];
            inWord = true;
        } else if (c.isSpace() || QStringLiteral(";&|").contains(c)) {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
            if (!c.isSpace())
                words << QString(c);
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words << word;
    return words;
}

QString LinkTargetName(const QString &path)
{
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(path.toStdString(), error);
    return error ? QString() : QString::fromStdString(target.filename().string());
}

} // namespace

// ---- files under root ----

QString Under(const QString &root, const QString &path)
{
    return QDir::cleanPath(root + QLatin1Char('/') + path);
}

std::optional<QByteArray> FileText(const QString &root, const QString &path)
{
    QFile file(Under(root, path));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

QString FileName(const QString &path)
{
    return path.section(QLatin1Char('/'), -1);
}

bool Glob(const QString &pattern, const QString &text)
{
    return ::fnmatch(pattern.toUtf8().constData(), text.toUtf8().constData(), 0) == 0;
}

QStringList Words(const QString &text)
{
    static const QRegularExpression space(QStringLiteral("\\s+"));
    return text.split(space, Qt::SkipEmptyParts);
}

QString NormalMac(const QString &written)
{
    std::optional<MacAddress> mac;
    if (written.contains(QLatin1Char(';'))) {
        const QStringList parts = written.split(QLatin1Char(';'), Qt::SkipEmptyParts);
        mac.emplace();
        for (qsizetype i = 0; i < parts.size(); ++i) {
            bool number = false;
            const uint value = parts[i].trimmed().toUInt(&number);
            if (!number || value > 255 || parts.size() != qsizetype(mac->size()))
                return {};
            (*mac)[std::size_t(i)] = std::uint8_t(value);
        }
        if (parts.isEmpty())
            return {};
    } else {
        static const QRegularExpression delimiters(QStringLiteral("[:.-]"));
        mac = ParseMac(written.trimmed().remove(delimiters).toStdString());
    }
    return mac ? QString::fromStdString(FormatMac(*mac, ':')) : QString();
}

bool HasMac(const LinkIdentity &link, const QString &written)
{
    return std::any_of(link.macs.begin(), link.macs.end(), [&](const std::string &own) { return IsMac(own, written); });
}

std::vector<IniEntry> IniEntries(const QByteArray &text)
{
    std::vector<IniEntry> entries;
    QString section;
    int number = 0;
    for (const QByteArray &raw : text.split('\n')) {
        ++number;
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char(';')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals > 0)
            entries.push_back({section, line.left(equals).trimmed(), line.mid(equals + 1).trimmed(), number});
    }
    return entries;
}

bool IsMask(const QString &root, const QString &path)
{
    const QFileInfo info(Under(root, path));
    return (info.isSymLink() && info.symLinkTarget() == QLatin1String("/dev/null")) || info.size() == 0;
}

QStringList MaskedFiles(const QString &root, const QStringList &folders, const QString &pattern)
{
    std::map<QString, QString> byName;
    for (const QString &folder : folders) {
        const QDir dir(Under(root, folder));
        for (const QString &entry : dir.entryList({pattern}, QDir::Files | QDir::System | QDir::NoDotAndDotDot))
            byName.emplace(entry, folder + QLatin1Char('/') + entry);
    }
    QStringList files;
    for (const auto &[name, path] : byName) {
        if (!IsMask(root, path))
            files << path;
    }
    return files;
}

QStringList SearchFolders(const QString &folder)
{
    QStringList folders;
    for (const QString &top : {QStringLiteral("/etc/"), QStringLiteral("/run/"), QStringLiteral("/usr/lib/"),
                               QStringLiteral("/lib/")})
        folders << top + folder;
    return folders;
}

// ---- ethtool ----

std::optional<QString> EthtoolWol(const QString &command, const QStringList &devices)
{
    const QStringList words = ShellWords(command);
    std::optional<QString> letters;
    for (qsizetype i = 0; i < words.size(); ++i) {
        if (words[i].contains(QLatin1Char(' '))) {
            if (std::optional<QString> inner = EthtoolWol(words[i], devices))
                letters = inner;
            continue;
        }
        if (FileName(words[i]) != QLatin1String("ethtool"))
            continue;
        QString device;
        QString wol;
        for (qsizetype j = i + 1; j + 1 < words.size() && !QStringLiteral(";&|").contains(words[j]); ++j) {
            if (words[j] == QLatin1String("-s") || words[j] == QLatin1String("--change"))
                device = words[j + 1];
            else if (words[j] == QLatin1String("wol"))
                wol = words[j + 1];
        }
        if (!wol.isEmpty() && devices.contains(device))
            letters = wol;
    }
    return letters;
}

std::optional<bool> WakesOnLetters(const QString &letters)
{
    return letters.contains(QLatin1Char('g'));
}

// ---- the device ----

DeviceFacts ReadDeviceFacts(const QString &root, CommandRunner &runner, const LinkIdentity &link)
{
    DeviceFacts facts{link, {}, {}, {}, {}};
    const QString sys = QStringLiteral("/sys/class/net/") + QString::fromStdString(link.name);
    const std::optional<QByteArray> properties =
        runner.Run(QStringLiteral("udevadm"), {QStringLiteral("info"), QStringLiteral("--query=property"), sys});
    for (const QByteArray &line : properties.value_or(QByteArray()).split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0)
            facts.udev[QString::fromUtf8(line.left(equals))] = QString::fromUtf8(line.mid(equals + 1)).trimmed();
    }
    facts.driver = facts.udev.count(QStringLiteral("ID_NET_DRIVER")) != 0
                       ? facts.udev[QStringLiteral("ID_NET_DRIVER")]
                       : LinkTargetName(Under(root, sys + QStringLiteral("/device/driver")));
    static const QRegularExpression pci(QStringLiteral("^[0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\\.[0-7]$"));
    const QString device = LinkTargetName(Under(root, sys + QStringLiteral("/device")));
    facts.path = facts.udev.count(QStringLiteral("ID_PATH")) != 0 ? facts.udev[QStringLiteral("ID_PATH")]
                 : pci.match(device).hasMatch()                    ? QStringLiteral("pci-") + device
                                                                   : QString();
    static const QRegularExpression devtype(QStringLiteral("(?:^|\\n)DEVTYPE=(\\S+)"));
    const QString uevent = QString::fromUtf8(FileText(root, sys + QStringLiteral("/uevent")).value_or(QByteArray()));
    const QString arphrd = QString::fromUtf8(FileText(root, sys + QStringLiteral("/type")).value_or("1")).trimmed();
    static const std::map<QString, QString> kTypes{
        {QStringLiteral("1"), QStringLiteral("ether")}, {QStringLiteral("772"), QStringLiteral("loopback")}};
    facts.type = devtype.match(uevent).hasMatch() ? devtype.match(uevent).captured(1)
                 : kTypes.count(arphrd) != 0      ? kTypes.at(arphrd)
                                                  : arphrd;
    return facts;
}

bool ListMatches(QString list, const QStringList &values)
{
    const bool inverted = list.startsWith(QLatin1Char('!'));
    if (inverted)
        list.remove(0, 1);
    const QStringList globs = Words(list);
    const bool any = std::any_of(globs.begin(), globs.end(), [&](const QString &glob) {
        return std::any_of(values.begin(), values.end(), [&](const QString &value) { return Glob(glob, value); });
    });
    return any != inverted;
}

// ---- NetworkManager's wake-on-lan flags ----

namespace {

constexpr uint kNmMagic = 0x40;
constexpr uint kNmIgnore = 0x8000;

// Whether the match-device= list of NetworkManager.conf names the interface.
bool MatchDeviceNames(const QString &devices, const DeviceFacts &device)
{
    const QString name = QString::fromStdString(device.link.name);
    for (QString item : devices.split(QRegularExpression(QStringLiteral("[,;]")), Qt::SkipEmptyParts)) {
        item = item.trimmed();
        if (item == QLatin1String("*") || item == QLatin1String("type:ethernet") || item == name
            || HasMac(device.link, item))
            return true;
        if (item.startsWith(QLatin1String("interface-name:")) && Glob(item.section(':', 1).remove('='), name))
            return true;
        if (item.startsWith(QLatin1String("mac:")) && HasMac(device.link, item.mid(4)))
            return true;
        if (item.startsWith(QLatin1String("driver:")) && Glob(item.mid(7), device.driver))
            return true;
    }
    return false;
}

struct NmDefault
{
    QString file;
    IniEntry entry;
};

// ethernet.wake-on-lan in the [connection*] sections of NetworkManager.conf: files read
// later win, and within one file the sections from the top, [connection] itself last.
std::optional<NmDefault> NetworkManagerDefault(const QString &root, const DeviceFacts &device)
{
    const QStringList dropIns = MaskedFiles(root,
                                            {QStringLiteral("/etc/NetworkManager/conf.d"),
                                             QStringLiteral("/run/NetworkManager/conf.d"),
                                             QStringLiteral("/usr/lib/NetworkManager/conf.d")},
                                            QStringLiteral("*.conf"));
    QStringList files;
    for (const QString &folder : {QStringLiteral("/usr/lib/"), QStringLiteral("/run/")})
        files += dropIns.filter(QRegularExpression(QStringLiteral("^") + folder));
    files << QStringLiteral("/etc/NetworkManager/NetworkManager.conf") << dropIns.filter(QStringLiteral("/etc/"));
    for (auto file = files.crbegin(); file != files.crend(); ++file) {
        std::vector<std::pair<QString, std::vector<IniEntry>>> sections;
        for (const IniEntry &entry : IniEntries(FileText(root, *file).value_or(QByteArray()))) {
            if (!entry.section.startsWith(QLatin1String("connection")))
                continue;
            if (sections.empty() || sections.back().first != entry.section)
                sections.emplace_back(entry.section, std::vector<IniEntry>());
            sections.back().second.push_back(entry);
        }
        std::stable_partition(sections.begin(), sections.end(),
                              [](const auto &section) { return section.first != QLatin1String("connection"); });
        for (const auto &[section, entries] : sections) {
            std::optional<IniEntry> wake;
            bool matches = true;
            bool stop = false;
            for (const IniEntry &entry : entries) {
                if (entry.key == QLatin1String("match-device"))
                    matches = MatchDeviceNames(entry.value, device);
                else if (entry.key == QLatin1String("stop-match"))
                    stop = QStringList{"yes", "true", "1"}.contains(entry.value.toLower());
                else if (entry.key == QLatin1String("ethernet.wake-on-lan"))
                    wake = entry;
            }
            if (matches && wake)
                return NmDefault{*file, *wake};
            if (matches && stop)
                return std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<uint> NmWakeFlags(const QString &text)
{
    bool number = false;
    const uint flags = text.toUInt(&number, 0);
    if (number)
        return flags;
    static const std::map<QString, uint> kNames{
        {QStringLiteral("none"), 0},          {QStringLiteral("phy"), 0x2},   {QStringLiteral("unicast"), 0x4},
        {QStringLiteral("multicast"), 0x8},   {QStringLiteral("broadcast"), 0x10}, {QStringLiteral("arp"), 0x20},
        {QStringLiteral("magic"), kNmMagic},  {QStringLiteral("default"), kNmDefault},
        {QStringLiteral("ignore"), kNmIgnore}};
    uint named = 0;
    const QStringList words = text.toLower().split(QRegularExpression(QStringLiteral("[\\s,;|]+")), Qt::SkipEmptyParts);
    for (const QString &word : words) {
        if (kNames.count(word) == 0)
            return std::nullopt;
        named |= kNames.at(word);
    }
    return words.isEmpty() ? std::nullopt : std::optional(named);
}

void ApplyNmFlags(BootSetting &setting, uint flags, const QString &root, const DeviceFacts &device)
{
    if ((flags & kNmDefault) != 0) {
        setting.followsNetworkManagerDefault = true;
        const std::optional<NmDefault> global = NetworkManagerDefault(root, device);
        const std::optional<uint> globalFlags = global ? NmWakeFlags(global->entry.value) : std::nullopt;
        if (!global) {
            setting.note = "NetworkManager's default: ethernet.wake-on-lan is set in no NetworkManager.conf, so "
                           "NetworkManager leaves Wake-on as the driver has it";
            return;
        }
        setting.note = ("NetworkManager's default: " + global->file + " line " + QString::number(global->entry.line)
                        + ": ethernet.wake-on-lan=" + global->entry.value)
                           .toStdString();
        if (!globalFlags || (*globalFlags & (kNmDefault | kNmIgnore)) != 0)
            return;
        flags = *globalFlags;
    }
    if ((flags & kNmIgnore) == 0)
        setting.wakesOnMagic = (flags & kNmMagic) != 0;
}

} // namespace BootSources
