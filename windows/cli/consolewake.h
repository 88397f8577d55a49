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
class ConsoleWake final
{
public:
    // Posted to the waking thread: by the console's Ctrl+C handler, and when the wake ends.
    static constexpr UINT kStopMessage = WM_APP + 20;
    // Posted by the asker's thread when the machine answered, or a question failed.
    static constexpr UINT kAskerMessage = WM_APP + 21;

    // `planned` holds a plan.
    ConsoleWake(const WatchOptions &options, const ConsoleProgram &program, PlannedWake planned, WakeSender &sender,
                 NeighbourCalls &calls, std::vector<SendAdapter> adapters, EventSink &out, ConsoleStream &err);
    ~ConsoleWake();
    ConsoleWake(const ConsoleWake &) = delete;
    ConsoleWake &operator=(const ConsoleWake &) = delete;

    // Sends and asks until the outcome, Ctrl+C or --timeout; returns the exit status.
    int Run();

private:
    void ArmWake();
    void AskerSpoke();
    void Finish(int exitStatus);

    WatchOptions m_options;
    ConsoleProgram m_program;
    ConsoleStream &m_err;
    WindowsMachineInfo m_machine;
    SystemWatchClock m_clock;
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
