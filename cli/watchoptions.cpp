#include "watchoptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr double kLongestTimeoutSeconds = 2147483.0; // what a timer's milliseconds can hold

QString Quoted(const QString &value)
{
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

} // namespace

QString MacText(const QString &written)
{
    static const QRegularExpression forms(QStringLiteral(
        "^[0-9A-Fa-f]{2}(?:(:)[0-9A-Fa-f]{2}(?:\\1[0-9A-Fa-f]{2}){4}|(-)[0-9A-Fa-f]{2}(?:\\2[0-9A-Fa-f]{2}){4}"
        "|[0-9A-Fa-f]{10})$"));
    if (!forms.match(written).hasMatch())
        return {};
    QString digits = written.toUpper();
    digits.remove(QLatin1Char(':'));
    digits.remove(QLatin1Char('-'));
    QStringList pairs;
    for (int i = 0; i < 12; i += 2)
        pairs.append(digits.mid(i, 2));
    return pairs.join(QLatin1Char('-'));
}

ParsedCommandLine ParseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Shows the Wake-on-LAN magic packets that reach this computer, as they arrive.\n"
        "Exit status: 0 when --count was reached, at --timeout without --count, or on SIGINT or SIGTERM;\n"
        "1 when --timeout passed before --count was reached; 2 for a wrong command line; 3 when it cannot listen.\n"
        "With --check: 0 when at least one wired interface is ready to wake this machine, 1 when none is."));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Write one JSON object per event (JSON Lines) instead of the report lines."));
    const QCommandLineOption mac(QStringLiteral("mac"),
                                 QStringLiteral("Report only magic packets for this MAC address "
                                                "(00:11:22:33:44:55, 00-11-22-33-44-55 or 001122334455)."),
                                 QStringLiteral("MAC"));
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("Stop after N magic packets have been reported."), QStringLiteral("N"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QStringLiteral("Stop after this many seconds."),
                                     QStringLiteral("SECONDS"));
    const QCommandLineOption udpOnly(QStringLiteral("udp-only"),
                                     QStringLiteral("Watch the raw UDP socket alone and report exactly what the "
                                                    "window would, without the link-layer capture."));
    const QCommandLineOption interfaceName(QStringLiteral("interface"),
                                           QStringLiteral("Capture the link layer of this interface alone "
                                                          "(default: every Ethernet interface)."),
                                           QStringLiteral("NAME"));
    const QCommandLineOption check(QStringLiteral("check"),
                                   QStringLiteral("Say whether this machine is ready to be woken, and stays so after "
                                                  "a reboot, through each wired interface, with what fixes each "
                                                  "problem; then exit. Takes --json alone."));
    parser.addOptions({json, mac, count, timeout, udpOnly, interfaceName, check});
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();

    ParsedCommandLine parsed;
    if (!parser.parse(arguments)) {
        parsed.usageError = parser.errorText();
        return parsed;
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        parsed.helpShown = true;
        const QString text = parser.isSet(help)
            ? parser.helpText()
            : QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion()
                + QLatin1Char('\n');
        std::fputs(qPrintable(text), stdout);
        return parsed;
    }
    if (!parser.positionalArguments().isEmpty()) {
        parsed.usageError = QStringLiteral("Unexpected argument %1.").arg(Quoted(parser.positionalArguments().first()));
        return parsed;
    }

    WatchOptions &options = parsed.options;
    options.json = parser.isSet(json);
    options.check = parser.isSet(check);
    for (const QCommandLineOption *watchOnly : {&mac, &count, &timeout, &udpOnly, &interfaceName}) {
        if (options.check && parser.isSet(*watchOnly)) {
            parsed.usageError =
                QStringLiteral("--check and --%1 exclude each other.").arg(watchOnly->names().constFirst());
            return parsed;
        }
    }
    options.udpOnly = parser.isSet(udpOnly);
    options.interfaceName = parser.value(interfaceName);
    if (parser.isSet(interfaceName) && (options.udpOnly || options.interfaceName.isEmpty())) {
        parsed.usageError = options.udpOnly ? QStringLiteral("--interface and --udp-only exclude each other.")
                                            : QStringLiteral("--interface: the name is empty.");
        return parsed;
    }
    if (parser.isSet(mac)) {
        options.mac = MacText(parser.value(mac));
        if (options.mac.isEmpty()) {
            parsed.usageError = QStringLiteral("--mac: %1 is not a MAC address "
                                               "(write 00:11:22:33:44:55, 00-11-22-33-44-55 or 001122334455).")
                                    .arg(Quoted(parser.value(mac)));
            return parsed;
        }
    }
    if (parser.isSet(count)) {
        bool isNumber = false;
        const int value = parser.value(count).toInt(&isNumber);
        if (!isNumber || value < 1) {
            parsed.usageError =
                QStringLiteral("--count: %1 is not a whole number of at least 1.").arg(Quoted(parser.value(count)));
            return parsed;
        }
        options.count = value;
    }
    if (parser.isSet(timeout)) {
        bool isNumber = false;
        const double seconds = parser.value(timeout).toDouble(&isNumber);
        if (!isNumber || !(seconds > 0) || seconds > kLongestTimeoutSeconds) {
            parsed.usageError = QStringLiteral("--timeout: %1 is not a number of seconds above 0 and up to %2.")
                                    .arg(Quoted(parser.value(timeout)))
                                    .arg(kLongestTimeoutSeconds, 0, 'f', 0);
            return parsed;
        }
        options.timeoutMs = std::max(1, int(std::lround(seconds * 1000)));
    }
    return parsed;
}

CaptureChoice CaptureChoiceFrom(int argc, const char *const argv[])
{
    CaptureChoice choice;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--")
            break;
        if (argument == "--udp-only")
            choice.wanted = false;
        else if (argument == "--check")
            choice.check = true;
        else if (argument == "--interface" && i + 1 < argc)
            choice.interfaceName = argv[++i];
        else if (argument.rfind("--interface=", 0) == 0)
            choice.interfaceName = argument.substr(12);
    }
    return choice;
}
