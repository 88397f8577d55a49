#pragma once

#include "datetimetext.h"
#include "packetlistener.h"

#include <QString>
#include <QStringList>

// The lines the log holds. The main window shows them in a text view whose
// count is in screen lines; without a view each text line counts once.
class LogLines
{
public:
    virtual ~LogLines() = default;
    virtual int Count() const = 0;
    virtual void Append(const QString &line) = 0;
    // Appends several lines in one go; a view then lays out and scrolls once.
    virtual void Append(const QStringList &lines)
    {
        for (const QString &line : lines)
            Append(line);
    }
    virtual void Empty() = 0;
};

class LineListLog final : public LogLines
{
public:
    int Count() const override { return int(m_lines.size()); }
    using LogLines::Append;
    void Append(const QString &line) override { m_lines.append(line); }
    void Empty() override { m_lines.clear(); }
    const QStringList &Lines() const { return m_lines; }

private:
    QStringList m_lines;
};

inline constexpr int kLogLineLimit = 700;

// Writes one notification: the error line for a failed receive, else the
// eight-line packet block. A log above the limit is emptied first.
void WriteReport(LogLines &log, const PacketReport &report, const QString &lastError, const QDateTime &now,
                 const DateTimeSettings &settings);

QString NotListeningLine(const QString &lastError);
