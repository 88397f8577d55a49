#pragma once

#include "reportlog.h"

class QPlainTextEdit;

// The log as the text view shows it: a wrapped line counts once per screen line.
class MemoLog final : public LogLines
{
public:
    explicit MemoLog(QPlainTextEdit &memo) : m_memo(memo) {}

    int Count() const override;
    void Append(const std::string &line) override;
    void Append(const std::vector<std::string> &lines) override;
    void Empty() override;

private:
    QPlainTextEdit &m_memo;
    bool m_empty = true;
};
