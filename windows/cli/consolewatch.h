#pragma once

#include "commandline.h"
#include "consolelines.h"
#include "consolesinks.h"
#include "consolestream.h"
#include "packetlistener.h"

#include <memory>

// The raw socket's notifications to the sinks the command line chose, for as long
// as this thread's message loop runs.
class ConsoleWatch final
{
public:
    // Posted to the watching thread: by the console's Ctrl+C handler, and once --count is reached.
    static constexpr UINT kStopMessage = WM_APP + 20;

    ConsoleWatch(const WatchOptions &options, const ConsoleProgram &program, SocketCalls &socketCalls,
                  EventSink &out, ConsoleStream &err);
    ~ConsoleWatch();
    ConsoleWatch(const ConsoleWatch &) = delete;
    ConsoleWatch &operator=(const ConsoleWatch &) = delete;

    // Starts listening and says so on standard error; false when it cannot listen.
    bool Start();
    // Runs this thread's messages until the watch ends; returns the exit status.
    int Run();
    const std::string &LastError() const { return m_listener->LastError(); }
    int LastErrorCode() const { return m_listener->LastErrorCode(); }

private:
    void DataAvailable(const PacketReport &report);
    void Finish(int exitStatus);

    WatchOptions m_options;
    ConsoleProgram m_program;
    std::unique_ptr<TPacketListener> m_listener;
    ConsoleReport m_report;
    ConsoleStream &m_err;
    UINT_PTR m_timer = 0;
    bool m_finished = false;
    int m_exitStatus = kExitStopped;
};
