#pragma once

#include "datetimetext.h"
#include "desktopcalls.h"
#include "memolog.h"
#include "layout.h"
#include "packetlistener.h"

#include <windows.h>
#include <commctrl.h>

#include <memory>

// The main window: a toolbar (Exit, Clear, About) above the report log.
class TListenForm final
{
public:
    TListenForm(HINSTANCE module, SocketCalls &socketCalls, DesktopCalls &desktopCalls);
    ~TListenForm();
    TListenForm(const TListenForm &) = delete;
    TListenForm &operator=(const TListenForm &) = delete;

    HWND Handle() const { return m_window; }
    void Show(int showCommand);

    void FormCreate();
    void FormDestroy();
    void SetFormPosition(HWND reference, HWND form);
    void DataAvailable(const PacketReport &report);
    void ExitToolButtonClick();
    void HelpToolButtonClick();
    void ClearToolButtonClick();

private:
    template <class Form>
    friend LRESULT CALLBACK FormWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    void LayOut();

    HINSTANCE m_module;
    SocketCalls &m_socketCalls;
    DesktopCalls &m_desktopCalls;
    WindowLayout m_layout;
    HWND m_window = nullptr;
    HWND m_iconToolBar = nullptr;
    HWND m_showMemo = nullptr;
    HFONT m_font = nullptr;
    HIMAGELIST m_iconImageList = nullptr;
    int m_toolBarHeight = 0;
    std::unique_ptr<MemoLog> m_log;
    DateTimeSettings m_dateTimeSettings;
    std::unique_ptr<TPacketListener> m_listener;
};
