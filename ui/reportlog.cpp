#include "reportlog.h"

void WriteReport(LogLines &log, const PacketReport &report, const QString &lastError, const QDateTime &now,
                 const DateTimeSettings &settings)
{
    if (log.Count() > kLogLineLimit)
        log.Empty();

    if (report.error) {
        log.Append(QStringLiteral("Error: ") + lastError);
        return;
    }

    log.Append(QStringLiteral("Magic Packet received."));
    log.Append(QStringLiteral("  Date, Time: ") + FormatDateTimeText(now, settings));
    log.Append(QStringLiteral("  Source Address: ") + report.sourceAddress);
    log.Append(QStringLiteral("  Source Port: ") + QString::number(report.sourcePort));
    log.Append(QStringLiteral("  Destination Address: ") + report.destinationAddress);
    log.Append(QStringLiteral("  Destination Port: ") + QString::number(report.destinationPort));
    log.Append(QStringLiteral("  MAC Address: ") + report.mac);
    log.Append(QString());
}

QString NotListeningLine(const QString &lastError)
{
    return QStringLiteral("Not listening: ") + lastError;
}
