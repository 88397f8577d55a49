#include "reportlog.h"

std::vector<std::string> ReportLines(const PacketReport &report, const std::string &lastError,
                                     const LocalDateTime &now, const DateTimeSettings &settings)
{
    if (report.error)
        return {"Error: " + lastError};
    return {
        "Magic Packet received.",
        "  Date, Time: " + FormatDateTimeText(now, settings),
        "  Source Address: " + report.sourceAddress,
        "  Source Port: " + std::to_string(report.sourcePort),
        "  Destination Address: " + report.destinationAddress,
        "  Destination Port: " + std::to_string(report.destinationPort),
        "  MAC Address: " + report.mac,
        std::string(),
    };
}

void WriteReport(LogLines &log, const PacketReport &report, const std::string &lastError, const LocalDateTime &now,
                 const DateTimeSettings &settings)
{
    if (log.Count() > kLogLineLimit)
        log.Empty();
    log.Append(ReportLines(report, lastError, now, settings));
}

std::string NotListeningLine(const std::string &lastError)
{
    return "Not listening: " + lastError;
}
