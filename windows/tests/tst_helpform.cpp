// The About window's links and pointer, with the shell stood in for.
#include "check.h"
#include "helpform.h"
#include "resource.h"

namespace {

struct FakeDesktop final : DesktopCalls
{
    INT_PTR shellResult = 2; // the shell's "file not found"
    std::vector<std::string> opened, warnings;

    int SystemMetric(int index) override { return GetSystemMetrics(index); }
    UINT_PTR AppBarMessage(DWORD, APPBARDATA *) override { return 0; }
    INT_PTR ShellOpen(HWND, const char *file, const char *parameters) override
    {
        opened.push_back(std::string(file) + " " + parameters);
        return shellResult;
    }
    void WarningBox(const char *title, const char *text) override { warnings.push_back(std::string(title) + ": " + text); }
};

} // namespace

TEST(AnyMouseButtonOnALinkOpensItsPage)
{
    const std::string brinvale = "https://brinvale.example/index.html", corvalen = "https://corvalen.example/index.html";
    struct Row
    {
        int link;
        UINT message;
        INT_PTR shellResult;
        std::vector<std::string> opened;
        std::size_t warnings;
    };
    const Row rows[] = {
        {IDC_SITE1LABEL, WM_LBUTTONDOWN, 42, {brinvale + " "}, 0},
        {IDC_SITE2LABEL, WM_RBUTTONDOWN, 33, {corvalen + " "}, 0},
        {IDC_SITE2LABEL, WM_MBUTTONDBLCLK, 42, {corvalen + " "}, 0},
        {IDC_SITE1LABEL, WM_LBUTTONDOWN, 32, {brinvale + " ", "iexplore.exe " + brinvale, "netscape.exe " + brinvale}, 1},
    };
    for (const Row &row : rows) {
        FakeDesktop desktop;
        desktop.shellResult = row.shellResult;
        THelpForm form(GetModuleHandleA(nullptr), nullptr, desktop);
        SendDlgItemMessageA(form.Handle(), row.link, row.message, 0, MAKELPARAM(2, 2));
        CHECK(desktop.opened == row.opened);
        CHECK_EQUAL(desktop.warnings.size(), row.warnings);
        for (const std::string &warning : desktop.warnings)
            CHECK_EQUAL(warning, std::string("Warning: Default web browser could not be found."));
    }
}

TEST(HandPointerOnlyOverALink)
{
    FakeDesktop desktop;
    THelpForm form(GetModuleHandleA(nullptr), nullptr, desktop);
    const HCURSOR arrow = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
    SetCursor(arrow);
    SendDlgItemMessageA(form.Handle(), IDC_SITE1LABEL, WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
    CHECK(GetCursor() == LoadCursorA(nullptr, MAKEINTRESOURCEA(32649)));
    SendDlgItemMessageA(form.Handle(), IDC_SITE1LABEL, WM_MOUSELEAVE, 0, 0);
    CHECK(GetCursor() == arrow);
}
