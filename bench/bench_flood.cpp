// The listener under a flood of UDP datagrams on loopback, against a bare
// blocking recv loop on a raw socket fed the same flood. Needs root. Runs in a
// network namespace of its own, so that the flood reaches nothing else.

#include "kernelhelpers.h"
#include "stdtext.h"
#include "packetlistener.h"
#include "testdatagrams.h"
#include "udpsender.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMagicEvery = 1000;
constexpr auto kSendDeadline = std::chrono::seconds(30);
constexpr auto kQuietEnd = std::chrono::milliseconds(300);
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024; // as the listener asks
constexpr quint16 kTargetPort = 9;
// Payload sizes of the ordinary datagrams, taken in turn.
constexpr int kPayloadSizes[] = {0, 18, 48, 64, 102, 128, 256, 512, 1024, 1472};

struct Settings
{
    long count = 1000000;
    long rate = 0; // datagrams per second; 0 sends as fast as the loop goes
};

struct SendResult
{
    long sent = 0;
    long magicSent = 0;
    long sendFailures = 0;
    double seconds = 0;
};

double ThreadCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

QByteArray MagicPayload(long serial)
{
    QByteArray mac(6, '\0');
    mac[0] = char(0x02);
    for (int i = 0; i < 4; ++i)
        mac[5 - i] = char((serial >> (8 * i)) & 0xFF);
    return testdatagrams::MagicPayload(mac);
}

// Sends `count` datagrams to 127.0.0.1, one magic packet in every kMagicEvery,
// and gives up at the deadline whatever is left.
SendResult Flood(const Settings &settings, std::atomic<bool> &done)
{
    SendResult result;
    const UdpSender sender;

    QByteArray filler(1472, 'x');
    filler[0] = char(0xFF); // near-magic start for the 102-byte payloads
    const auto start = Clock::now();
    for (long i = 0; i < settings.count; ++i) {
        if ((i & 1023) == 0) {
            const auto elapsed = Clock::now() - start;
            if (elapsed > kSendDeadline)
                break;
            if (settings.rate > 0) {
                const auto due = std::chrono::nanoseconds(i * 1000000000LL / settings.rate);
                if (due > elapsed)
                    std::this_thread::sleep_for(due - elapsed);
            }
        }
        QByteArray magic;
        const char *data = filler.constData();
        size_t size = size_t(kPayloadSizes[i % std::size(kPayloadSizes)]);
        if (i % kMagicEvery == kMagicEvery - 1) {
            magic = MagicPayload(result.magicSent);
            data = magic.constData();
            size = size_t(magic.size());
        }
        if (sender.Send(INADDR_LOOPBACK, kTargetPort, QByteArrayView(data, qsizetype(size)))) {
            ++result.sent;
            result.magicSent += magic.isEmpty() ? 0 : 1;
        } else {
            ++result.sendFailures;
        }
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    done = true;
    return result;
}

int ReceiveBufferBytes(int socket)
{
    int bytes = 0;
    socklen_t length = sizeof bytes;
    return ::getsockopt(socket, SOL_SOCKET, SO_RCVBUF, &bytes, &length) == 0 ? bytes : -1;
}

// The kernel's count of datagrams dropped on a raw socket, or -1.
long KernelDrops(int socket)
{
    const RawSocketState state = RawSocketStateOf(socket);
    return state.found ? long(state.drops) : -1;
}

// Counts what the listener reads, passing every call on to the system.
class CountingSocketCalls final : public SocketCalls
{
public:
    explicit CountingSocketCalls(SocketCalls &inner) : m_inner(inner) {}
    Q_DISABLE_COPY_MOVE(CountingSocketCalls)

    int Startup() override { return m_inner.Startup(); }
    void Cleanup() override { m_inner.Cleanup(); }
    int Open() override { return socket = m_inner.Open(); }
    int Bind(int s) override { return m_inner.Bind(s); }
    int Arm(int s) override { return m_inner.Arm(s); }
    ssize_t Receive(int s, void *buffer, size_t size, std::uint32_t &droppedSoFar) override
    {
        const ssize_t received = m_inner.Receive(s, buffer, size, droppedSoFar);
        if (received >= 0) {
            ++datagrams;
            lastDatagram = Clock::now();
        } else {
            ++failedReceives;
        }
        return received;
    }
    int Close(int s) override { return m_inner.Close(s); }
    int LastError() override { return m_inner.LastError(); }

    int socket = -1;
    long datagrams = 0;
    long failedReceives = 0;
    Clock::time_point lastDatagram = Clock::now();

private:
    SocketCalls &m_inner;
};

struct Figures
{
    long sent = 0;
    long seen = 0;
    long drops = -1;
    double cpuSeconds = 0;
    int receiveBuffer = -1;
    double NsPerDatagram() const { return seen > 0 ? cpuSeconds * 1e9 / double(seen) : 0; }
    // The listener's socket filter leaves most of a flood in the kernel, so the
    // cost per datagram of the flood is the figure to compare.
    double NsPerDatagramSent() const { return sent > 0 ? cpuSeconds * 1e9 / double(sent) : 0; }
};

void PrintSend(const SendResult &send)
{
    std::printf("  sent %ld datagrams (%ld magic) in %.2f s, %.0f/s, %ld send failures\n", send.sent, send.magicSent,
                send.seconds, send.seconds > 0 ? double(send.sent) / send.seconds : 0.0, send.sendFailures);
}

bool RunListener(const Settings &settings, Figures &figures)
{
    std::printf("listener (TPacketListener in a %s event loop):\n",
                QAbstractEventDispatcher::instance()->metaObject()->className());
    CountingSocketCalls calls(SystemSocketCalls());
    TPacketListener listener(calls);
    long magicReported = 0;
    long failureReports = 0;
    QSet<QString> macs;
    listener.OnDataAvailable = [&](const PacketReport &report) {
        if (report.error) {
            ++failureReports;
        } else {
            ++magicReported;
            macs.insert(Text(report.mac));
        }
    };
    if (!listener.StartListening()) {
        std::printf("  cannot listen: %s\n", listener.LastError().c_str());
        return false;
    }

    std::atomic<bool> done = false;
    SendResult send;
    const double cpuStart = ThreadCpuSeconds();
    std::thread sender([&] { send = Flood(settings, done); });
    QTimer quietCheck;
    QObject::connect(&quietCheck, &QTimer::timeout, [&] {
        if (done && Clock::now() - calls.lastDatagram > kQuietEnd)
            QCoreApplication::quit();
    });
    quietCheck.start(50);
    QCoreApplication::exec();
    figures.cpuSeconds = ThreadCpuSeconds() - cpuStart;
    sender.join();
    figures.seen = calls.datagrams;
    figures.drops = KernelDrops(calls.socket);

    PrintSend(send);
    std::printf("  datagrams seen %ld, kernel drops %ld, failed receives %ld (%ld reported), receive buffer %d bytes\n",
                figures.seen, figures.drops, calls.failedReceives, failureReports, ReceiveBufferBytes(calls.socket));
    std::printf("  magic packets reported %ld of %ld sent (%lld distinct)%s\n", magicReported, send.magicSent,
                static_cast<long long>(macs.size()), magicReported == send.magicSent ? "" : "  <-- LOST");
    figures.sent = send.sent;
    std::printf("  CPU %.3f s, %.0f ns per datagram read, %.0f ns per datagram sent\n", figures.cpuSeconds,
                figures.NsPerDatagram(), figures.NsPerDatagramSent());
    listener.StopListening();
    return true;
}

bool RunBaseline(const Settings &settings, Figures &figures)
{
    std::printf("baseline (blocking recv loop on a raw socket):\n");
    const int raw = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP);
    if (raw < 0) {
        std::printf("  cannot open a raw socket: %s\n", std::strerror(errno));
        return false;
    }
    ::setsockopt(raw, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
    const timeval quiet{0, long(std::chrono::microseconds(kQuietEnd).count())};
    ::setsockopt(raw, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);

    std::atomic<bool> done = false;
    SendResult send;
    std::vector<char> buffer(TPacketListener::kBufferSize);
    const double cpuStart = ThreadCpuSeconds();
    std::thread sender([&] { send = Flood(settings, done); });
    for (;;) {
        const ssize_t received = ::recv(raw, buffer.data(), buffer.size(), MSG_TRUNC);
        if (received >= 0) {
            ++figures.seen;
        } else if (done && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
    }
    figures.cpuSeconds = ThreadCpuSeconds() - cpuStart;
    sender.join();
    figures.drops = KernelDrops(raw);
    figures.receiveBuffer = ReceiveBufferBytes(raw);
    ::close(raw);

    PrintSend(send);
    std::printf("  datagrams seen %ld, kernel drops %ld, receive buffer %d bytes\n", figures.seen, figures.drops,
                figures.receiveBuffer);
    figures.sent = send.sent;
    std::printf("  CPU %.3f s, %.0f ns per datagram read, %.0f ns per datagram sent\n", figures.cpuSeconds,
                figures.NsPerDatagram(), figures.NsPerDatagramSent());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc) {
            settings.rate = std::atol(argv[++i]);
        } else if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
            settings.count = std::atol(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--count N (at most 1000000)] [--rate datagrams-per-second]\n", argv[0]);
            return 2;
        }
    }
    settings.count = std::clamp(settings.count, 1L, 1000000L);
    settings.rate = std::max(settings.rate, 0L);

    // A namespace of its own keeps the flood away from everything else on the machine.
    if (::unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp()) {
        std::fprintf(stderr, "needs root: cannot make a network namespace (%s)\n", std::strerror(errno));
        return 1;
    }
    QCoreApplication application(argc, argv);

    // Nobody reads this socket: it stands for a service on the port, so that the
    // kernel sends no port-unreachable reply for each datagram.
    const int sink = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sinkAddress = Ipv4SocketAddress(INADDR_LOOPBACK, kTargetPort);
    if (::bind(sink, reinterpret_cast<const sockaddr *>(&sinkAddress), sizeof sinkAddress) != 0) {
        std::fprintf(stderr, "cannot bind the sink on port %d: %s\n", kTargetPort, std::strerror(errno));
        return 1;
    }

    std::printf("flood: %ld datagrams to 127.0.0.1:%d, payloads of %zu sizes from 0 to 1472 bytes, "
                "one magic packet in %d, %s\n",
                settings.count, kTargetPort, std::size(kPayloadSizes), kMagicEvery,
                settings.rate > 0 ? qPrintable(QStringLiteral("at %1 datagrams/s").arg(settings.rate))
                                  : "as fast as the sender goes");
    Figures listener;
    Figures baseline;
    if (!RunListener(settings, listener) || !RunBaseline(settings, baseline))
        return 1;
    if (baseline.NsPerDatagram() > 0) {
        std::printf("ratio of CPU per datagram sent, listener to baseline: %.2f (target: at most 2)\n",
                    listener.NsPerDatagramSent() / baseline.NsPerDatagramSent());
        std::printf("ratio of CPU per datagram read, listener to baseline: %.2f\n",
                    listener.NsPerDatagram() / baseline.NsPerDatagram());
    }
    ::close(sink);
    return 0;
}
