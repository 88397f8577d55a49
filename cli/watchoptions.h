#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <string>

struct WatchOptions
{
    bool json = false;
    QString mac; // as a report shows it (00-11-22-33-44-55); empty for every MAC
    std::optional<int> count;
    std::optional<int> timeoutMs;
    bool udpOnly = false;     // the raw socket alone, as the window has it
    QString interfaceName;    // the link-layer capture on this interface alone; empty for all
    bool check = false;       // whether this machine is ready to be woken, instead of the watch
};

// What the link-layer capture is to open, read straight from main's arguments:
// it is opened before anything else runs, while the process still has its
// capabilities. The full parse comes later and rejects what is wrong.
struct CaptureChoice
{
    bool wanted = true;
    std::string interfaceName;
    bool check = false; // --check opens no socket and no capture
};
CaptureChoice CaptureChoiceFrom(int argc, const char *const argv[]);

struct ParsedCommandLine
{
    WatchOptions options;
    QString usageError; // empty when the command line is good
    bool helpShown = false;
};

// Reads corvalen-cli's command line; --help and --version print their text.
ParsedCommandLine ParseCommandLine(const QStringList &arguments);

// A MAC address written 00:11:22:33:44:55, 00-11-22-33-44-55 or 001122334455 in
// any case, as a report shows it; empty when it is none of these.
QString MacText(const QString &written);
