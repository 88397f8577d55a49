#include "consolewatch.h"

#include "eventjson.h"
#include "regional.h"
#include "reportlog.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <ctime>

namespace {

// ISO 8601 with milliseconds and the offset from UTC, written +00:00 for UTC too.
QString IsoLocalTime(const QDateTime &moment)
{
    const int offset = moment.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return moment.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz"))
        + QStringLiteral("%1%2:%3")
              .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
              .arg(minutes / 60, 2, 10, QLatin1Char('0'))
              .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

// A moment as local time, as QDateTime gives it, without reading the time zone anew
// for every event: that is done at most once a second, which still follows a change
// of zone.
QDateTime LocalTime(const timespec &moment)
{
    static time_t zoneReadAt = -1;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    if (now.tv_sec != zoneReadAt) {
        ::tzset();
        zoneReadAt = now.tv_sec;
    }
    tm local{};
    if (::localtime_r(&moment.tv_sec, &local) == nullptr)
        return QDateTime::currentDateTime();
    return QDateTime(QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
                     QTime(local.tm_hour, local.tm_min, local.tm_sec, int(moment.tv_nsec / 1000000)),
                     Qt::OffsetFromUTC, int(local.tm_gmtoff));
}

QDateTime CurrentLocalTime()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return LocalTime(now);
}

// When the kernel received the packet, where it said; otherwise now.
QDateTime ReceivedLocalTime(std::int64_t kernelTimeNs)
{
    if (kernelTimeNs <= 0)
        return CurrentLocalTime();
    return LocalTime(timespec{time_t(kernelTimeNs / 1000000000), long(kernelTimeNs % 1000000000)});
}

// Standard output is flushed whenever the program is about to wait, so that a burst
// of events costs one write and no line waits for the next event.
void WriteOut(const QByteArray &text)
{
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
}

void WriteJson(const QJsonObject &event)
{
    WriteOut(QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n');
}

void WriteError(const QString &line)
{
    std::fprintf(stderr, "%s\n", qPrintable(line));
    std::fflush(stderr);
}

} // namespace

TConsoleWatch::TConsoleWatch(const WatchOptions &options, SocketCalls &socketCalls, LinkCapture *capture,
                             const std::string &captureFailure, MachineInfo &machine)
    : m_options(options)
    , m_listener(std::make_unique<TPacketListener>(socketCalls))
    , m_capture(options.udpOnly ? nullptr : capture)
    , m_captureFailure(captureFailure)
    , m_merger(machine)
    , m_dateTimeSettings(DateTimeSettingsFromLocale(QLocale::system()))
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, &TConsoleWatch::TimedOut);
    m_merger.OnEvent = [this](const MagicEvent &event) { WriteEvent(event); };
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            [] { std::fflush(stdout); });
}

TConsoleWatch::~TConsoleWatch() = default;

bool TConsoleWatch::Start()
{
    m_listener->OnDataAvailable = [this](const PacketReport &report) { DataAvailable(report); };
    // With both sources an event waits for the other one anyway, so a datagram may
    // as well wait for those behind it.
    if (m_capture)
        m_listener->SetBatchDelay(kSocketBatchDelayMs);
    if (!m_listener->StartListening()) {
        WriteError(QString::fromStdString(NotListeningLine(m_listener->LastError())));
        return false;
    }
    if (!m_options.udpOnly && !m_capture)
        WriteError(QStringLiteral("%1: not watching the link layer (%2); going on with the raw socket alone")
                       .arg(QCoreApplication::applicationName(), QString::fromStdString(m_captureFailure)));
    QString linkLayer;
    if (m_capture) {
        m_capture->OnFrame = [this](const std::string &interfaceName, ByteView frame, std::int64_t kernelTimeNs) {
            if (!m_finished)
                m_merger.FrameSeen(interfaceName, frame, kernelTimeNs);
        };
        // Awake for the frames anyway: the datagrams that came meanwhile are read too.
        m_capture->OnFramesHandled = [this] {
            if (!m_finished && m_listener && m_listener->IsListening())
                m_listener->ReceiveQueued();
        };
        m_capture->Start();
        m_merger.SetCaptureRunning(true);
        QStringList names;
        for (const std::string &name : m_capture->Interfaces())
            names << QString::fromStdString(name);
        linkLayer = QStringLiteral(", and for Ethernet frames of type 0x0842 and UDP over IPv4 and IPv6 on ")
            + names.join(QStringLiteral(", "));
    }
    WriteError(QStringLiteral("%1: listening for magic packets%2 to any UDP port of any local IPv4 address%3")
                   .arg(QCoreApplication::applicationName(),
                        m_options.mac.isEmpty() ? QString() : QStringLiteral(" for ") + m_options.mac, linkLayer));
    if (m_options.timeoutMs)
        m_timeout.start(*m_options.timeoutMs);
    return true;
}

void TConsoleWatch::Finish(int exitStatus)
{
    if (m_finished)
        return;
    m_timeout.stop();
    // What the kernel queued before the stop is reported too, and drops after the
    // last datagram would otherwise go untold.
    if (m_listener && m_listener->IsListening()) {
        m_listener->ReceiveQueued();
        m_listener->ReportPendingDrops();
    }
    if (m_capture)
        m_capture->ReadQueued();
    // Events still waiting for the other source are reported as things stand.
    m_merger.Flush();
    m_finished = true;
    if (m_listener && m_listener->IsListening())
        m_listener->StopListening();
    m_listener.reset();
    const std::uint64_t frameDrops = m_capture ? m_capture->Drops() : 0;
    if (m_capture)
        m_capture->Close();
    std::fflush(stdout);
    WriteError(QStringLiteral("%1: %2 magic packet(s) reported, %3 failed receive(s), %4 datagram(s) dropped by the kernel")
                   .arg(QCoreApplication::applicationName())
                   .arg(m_magicReported)
                   .arg(m_failedReceives)
                   .arg(m_dropped)
               + (m_options.udpOnly ? QString()
                                    : QStringLiteral(", %1 near miss(es), %2 frame(s) dropped by the link-layer capture")
                                          .arg(m_nearMisses)
                                          .arg(frameDrops)));
    QCoreApplication::exit(exitStatus);
}

void TConsoleWatch::DataAvailable(const PacketReport &report)
{
    if (m_finished)
        return;
    if (report.error) {
        const QDateTime now = CurrentLocalTime();
        const std::string error = m_listener->LastError();
        const std::uint32_t dropped = m_listener->LastDropCount();
        if (m_options.udpOnly)
            WriteFailure(report, now, error, dropped);
        else // in its place among the events that wait
            m_merger.OtherReported(report.kernelTimeNs,
                                   [this, report, now, error, dropped] { WriteFailure(report, now, error, dropped); });
        return;
    }
    if (!m_options.udpOnly) {
        m_merger.DatagramReported(report); // it reports the event with its own time
        return;
    }
    if (!m_options.mac.isEmpty() && report.mac != m_options.mac.toStdString())
        return;
    if (m_options.count && m_magicReported >= *m_options.count)
        return; // already finishing
    WriteMagic(report, CurrentLocalTime());
    CountReported();
}

void TConsoleWatch::CountReported()
{
    ++m_magicReported;
    // The listener is still inside its receive step; it is destroyed once that is over.
    if (m_options.count && m_magicReported == *m_options.count)
        QMetaObject::invokeMethod(this, [this] { Finish(kExitStopped); }, Qt::QueuedConnection);
}

void TConsoleWatch::WriteEvent(const MagicEvent &event)
{
    if (m_finished || (!m_options.mac.isEmpty() && event.mac != m_options.mac.toStdString()))
        return;
    if (m_options.count && m_magicReported >= *m_options.count)
        return; // already finishing
    const QDateTime received = ReceivedLocalTime(event.kernelTimeNs);
    if (m_options.json) {
        WriteJson(EventJson(event, IsoLocalTime(received)));
    } else {
        std::string text;
        for (const std::string &line : EventLines(event, ToLocalDateTime(received), m_dateTimeSettings))
            text += line + '\n';
        WriteOut(QByteArray::fromStdString(text));
    }
    if (event.nearMiss)
        ++m_nearMisses;
    else
        CountReported();
}

void TConsoleWatch::WriteMagic(const PacketReport &report, const QDateTime &now)
{
    if (!m_options.json) {
        WriteLines(report, now, m_listener->LastError());
        return;
    }
    WriteJson({
        {QStringLiteral("event"), QStringLiteral("magic")},
        {QStringLiteral("time"), IsoLocalTime(now)},
        {QStringLiteral("source"), QString::fromStdString(report.sourceAddress)},
        {QStringLiteral("source_port"), int(report.sourcePort)},
        {QStringLiteral("destination"), QString::fromStdString(report.destinationAddress)},
        {QStringLiteral("destination_port"), int(report.destinationPort)},
        {QStringLiteral("mac"), QString::fromStdString(report.mac)},
    });
}

void TConsoleWatch::WriteFailure(const PacketReport &report, const QDateTime &now, const std::string &error,
                                 std::uint32_t dropped)
{
    if (dropped > 0)
        m_dropped += dropped;
    else
        ++m_failedReceives;
    if (!m_options.json) {
        WriteLines(report, now, error);
        return;
    }
    if (dropped > 0) {
        WriteJson({{QStringLiteral("event"), QStringLiteral("drops")}, {QStringLiteral("count"), qint64(dropped)}});
        return;
    }
    WriteJson({{QStringLiteral("event"), QStringLiteral("error")}, {QStringLiteral("text"), QString::fromStdString(error)}});
}

void TConsoleWatch::WriteLines(const PacketReport &report, const QDateTime &now, const std::string &error)
{
    // The window's own lines, without its limit: a terminal keeps what scrolls away.
    std::string text;
    for (const std::string &line : ReportLines(report, error, ToLocalDateTime(now), m_dateTimeSettings))
        text += line + '\n';
    WriteOut(QByteArray::fromStdString(text));
}

void TConsoleWatch::TimedOut()
{
    Finish(m_options.count ? kExitTimedOut : kExitStopped);
}
