#include "memolog.h"

namespace {

constexpr char kLineBreak[] = "\r\n";

} // namespace

MemoLog::MemoLog(HWND edit) : m_edit(edit)
{
    // The default limit (32767 characters) is less than 700 lines can hold.
    SendMessageA(m_edit, EM_SETLIMITTEXT, 0, 0);
}

int MemoLog::Count() const
{
    // Every line ends in a line break, so the last screen line is empty and is not a line of the log.
    const auto lines = int(SendMessageA(m_edit, EM_GETLINECOUNT, 0, 0));
    const auto lastLineStart = SendMessageA(m_edit, EM_LINEINDEX, WPARAM(lines - 1), 0);
    const bool lastLineEmpty = SendMessageA(m_edit, EM_LINELENGTH, WPARAM(lastLineStart), 0) == 0;
    return lastLineEmpty ? lines - 1 : lines;
}

void MemoLog::Append(const std::string &line)
{
    AppendText(line + kLineBreak);
}

void MemoLog::Append(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += line + kLineBreak;
    AppendText(text);
}

void MemoLog::Empty()
{
    SetWindowTextA(m_edit, "");
}

void MemoLog::AppendText(const std::string &text)
{
    const auto end = WPARAM(GetWindowTextLengthA(m_edit));
    SendMessageA(m_edit, EM_SETSEL, end, LPARAM(end));
    SendMessageA(m_edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    SendMessageA(m_edit, EM_SCROLLCARET, 0, 0);
}
