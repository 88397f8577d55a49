#include "consolestream.h"

namespace {

std::wstring Wide(const std::string &text, UINT codePage)
{
    const int length = MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(std::size_t(length), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), int(text.size()), wide.data(), length);
    return wide;
}

std::string Utf8(const std::wstring &wide)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string text(std::size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), text.data(), length, nullptr, nullptr);
    return text;
}

} // namespace

ConsoleStream::ConsoleStream(DWORD standardHandle)
    : m_handle(GetStdHandle(standardHandle))
{
    DWORD mode = 0;
    m_console = GetConsoleMode(m_handle, &mode) != 0;
}

void ConsoleStream::Write(const std::string &text, UINT codePage)
{
    if (text.empty() || m_handle == nullptr || m_handle == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    if (m_console) {
        const std::wstring wide = Wide(text, codePage);
        WriteConsoleW(m_handle, wide.data(), DWORD(wide.size()), &written, nullptr);
        return;
    }
    const std::string bytes = codePage == CP_UTF8 ? text : Utf8(Wide(text, codePage));
    WriteFile(m_handle, bytes.data(), DWORD(bytes.size()), &written, nullptr);
}
