#pragma once

#include "reportlog.h"

#include <windows.h>

// The log kept in a multi-line Edit control. Its count is the control's own:
// screen lines, so a wrapped line counts once for each line it takes.
class MemoLog final : public LogLines
{
public:
    explicit MemoLog(HWND edit);

    int Count() const override;
    void Append(const std::string &line) override;
    void Append(const std::vector<std::string> &lines) override;
    void Empty() override;

private:
    void AppendText(const std::string &text);

    HWND m_edit;
};
