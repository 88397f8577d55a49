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

    log.Append(QStringList{
        QStringLiteral("Magic Packet received."),
        QStringLiteral("  Date, Time: ") + FormatDateTimeText(now, settings),
        QStringLiteral("  Source Address: ") + report.sourceAddress,
        QStringLiteral("  Source Port: ") + QString::number(report.sourcePort),
        QStringLiteral("  Destination Address: ") + report.destinationAddress,
        QStringLiteral("  Destination Port: ") + QString::number(report.destinationPort),
        QStringLiteral("  MAC Address: ") + report.mac,
        QString(),
    });
}

QString NotListeningLine(const QString &lastError)
{
    return QStringLiteral("Not listening: ") + lastError;
}
