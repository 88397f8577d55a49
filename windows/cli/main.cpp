#include "commandline.h"
#include "consolestream.h"
#include "consolesinks.h"
#include "consolewatch.h"
#include "regionalsettings.h"
#include "socketerrors.h"
#include "version.h"
#include "wakecheck.h"

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

int Watch(const WatchOptions &options, ConsoleStream &out, ConsoleStream &err)
{
    SystemLocalTimes times;
    // The regional settings write in the ANSI code page; JSON is UTF-8.
    JsonSink json([&out](const std::string &text) { out.Write(text); }, times);
    TextSink text([&out](const std::string &lines) { out.Write(lines, CP_ACP); }, times, ReadDateTimeSettings());
    TConsoleWatch watch(options, kProgram, SystemWinSockCalls(), options.json ? static_cast<EventSink &>(json) : text,
                        err);
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
    return Watch(commandLine.options, out, err);
}
