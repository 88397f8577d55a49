#pragma once

#include "formposition.h"

#include <windows.h>
#include <shellapi.h>

#include <string>

// The shell and screen calls of the main and About windows, so that a test can
// stand in for the taskbar, the screen and the web browser.
class DesktopCalls
{
public:
    virtual ~DesktopCalls() = default;
    virtual int SystemMetric(int index) = 0;
    virtual UINT_PTR AppBarMessage(DWORD message, APPBARDATA *data) = 0;
    virtual INT_PTR ShellOpen(HWND parent, const char *file, const char *parameters) = 0;
    virtual void WarningBox(const char *title, const char *text) = 0;
};

DesktopCalls &SystemDesktopCalls();

// The primary screen, and the part of it that a taskbar which is always shown leaves free.
ScreenRect PrimaryScreen(DesktopCalls &calls);
ScreenRect WorkArea(DesktopCalls &calls, HWND window);

// The default web browser, then Internet Explorer, then Netscape; false when none started.
bool OpenWebPage(DesktopCalls &calls, HWND parent, const std::string &address);
