#include "memolog.h"

#include <QPlainTextEdit>
#include <QTextDocument>

int MemoLog::Count() const
{
    return m_empty ? 0 : m_memo.document()->lineCount();
}

void MemoLog::Append(const QString &line)
{
    m_memo.appendPlainText(line);
    m_empty = false;
    // The view follows the newest line, even when the user has scrolled or selected.
    m_memo.moveCursor(QTextCursor::End);
    m_memo.ensureCursorVisible();
}

void MemoLog::Empty()
{
    m_memo.clear();
    m_empty = true;
}
