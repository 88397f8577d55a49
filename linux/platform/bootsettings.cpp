#include "bootsettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <yaml-cpp/yaml.h>

#include <fnmatch.h>
#include <glob.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

namespace {

constexpr int kCommandPatienceMs = 5000;

class SystemRunner final : public CommandRunner
{
public:
    std::optional<QByteArray> Run(const QString &program, const QStringList &arguments) override
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        if (!process.waitForFinished(kCommandPatienceMs)) {
            process.kill();
            process.waitForFinished();
            return std::nullopt;
        }
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            return std::nullopt;
        return process.readAllStandardOutput();
    }
};

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

// 00:11:22:33:44:55 from colon-, hyphen- or dot-delimited hexadecimal, or from a
// keyfile's list of decimal bytes ("0;17;34;51;68;85;"); empty when it is none.
QString NormalMac(const QString &written)
{
    QStringList bytes;
    if (written.contains(QLatin1Char(';'))) {
        for (const QString &part : written.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            bool number = false;
            const uint value = part.trimmed().toUInt(&number);
            if (!number || value > 255)
                return {};
            bytes << QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0'));
        }
    } else {
        static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{12}$"));
        const QString digits = written.trimmed().toLower().remove(QRegularExpression(QStringLiteral("[:.-]")));
        for (int i = 0; hex.match(digits).hasMatch() && i < 12; i += 2)
            bytes << digits.mid(i, 2);
    }
    return bytes.size() == 6 ? bytes.join(QLatin1Char(':')) : QString();
}

bool IsMac(const std::string &own, const QString &written)
{
    const QString mac = NormalMac(written);
    return !mac.isEmpty() && mac == QString::fromStdString(own);
}

bool HasMac(const LinkIdentity &link, const QString &written)
{
    return std::any_of(link.macs.begin(), link.macs.end(), [&](const std::string &own) { return IsMac(own, written); });
}

// One key=value of an ini-style file (systemd units and .link files, NetworkManager's
// keyfiles and NetworkManager.conf), with its section and line.
struct IniEntry
{
    QString section;
    QString key;
    QString value;
    int line = 0;
};

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

// An empty file, or a link to /dev/null, hides a file of the same name and is no file itself.
bool IsMask(const QString &root, const QString &path)
{
    const QFileInfo info(Under(root, path));
    return (info.isSymLink() && info.symLinkTarget() == QLatin1String("/dev/null")) || info.size() == 0;
}

// The files named like `pattern` in `folders` under root, in name order, where a file in
// an earlier folder hides those of the same name in later ones; paths as the system names them.
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

// The paths that a shell pattern names under root, sorted, as the system names them.
QStringList GlobPaths(const QString &root, const QString &pattern)
{
    QStringList paths;
    glob_t found{};
    if (::glob(Under(root, pattern).toUtf8().constData(), 0, nullptr, &found) == 0) {
        const QString prefix = QDir::cleanPath(root) == QLatin1String("/") ? QString() : QDir::cleanPath(root);
        for (std::size_t i = 0; i < found.gl_pathc; ++i)
            paths << QString::fromUtf8(found.gl_pathv[i]).mid(prefix.size());
    }
    ::globfree(&found);
    return paths;
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

// The letters of the last `ethtool -s DEVICE ... wol LETTERS` in a command line whose
// DEVICE is one of `devices`; a shell's -c script is read too.
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

// ethtool's letters: g is the magic packet, d and the others leave it off.
std::optional<bool> WakesOnLetters(const QString &letters)
{
    return letters.contains(QLatin1Char('g'));
}

// What the .link files and udev rules match a device by, from sysfs under root and,
// where udev has it, the udev database.
struct DeviceFacts
{
    LinkIdentity link;
    QString driver;
    QString type; // "ether", "wlan", ...
    QString path; // udev's ID_PATH, "pci-0000:00:1f.6"
    std::map<QString, QString> udev; // udevadm info's properties; empty without udevadm
};

QString LinkTargetName(const QString &path)
{
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(path.toStdString(), error);
    return error ? QString() : QString::fromStdString(target.filename().string());
}

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

// ---- systemd .link files ----

const QStringList kLinkFolders{QStringLiteral("/etc/systemd/network"), QStringLiteral("/run/systemd/network"),
                               QStringLiteral("/usr/lib/systemd/network"), QStringLiteral("/lib/systemd/network")};

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

// Whether a list of globs matches one of `values`; a "!" before the list inverts it.
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

// ---- NetworkManager ----

// NetworkManager's wake-on-lan flags, from the number or from nmcli's names.
constexpr uint kNmDefault = 0x1;
constexpr uint kNmMagic = 0x40;
constexpr uint kNmIgnore = 0x8000;

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

// What NetworkManager does with wake-on-lan flags: "default" is NetworkManager.conf's, and
// that unset (or "ignore") leaves Wake-on as the driver has it.
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

// ---- netplan ----

struct NetplanDefinition
{
    YAML::Node match;
    std::optional<std::string> renderer;
    std::optional<bool> wakeonlan;
    QString file;
    int line = 0;
    bool writesLink = false; // set-name or mtu: netplan writes a .link file for networkd
};

struct NetplanRead
{
    std::vector<BootSetting> throughLink;           // networkd: a .link file udev applies
    std::vector<BootSetting> throughNetworkManager; // a profile for NetworkManager
};

bool NetplanMatches(const std::string &id, const NetplanDefinition &definition, const DeviceFacts &device)
{
    const YAML::Node &match = definition.match;
    if (!match.IsDefined() || !match.IsMap())
        return id == device.link.name;
    bool matched = true;
    if (const YAML::Node mac = match["macaddress"]; mac.IsDefined() && mac.IsScalar())
        matched = HasMac(device.link, QString::fromStdString(mac.Scalar()));
    if (const YAML::Node name = match["name"]; name.IsDefined() && name.IsScalar())
        matched = matched && Glob(QString::fromStdString(name.Scalar()), QString::fromStdString(device.link.name));
    if (const YAML::Node driver = match["driver"]; driver.IsDefined()) {
        QStringList drivers;
        for (const auto &item : driver)
            drivers << QString::fromStdString(item.Scalar());
        if (driver.IsScalar())
            drivers << QString::fromStdString(driver.Scalar());
        matched = matched && ListMatches(drivers.join(' '), {device.driver});
    }
    return matched;
}

NetplanRead ReadNetplan(const QString &root, const DeviceFacts &device)
{
    std::optional<std::string> globalRenderer;
    std::map<std::string, NetplanDefinition> definitions;
    std::vector<std::string> order;
    NetplanRead read;
    const QStringList files =
        MaskedFiles(root, {QStringLiteral("/run/netplan"), QStringLiteral("/etc/netplan"), QStringLiteral("/lib/netplan")},
                    QStringLiteral("*.yaml"));
    for (const QString &file : files) {
        try {
            const YAML::Node network = YAML::LoadFile(Under(root, file).toStdString())["network"];
            if (!network.IsDefined() || !network.IsMap())
                continue;
            if (const YAML::Node renderer = network["renderer"]; renderer.IsDefined())
                globalRenderer = renderer.as<std::string>();
            const YAML::Node ethernets = network["ethernets"];
            if (!ethernets.IsDefined() || !ethernets.IsMap())
                continue;
            for (const auto &entry : ethernets) {
                const std::string id = entry.first.as<std::string>();
                const YAML::Node body = entry.second;
                if (definitions.count(id) == 0)
                    order.push_back(id);
                NetplanDefinition &definition = definitions[id];
                if (definition.file.isEmpty() || !definition.wakeonlan)
                    definition = NetplanDefinition{definition.match, definition.renderer, definition.wakeonlan, file,
                                                   entry.first.Mark().line + 1, definition.writesLink};
                if (!body.IsDefined() || !body.IsMap())
                    continue;
                if (body["match"].IsDefined())
                    definition.match = body["match"];
                if (body["renderer"].IsDefined())
                    definition.renderer = body["renderer"].as<std::string>();
                definition.writesLink = definition.writesLink || body["set-name"].IsDefined() || body["mtu"].IsDefined();
                if (const YAML::Node wake = body["wakeonlan"]; wake.IsDefined()) {
                    definition.wakeonlan = wake.as<bool>();
                    definition.file = file;
                    definition.line = wake.Mark().line + 1;
                }
            }
        } catch (const YAML::Exception &error) {
            read.throughLink.push_back({BootSetting::Source::Netplan, file.toStdString(),
                                        std::string("cannot be read: ") + error.what(), std::nullopt,
                                        error.mark.line + 1, {}, {}});
        }
    }
    for (const std::string &id : order) {
        const NetplanDefinition &definition = definitions[id];
        if (!NetplanMatches(id, definition, device))
            continue;
        const std::string written = definition.wakeonlan ? (*definition.wakeonlan ? "wakeonlan: true" : "wakeonlan: false")
                                                         : "wakeonlan not set";
        BootSetting setting{BootSetting::Source::Netplan, definition.file.toStdString(), written, std::nullopt,
                            definition.line, id, {}};
        if (definition.renderer.value_or(globalRenderer.value_or("networkd")) == "NetworkManager") {
            // netplan writes wake-on-lan=1, NetworkManager's "default", for true; 0, off, otherwise.
            setting.setting += " (renderer NetworkManager)";
            ApplyNmFlags(setting, definition.wakeonlan == true ? kNmDefault : 0, root, device);
            read.throughNetworkManager.push_back(setting);
        } else {
            // For networkd it writes a .link file only for wakeonlan, set-name or mtu, with WakeOnLan=off unless true.
            if (definition.wakeonlan == true || definition.writesLink)
                setting.wakesOnMagic = definition.wakeonlan == true;
            else
                setting.note = "netplan writes no .link file for it, so Wake-on stays as the driver has it";
            read.throughLink.push_back(setting);
        }
        break;
    }
    return read;
}

// ---- ifupdown ----

struct IfupdownRead
{
    std::vector<BootSetting> preUp, wol, up; // the order ifup runs them in
    std::optional<BootSetting> stanza;
};

void ReadInterfaces(const QString &root, const QString &file, const std::string &name, IfupdownRead &read, int depth)
{
    const std::optional<QByteArray> text = FileText(root, file);
    if (!text || depth > 8)
        return;
    static const QRegularExpression stanza(
        QStringLiteral("^(iface|mapping|auto|allow-\\S+|rename|no-auto-down|no-scripts|template)$"));
    static const QRegularExpression partName(QStringLiteral("^[a-zA-Z0-9_-]+$"));
    const QString folder = QFileInfo(file).path();
    const QStringList devices{QString::fromStdString(name), QStringLiteral("$IFACE"), QStringLiteral("${IFACE}")};
    bool inStanza = false;
    int number = 0;
    for (const QByteArray &raw : text->split('\n')) {
        ++number;
        const QString line = QString::fromUtf8(raw).trimmed();
        const QStringList words = Words(line);
        if (words.isEmpty() || words.first().startsWith(QLatin1Char('#')))
            continue;
        const QString &key = words.first();
        if ((key == QLatin1String("source") || key == QLatin1String("source-directory")) && words.size() > 1) {
            const QString pattern = words[1].startsWith(QLatin1Char('/')) ? words[1] : folder + '/' + words[1];
            for (const QString &path : GlobPaths(root, pattern)) {
                if (key == QLatin1String("source"))
                    ReadInterfaces(root, path, name, read, depth + 1);
                for (const QString &part : key == QLatin1String("source") ? QStringList()
                                           : QDir(Under(root, path)).entryList(QDir::Files, QDir::Name)) {
                    if (partName.match(part).hasMatch())
                        ReadInterfaces(root, path + '/' + part, name, read, depth + 1);
                }
            }
            inStanza = false;
        } else if (stanza.match(key).hasMatch()) {
            inStanza = key == QLatin1String("iface") && words.value(1).toStdString() == name;
            if (inStanza && !read.stanza)
                read.stanza = BootSetting{BootSetting::Source::Ifupdown, file.toStdString(), "no ethernet-wol line",
                                          std::nullopt, number, {}, {}};
        } else if (inStanza && (key == QLatin1String("ethernet-wol") || key == QLatin1String("ethtool-ethernet-wol"))
                   && words.size() > 1) {
            read.wol.push_back({BootSetting::Source::Ifupdown, file.toStdString(), line.toStdString(),
                                WakesOnLetters(words[1]), number, {}, {}});
        } else if (inStanza && QStringList{"pre-up", "up", "post-up"}.contains(key)) {
            if (const std::optional<QString> letters = EthtoolWol(line.mid(key.size()), devices))
                (key == QLatin1String("pre-up") ? read.preUp : read.up)
                    .push_back({BootSetting::Source::Ifupdown, file.toStdString(), line.toStdString(),
                                WakesOnLetters(*letters), number, {}, {}});
        }
    }
}

// ---- udev rules ----

const QStringList kRuleFolders{QStringLiteral("/etc/udev/rules.d"), QStringLiteral("/run/udev/rules.d"),
                               QStringLiteral("/usr/lib/udev/rules.d"), QStringLiteral("/lib/udev/rules.d")};

// Whether a match key of a rule holds for the device at its "add" event; nothing for a
// key this reader does not evaluate, which is taken to hold.
std::optional<bool> RuleKeyHolds(const QString &key, const QString &patterns, const QString &root,
                                 const DeviceFacts &device)
{
    QString value;
    const QString name = QString::fromStdString(device.link.name);
    if (key == QLatin1String("SUBSYSTEM") || key == QLatin1String("SUBSYSTEMS"))
        value = QStringLiteral("net");
    else if (key == QLatin1String("ACTION"))
        value = QStringLiteral("add");
    else if (key == QLatin1String("KERNEL") || key == QLatin1String("NAME") || key == QLatin1String("ENV{INTERFACE}"))
        value = name;
    else if (key == QLatin1String("DRIVERS") || key == QLatin1String("DRIVER") || key == QLatin1String("ENV{ID_NET_DRIVER}"))
        value = device.driver;
    else if (key == QLatin1String("ATTR{address}") && !device.link.macs.empty())
        value = QString::fromStdString(device.link.macs.front());
    else if (key.startsWith(QLatin1String("ATTR{")))
        value = QString::fromUtf8(
            FileText(root, "/sys/class/net/" + name + '/' + key.mid(5).chopped(1)).value_or(QByteArray()).trimmed());
    else
        return std::nullopt;
    const QStringList alternatives = patterns.split(QLatin1Char('|'));
    return std::any_of(alternatives.begin(), alternatives.end(),
                       [&](const QString &pattern) { return Glob(pattern, value); });
}

// Rule lines with their continuations joined, each with the number of its first line.
std::vector<std::pair<int, QString>> RuleLines(const QByteArray &text)
{
    std::vector<std::pair<int, QString>> rules;
    bool continued = false;
    int number = 0;
    for (const QByteArray &raw : text.split('\n')) {
        ++number;
        QString line = QString::fromUtf8(raw).trimmed();
        const bool continues = line.endsWith(QLatin1Char('\\'));
        if (continues)
            line.chop(1);
        if (continued)
            rules.back().second += ' ' + line;
        else if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
            rules.emplace_back(number, line);
        continued = continues && !rules.empty();
    }
    return rules;
}

// ---- systemd units ----

const QStringList kUnitFolders{QStringLiteral("/etc/systemd/system"), QStringLiteral("/run/systemd/system"),
                               QStringLiteral("/usr/lib/systemd/system"), QStringLiteral("/lib/systemd/system")};

// The unit's file as systemd finds it, an instance's own before its template's; empty
// when there is none or it is masked.
QString UnitFile(const QString &root, const QString &unit, const QString &templateUnit)
{
    for (const QString &candidate : {unit, templateUnit}) {
        for (const QString &folder : kUnitFolders) {
            const QString path = folder + QLatin1Char('/') + candidate;
            if (QFileInfo(Under(root, path)).isSymLink() || QFileInfo::exists(Under(root, path)))
                return IsMask(root, path) ? QString() : path;
        }
    }
    return {};
}

} // namespace

CommandRunner &SystemCommandRunner()
{
    static SystemRunner runner;
    return runner;
}

namespace {

std::vector<BootSetting> LinkFileSettingsOf(const QString &root, const DeviceFacts &device)
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

std::vector<BootSetting> UdevRuleSettingsOf(const QString &root, const DeviceFacts &device)
{
    const LinkIdentity &link = device.link;
    static const QRegularExpression pair(
        QStringLiteral("([A-Za-z_]+(?:\\{[^}]*\\})?)\\s*(==|!=|\\+=|-=|:=|=)\\s*\"((?:[^\"\\\\]|\\\\.)*)\""));
    const QStringList devices{QString::fromStdString(link.name), QStringLiteral("$name"), QStringLiteral("%k"),
                              QStringLiteral("$kernel")};
    std::vector<BootSetting> runs; // RUN programs run after all rules, in the order the rules added them
    for (const QString &file : MaskedFiles(root, kRuleFolders, QStringLiteral("*.rules"))) {
        for (const auto &[number, rule] : RuleLines(FileText(root, file).value_or(QByteArray()))) {
            bool holds = true;
            std::vector<QString> programs;
            bool replaces = false;
            for (auto it = pair.globalMatch(rule); it.hasNext();) {
                const QRegularExpressionMatch match = it.next();
                const QString key = match.captured(1);
                const QString op = match.captured(2);
                if (op == QLatin1String("==") || op == QLatin1String("!=")) {
                    const std::optional<bool> keyHolds = RuleKeyHolds(key, match.captured(3), root, device);
                    holds = holds && (!keyHolds || *keyHolds == (op == QLatin1String("==")));
                } else if (key == QLatin1String("RUN") || key == QLatin1String("RUN{program}")) {
                    replaces = replaces || op == QLatin1String("=") || op == QLatin1String(":=");
                    programs.push_back(match.captured(3));
                }
            }
            if (!holds)
                continue;
            if (replaces)
                runs.clear();
            for (const QString &program : programs) {
                if (const std::optional<QString> letters = EthtoolWol(program, devices))
                    runs.push_back({BootSetting::Source::UdevRule, file.toStdString(),
                                    ("RUN+=\"" + program + "\"").toStdString(), WakesOnLetters(*letters), number, {},
                                    {}});
            }
        }
    }
    return runs;
}

std::vector<BootSetting> NetworkManagerSettingsOf(const QString &root, CommandRunner &runner, const DeviceFacts &device)
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

} // namespace

std::vector<BootSetting> IfupdownSettings(const QString &root, const std::string &name)
{
    IfupdownRead read;
    ReadInterfaces(root, QStringLiteral("/etc/network/interfaces"), name, read, 0);
    std::vector<BootSetting> settings = read.preUp;
    settings.insert(settings.end(), read.wol.begin(), read.wol.end());
    settings.insert(settings.end(), read.up.begin(), read.up.end());
    if (settings.empty() && read.stanza)
        settings.push_back(*read.stanza);
    return settings;
}

std::vector<BootSetting> UnitSettings(const QString &root, const std::string &name)
{
    std::set<QString> enabled;
    const QDir system(Under(root, QStringLiteral("/etc/systemd/system")));
    for (const QString &wants : system.entryList({QStringLiteral("*.wants")}, QDir::Dirs | QDir::NoDotAndDotDot)) {
        for (const QString &unit : QDir(system.filePath(wants))
                                       .entryList({QStringLiteral("*.service")}, QDir::Files | QDir::System))
            enabled.insert(unit);
    }
    std::vector<BootSetting> settings;
    for (const QString &unit : enabled) {
        const qsizetype at = unit.indexOf(QLatin1Char('@'));
        const QString instance = at < 0 ? QString() : unit.mid(at + 1).chopped(8); // ".service"
        const QString file = UnitFile(root, unit, at < 0 ? unit : unit.left(at + 1) + QStringLiteral(".service"));
        QStringList devices{QString::fromStdString(name)};
        if (instance.toStdString() == name)
            devices << QStringLiteral("%i") << QStringLiteral("%I");
        std::vector<BootSetting> own;
        for (const IniEntry &entry : IniEntries(file.isEmpty() ? QByteArray() : FileText(root, file).value_or(QByteArray()))) {
            const QStringList keys{"ExecStartPre", "ExecStart", "ExecStartPost"};
            if (entry.section != QLatin1String("Service") || !keys.contains(entry.key))
                continue;
            QString command = entry.value;
            while (!command.isEmpty() && QStringLiteral("-@:+!").contains(command.front()))
                command.remove(0, 1);
            if (const std::optional<QString> letters = EthtoolWol(command, devices))
                own.push_back({BootSetting::Source::SystemdUnit, file.toStdString(),
                               (entry.key + '=' + entry.value).toStdString(), WakesOnLetters(*letters), entry.line,
                               unit.toStdString(), {}});
        }
        std::stable_sort(own.begin(), own.end(), [](const BootSetting &a, const BootSetting &b) {
            const auto rank = [](const BootSetting &s) {
                return s.setting.rfind("ExecStartPre", 0) == 0 ? 0 : s.setting.rfind("ExecStartPost", 0) == 0 ? 2 : 1;
            };
            return rank(a) < rank(b);
        });
        settings.insert(settings.end(), own.begin(), own.end());
    }
    return settings;
}

std::optional<BootSetting> TlpSetting(const QString &root)
{
    // apt remove leaves /etc/tlp.conf behind; the program is what runs at boot.
    if (!QFile::exists(Under(root, QStringLiteral("/usr/sbin/tlp")))
        && !QFile::exists(Under(root, QStringLiteral("/usr/bin/tlp"))))
        return std::nullopt;
    static const QRegularExpression assignment(QStringLiteral("^\\s*WOL_DISABLE\\s*=\\s*\"?([^\"\\s#]*)"));
    BootSetting setting{BootSetting::Source::Tlp, "TLP's default", "WOL_DISABLE=Y", false, 0, {}, {}};
    // TLP's own defaults, then the drop-ins in name order, then tlp.conf: the last assignment counts.
    const QStringList files = QStringList{QStringLiteral("/usr/share/tlp/defaults.conf")}
                              + MaskedFiles(root, {QStringLiteral("/etc/tlp.d")}, QStringLiteral("*.conf"))
                              + QStringList{QStringLiteral("/etc/tlp.conf")};
    for (const QString &file : files) {
        int number = 0;
        for (const QByteArray &line : FileText(root, file).value_or(QByteArray()).split('\n')) {
            ++number;
            const QRegularExpressionMatch match = assignment.match(QString::fromUtf8(line));
            if (!match.hasMatch())
                continue;
            const QString value = match.captured(1);
            setting.where = file.toStdString();
            setting.line = number;
            setting.setting = ("WOL_DISABLE=" + value).toStdString();
            // TLP turns Wake-on off for Y alone.
            setting.wakesOnMagic = value == QLatin1String("Y") ? std::optional(false) : std::nullopt;
        }
    }
    return setting;
}

// The order they act in at boot; the last that turns Wake-on on or off decides.
// 1. udev, when the device appears. The net_setup_link builtin, which
//    80-net-setup-link.rules imports, applies the .link file that matches (netplan's
//    for networkd among them) while the rules are processed; the programs of RUN keys
//    run after all rules are processed (udev(7)), so a rule's ethtool acts after the
//    .link file whatever its file's name.
// 2. The configurator that brings the link up: ifupdown (pre-up lines, ethernet-wol,
//    then up and post-up lines), NetworkManager with its profiles and netplan's for it.
// 3. Services enabled in a .wants folder, which order themselves after the network.
// 4. TLP, from tlp.service late in boot, and again at every change of power source.
std::vector<BootSetting> BootSettings(const QString &root, CommandRunner &runner, const LinkIdentity &link)
{
    const DeviceFacts device = ReadDeviceFacts(root, runner, link);
    const NetplanRead netplan = ReadNetplan(root, device);
    std::vector<BootSetting> settings;
    for (const std::vector<BootSetting> &stage :
         {LinkFileSettingsOf(root, device), netplan.throughLink, UdevRuleSettingsOf(root, device),
          IfupdownSettings(root, link.name), netplan.throughNetworkManager,
          NetworkManagerSettingsOf(root, runner, device), UnitSettings(root, link.name)})
        settings.insert(settings.end(), stage.begin(), stage.end());
    if (std::optional<BootSetting> tlp = TlpSetting(root))
        settings.push_back(std::move(*tlp));
    return settings;
}
