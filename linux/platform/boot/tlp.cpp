// TLP's WOL_DISABLE.

#include "bootsources.h"

#include <QFile>
#include <QRegularExpression>

using namespace BootSources;

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
