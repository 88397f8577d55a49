#pragma once

#include "desktopcalls.h"
#include "layout.h"

#include <windows.h>

#include <string>

// The About window: product texts, the icon and two links to web pages.
class THelpForm final
{
public:
    THelpForm(HINSTANCE module, HWND application, DesktopCalls &desktopCalls);
    ~THelpForm();
    THelpForm(const THelpForm &) = delete;
    THelpForm &operator=(const THelpForm &) = delete;

    HWND Handle() const { return m_window; }
    // Shows the window and dispatches every message of the thread until OK closes it.
    int ShowModal();

    void ShowWebPage(const std::string &address);
    void FormCreate();
    void Site1LabelMouseDown();
    void SiteLabelMouseEnter();
    void SiteLabelMouseLeave();
    void Site2LabelMouseDown();

private:
    template <class Form>
    friend LRESULT CALLBACK FormWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK LinkProcedure(HWND label, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                          DWORD_PTR form);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    std::string LinkAddress(HWND label) const;

    HINSTANCE m_module;
    HWND m_application;
    DesktopCalls &m_desktopCalls;
    WindowLayout m_layout;
    HWND m_window = nullptr;
    HWND m_site1Label = nullptr;
    HWND m_site2Label = nullptr;
    HFONT m_font = nullptr;
    HFONT m_linkFont = nullptr;
    HICON m_aboutIcon = nullptr;
    HCURSOR m_savedCursor = nullptr;
    int m_modalResult = 0;
};
