// corvalen.exe as a user sees it: started as a process of its own, fed with
// datagrams over loopback, its log read from the Edit control, its buttons pressed.
// Arguments: the program, then optionally --not-listening "<expected first line>"
// for a run without the right to open raw sockets.
#include "check.h"
#include "loopback.h"

#include <commctrl.h>

#include <sstream>

namespace {

constexpr int kExitButton = 1011, kClearButton = 1012, kHelpButton = 1013;

struct Program
{
    PROCESS_INFORMATION process{};
    HWND main = nullptr;
    HWND memo = nullptr;
    HWND toolBar = nullptr;

    bool Start(const std::string &path)
    {
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        std::string commandLine = "\"" + path + "\"";
        if (!CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process))
            return false;
        main = WaitForWindow("TListenForm", 20000);
        memo = main ? FindWindowExA(main, nullptr, "Edit", nullptr) : nullptr;
        toolBar = main ? FindWindowExA(main, nullptr, TOOLBARCLASSNAMEA, nullptr) : nullptr;
        return memo && toolBar;
    }

    ~Program()
    {
        if (process.hProcess && WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }

    HWND FindOwnWindow(const char *className) const
    {
        for (HWND window = FindWindowExA(nullptr, nullptr, className, nullptr); window;
             window = FindWindowExA(nullptr, window, className, nullptr)) {
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner == process.dwProcessId && IsWindowVisible(window))
                return window;
        }
        return nullptr;
    }

    HWND WaitForWindow(const char *className, DWORD milliseconds) const
    {
        HWND found = nullptr;
        PumpMessagesUntil([&] { return (found = FindOwnWindow(className)) != nullptr; }, milliseconds);
        return found;
    }

    std::vector<std::string> LogLines() const
    {
        DWORD_PTR length = 0;
        SendMessageTimeoutA(memo, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length);
        std::string text(length + 1, '\0');
        DWORD_PTR copied = 0;
        SendMessageTimeoutA(memo, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                            5000, &copied);
        text.resize(copied);
        std::vector<std::string> lines;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
            lines.push_back(text.substr(start, end - start));
        return lines;
    }

    bool WaitForLineCount(std::size_t count) const
    {
        return PumpMessagesUntil([&] { return LogLines().size() >= count; }, 5000);
    }

    // A click on a toolbar button, as the mouse makes it.
    void Click(int command) const
    {
        const auto index = int(SendMessageA(toolBar, TB_COMMANDTOINDEX, command, 0));
        const LPARAM middle = MAKELPARAM(index * 23 + 11, 11);
        PostMessageA(toolBar, WM_MOUSEMOVE, 0, middle);
        PostMessageA(toolBar, WM_LBUTTONDOWN, MK_LBUTTON, middle);
        PostMessageA(toolBar, WM_LBUTTONUP, 0, middle);
    }
};

std::string Argument(std::size_t index)
{
    return index < TestArguments().size() ? TestArguments()[index] : std::string();
}

std::string Today()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::ostringstream text;
    text << now.wMonth << '/' << now.wDay << '/' << now.wYear << ' ';
    return text.str();
}

void CheckMagicBlock(const std::vector<std::string> &block, const Sender &sender, const std::string &mac)
{
    if (!CHECK_EQUAL(block.size(), std::size_t(8)))
        return;
    const std::string today = Today();
    const std::string dateLine = "  Date, Time: " + today;
    CHECK_EQUAL(block[0], std::string("Magic Packet received."));
    // United States English settings: month/day/year, then h:mm:ss and the marker.
    CHECK_EQUAL(block[1].substr(0, dateLine.size()), dateLine);
    const std::string time = block[1].substr(std::min(block[1].size(), dateLine.size()));
    CHECK(time.size() >= 10 && (time.ends_with(" AM") || time.ends_with(" PM")) && time[time.size() - 6] == ':');
    CHECK_EQUAL(block[2], std::string("  Source Address: 127.0.0.1"));
    CHECK_EQUAL(block[3], "  Source Port: " + std::to_string(sender.Port()));
    CHECK_EQUAL(block[4], std::string("  Destination Address: 127.0.0.1"));
    CHECK_EQUAL(block[5], std::string("  Destination Port: 9"));
    CHECK_EQUAL(block[6], "  MAC Address: " + mac);
    CHECK_EQUAL(block[7], std::string());
}

RECT WindowRect(HWND window)
{
    RECT rect{};
    GetWindowRect(window, &rect);
    return rect;
}

} // namespace

TEST(ReportsPacketsShowsAboutAndCloses)
{
    if (Argument(1) == "--not-listening")
        return;
    Program program;
    if (!CHECK(program.Start(Argument(0))))
        return;
    const std::vector<std::string> startLines = program.LogLines();
    if (!startLines.empty() && startLines[0].starts_with("Not listening: "))
        Skip("the program may not open a raw socket here: " + startLines[0]);

    const RECT main = WindowRect(program.main);
    CHECK_EQUAL(main.right - main.left, 309);
    CHECK_EQUAL(main.bottom - main.top, 342);
    const LONG style = GetWindowLongA(program.main, GWL_STYLE);
    CHECK((style & WS_MINIMIZEBOX) && (style & WS_THICKFRAME) && (style & WS_SYSMENU) && !(style & WS_MAXIMIZEBOX));
    const LONG memoStyle = GetWindowLongA(program.memo, GWL_STYLE);
    CHECK((memoStyle & ES_READONLY) && (memoStyle & ES_MULTILINE) && (memoStyle & WS_VSCROLL) && !(memoStyle & WS_HSCROLL));
    CHECK_EQUAL(SendMessageA(program.toolBar, TB_BUTTONCOUNT, 0, 0), LRESULT(3));

    Sender sender;
    const auto mac = RunMac(0x10);
    CHECK(sender.SendTo(9, MagicPayload(mac)));
    CHECK(program.WaitForLineCount(8));
    CHECK(sender.SendTo(9, std::vector<std::uint8_t>(3000, 0)));
    CHECK(program.WaitForLineCount(9));
    std::vector<std::string> lines = program.LogLines();
    if (CHECK_EQUAL(lines.size(), std::size_t(9))) {
        CheckMagicBlock({lines.begin(), lines.begin() + 8}, sender, MacText(mac));
        CHECK_EQUAL(lines[8], std::string("Error: Message too long, 10040"));
    }

    // About opens over the middle of the main window, modal, while the log keeps growing.
    program.Click(kHelpButton);
    const HWND about = program.WaitForWindow("THelpForm", 10000);
    if (!CHECK(about != nullptr))
        return;
    char caption[64] = {};
    GetWindowTextA(about, caption, sizeof caption);
    CHECK_EQUAL(std::string(caption), std::string("About Corvalen"));
    RECT client{};
    GetClientRect(about, &client);
    CHECK_EQUAL(client.right, 418);
    CHECK_EQUAL(client.bottom, 334);
    const RECT outer = WindowRect(about);
    CHECK_EQUAL(outer.left, main.left + (main.right - main.left) / 2 - (outer.right - outer.left) / 2);
    CHECK_EQUAL(outer.top, main.top + (main.bottom - main.top) / 2 - (outer.bottom - outer.top) / 2);
    CHECK(!IsWindowEnabled(program.main));
    CHECK(!(GetWindowLongA(about, GWL_STYLE) & WS_SYSMENU));
    CHECK(GetWindowLongA(about, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);

    const auto aboutMac = RunMac(0x11);
    CHECK(sender.SendTo(9, MagicPayload(aboutMac)));
    CHECK(program.WaitForLineCount(17));
    lines = program.LogLines();
    if (CHECK_EQUAL(lines.size(), std::size_t(17)))
        CheckMagicBlock({lines.begin() + 9, lines.end()}, sender, MacText(aboutMac));

    const HWND ok = FindWindowExA(about, nullptr, "Button", "OK");
    PostMessageA(ok, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageA(ok, WM_KEYUP, VK_ESCAPE, 0);
    Sleep(500);
    CHECK(IsWindowVisible(about));
    PostMessageA(ok, BM_CLICK, 0, 0);
    CHECK(PumpMessagesUntil([&] { return !IsWindow(about); }, 5000));
    CHECK(IsWindowEnabled(program.main));

    program.Click(kClearButton);
    CHECK(PumpMessagesUntil([&] { return program.LogLines().empty(); }, 5000));

    program.Click(kExitButton);
    CHECK_EQUAL(WaitForSingleObject(program.process.hProcess, 10000), DWORD(WAIT_OBJECT_0));
    DWORD exitCode = 1;
    GetExitCodeProcess(program.process.hProcess, &exitCode);
    CHECK_EQUAL(exitCode, DWORD(0));
}

TEST(FirstLineSaysWhyItIsNotListening)
{
    if (Argument(1) != "--not-listening")
        return;
    Program program;
    if (!CHECK(program.Start(Argument(0))))
        return;
    const std::vector<std::string> lines = program.LogLines();
    CHECK_EQUAL(lines, std::vector<std::string>{Argument(2)});
    PostMessageA(program.main, WM_CLOSE, 0, 0);
    CHECK_EQUAL(WaitForSingleObject(program.process.hProcess, 10000), DWORD(WAIT_OBJECT_0));
}
