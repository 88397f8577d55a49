#include "commandline.h"
#include "consolelines.h"
#include "consolestream.h"
#include "consolesinks.h"
#include "consolewake.h"
#include "consolewatch.h"
#include "clocks.h"
#include "regionalsettings.h"
#include "version.h"
#include "wakecheck.h"
#include "wakesender.h"

namespace {

const ConsoleProgram kProgram{"corvalen-cli", CORVALEN_VERSION_TEXT, false};
DWORD watchingThread = 0;

// Runs on a thread of its own that the system starts for Ctrl+C and Ctrl+Break.
BOOL WINAPI StopOnControlKey(DWORD controlType)
{
    if (controlType != CTRL_C_EVENT && controlType != CTRL_BREAK_EVENT)
        return FALSE;
    PostThreadMessageA(watchingThread, ConsoleWatch::kStopMessage, kExitStopped, 0);
    return TRUE;
}

static_assert(ConsoleWake::kStopMessage == ConsoleWatch::kStopMessage, "Ctrl+C stops either");

// The sink the command line chose, for the console.
class Outputs
{
public:
    Outputs(const WatchOptions &options, ConsoleStream &out)
        : m_json([&out](const std::string &text) { out.Write(text); }, m_times)
        // The regional settings write in the ANSI code page; JSON is UTF-8.
        , m_text([&out](const std::string &lines) { out.Write(lines, CP_ACP); }, m_times, ReadDateTimeSettings())
        , m_sink(options.json ? static_cast<EventSink &>(m_json) : m_text)
    {
    }
    EventSink &Sink() { return m_sink; }

private:
    SystemLocalTimes m_times;
    JsonSink m_json;
    TextSink m_text;
    EventSink &m_sink;
};

// --wake: sends the magic packets, and asks for the machine until it answers.
int Wake(const WatchOptions &options, ConsoleStream &out, ConsoleStream &err)
{
    NeighbourCalls &calls = SystemNeighbourCalls();
    const std::vector<SendAdapter> adapters = ReadSendAdapters(SystemWindowsMachineCalls());
    PlannedWake planned = WakeEngine::Plan(WakeOrderOf(options, false), SendInterfaces(adapters),
                                           [&calls](const MacAddress &mac) { return NeighbourAddress(calls, mac); });
    for (const std::string &line : planned.lines)
        err.Write(kProgram.name + ": " + line + '\n');
    if (!planned.plan)
        return planned.refusal;
    Outputs outputs(options, out);
    WakeSender sender(*planned.plan, adapters);
    ConsoleWake wake(options, kProgram, std::move(planned), sender, calls, adapters, outputs.Sink(), err);
    watchingThread = GetCurrentThreadId();
    SetConsoleCtrlHandler(StopOnControlKey, TRUE);
    return wake.Run();
}

int Watch(const WatchOptions &options, ConsoleStream &out, ConsoleStream &err)
{
    Outputs outputs(options, out);
    ConsoleWatch watch(options, kProgram, SystemSocketCalls(), outputs.Sink(), err);
    if (!watch.Start()) {
        if (watch.LastErrorCode() == WSAEACCES)
            err.Write(kProgram.name + " needs administrator rights to open its raw socket: open an elevated "
                      "prompt (right-click Command Prompt, PowerShell or Windows Terminal and choose \"Run as "
                      "administrator\") and start it there.\n");
        return kExitNotListening;
    }
    watchingThread = GetCurrentThreadId();
    SetConsoleCtrlHandler(StopOnControlKey, TRUE);
    return watch.Run();
}

} // namespace

int main(int argc, char *argv[])
{
    ConsoleStream out(STD_OUTPUT_HANDLE);
    ConsoleStream err(STD_ERROR_HANDLE);
    const ParsedCommandLine commandLine = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), kProgram);
    if (!commandLine.output.empty()) {
        out.Write(commandLine.output);
        return kExitStopped;
    }
    if (!commandLine.usageError.empty()) {
        err.Write(UsageErrorText(kProgram, commandLine.usageError));
        return kExitUsage;
    }
    if (commandLine.options.check)
        return WakeCheck(commandLine.options.json, out);
    if (!commandLine.options.wake.empty())
        return Wake(commandLine.options, out, err);
    return Watch(commandLine.options, out, err);
}
