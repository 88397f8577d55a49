#include "desktopcalls.h"

namespace {

class SystemCalls final : public DesktopCalls
{
public:
    int SystemMetric(int index) override { return GetSystemMetrics(index); }
    UINT_PTR AppBarMessage(DWORD message, APPBARDATA *data) override { return SHAppBarMessage(message, data); }
    INT_PTR ShellOpen(HWND parent, const char *file, const char *parameters) override
    {
        return reinterpret_cast<INT_PTR>(ShellExecuteA(parent, "open", file, parameters, nullptr, SW_SHOWNORMAL));
    }
    void WarningBox(const char *title, const char *text) override
    {
        MessageBoxA(nullptr, text, title, MB_OK | MB_ICONWARNING | MB_TASKMODAL);
    }
};

} // namespace

DesktopCalls &SystemDesktopCalls()
{
    static SystemCalls calls;
    return calls;
}

ScreenRect PrimaryScreen(DesktopCalls &calls)
{
    return {0, 0, calls.SystemMetric(SM_CXSCREEN), calls.SystemMetric(SM_CYSCREEN)};
}

ScreenRect WorkArea(DesktopCalls &calls, HWND window)
{
    const ScreenRect screen = PrimaryScreen(calls);
    APPBARDATA taskbar{};
    taskbar.cbSize = sizeof taskbar;
    taskbar.hWnd = window;
    std::optional<ScreenRect> taskbarRect;
    // Only a taskbar that is always on top and does not hide itself keeps windows off its edge.
    if (calls.AppBarMessage(ABM_GETSTATE, &taskbar) == ABS_ALWAYSONTOP && calls.AppBarMessage(ABM_GETTASKBARPOS, &taskbar) != 0)
        taskbarRect = ScreenRect{taskbar.rc.left, taskbar.rc.top, taskbar.rc.right, taskbar.rc.bottom};
    return WorkAreaBesideTaskbar(screen.Width(), screen.Height(), taskbarRect);
}

bool OpenWebPage(DesktopCalls &calls, HWND parent, const std::string &address)
{
    const std::pair<const char *, const char *> attempts[] = {
        {address.c_str(), ""},
        {"iexplore.exe", address.c_str()},
        {"netscape.exe", address.c_str()},
    };
    for (const auto &[file, parameters] : attempts)
        if (calls.ShellOpen(parent, file, parameters) > 32)
            return true;
    return false;
}
