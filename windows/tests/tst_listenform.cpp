// The main window from its resource layout: the toolbar's buttons, images and
// tool tips, the log filling the rest as the window is resized, the start-up
// failure line and Clear. The socket library is stood in for and fails to start.
#include "check.h"
#include "listenform.h"
#include "resource.h"

namespace {

struct UnreadyWinSock final : WinSockCalls
{
    int Startup(WORD, WSADATA *) override { return WSASYSNOTREADY; }
    int Cleanup() override { return 0; }
    SOCKET Socket(int, int, int) override { return INVALID_SOCKET; }
    int Bind(SOCKET, const sockaddr *, int) override { return SOCKET_ERROR; }
    int AsyncSelect(SOCKET, HWND, unsigned, long) override { return SOCKET_ERROR; }
    int Recv(SOCKET, char *, int, int) override { return SOCKET_ERROR; }
    int CloseSocket(SOCKET) override { return 0; }
    int GetLastError() override { return 0; }
};

std::string WindowText(HWND window)
{
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

RECT ChildRect(HWND parent, HWND child)
{
    RECT rect{};
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT *>(&rect), 2);
    return rect;
}

} // namespace

TEST(ToolbarButtonsImagesAndTips)
{
    UnreadyWinSock winSock;
    TListenForm form(GetModuleHandleA(nullptr), winSock, SystemDesktopCalls());
    HWND toolBar = GetDlgItem(form.Handle(), IDC_ICONTOOLBAR);
    const auto images = reinterpret_cast<HIMAGELIST>(SendMessageA(toolBar, TB_GETIMAGELIST, 0, 0));
    CHECK_EQUAL(ImageList_GetImageCount(images), 3);
    int width = 0, height = 0;
    ImageList_GetIconSize(images, &width, &height);
    CHECK(width == 16 && height == 16);
    struct Row
    {
        int command;
        int image;
        int left;
        const char *tip;
    };
    const Row rows[] = {
        {IDC_EXITTOOLBUTTON, 0, 0, "Exit"},
        {IDC_CLEARTOOLBUTTON, 1, 23, "Clear"},
        {IDC_HELPTOOLBUTTON, 2, 46, "About"},
    };
    HWND tips = reinterpret_cast<HWND>(SendMessageA(toolBar, TB_GETTOOLTIPS, 0, 0));
    CHECK_EQUAL(SendMessageA(toolBar, TB_BUTTONCOUNT, 0, 0), LRESULT(3));
    for (int index = 0; index < 3; ++index) {
        const Row &row = rows[index];
        TBBUTTON button{};
        SendMessageA(toolBar, TB_GETBUTTON, index, reinterpret_cast<LPARAM>(&button));
        CHECK_EQUAL(button.idCommand, row.command);
        CHECK_EQUAL(button.iBitmap, row.image);
        RECT bounds{};
        SendMessageA(toolBar, TB_GETITEMRECT, index, reinterpret_cast<LPARAM>(&bounds));
        CHECK_EQUAL(bounds.left, LONG(row.left));
        CHECK(bounds.right - bounds.left == 23 && bounds.bottom - bounds.top == 22);
        char tip[64] = {};
        TTTOOLINFOA tool{};
        tool.cbSize = sizeof tool;
        tool.hwnd = toolBar;
        tool.uId = UINT_PTR(row.command);
        tool.lpszText = tip;
        SendMessageA(tips, TTM_GETTEXTA, sizeof tip, reinterpret_cast<LPARAM>(&tool));
        CHECK_EQUAL(std::string(tip), std::string(row.tip));
    }
}

TEST(LogFillsTheWindowBelowTheToolbar)
{
    UnreadyWinSock winSock;
    TListenForm form(GetModuleHandleA(nullptr), winSock, SystemDesktopCalls());
    HWND toolBar = GetDlgItem(form.Handle(), IDC_ICONTOOLBAR);
    HWND memo = GetDlgItem(form.Handle(), IDC_SHOWMEMO);
    for (SIZE outer : {SIZE{309, 342}, SIZE{520, 610}, SIZE{200, 150}}) {
        SetWindowPos(form.Handle(), nullptr, 0, 0, outer.cx, outer.cy, SWP_NOMOVE | SWP_NOZORDER);
        RECT client{};
        GetClientRect(form.Handle(), &client);
        const RECT bar = ChildRect(form.Handle(), toolBar);
        const RECT log = ChildRect(form.Handle(), memo);
        CHECK(bar.left == 0 && bar.top == 0 && bar.right == client.right && bar.bottom == 29);
        CHECK(log.left == 0 && log.top == 29 && log.right == client.right && log.bottom == client.bottom);
    }
}

TEST(StartUpFailureIsTheFirstLineAndClearEmptiesTheLog)
{
    UnreadyWinSock winSock;
    TListenForm form(GetModuleHandleA(nullptr), winSock, SystemDesktopCalls());
    HWND memo = GetDlgItem(form.Handle(), IDC_SHOWMEMO);
    CHECK_EQUAL(WindowText(memo), std::string("Not listening: WSASYSNOTREADY\r\n"));
    SendMessageA(form.Handle(), WM_COMMAND, MAKEWPARAM(IDC_CLEARTOOLBUTTON, BN_CLICKED), 0);
    CHECK_EQUAL(WindowText(memo), std::string());
}
