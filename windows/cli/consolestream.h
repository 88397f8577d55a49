#pragma once

#include <windows.h>

#include <string>

// Standard output or standard error as corvalen-cli writes to it: a console gets
// the text as UTF-16 (WriteConsoleW), so that every character shows whatever the
// console's code page; a file or pipe gets UTF-8, as JSON Lines needs.
class ConsoleStream final
{
public:
    explicit ConsoleStream(DWORD standardHandle);

    // `codePage` is the text's own: CP_ACP for what the regional settings wrote,
    // CP_UTF8 for the rest.
    void Write(const std::string &text, UINT codePage = CP_UTF8);

private:
    HANDLE m_handle;
    bool m_console = false;
};
