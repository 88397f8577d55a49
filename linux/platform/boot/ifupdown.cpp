// ifupdown's /etc/network/interfaces and the files it sources.

#include "bootsources.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <glob.h>

using namespace BootSources;

namespace {

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
