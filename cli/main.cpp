#include "consolewatch.h"
#include "linkcapture.h"
#include "privileges.h"
#include "socketerrors.h"
#include "watchoptions.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

// Blocked in every thread, SIGINT and SIGTERM arrive only through the descriptor
// that the event loop watches.
int StopSignalDescriptor()
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (::sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0)
        return -1;
    return ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
}

void PrintCapabilityHint()
{
    std::fprintf(stderr,
                 "%s needs the CAP_NET_RAW capability to open its raw socket. The Debian package gives it; "
                 "otherwise run: sudo setcap cap_net_raw+ep %s (or start the program with sudo).\n",
                 qPrintable(QCoreApplication::applicationName()),
                 qPrintable(QCoreApplication::applicationFilePath()));
}

} // namespace

int main(int argc, char *argv[])
{
    // The raw socket and the link-layer capture are what needs a capability. Opened
    // before any thread exists, every capability of the process can go in one step.
    OpenedEarlySocketCalls socketCalls;
    const CaptureChoice captureChoice = CaptureChoiceFrom(argc, argv);
    PcapLinkCapture capture;
    const bool captureOpen = captureChoice.wanted && capture.Open(captureChoice.interfaceName);
    std::string dropFailure;
    const bool dropped = DropAllCapabilities(&dropFailure);
    const int stopSignals = StopSignalDescriptor();

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvalen-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(CORVALEN_VERSION));

    const ParsedCommandLine commandLine = ParseCommandLine(QCoreApplication::arguments());
    if (commandLine.helpShown)
        return TConsoleWatch::kExitStopped;
    if (!commandLine.usageError.isEmpty()) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n",
                     qPrintable(QCoreApplication::applicationName()), qPrintable(commandLine.usageError),
                     qPrintable(QCoreApplication::applicationName()));
        return TConsoleWatch::kExitUsage;
    }
    if (!dropped)
        std::fprintf(stderr, "%s: could not drop capabilities: %s\n",
                     qPrintable(QCoreApplication::applicationName()), dropFailure.c_str());

    TConsoleWatch watch(commandLine.options, socketCalls, captureOpen ? &capture : nullptr, capture.LastError());
    if (!watch.Start()) {
        if (socketCalls.OpenError() == kWsaEAccess)
            PrintCapabilityHint();
        return TConsoleWatch::kExitNotListening;
    }

    QSocketNotifier stopNotifier(stopSignals, QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &watch, [&] {
        signalfd_siginfo received{};
        if (::read(stopSignals, &received, sizeof received) == ssize_t(sizeof received))
            watch.Finish(TConsoleWatch::kExitStopped);
    });
    return QCoreApplication::exec();
}
