// udev rules whose RUN programs run ethtool.

#include "bootsources.h"

#include <QRegularExpression>

#include <algorithm>

using namespace BootSources;

namespace {

const QStringList kRuleFolders = SearchFolders(QStringLiteral("udev/rules.d"));

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

} // namespace

std::vector<BootSetting> BootSources::UdevRuleSettings(const QString &root, const DeviceFacts &device)
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
