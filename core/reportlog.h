#pragma once

#include "datetimetext.h"
#include "packetreport.h"

#include <string>
#include <vector>

// The lines the log holds. A window shows them in a text control whose count is
// in screen lines; without one each text line counts once.
class LogLines
{
public:
    virtual ~LogLines() = default;
    virtual int Count() const = 0;
    virtual void Append(const std::string &line) = 0;
    // Appends several lines in one go, so that a view lays out and scrolls once.
    virtual void Append(const std::vector<std::string> &lines)
    {
        for (const std::string &line : lines)
            Append(line);
    }
    virtual void Empty() = 0;
};

class LineListLog final : public LogLines
{
public:
    int Count() const override { return int(m_lines.size()); }
    using LogLines::Append;
    void Append(const std::string &line) override { m_lines.push_back(line); }
    void Empty() override { m_lines.clear(); }
    const std::vector<std::string> &Lines() const { return m_lines; }

private:
    std::vector<std::string> m_lines;
};

inline constexpr int kLogLineLimit = 700;

// The lines of one notification: the error line for a failed receive, else the
// eight-line packet block.
std::vector<std::string> ReportLines(const PacketReport &report, const std::string &lastError,
                                     const LocalDateTime &now, const DateTimeSettings &settings);

// Writes one notification's lines; a log above the limit is emptied first.
void WriteReport(LogLines &log, const PacketReport &report, const std::string &lastError, const LocalDateTime &now,
                 const DateTimeSettings &settings);

std::string NotListeningLine(const std::string &lastError);
