#include "commandline.h"
#include "consolelines.h"
#include "consolestream.h"
#include "consolesinks.h"
#include "consolewake.h"
#include "consolewatch.h"
#include "regionalsettings.h"
#include "socketerrors.h"
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
    PostThreadMessageA(watchingThread, TConsoleWatch::kStopMessage, kExitStopped, 0);
    return TRUE;
}

static_assert(TConsoleWake::kStopMessage == TConsoleWatch::kStopMessage, "Ctrl+C stops either");

// The sink the command line chose, for the console.
class Output
{
public:
    Output(const WatchOptions &options, ConsoleStream &out)
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
    Output output(options, out);
    WakeSender sender(*planned.plan, adapters);
    TConsoleWake wake(options, kProgram, std::move(planned), sender, calls, adapters, output.Sink(), err);
    watchingThread = GetCurrentThreadId();
    SetConsoleCtrlHandler(StopOnControlKey, TRUE);
    return wake.Run();
}

int Watch(const WatchOptions &options, ConsoleStream &out, ConsoleStream &err)
{
    Output output(options, out);
    TConsoleWatch watch(options, kProgram, SystemWinSockCalls(), output.Sink(), err);
    if (!watch.Start()) {
        if (watch.LastError() == SocketErrorText(kWsaEAccess))
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
