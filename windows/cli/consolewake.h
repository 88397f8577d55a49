#pragma once

#include "commandline.h"
#include "consolelines.h"
#include "consolesinks.h"
#include "consolestream.h"
#include "neighbours.h"
#include "segmentwatch.h"
#include "wakesender.h"

#include <memory>
#include <vector>

// --wake on this thread's message loop: the plan's packets round by round, each a
// `sent` event, then the machine asked for at its address until it answers or its
// time runs out. Without a capture driver nothing else of it can be seen, so its
// answer is the only sign of life.
class TConsoleWake final
{
public:
    // Posted to the waking thread: by the console's Ctrl+C handler, and once every outcome came.
    static constexpr UINT kStopMessage = WM_APP + 20;
    // Posted by the asker's thread when the machine answered, or a question failed.
    static constexpr UINT kAskerMessage = WM_APP + 21;

    TConsoleWake(const WatchOptions &options, const ConsoleProgram &program, WakePlan plan, WakeSender &sender,
                 NeighbourCalls &calls, std::vector<SendAdapter> adapters, EventSink &out, ConsoleStream &err);
    ~TConsoleWake();
    TConsoleWake(const TConsoleWake &) = delete;
    TConsoleWake &operator=(const TConsoleWake &) = delete;

    // Sends and asks until the outcome, Ctrl+C or --timeout; returns the exit status.
    int Run();

private:
    class Clock final : public WatchClock
    {
    public:
        std::int64_t RealNs() override;
        std::int64_t SteadyNs() override;
    };

    void SendRound();
    void StartAsking();
    void Answered();
    void Finish(int exitStatus);
    void Write(const std::string &line) { m_err.Write(m_program.name + ": " + line + '\n'); }

    WatchOptions m_options;
    ConsoleProgram m_program;
    WakeSender &m_sender;
    NeighbourCalls &m_calls;
    std::vector<SendAdapter> m_adapters;
    ConsoleStream &m_err;
    WindowsMachineInfo m_machine;
    Clock m_clock;
    ConsoleReport m_report;
    SegmentWatch m_watch;
    WakeRounds m_rounds;
    std::unique_ptr<WakeAsker> m_asker;
    bool m_askerFailureTold = false;
    UINT_PTR m_roundTimer = 0;
    UINT_PTR m_secondTimer = 0; // ends the watch whose time has passed
    UINT_PTR m_timeout = 0;
    bool m_finished = false;
    int m_exitStatus = kExitStopped;
};
