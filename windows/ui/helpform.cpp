#include "helpform.h"

#include "formwindow.h"
#include "resource.h"

#include <commctrl.h>

namespace {

constexpr char kWindowClass[] = "THelpForm";
constexpr int kAboutImageSize = 128;
constexpr COLORREF kLinkColour = RGB(0, 0, 255);

// The pointer shape the whole application shows, or none for each window's own.
HCURSOR g_applicationCursor = nullptr;

void SetApplicationCursor(HCURSOR cursor)
{
    g_applicationCursor = cursor;
    SetCursor(cursor ? cursor : LoadCursorA(nullptr, MAKEINTRESOURCEA(32512) /*IDC_ARROW*/));
}

bool ShowApplicationCursor(LPARAM hitTest)
{
    if (!g_applicationCursor || LOWORD(hitTest) != HTCLIENT)
        return false;
    SetCursor(g_applicationCursor);
    return true;
}

bool IsPress(UINT message)
{
    switch (message) {
    case WM_LBUTTONDOWN: case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN: case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN: case WM_MBUTTONDBLCLK:
    case WM_XBUTTONDOWN: case WM_XBUTTONDBLCLK:
        return true;
    }
    return false;
}

void RegisterWindowClass(HINSTANCE module, WNDPROC procedure)
{
    WNDCLASSA windowClass{};
    if (GetClassInfoA(module, kWindowClass, &windowClass))
        return;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = module;
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512) /*IDC_ARROW*/);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);
}

} // namespace

THelpForm::THelpForm(HINSTANCE module, HWND application, DesktopCalls &desktopCalls)
    : m_module(module)
    , m_application(application)
    , m_desktopCalls(desktopCalls)
    , m_layout(LoadWindowLayout(module, IDD_HELPFORM).value_or(WindowLayout{}))
{
    RegisterWindowClass(module, &FormWindowProcedure<THelpForm>);
    RECT outer{0, 0, m_layout.size.cx, m_layout.size.cy};
    AdjustWindowRectEx(&outer, m_layout.style, FALSE, m_layout.exStyle);
    m_window = CreateWindowExA(m_layout.exStyle, kWindowClass, m_layout.caption.c_str(), m_layout.style, 0, 0,
                               outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr, module, this);
    m_font = CreateLayoutFont(m_layout);
    m_linkFont = CreateLayoutFont(m_layout, true);
    SendMessageA(m_window, WM_SETFONT, reinterpret_cast<WPARAM>(m_font), FALSE);
    CreateLayoutControls(m_window, m_layout, m_font);

    m_aboutIcon = static_cast<HICON>(
        LoadImageA(module, "MAINICON", IMAGE_ICON, kAboutImageSize, kAboutImageSize, LR_DEFAULTCOLOR));
    SendDlgItemMessageA(m_window, IDC_ABOUTIMAGE, STM_SETICON, reinterpret_cast<WPARAM>(m_aboutIcon), 0);
    m_site1Label = GetDlgItem(m_window, IDC_SITE1LABEL);
    m_site2Label = GetDlgItem(m_window, IDC_SITE2LABEL);
    for (HWND link : {m_site1Label, m_site2Label}) {
        SendMessageA(link, WM_SETFONT, reinterpret_cast<WPARAM>(m_linkFont), FALSE);
        SetWindowSubclass(link, &THelpForm::LinkProcedure, 0, reinterpret_cast<DWORD_PTR>(this));
    }
    FormCreate();
}

THelpForm::~THelpForm()
{
    for (HWND link : {m_site1Label, m_site2Label})
        RemoveWindowSubclass(link, &THelpForm::LinkProcedure, 0);
    DestroyWindow(m_window);
    DeleteObject(m_font);
    DeleteObject(m_linkFont);
    DestroyIcon(m_aboutIcon);
}

int THelpForm::ShowModal()
{
    // The main window takes no input meanwhile; the listener's messages are still dispatched.
    EnableWindow(m_application, FALSE);
    ShowWindow(m_window, SW_SHOW);
    SetForegroundWindow(m_window);
    SetFocus(GetDlgItem(m_window, IDOK));
    m_modalResult = 0;
    MSG message;
    while (m_modalResult == 0) {
        const BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got <= 0) {
            PostQuitMessage(int(message.wParam));
            break;
        }
        if (!IsDialogMessageA(m_window, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    EnableWindow(m_application, TRUE);
    ShowWindow(m_window, SW_HIDE);
    SetActiveWindow(m_application);
    return m_modalResult;
}

std::string THelpForm::LinkAddress(HWND label) const
{
    char text[256] = {};
    GetWindowTextA(label, text, int(sizeof text));
    return std::string(text) + "/index.html";
}

void THelpForm::ShowWebPage(const std::string &address)
{
    if (!OpenWebPage(m_desktopCalls, m_application, address))
        m_desktopCalls.WarningBox("Warning", "Default web browser could not be found.");
}

void THelpForm::FormCreate()
{
    m_savedCursor = g_applicationCursor;
}

void THelpForm::Site1LabelMouseDown()
{
    ShowWebPage(LinkAddress(m_site1Label));
}

void THelpForm::SiteLabelMouseEnter()
{
    SetApplicationCursor(LoadCursorA(nullptr, MAKEINTRESOURCEA(32649) /*IDC_HAND*/));
}

void THelpForm::SiteLabelMouseLeave()
{
    SetApplicationCursor(m_savedCursor);
}

void THelpForm::Site2LabelMouseDown()
{
    ShowWebPage(LinkAddress(m_site2Label));
}

LRESULT THelpForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        // Escape arrives as IDCANCEL and does not close the window; OK (or Enter) does.
        if (LOWORD(wParam) == IDOK)
            m_modalResult = IDOK;
        return 0;
    case WM_CLOSE:
        m_modalResult = IDCANCEL;
        return 0;
    case WM_CTLCOLORSTATIC: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        const auto control = reinterpret_cast<HWND>(lParam);
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        SetTextColor(dc, control == m_site1Label || control == m_site2Label ? kLinkColour : GetSysColor(COLOR_WINDOWTEXT));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    case WM_SETCURSOR:
        if (ShowApplicationCursor(lParam))
            return TRUE;
        break;
    }
    return DefWindowProcA(m_window, message, wParam, lParam);
}

LRESULT CALLBACK THelpForm::LinkProcedure(HWND label, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                          DWORD_PTR data)
{
    auto *form = reinterpret_cast<THelpForm *>(data);
    if (IsPress(message)) {
        if (label == form->m_site1Label)
            form->Site1LabelMouseDown();
        else
            form->Site2LabelMouseDown();
        return 0;
    }
    switch (message) {
    case WM_MOUSEMOVE: {
        TRACKMOUSEEVENT track{sizeof track, TME_QUERY, label, 0};
        TrackMouseEvent(&track);
        if (!(track.dwFlags & TME_LEAVE)) {
            track = {sizeof track, TME_LEAVE, label, 0};
            TrackMouseEvent(&track);
            form->SiteLabelMouseEnter();
        }
        break;
    }
    case WM_MOUSELEAVE:
        form->SiteLabelMouseLeave();
        break;
    case WM_SETCURSOR:
        if (ShowApplicationCursor(lParam))
            return TRUE;
        break;
    }
    return DefSubclassProc(label, message, wParam, lParam);
}
