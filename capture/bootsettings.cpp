#include "bootsettings.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include <yaml-cpp/yaml.h>

#include <fnmatch.h>

#include <algorithm>

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

std::optional<QByteArray> FileText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

// The files in `folder` under root whose names match `pattern`, in name order, as
// the system names them.
QStringList FilesIn(const QString &root, const QString &folder, const QString &pattern)
{
    QStringList files;
    const QDir dir(Under(root, folder));
    for (const QString &entry : dir.entryList({pattern}, QDir::Files, QDir::Name))
        files.append(folder + QLatin1Char('/') + entry);
    return files;
}

bool Yes(const QString &word)
{
    return word.compare(QLatin1String("magic"), Qt::CaseInsensitive) == 0;
}

std::optional<bool> WakeOnLanValue(const QString &value)
{
    const QStringList words = value.split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
    if (std::any_of(words.begin(), words.end(), Yes))
        return true;
    return false;
}

// yaml-cpp's node for a missing key throws on every question but IsDefined.
bool IsMap(const YAML::Node &node)
{
    return node.IsDefined() && node.IsMap();
}

bool IsScalar(const YAML::Node &node)
{
    return node.IsDefined() && node.IsScalar();
}

} // namespace

CommandRunner &SystemCommandRunner()
{
    static SystemRunner runner;
    return runner;
}

std::optional<BootSetting> LinkFileSetting(const QString &root, CommandRunner &runner, const std::string &name)
{
    const std::optional<QByteArray> properties = runner.Run(
        QStringLiteral("udevadm"),
        {QStringLiteral("info"), QStringLiteral("--query=property"),
         QStringLiteral("/sys/class/net/") + QString::fromStdString(name)});
    if (!properties)
        return std::nullopt;
    QString linkFile;
    for (const QByteArray &line : properties->split('\n')) {
        if (line.startsWith("ID_NET_LINK_FILE="))
            linkFile = QString::fromUtf8(line.mid(17)).trimmed();
    }
    if (linkFile.isEmpty())
        return std::nullopt;
    BootSetting setting{BootSetting::Source::LinkFile, linkFile.toStdString(), "WakeOnLan not set", std::nullopt};
    const std::optional<QByteArray> text = FileText(Under(root, linkFile));
    if (!text) {
        setting.setting = "cannot be read";
        return setting;
    }
    bool inLink = false;
    for (const QByteArray &raw : text->split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inLink = line == QLatin1String("[Link]");
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inLink || equals < 0 || line.left(equals).trimmed() != QLatin1String("WakeOnLan"))
            continue;
        const QString value = line.mid(equals + 1).trimmed();
        setting.setting = ("WakeOnLan=" + value).toStdString();
        setting.wakesOnMagic = value.isEmpty() ? std::nullopt : WakeOnLanValue(value); // empty: back to unset
        if (value.isEmpty())
            setting.setting = "WakeOnLan not set";
    }
    return setting;
}

std::optional<BootSetting> NetworkManagerSetting(CommandRunner &runner, const std::string &name)
{
    const std::optional<QByteArray> device = runner.Run(
        QStringLiteral("nmcli"), {QStringLiteral("-g"), QStringLiteral("GENERAL.CONNECTION"), QStringLiteral("device"),
                                  QStringLiteral("show"), QString::fromStdString(name)});
    // -g escapes the colon and the backslash.
    QString connection = QString::fromUtf8(device.value_or(QByteArray())).trimmed();
    connection.replace(QRegularExpression(QStringLiteral("\\\\(.)")), QStringLiteral("\\1"));
    if (connection.isEmpty() || connection == QLatin1String("--"))
        return std::nullopt;
    BootSetting setting{BootSetting::Source::NetworkManager, connection.toStdString(), "", std::nullopt};
    const std::optional<QByteArray> wake =
        runner.Run(QStringLiteral("nmcli"), {QStringLiteral("-g"), QStringLiteral("802-3-ethernet.wake-on-lan"),
                                             QStringLiteral("connection"), QStringLiteral("show"), QStringLiteral("id"),
                                             connection});
    const QString value = QString::fromUtf8(wake.value_or(QByteArray())).trimmed().toLower();
    setting.setting = "802-3-ethernet.wake-on-lan " + (value.isEmpty() ? std::string("unknown") : value.toStdString());
    // "default" is NetworkManager.conf's ethernet.wake-on-lan, itself "ignore" unless set there.
    if (!value.isEmpty() && value != QLatin1String("default") && value != QLatin1String("ignore"))
        setting.wakesOnMagic = WakeOnLanValue(value);
    return setting;
}

std::optional<BootSetting> NetplanSetting(const QString &root, const std::string &name,
                                          const std::vector<std::string> &macs)
{
    const auto matches = [&](const std::string &id, const YAML::Node &definition) {
        const YAML::Node match = definition["match"];
        if (!IsMap(match))
            return id == name;
        bool matched = true;
        if (const YAML::Node mac = match["macaddress"]; IsScalar(mac))
            matched = std::any_of(macs.begin(), macs.end(), [&](const std::string &own) {
                return QString::fromStdString(own).compare(QString::fromStdString(mac.Scalar()),
                                                           Qt::CaseInsensitive) == 0;
            });
        if (const YAML::Node pattern = match["name"]; IsScalar(pattern))
            matched = matched && ::fnmatch(pattern.Scalar().c_str(), name.c_str(), 0) == 0;
        return matched;
    };
    std::optional<BootSetting> found;
    bool explicitValue = false;
    for (const QString &file : FilesIn(root, QStringLiteral("/etc/netplan"), QStringLiteral("*.yaml"))) {
        try {
            const YAML::Node document = YAML::LoadFile(Under(root, file).toStdString());
            const YAML::Node network = document["network"];
            if (!IsMap(network) || !IsMap(network["ethernets"]))
                continue;
            const YAML::Node ethernets = network["ethernets"];
            for (const auto &entry : ethernets) {
                const YAML::Node definition = entry.second;
                if (!IsMap(definition) || !matches(entry.first.as<std::string>(), definition))
                    continue;
                const YAML::Node wake = definition["wakeonlan"];
                if (wake.IsDefined()) {
                    const bool on = wake.as<bool>();
                    found = BootSetting{BootSetting::Source::Netplan, file.toStdString(),
                                        on ? "wakeonlan: true" : "wakeonlan: false", on};
                    explicitValue = true;
                } else if (!explicitValue) {
                    found = BootSetting{BootSetting::Source::Netplan, file.toStdString(),
                                        "wakeonlan not set (netplan's default is off)", false};
                }
            }
        } catch (const YAML::Exception &error) {
            if (!found)
                found = BootSetting{BootSetting::Source::Netplan, file.toStdString(),
                                    std::string("cannot be read: ") + error.what(), std::nullopt};
        }
    }
    return found;
}

std::optional<BootSetting> IfupdownSetting(const QString &root, const std::string &name)
{
    const QString file = QStringLiteral("/etc/network/interfaces");
    const std::optional<QByteArray> text = FileText(Under(root, file));
    if (!text)
        return std::nullopt;
    static const QRegularExpression stanza(
        QStringLiteral("^(iface|mapping|auto|allow-\\S+|source|source-directory|rename|no-auto-down|no-scripts)$"));
    std::optional<BootSetting> found;
    bool inStanza = false;
    for (const QByteArray &raw : text->split('\n')) {
        const QStringList words = QString::fromUtf8(raw).simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.isEmpty() || words.first().startsWith(QLatin1Char('#')))
            continue;
        if (stanza.match(words.first()).hasMatch()) {
            inStanza = words.first() == QLatin1String("iface") && words.value(1).toStdString() == name;
            if (inStanza && !found)
                found = BootSetting{BootSetting::Source::Ifupdown, file.toStdString(), "no ethernet-wol line",
                                    std::nullopt};
        } else if (inStanza && words.first() == QLatin1String("ethernet-wol") && words.size() > 1) {
            found->setting = ("ethernet-wol " + words[1]).toStdString();
            found->wakesOnMagic = words[1].contains(QLatin1Char('g'));
        }
    }
    return found;
}

std::optional<BootSetting> TlpSetting(const QString &root)
{
    // apt remove leaves /etc/tlp.conf behind; the program is what runs at boot.
    if (!QFile::exists(Under(root, QStringLiteral("/usr/sbin/tlp")))
        && !QFile::exists(Under(root, QStringLiteral("/usr/bin/tlp"))))
        return std::nullopt;
    const QString defaults = QStringLiteral("/usr/share/tlp/defaults.conf");
    const QString main = QStringLiteral("/etc/tlp.conf");
    static const QRegularExpression assignment(QStringLiteral("^\\s*WOL_DISABLE\\s*=\\s*\"?([^\"\\s#]*)"));
    BootSetting setting{BootSetting::Source::Tlp, "TLP's default", "WOL_DISABLE=Y", false};
    // TLP's own defaults, then the drop-ins in name order, then tlp.conf: the last assignment counts.
    const QStringList files = QStringList{defaults}
                              + FilesIn(root, QStringLiteral("/etc/tlp.d"), QStringLiteral("*.conf"))
                              + QStringList{main};
    for (const QString &file : files) {
        for (const QByteArray &line : FileText(Under(root, file)).value_or(QByteArray()).split('\n')) {
            const QRegularExpressionMatch match = assignment.match(QString::fromUtf8(line));
            if (!match.hasMatch())
                continue;
            const QString value = match.captured(1);
            setting.where = file.toStdString();
            setting.setting = ("WOL_DISABLE=" + value).toStdString();
            // TLP turns Wake-on off for Y alone.
            setting.wakesOnMagic = value == QLatin1String("Y") ? std::optional(false) : std::nullopt;
        }
    }
    return setting;
}

std::vector<BootSetting> BootSettings(const QString &root, CommandRunner &runner, const std::string &name,
                                      const std::vector<std::string> &macs)
{
    std::vector<BootSetting> settings;
    for (std::optional<BootSetting> setting : {LinkFileSetting(root, runner, name), NetplanSetting(root, name, macs),
                                               IfupdownSetting(root, name), NetworkManagerSetting(runner, name),
                                               TlpSetting(root)}) {
        if (setting)
            settings.push_back(std::move(*setting));
    }
    return settings;
}
