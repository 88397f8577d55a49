#include "consolewake.h"

#include <algorithm>

namespace {

SegmentWatch::Settings SettingsFor(const WatchOptions &options)
{
    SegmentWatch::Settings settings;
    settings.wakeTimeout = options.wakeTimeout;
    settings.macs = options.wake;
    return settings;
}

// The engine is still inside its step, or the watch inside its own: the wake ends after it.
void PostStop(int exitStatus)
{
    PostThreadMessageA(GetCurrentThreadId(), ConsoleWake::kStopMessage, WPARAM(exitStatus), 0);
}

} // namespace

ConsoleWake::ConsoleWake(const WatchOptions &options, const ConsoleProgram &program, PlannedWake planned,
                           WakeSender &sender, NeighbourCalls &calls, std::vector<SendAdapter> adapters,
                           EventSink &out, ConsoleStream &err)
    : m_options(options)
    , m_program(program)
    , m_err(err)
    , m_machine(adapters, calls)
    , m_report(m_options, out, PostStop)
    , m_watch(SettingsFor(m_options), m_machine, m_clock, m_report)
    , m_asker(calls, std::move(adapters), GetCurrentThreadId(), kAskerMessage)
    , m_wake(std::move(planned), m_clock, sender, m_asker, m_watch, m_report, AskedOnly::Blind::WithoutCaptureDriver)
{
    m_wake.OnLine = [this](const std::string &line) { m_err.Write(m_program.name + ": " + line + '\n'); };
    m_wake.OnDone = [](ExitStatus status) { PostStop(status); };
    m_watch.OnOutcome = [this](const WakeOutcome &outcome) { m_wake.Outcome(outcome); };
}

ConsoleWake::~ConsoleWake()
{
    for (const UINT_PTR timer : {m_wakeTimer, m_secondTimer, m_timeout}) {
        if (timer)
            KillTimer(nullptr, timer);
    }
}

int ConsoleWake::Run()
{
    if (m_options.timeout)
        m_timeout = SetTimer(nullptr, 0, UINT(m_options.timeout->count()), nullptr);
    m_secondTimer = SetTimer(nullptr, 0, 1000, nullptr);
    m_wake.Start();
    ArmWake();
    MSG message;
    while (!m_finished && GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd != nullptr) {
            DispatchMessageA(&message);
        } else if (message.message == kStopMessage) {
            Finish(int(message.wParam));
        } else if (message.message == kAskerMessage) {
            AskerSpoke();
        } else if (message.message == WM_TIMER && message.wParam == m_wakeTimer) {
            KillTimer(nullptr, m_wakeTimer);
            m_wakeTimer = 0;
            m_wake.Advance();
            ArmWake();
        } else if (message.message == WM_TIMER && message.wParam == m_secondTimer) {
            m_watch.Expire(m_clock.RealNow());
        } else if (message.message == WM_TIMER && message.wParam == m_timeout) {
            Finish(kExitTimedOut);
        }
    }
    return m_exitStatus;
}

void ConsoleWake::ArmWake()
{
    const std::optional<SteadyTime> due = m_wake.NextDue();
    if (!due || m_finished)
        return;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - m_clock.SteadyNow());
    m_wakeTimer = SetTimer(nullptr, 0, UINT(std::max<long long>(wait.count(), USER_TIMER_MINIMUM)), nullptr);
}

void ConsoleWake::AskerSpoke()
{
    if (m_finished)
        return;
    if (const std::string failure = m_asker.Failure(); !failure.empty())
        m_wake.CannotAsk(failure);
    if (const std::optional<WakeQuestion> answered = m_asker.TakeAnswer())
        m_wake.Answered(answered->way, answered->address);
}

void ConsoleWake::Finish(int exitStatus)
{
    if (m_finished)
        return;
    m_finished = true;
    m_exitStatus = exitStatus;
    m_wake.Stop();
    m_asker.Stop();
    m_watch.Finish();
}
