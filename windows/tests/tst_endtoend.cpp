// corvalen.exe as a user meets it: its own process, datagrams over loopback, the
// log read from its Edit control, its buttons pressed. Arguments: the program,
// then "--not-listening" and the expected line for a run without raw sockets.
#include "check.h"
#include "loopback.h"

#include <commctrl.h>

namespace {

constexpr int kExitButton = 1011, kClearButton = 1012, kHelpButton = 1013;

struct Program
{
    PROCESS_INFORMATION process{};
    HWND main = nullptr, memo = nullptr, toolBar = nullptr;

    explicit Program(const std::string &path)
    {
        STARTUPINFOA startup{sizeof startup};
        std::string commandLine = "\"" + path + "\"";
        if (!CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
            return;
        main = WaitForWindow("TListenForm");
        memo = FindWindowExA(main, nullptr, "Edit", nullptr);
        toolBar = FindWindowExA(main, nullptr, TOOLBARCLASSNAMEA, nullptr);
    }
    ~Program()
    {
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(process.hProcess, 1);
        CloseHandle(process.hProcess), CloseHandle(process.hThread);
    }

    HWND WaitForWindow(const char *className) const
    {
        HWND found = nullptr;
        PumpMessagesUntil([&] {
            for (found = FindWindowExA(nullptr, nullptr, className, nullptr); found;
                 found = FindWindowExA(nullptr, found, className, nullptr)) {
                DWORD owner = 0;
                GetWindowThreadProcessId(found, &owner);
                if (owner == process.dwProcessId && IsWindowVisible(found))
                    return true;
            }
            return false;
        }, 20000);
        return found;
    }

    std::vector<std::string> Log() const
    {
        std::string text(256 * 1024, '\0');
        DWORD_PTR length = 0;
        SendMessageTimeoutA(memo, WM_GETTEXT, text.size(), LPARAM(text.data()), SMTO_ABORTIFHUNG, 5000, &length);
        text.resize(length);
        std::vector<std::string> lines;
        for (std::size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
            lines.push_back(text.substr(start, end - start));
        return lines;
    }

    bool LogReaches(std::size_t lines, const std::string &last = {}) const
    {
        return PumpMessagesUntil([&] {
            const auto log = Log();
            return log.size() == lines && (last.empty() || log.back() == last);
        }, 15000);
    }

    void Click(int command) const // as the mouse clicks a toolbar button
    {
        const LPARAM middle = MAKELPARAM(SendMessageA(toolBar, TB_COMMANDTOINDEX, command, 0) * 23 + 11, 11);
        PostMessageA(toolBar, WM_MOUSEMOVE, 0, middle);
        PostMessageA(toolBar, WM_LBUTTONDOWN, MK_LBUTTON, middle);
        PostMessageA(toolBar, WM_LBUTTONUP, 0, middle);
    }
};

void CheckBlock(const std::vector<std::string> &log, std::size_t first, std::uint16_t sourcePort, const std::string &mac)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    // United States English settings: month/day/year, h:mm:ss and the marker behind.
    const std::string date = "  Date, Time: " + std::to_string(now.wMonth) + "/" + std::to_string(now.wDay) + "/" +
                             std::to_string(now.wYear) + " ";
    const std::vector<std::string> expected = {"Magic Packet received.", log[first + 1], "  Source Address: 127.0.0.1",
        "  Source Port: " + std::to_string(sourcePort), "  Destination Address: 127.0.0.1", "  Destination Port: 9",
        "  MAC Address: " + mac, ""};
    CHECK(std::vector<std::string>(log.begin() + first, log.begin() + first + 8) == expected);
    CHECK(log[first + 1].starts_with(date) && (log[first + 1].ends_with(" AM") || log[first + 1].ends_with(" PM")));
}

} // namespace

TEST(ReportsShowsAboutClearsAndExits)
{
    if (TestArgument(1) == "--not-listening")
        return;
    Program program(TestArgument(0));
    if (!CHECK(program.memo && program.toolBar))
        return;
    if (const auto log = program.Log(); !log.empty())
        Skip("the program does not listen here: " + log.front());
    RECT main{};
    GetWindowRect(program.main, &main);
    CHECK(main.right - main.left == 309 && main.bottom - main.top == 342);
    CHECK(!(GetWindowLongA(program.main, GWL_STYLE) & WS_MAXIMIZEBOX));

    Sender sender;
    const auto mac = RunMac(0x10);
    CHECK(sender.SendTo(9, MagicPayload(mac)));
    CHECK(sender.SendTo(9, std::vector<std::uint8_t>(3000, 0)));
    if (CHECK(program.LogReaches(9, "Error: Message too long, 10040")))
        CheckBlock(program.Log(), 0, sender.Port(), MacText(mac));

    // About opens over the middle of the main window, modally, while the log grows behind it.
    program.Click(kHelpButton);
    const HWND about = program.WaitForWindow("THelpForm");
    if (!CHECK(about != nullptr))
        return;
    RECT outer{}, client{};
    GetWindowRect(about, &outer);
    GetClientRect(about, &client);
    CHECK(client.right == 418 && client.bottom == 334);
    CHECK_EQUAL(outer.left, (main.left + main.right) / 2 - (outer.right - outer.left) / 2);
    CHECK_EQUAL(outer.top, (main.top + main.bottom) / 2 - (outer.bottom - outer.top) / 2);
    CHECK(!IsWindowEnabled(program.main));
    const auto aboutMac = RunMac(0x11);
    CHECK(sender.SendTo(9, MagicPayload(aboutMac)));
    if (CHECK(program.LogReaches(17)))
        CheckBlock(program.Log(), 9, sender.Port(), MacText(aboutMac));
    const HWND ok = FindWindowExA(about, nullptr, "Button", "OK");
    PostMessageA(ok, WM_KEYDOWN, VK_ESCAPE, 0);
    Sleep(300);
    CHECK(IsWindowVisible(about));
    PostMessageA(ok, BM_CLICK, 0, 0);
    CHECK(PumpMessagesUntil([&] { return !IsWindow(about) && IsWindowEnabled(program.main); }, 5000));

    // A log of exactly 700 lines takes one more block (708 lines); the next report starts a fresh log.
    program.Click(kClearButton);
    CHECK(program.LogReaches(0));
    auto blockMac = RunMac(0);
    for (int block = 1; block <= 88; ++block) {
        blockMac[5] = std::uint8_t(block);
        sender.SendTo(9, MagicPayload(blockMac));
        if (block >= 84 && block <= 87) // 87 blocks and 4 failure lines make 700 lines
            sender.SendTo(9, std::vector<std::uint8_t>(3000, 0));
    }
    CHECK(program.LogReaches(708));
    CHECK(sender.SendTo(9, MagicPayload(RunMac(0xEE))));
    if (CHECK(program.LogReaches(8)))
        CheckBlock(program.Log(), 0, sender.Port(), MacText(RunMac(0xEE)));

    // Resizing resizes the log; the toolbar keeps its height.
    SetWindowPos(program.main, nullptr, 0, 0, 520, 610, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT bar{}, log{};
    GetClientRect(program.main, &client);
    GetWindowRect(program.toolBar, &bar);
    GetWindowRect(program.memo, &log);
    CHECK(bar.bottom - bar.top == 29 && log.top == bar.bottom && log.right - log.left == client.right);
    CHECK_EQUAL(log.bottom - log.top, client.bottom - 29);

    program.Click(kExitButton);
    DWORD exitCode = 1;
    CHECK(WaitForSingleObject(program.process.hProcess, 10000) == WAIT_OBJECT_0);
    CHECK(GetExitCodeProcess(program.process.hProcess, &exitCode) && exitCode == 0);
}

TEST(FirstLineSaysWhyItIsNotListening)
{
    if (TestArgument(1) != "--not-listening")
        return;
    Program program(TestArgument(0));
    CHECK(program.memo && program.Log() == std::vector<std::string>{TestArgument(2)});
    PostMessageA(program.main, WM_CLOSE, 0, 0);
    CHECK(WaitForSingleObject(program.process.hProcess, 10000) == WAIT_OBJECT_0);
}
