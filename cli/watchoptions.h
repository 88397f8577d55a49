#pragma once

#include <QString>
#include <QStringList>

#include <optional>

struct WatchOptions
{
    bool json = false;
    QString mac; // as a report shows it (00-11-22-33-44-55); empty for every MAC
    std::optional<int> count;
    std::optional<int> timeoutMs;
};

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
