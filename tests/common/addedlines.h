#pragma once

#include <QObject>
#include <QPlainTextEdit>
#include <QString>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

// Calls `onLine` with each line of text as it is added to `memo`, for as long as
// `memo` lives.
template<typename OnLine>
void FollowAddedLines(QPlainTextEdit &memo, OnLine onLine)
{
    QObject::connect(memo.document(), &QTextDocument::contentsChange, &memo,
                     [&memo, onLine](int position, int, int added) {
                         // The count can include the document's final separator, which no cursor reaches.
                         QTextDocument *document = memo.document();
                         const int end = std::min(position + added, document->characterCount() - 1);
                         if (end <= position)
                             return;
                         QTextCursor cursor(document);
                         cursor.setPosition(position);
                         cursor.setPosition(end, QTextCursor::KeepAnchor);
                         for (const QString &line : cursor.selectedText().split(QChar(QChar::ParagraphSeparator)))
                             onLine(line);
                     });
}
