// Writes report blocks into the main window's log view, offscreen, and prints
// the cost per block and the memory, which the 700-line limit keeps flat.
// First pass: blocks written back to back, as a burst is handled within one
// pass of the event loop. Second pass: the view repaints after every block.

#include "fakesocketcalls.h"
#include "kernelhelpers.h"
#include "listenform.h"
#include "memolog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>

#include <cstdio>

namespace {

constexpr int kBlocks = 10000;
constexpr int kSampleEvery = 1000;

void WriteBlocks(LogLines &log, bool paintEachBlock)
{
    const DateTimeSettings settings;
    std::printf("%8s %12s %12s %10s\n", "blocks", "us/block", "VmRSS kB", "lines");
    QElapsedTimer total;
    total.start();
    QElapsedTimer stretch;
    stretch.start();
    for (int block = 1; block <= kBlocks; ++block) {
        const PacketReport report{nullptr,
                                  "192.168.1." + std::to_string(block % 250),
                                  "192.168.1.255",
                                  "00-11-22-33-44-55",
                                  std::uint16_t(block),
                                  9,
                                  false,
                                  std::nullopt,
                                  {}};
        WriteReport(log, report, {}, ToLocalDateTime(QDateTime::currentDateTime()), settings);
        if (paintEachBlock || block % kSampleEvery == 0)
            QApplication::processEvents();
        if (block % kSampleEvery == 0) {
            std::printf("%8d %12.1f %12lld %10d\n", block, double(stretch.nsecsElapsed()) / 1000.0 / kSampleEvery,
                        StatusKb("VmRSS:"), log.Count());
            stretch.restart();
        }
    }
    std::printf("%d blocks in %.1f ms: %.1f us per block\n\n", kBlocks, double(total.nsecsElapsed()) / 1e6,
                double(total.nsecsElapsed()) / 1000.0 / kBlocks);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    FakeSocketCalls calls;
    TListenForm form(calls);
    form.show();
    QApplication::processEvents();
    MemoLog log(*form.findChild<QPlainTextEdit *>(QStringLiteral("ShowMemo")));

    std::printf("Blocks written back to back (target: under 100 us per block)\n");
    WriteBlocks(log, false);
    std::printf("Blocks each followed by a repaint of the view\n");
    WriteBlocks(log, true);
    std::printf("peak memory (VmHWM): %lld kB, memory now (VmRSS): %lld kB\n", StatusKb("VmHWM:"),
                StatusKb("VmRSS:"));
    return 0;
}
