#include "consolewatch.h"

#include "reportlog.h"

ConsoleWatch::ConsoleWatch(const WatchOptions &options, const ConsoleProgram &program, SocketCalls &socketCalls,
                             EventSink &out, ConsoleStream &err)
    : m_options(options)
    , m_program(program)
    , m_listener(std::make_unique<TPacketListener>(socketCalls))
    , m_report(m_options, out,
               [](int exitStatus) {
                   // The listener is still inside its receive step; the watch ends after it.
                   PostThreadMessageA(GetCurrentThreadId(), kStopMessage, WPARAM(exitStatus), 0);
               })
    , m_err(err)
{
}

ConsoleWatch::~ConsoleWatch()
{
    if (m_timer)
        KillTimer(nullptr, m_timer);
}

bool ConsoleWatch::Start()
{
    m_listener->OnDataAvailable = [this](const PacketReport &report) { DataAvailable(report); };
    if (!m_listener->StartListening()) {
        m_err.Write(NotListeningLine(m_listener->LastError()) + '\n');
        return false;
    }
    m_err.Write(ListeningLine(m_program.name, m_options.macs, {}) + '\n');
    if (m_options.timeout)
        m_timer = SetTimer(nullptr, 0, UINT(m_options.timeout->count()), nullptr);
    return true;
}

int ConsoleWatch::Run()
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

void ConsoleWatch::Finish(int exitStatus)
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
    m_err.Write(SummaryLine(m_program.name, m_report.Counts()) + '\n');
}

void ConsoleWatch::DataAvailable(const PacketReport &report)
{
    if (m_finished)
        return;
    if (report.error)
        m_report.Failure({report, m_listener->LastError(), 0});
    else
        m_report.Datagram(report);
}
