#include "memolog.h"

#include <QPlainTextEdit>
#include <QTextDocument>

int MemoLog::Count() const
{
    return m_empty ? 0 : m_memo.document()->lineCount();
}

void MemoLog::Append(const QString &line)
{
    // Each line becomes its own paragraph; a line break inside the text would too.
    m_memo.appendPlainText(line);
    m_empty = false;
    // The view follows the newest line, even when the user has scrolled or selected.
    m_memo.moveCursor(QTextCursor::End);
}

void MemoLog::Append(const QStringList &lines)
{
    Append(lines.join(QLatin1Char('\n')));
}

void MemoLog::Empty()
{
    m_memo.clear();
    m_empty = true;
}
