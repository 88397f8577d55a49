// How the main window copes with a flood: while a thread sends non-magic UDP
// datagrams to 127.0.0.1 as fast as it can, with a magic packet every so often,
// a 10 ms timer on the GUI thread measures how late it fires, and the log shows
// how many of the magic packets were reported.
//
// Needs root (the raw socket).
// Usage: bench_responsiveness [seconds] [max datagrams] [datagrams per second, 0 for no limit]

#include "addedlines.h"
#include "kernelhelpers.h"
#include "listenform.h"
#include "testdatagrams.h"
#include "udpsender.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kTimerMs = 10;
constexpr int kMagicEvery = 500;
constexpr int kFloodPayload = 64;
constexpr std::uint16_t kFloodPort = 9;
constexpr char kMacPrefixText[] = "02-42-E4-";

QByteArray MagicPayload(std::uint32_t serial)
{
    QByteArray mac = QByteArray::fromHex("0242E4");
    mac.append(char(serial >> 16)).append(char(serial >> 8)).append(char(serial));
    return testdatagrams::MagicPayload(mac);
}

struct Flood
{
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    quint64 sent = 0;
    quint64 failed = 0;
    quint32 magicSent = 0;
    double seconds = 0;
};

void SendFlood(Flood &flood, double seconds, quint64 maxDatagrams, double perSecond)
{
    const UdpSender sender;
    QByteArray noise(kFloodPayload, char(0x5A));

    QElapsedTimer clock;
    clock.start();
    const qint64 limitNs = qint64(seconds * 1e9);
    for (quint64 i = 0; i < maxDatagrams && !flood.stop.load(std::memory_order_relaxed); ++i) {
        if ((i & 255) == 0) {
            if (clock.nsecsElapsed() > limitNs)
                break;
            // Below the chosen rate, wait for the schedule to catch up.
            while (perSecond > 0 && double(i) > double(clock.nsecsElapsed()) * perSecond / 1e9)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        QByteArray magic;
        const QByteArray *payload = &noise;
        if (i % kMagicEvery == kMagicEvery - 1) {
            magic = MagicPayload(flood.magicSent + 1);
            payload = &magic;
        } else {
            noise[int(i % kFloodPayload)] = char(i); // not the same datagram every time
        }
        if (sender.Send(INADDR_LOOPBACK, kFloodPort, *payload)) {
            ++flood.sent;
            if (payload == &magic)
                ++flood.magicSent;
        } else {
            ++flood.failed;
        }
    }
    flood.seconds = double(clock.nsecsElapsed()) / 1e9;
    flood.done.store(true);
}

double Percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(fraction * double(values.size() - 1) + 0.5))];
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const quint64 maxDatagrams = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 5'000'000;
    const double perSecond = argc > 3 ? std::atof(argv[3]) : 0;

    // As in the program: the window drops every capability once it listens.
    QPointer<TListenForm> form = new TListenForm;
    form->show();
    if (!form->Listener()->IsListening()) {
        std::fprintf(stderr, "not listening: %s (run as root)\n", form->Listener()->LastError().c_str());
        delete form.data();
        return 1;
    }
    auto *memo = form->findChild<QPlainTextEdit *>(QStringLiteral("ShowMemo"));

    quint32 magicReported = 0;
    quint32 magicOthers = 0;
    quint32 errorLines = 0;
    FollowAddedLines(*memo, [&](const QString &line) {
        if (line.startsWith(QStringLiteral("  MAC Address: ")))
            ++(line.mid(15).startsWith(QLatin1String(kMacPrefixText)) ? magicReported : magicOthers);
        else if (line.startsWith(QStringLiteral("Error: ")))
            ++errorLines;
    });

    const RawSocketState before = ListenerSocketState();
    const qint64 rssBefore = StatusKb("VmRSS:");

    std::vector<double> lateMs;
    QElapsedTimer sinceLast;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(kTimerMs);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        lateMs.push_back(std::max(0.0, double(sinceLast.nsecsElapsed()) / 1e6 - kTimerMs));
        sinceLast.start();
    });

    Flood flood;
    std::thread sender;
    QTimer::singleShot(200, [&] {
        sinceLast.start();
        tick.start();
        sender = std::thread(SendFlood, std::ref(flood), seconds, maxDatagrams, perSecond);
    });
    // Once the flood is over, give the listener a second to read what is left.
    RawSocketState after;
    QTimer finish;
    QObject::connect(&finish, &QTimer::timeout, [&] {
        if (flood.done.load()) {
            finish.stop();
            QTimer::singleShot(1000, [&] {
                tick.stop();
                // Quitting closes the window, and the socket with it.
                after = ListenerSocketState();
                QApplication::quit();
            });
        }
    });
    finish.start(50);
    QTimer::singleShot(int(seconds * 1000) + 60000, [&] { flood.stop.store(true); }); // a stuck sender
    application.exec();
    sender.join();

    std::printf("flood: %llu datagrams of %d bytes in %.2f s (%.0f per second), %llu send failures\n",
                static_cast<unsigned long long>(flood.sent), kFloodPayload, flood.seconds,
                double(flood.sent) / flood.seconds, static_cast<unsigned long long>(flood.failed));
    std::printf("timer of %d ms: %zu firings, late by median %.2f ms, 99th percentile %.2f ms, worst %.2f ms\n",
                kTimerMs, lateMs.size(), Percentile(lateMs, 0.5), Percentile(lateMs, 0.99),
                lateMs.empty() ? 0.0 : *std::max_element(lateMs.begin(), lateMs.end()));
    std::printf("magic packets: %u sent, %u reported (%u missing); %u error lines; %u magic of other senders\n",
                flood.magicSent, magicReported, flood.magicSent - std::min(flood.magicSent, magicReported),
                errorLines, magicOthers);
    const quint64 drops = after.drops - before.drops;
    // The socket's filter leaves datagrams of other sizes in the kernel; they are not drops.
    std::printf("kernel drops at the listener's socket: %llu%s of %llu datagrams handled (%.0f per second)\n",
                static_cast<unsigned long long>(drops), after.found ? "" : " (socket not found in /proc/net/raw)",
                static_cast<unsigned long long>(flood.sent), double(flood.sent) / flood.seconds);
    std::printf("memory: VmRSS %lld kB before, %lld kB after, VmHWM %lld kB\n", rssBefore, StatusKb("VmRSS:"),
                StatusKb("VmHWM:"));
    delete form.data(); // quitting closes it, and closing deletes it
    return 0;
}
