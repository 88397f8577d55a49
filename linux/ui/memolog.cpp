#include "memolog.h"

#include <QPlainTextEdit>
#include <QTextDocument>

int MemoLog::Count() const
{
    return m_empty ? 0 : m_memo.document()->lineCount();
}

void MemoLog::Append(const std::string &line)
{
    // Each line becomes its own paragraph; a line break inside the text would too.
    m_memo.appendPlainText(QString::fromStdString(line));
    m_empty = false;
    // The view follows the newest line, even when the user has scrolled or selected.
    m_memo.moveCursor(QTextCursor::End);
}

void MemoLog::Append(const std::vector<std::string> &lines)
{
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += '\n';
        text += lines[i];
    }
    Append(text);
}

void MemoLog::Empty()
{
    m_memo.clear();
    m_empty = true;
}
