#include "consolewatch.h"

#include "consolelines.h"
#include "eventjson.h"
#include "regionalsettings.h"
#include "reportlog.h"

TConsoleWatch::TConsoleWatch(const WatchOptions &options, const ConsoleProgram &program, WinSockCalls &socketCalls,
                             ConsoleStream &out, ConsoleStream &err)
    : m_options(options)
    , m_program(program)
    , m_listener(std::make_unique<TPacketListener>(socketCalls))
    , m_out(out)
    , m_err(err)
    , m_dateTimeSettings(ReadDateTimeSettings())
{
}

TConsoleWatch::~TConsoleWatch()
{
    if (m_timer)
        KillTimer(nullptr, m_timer);
}

bool TConsoleWatch::Start()
{
    m_listener->OnDataAvailable = [this](const PacketReport &report) { DataAvailable(report); };
    if (!m_listener->StartListening()) {
        m_err.Write(NotListeningLine(m_listener->LastError()) + '\n');
        return false;
    }
    m_err.Write(ListeningLine(m_program.name, m_options.macs, {}) + '\n');
    if (m_options.timeoutMs)
        m_timer = SetTimer(nullptr, 0, UINT(*m_options.timeoutMs), nullptr);
    return true;
}

int TConsoleWatch::Run()
{
    MSG message;
    while (!m_finished && GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == nullptr && message.message == kStopMessage)
            Finish(int(message.wParam));
        else if (message.hwnd == nullptr && message.message == WM_TIMER && message.wParam == m_timer)
            Finish(m_options.count ? kExitTimedOut : kExitStopped);
        else
            DispatchMessageA(&message);
    }
    return m_exitStatus;
}

void TConsoleWatch::Finish(int exitStatus)
{
    if (m_finished)
        return;
    // What the socket had already announced is read and reported before the end.
    for (MSG message; PeekMessageA(&message, m_listener->NotificationWindow(), TPacketListener::kReadinessMessage,
                                   TPacketListener::kReadinessMessage, PM_REMOVE);)
        DispatchMessageA(&message);
    m_finished = true;
    m_exitStatus = exitStatus;
    m_listener.reset();
    m_err.Write(SummaryLine(m_program.name, m_counts) + '\n');
}

void TConsoleWatch::DataAvailable(const PacketReport &report)
{
    if (m_finished || (m_options.count && m_counts.magicReported >= *m_options.count))
        return;
    if (!report.error && !m_options.Wants(report.mac))
        return;
    int offsetFromUtc = 0;
    const LocalDateTime now = LocalNow(offsetFromUtc);
    if (report.error)
        ++m_counts.failedReceives;
    if (m_options.json) {
        const std::string time = IsoLocalTime(now, offsetFromUtc);
        m_out.Write(JsonLine(report.error ? ErrorJson(m_listener->LastError()) : DatagramJson(report, time)));
    } else {
        // The window's own lines, without its limit: a console keeps what scrolls away.
        std::string text;
        for (const std::string &line : ReportLines(report, m_listener->LastError(), now, m_dateTimeSettings))
            text += line + '\n';
        m_out.Write(text, CP_ACP);
    }
    if (report.error)
        return;
    ++m_counts.magicReported;
    // The listener is still inside its receive step; the watch ends after it.
    if (m_options.count && m_counts.magicReported == *m_options.count)
        PostThreadMessageA(GetCurrentThreadId(), kStopMessage, kExitStopped, 0);
}
