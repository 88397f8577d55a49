// The taskbar's work area and the web page opener, with the shell stood in for.
#include "check.h"
#include "desktopcalls.h"

#include <vector>

namespace {

struct FakeDesktop final : DesktopCalls
{
    UINT_PTR state = 0;
    UINT_PTR positionResult = 0;
    RECT taskbar{};
    std::vector<INT_PTR> shellResults;
    std::vector<std::pair<std::string, std::string>> opened;
    std::vector<DWORD> appBarMessages;
    int warnings = 0;

    int SystemMetric(int index) override { return index == SM_CXSCREEN ? 1024 : index == SM_CYSCREEN ? 768 : 0; }
    UINT_PTR AppBarMessage(DWORD message, APPBARDATA *data) override
    {
        appBarMessages.push_back(message);
        CHECK_EQUAL(data->cbSize, DWORD(sizeof(APPBARDATA)));
        if (message == ABM_GETTASKBARPOS)
            data->rc = taskbar;
        return message == ABM_GETSTATE ? state : positionResult;
    }
    INT_PTR ShellOpen(HWND, const char *file, const char *parameters) override
    {
        opened.emplace_back(file, parameters);
        const INT_PTR result = shellResults.at(0);
        shellResults.erase(shellResults.begin());
        return result;
    }
    void WarningBox(const char *, const char *) override { ++warnings; }
};

} // namespace

TEST(WorkAreaLeavesAnAlwaysShownTaskbarFree)
{
    struct Row
    {
        const char *name;
        UINT_PTR state, positionResult;
        RECT taskbar;
        ScreenRect workArea;
        std::size_t messages;
    };
    const Row rows[] = {
        {"bottom, always on top", ABS_ALWAYSONTOP, 1, {0, 738, 1024, 768}, {0, 0, 1024, 738}, 2},
        {"left edge", ABS_ALWAYSONTOP, 1, {0, 0, 60, 768}, {60, 0, 1024, 768}, 2},
        {"top edge", ABS_ALWAYSONTOP, 1, {0, 0, 1024, 30}, {0, 30, 1024, 768}, 2},
        {"right edge", ABS_ALWAYSONTOP, 1, {964, 0, 1024, 768}, {0, 0, 964, 768}, 2},
        {"hides itself", ABS_ALWAYSONTOP | ABS_AUTOHIDE, 1, {0, 738, 1024, 768}, {0, 0, 1024, 768}, 1},
        {"neither flag", 0, 1, {0, 738, 1024, 768}, {0, 0, 1024, 768}, 1},
        {"position unknown", ABS_ALWAYSONTOP, 0, {0, 738, 1024, 768}, {0, 0, 1024, 768}, 2},
    };
    for (const Row &row : rows) {
        FakeDesktop desktop;
        desktop.state = row.state, desktop.positionResult = row.positionResult, desktop.taskbar = row.taskbar;
        const ScreenRect area = WorkArea(desktop, nullptr);
        if (!CHECK(area == row.workArea))
            ReportFailure(__FILE__, __LINE__, row.name);
        CHECK_EQUAL(desktop.appBarMessages.size(), row.messages);
    }
}

TEST(WebPageOpenerTriesTheBrowserThenTwoNamedOnes)
{
    struct Row
    {
        std::vector<INT_PTR> results;
        std::size_t attempts;
        bool opened;
    };
    const Row rows[] = {
        {{33}, 1, true},
        {{32, 42}, 2, true},
        {{2, 31, 33}, 3, true},
        {{32, 32, 32}, 3, false},
    };
    const std::string address = "https://corvalen.example/index.html";
    for (const Row &row : rows) {
        FakeDesktop desktop;
        desktop.shellResults = row.results;
        CHECK_EQUAL(OpenWebPage(desktop, nullptr, address), row.opened);
        CHECK_EQUAL(desktop.opened.size(), row.attempts);
        const std::pair<std::string, std::string> expected[] = {
            {address, ""}, {"iexplore.exe", address}, {"netscape.exe", address}};
        for (std::size_t i = 0; i < desktop.opened.size(); ++i)
            CHECK(desktop.opened[i] == expected[i]);
    }
}
