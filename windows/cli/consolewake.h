#pragma once

#include "commandline.h"
#include "consolelines.h"
#include "consolesinks.h"
#include "consolestream.h"
#include "neighbours.h"
#include "segmentwatch.h"
#include "wakeengine.h"
#include "wakesender.h"

#include <vector>

// --wake on this thread's message loop: the wake engine sends the planned packets and
// asks for the machine at its address until it answers or its time runs out. Without
// a capture driver nothing else of it can be seen, so its answer is the only sign of life.
class TConsoleWake final
{
public:
    // Posted to the waking thread: by the console's Ctrl+C handler, and when the wake ends.
    static constexpr UINT kStopMessage = WM_APP + 20;
    // Posted by the asker's thread when the machine answered, or a question failed.
    static constexpr UINT kAskerMessage = WM_APP + 21;

    // `planned` holds a plan.
    TConsoleWake(const WatchOptions &options, const ConsoleProgram &program, PlannedWake planned, WakeSender &sender,
                 NeighbourCalls &calls, std::vector<SendAdapter> adapters, EventSink &out, ConsoleStream &err);
    ~TConsoleWake();
    TConsoleWake(const TConsoleWake &) = delete;
    TConsoleWake &operator=(const TConsoleWake &) = delete;

    // Sends and asks until the outcome, Ctrl+C or --timeout; returns the exit status.
    int Run();

private:
    class Clock final : public WatchClock, public WakeClock
    {
    public:
        std::int64_t RealNs() override;
        std::int64_t SteadyNs() override;
        std::chrono::steady_clock::time_point SteadyNow() override { return std::chrono::steady_clock::now(); }
        std::chrono::system_clock::time_point SystemNow() override { return std::chrono::system_clock::now(); }
    };

    void ArmWake();
    void AskerSpoke();
    void Finish(int exitStatus);

    WatchOptions m_options;
    ConsoleProgram m_program;
    ConsoleStream &m_err;
    WindowsMachineInfo m_machine;
    Clock m_clock;
    ConsoleReport m_report;
    SegmentWatch m_watch;
    WakeAsker m_asker;
    WakeEngine m_wake;
    UINT_PTR m_wakeTimer = 0;
    UINT_PTR m_secondTimer = 0; // ends the watch whose time has passed
    UINT_PTR m_timeout = 0;
    bool m_finished = false;
    int m_exitStatus = kExitStopped;
};
