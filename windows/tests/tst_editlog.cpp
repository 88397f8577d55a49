// The log in a real Edit control: its count is the control's screen lines, and
// the 700-line rule works on that count.
#include "check.h"
#include "editlog.h"

namespace {

struct Memo
{
    HWND window = CreateWindowExA(0, "Edit", "", WS_POPUP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL, 0,
                                  0, 300, 280, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ~Memo() { DestroyWindow(window); }
};

PacketReport MagicReport()
{
    return {nullptr, "192.168.1.10", "192.168.1.255", "00-11-22-33-44-55", 3000, 9, false};
}

PacketReport FailureReport()
{
    PacketReport report;
    report.error = true;
    return report;
}

} // namespace

TEST(CountsScreenLines)
{
    Memo memo;
    EditLog log(memo.window);
    CHECK_EQUAL(log.Count(), 0);
    log.Append("Magic Packet received.");
    CHECK_EQUAL(log.Count(), 1);
    log.Append(std::vector<std::string>{"a", "", "b"});
    CHECK_EQUAL(log.Count(), 4);
    log.Append(std::string(400, 'x') + " wraps");
    CHECK(log.Count() > 5);
    log.Empty();
    CHECK_EQUAL(log.Count(), 0);
}

TEST(SevenHundredLineRule)
{
    struct Row
    {
        int linesBefore;
        PacketReport report;
        int linesAfter;
    };
    const Row rows[] = {
        {700, MagicReport(), 708},
        {701, MagicReport(), 8},
        {708, FailureReport(), 1},
        {696, MagicReport(), 704},
    };
    const LocalDateTime now{2026, 12, 7, 1, 14, 5, 9, 0};
    for (const Row &row : rows) {
        Memo memo;
        EditLog log(memo.window);
        log.Append(std::vector<std::string>(std::size_t(row.linesBefore), "line"));
        CHECK_EQUAL(log.Count(), row.linesBefore);
        WriteReport(log, row.report, "Message too long, 10040", now, DateTimeSettings{});
        CHECK_EQUAL(log.Count(), row.linesAfter);
    }
    Memo memo;
    EditLog log(memo.window);
    WriteReport(log, FailureReport(), "Message too long, 10040", now, DateTimeSettings{});
    char text[64] = {};
    GetWindowTextA(memo.window, text, sizeof text);
    CHECK_EQUAL(std::string(text), std::string("Error: Message too long, 10040\r\n"));
}
