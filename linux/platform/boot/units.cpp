// systemd services enabled in a .wants folder whose ExecStart lines run ethtool.

#include "bootsources.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <set>

using namespace BootSources;

namespace {

const QStringList kUnitFolders = SearchFolders(QStringLiteral("systemd/system"));

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
