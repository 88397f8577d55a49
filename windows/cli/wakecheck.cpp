#include "wakecheck.h"

#include "checkreport.h"
#include "eventjson.h"
#include "wakesettings.h"

int WakeCheck(bool json, ConsoleStream &out)
{
    WindowsMachineCalls &calls = SystemWindowsMachineCalls();
    const WindowsCheckReport report = JudgeMachine(ReadWindowsAdapters(calls), ReadWindowsPower(calls));
    if (json) {
        out.Write(JsonLine(CheckJson(report)));
    } else {
        std::string text;
        for (const std::string &line : CheckLines(report))
            text += line + '\n';
        out.Write(text);
    }
    return CheckExitStatus(report);
}
