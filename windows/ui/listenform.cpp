#include "listenform.h"

#include "formwindow.h"
#include "helpform.h"
#include "clocks.h"
#include "regionalsettings.h"
#include "resource.h"

#include <cstring>

namespace {

constexpr char kWindowClass[] = "TListenForm";
constexpr UINT kReleaseHelpForm = WM_APP + 1;
const char *const kToolIconNames[] = {"TOOLEXITICON", "TOOLCLEARICON", "TOOLHELPICON"};
constexpr int kToolIconSize = 16;

void RegisterWindowClass(HINSTANCE module, WNDPROC procedure)
{
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    if (GetClassInfoExA(module, kWindowClass, &windowClass))
        return;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = module;
    windowClass.hIcon = LoadIconA(module, "MAINICON");
    windowClass.hIconSm = static_cast<HICON>(LoadImageA(module, "MAINICON", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                        GetSystemMetrics(SM_CYSMICON), 0));
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512) /*IDC_ARROW*/);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExA(&windowClass);
}

} // namespace

TListenForm::TListenForm(HINSTANCE module, SocketCalls &socketCalls, DesktopCalls &desktopCalls)
    : m_module(module)
    , m_socketCalls(socketCalls)
    , m_desktopCalls(desktopCalls)
    , m_layout(LoadWindowLayout(module, IDD_LISTENFORM).value_or(WindowLayout{}))
{
    RegisterWindowClass(module, &FormWindowProcedure<TListenForm>);
    const ScreenRect screen = PrimaryScreen(m_desktopCalls);
    const SIZE outer = m_layout.size;
    m_window = CreateWindowExA(m_layout.exStyle, kWindowClass, m_layout.caption.c_str(), m_layout.style,
                               (screen.Width() - outer.cx) / 2, (screen.Height() - outer.cy) / 2, outer.cx, outer.cy,
                               nullptr, nullptr, module, this);
    CreateControls();
    FormCreate();
    LayOut();
}

TListenForm::~TListenForm()
{
    if (m_window)
        DestroyWindow(m_window);
    FormDestroy();
    if (m_iconImageList)
        ImageList_Destroy(m_iconImageList);
    DeleteObject(m_font);
}

void TListenForm::Show(int showCommand)
{
    ShowWindow(m_window, showCommand);
    UpdateWindow(m_window);
}

void TListenForm::CreateControls()
{
    m_font = CreateLayoutFont(m_layout);
    SendMessageA(m_window, WM_SETFONT, reinterpret_cast<WPARAM>(m_font), FALSE);
    CreateLayoutControls(m_window, m_layout, m_font);
    m_iconToolBar = GetDlgItem(m_window, IDC_ICONTOOLBAR);
    m_showMemo = GetDlgItem(m_window, IDC_SHOWMEMO);
    RECT toolBar{};
    GetWindowRect(m_iconToolBar, &toolBar);
    m_toolBarHeight = toolBar.bottom - toolBar.top;
    m_log = std::make_unique<MemoLog>(m_showMemo);

    m_iconImageList = ImageList_Create(kToolIconSize, kToolIconSize, ILC_COLOR32 | ILC_MASK, 3, 0);
    SendMessageA(m_iconToolBar, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    SendMessageA(m_iconToolBar, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(m_iconImageList));
    // Button size, then command and image of each button, as 16-bit numbers.
    const auto data = LoadResourceData(m_module, MAKEINTRESOURCEA(IDR_LISTENFORM_TOOLBAR), MAKEINTRESOURCEA(10) /*RT_RCDATA*/);
    std::vector<WORD> numbers(data.size() / 2);
    std::memcpy(numbers.data(), data.data(), numbers.size() * 2);
    if (numbers.size() < 2)
        return;
    std::vector<TBBUTTON> buttons;
    for (std::size_t i = 2; i + 1 < numbers.size(); i += 2) {
        TBBUTTON button{};
        button.idCommand = numbers[i];
        button.iBitmap = numbers[i + 1];
        button.fsState = TBSTATE_ENABLED;
        button.fsStyle = BTNS_BUTTON;
        buttons.push_back(button);
    }
    SendMessageA(m_iconToolBar, TB_ADDBUTTONSA, buttons.size(), reinterpret_cast<LPARAM>(buttons.data()));
    SendMessageA(m_iconToolBar, TB_SETBUTTONSIZE, 0, MAKELPARAM(numbers[0], numbers[1]));
}

void TListenForm::FormCreate()
{
    ImageList_RemoveAll(m_iconImageList);
    for (const char *name : kToolIconNames)
        ImageList_AddIcon(m_iconImageList, LoadIconA(m_module, name));
    InvalidateRect(m_iconToolBar, nullptr, TRUE);

    m_dateTimeSettings = ReadDateTimeSettings();
    m_listener = std::make_unique<TPacketListener>(m_socketCalls);
    m_listener->OnDataAvailable = [this](const PacketReport &report) { DataAvailable(report); };
    if (!m_listener->StartListening())
        m_log->Append(NotListeningLine(m_listener->LastError()));
}

void TListenForm::FormDestroy()
{
    if (!m_listener)
        return;
    if (m_listener->IsListening())
        m_listener->StopListening();
    m_listener.reset();
}

void TListenForm::SetFormPosition(HWND reference, HWND form)
{
    RECT outer{};
    GetWindowRect(reference, &outer);
    RECT placed{};
    GetWindowRect(form, &placed);
    const ScreenPoint position =
        FormPosition(PrimaryScreen(m_desktopCalls), WorkArea(m_desktopCalls, m_window),
                     {outer.left, outer.top, outer.right, outer.bottom}, placed.right - placed.left, placed.bottom - placed.top);
    SetWindowPos(form, nullptr, position.x, position.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TListenForm::DataAvailable(const PacketReport &report)
{
    WriteReport(*m_log, report, m_listener->LastError(), LocalNow(), m_dateTimeSettings);
}

void TListenForm::ExitToolButtonClick()
{
    PostMessageA(m_window, WM_CLOSE, 0, 0);
}

void TListenForm::HelpToolButtonClick()
{
    // No owner: the window lives for one showing and is released once the click has been handled.
    auto helpForm = std::make_unique<THelpForm>(m_module, m_window, m_desktopCalls);
    SetFormPosition(m_window, helpForm->Handle());
    helpForm->ShowModal();
    PostMessageA(m_window, kReleaseHelpForm, 0, reinterpret_cast<LPARAM>(helpForm.release()));
}

void TListenForm::ClearToolButtonClick()
{
    m_log->Empty();
}

void TListenForm::LayOut()
{
    RECT client{};
    GetClientRect(m_window, &client);
    MoveWindow(m_iconToolBar, 0, 0, client.right, m_toolBarHeight, TRUE);
    MoveWindow(m_showMemo, 0, m_toolBarHeight, client.right, client.bottom - m_toolBarHeight, TRUE);
}

LRESULT TListenForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_EXITTOOLBUTTON: ExitToolButtonClick(); return 0;
        case IDC_CLEARTOOLBUTTON: ClearToolButtonClick(); return 0;
        case IDC_HELPTOOLBUTTON: HelpToolButtonClick(); return 0;
        }
        break;
    case WM_NOTIFY: {
        auto *tip = reinterpret_cast<NMTTDISPINFOA *>(lParam);
        if (tip->hdr.code == TTN_GETDISPINFOA || tip->hdr.code == TTN_GETDISPINFOW) {
            // The tool tip of each button is the string of its command.
            tip->hinst = m_module;
            tip->lpszText = MAKEINTRESOURCEA(tip->hdr.idFrom);
            return 0;
        }
        break;
    }
    case WM_SIZE:
        if (m_iconToolBar)
            LayOut();
        return 0;
    case WM_SETTINGCHANGE:
        if (lParam && std::strcmp(reinterpret_cast<const char *>(lParam), "intl") == 0)
            m_dateTimeSettings = ReadDateTimeSettings();
        break;
    case kReleaseHelpForm:
        delete reinterpret_cast<THelpForm *>(lParam);
        return 0;
    case WM_DESTROY:
        FormDestroy();
        m_window = nullptr;
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(m_window, message, wParam, lParam);
}
