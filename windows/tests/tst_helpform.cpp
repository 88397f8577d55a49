// The About window from its resource layout: controls at their places, links
// that open their pages on any mouse button, and the pointer over a link.
#include "check.h"
#include "helpform.h"
#include "resource.h"

#include <vector>

namespace {

struct FakeDesktop final : DesktopCalls
{
    std::vector<std::string> opened;
    std::vector<std::string> warnings;
    INT_PTR result = 2; // the shell's "file not found"

    int SystemMetric(int index) override { return GetSystemMetrics(index); }
    UINT_PTR AppBarMessage(DWORD, APPBARDATA *) override { return 0; }
    INT_PTR ShellOpen(HWND, const char *file, const char *parameters) override
    {
        opened.push_back(std::string(file) + "|" + parameters);
        return result;
    }
    void WarningBox(const char *title, const char *text) override { warnings.push_back(std::string(title) + "|" + text); }
};

RECT ChildRect(HWND form, int id)
{
    RECT rect{};
    HWND control = GetDlgItem(form, id);
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, form, reinterpret_cast<POINT *>(&rect), 2);
    return rect;
}

std::string Text(HWND form, int id)
{
    char text[256] = {};
    GetDlgItemTextA(form, id, text, sizeof text);
    return text;
}

} // namespace

TEST(ControlsAtTheirPlaces)
{
    FakeDesktop desktop;
    THelpForm form(GetModuleHandleA(nullptr), nullptr, desktop);
    struct Row
    {
        int id;
        RECT bounds; // right and bottom 0: sized to the text, not checked
        const char *text;
    };
    const Row rows[] = {
        {IDOK, {171, 296, 246, 321}, "OK"},
        {IDC_PANEL1, {0, 2, 417, 281}, ""},
        {IDC_ABOUTIMAGE, {16, 18, 0, 0}, nullptr},
        {IDC_LABEL6, {168, 20, 0, 0}, "Corvalen"},
        {IDC_COPYRIGHTLABEL, {168, 44, 407, 59}, "Copyright \xA9 2026 the Corvalen developers"},
        {IDC_WINDOWSLABEL, {170, 90, 0, 0}, "for Windows XP/Vista/7 and"},
        {IDC_SERVERLABEL, {170, 114, 0, 0}, "Windows Server 2003/2008/2008 R2"},
        {IDC_MAILLABEL, {170, 138, 0, 0}, "E-mail: support@corvalen.example"},
        {IDC_DESCRIPTIONLABEL, {16, 170, 383, 216}, nullptr},
        {IDC_SITE1LABEL, {16, 224, 0, 0}, "https://brinvale.example"},
        {IDC_SITE2LABEL, {16, 248, 0, 0}, "https://corvalen.example"},
    };
    for (const Row &row : rows) {
        const RECT actual = ChildRect(form.Handle(), row.id);
        CHECK_EQUAL(actual.left, row.bounds.left);
        CHECK_EQUAL(actual.top, row.bounds.top);
        if (row.bounds.right)
            CHECK(actual.right == row.bounds.right && actual.bottom == row.bounds.bottom);
        else
            CHECK(actual.right > actual.left + 8); // as wide as its text
        if (row.text)
            CHECK_EQUAL(Text(form.Handle(), row.id), std::string(row.text));
    }
    // The tab order begins with OK, so it has the focus when the window opens.
    CHECK_EQUAL(GetDlgCtrlID(GetWindow(GetWindow(form.Handle(), GW_CHILD), GW_HWNDFIRST)), IDOK);
    ICONINFO icon{};
    const auto image = reinterpret_cast<HICON>(SendDlgItemMessageA(form.Handle(), IDC_ABOUTIMAGE, STM_GETICON, 0, 0));
    CHECK(GetIconInfo(image, &icon));
    BITMAP bitmap{};
    GetObjectA(icon.hbmColor, sizeof bitmap, &bitmap);
    CHECK_EQUAL(bitmap.bmWidth, 128);
    CHECK_EQUAL(int(bitmap.bmBitsPixel), 32);
}

TEST(AnyMouseButtonOnALinkOpensItsPage)
{
    struct Row
    {
        int link;
        UINT message;
        INT_PTR shellResult;
        std::vector<std::string> opened;
        std::size_t warnings;
    };
    const std::string brinvale = "https://brinvale.example/index.html";
    const std::string corvalen = "https://corvalen.example/index.html";
    const Row rows[] = {
        {IDC_SITE1LABEL, WM_LBUTTONDOWN, 42, {brinvale + "|"}, 0},
        {IDC_SITE2LABEL, WM_RBUTTONDOWN, 42, {corvalen + "|"}, 0},
        {IDC_SITE2LABEL, WM_MBUTTONDBLCLK, 42, {corvalen + "|"}, 0},
        {IDC_SITE1LABEL, WM_LBUTTONDOWN, 32, {brinvale + "|", "iexplore.exe|" + brinvale, "netscape.exe|" + brinvale}, 1},
    };
    for (const Row &row : rows) {
        FakeDesktop desktop;
        desktop.result = row.shellResult;
        THelpForm form(GetModuleHandleA(nullptr), nullptr, desktop);
        SendDlgItemMessageA(form.Handle(), row.link, row.message, 0, MAKELPARAM(2, 2));
        CHECK_EQUAL(desktop.opened, row.opened);
        CHECK_EQUAL(desktop.warnings.size(), row.warnings);
        if (!desktop.warnings.empty())
            CHECK_EQUAL(desktop.warnings[0], std::string("Warning|Default web browser could not be found."));
    }
}

TEST(HandPointerOnlyOverALink)
{
    FakeDesktop desktop;
    THelpForm form(GetModuleHandleA(nullptr), nullptr, desktop);
    const HCURSOR hand = LoadCursorA(nullptr, MAKEINTRESOURCEA(32649));
    const HCURSOR arrow = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
    SetCursor(arrow);
    SendDlgItemMessageA(form.Handle(), IDC_SITE1LABEL, WM_MOUSEMOVE, 0, MAKELPARAM(2, 2));
    CHECK(GetCursor() == hand);
    SendDlgItemMessageA(form.Handle(), IDC_SITE1LABEL, WM_MOUSELEAVE, 0, 0);
    CHECK(GetCursor() == arrow);
}
