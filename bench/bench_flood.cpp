// The listener and corvalen-cli under a flood of UDP datagrams on loopback,
// against a bare blocking recv loop on a raw socket and against tcpdump, each
// fed the same flood, with three kinds of noise: datagrams of mixed sizes,
// magic-sized datagrams that are no magic packet, and video: multicast datagrams of
// seven MPEG transport stream packets with their 0xFF stuffing, as IPTV sends them. corvalen-cli with both of its
// sources and tcpdump take turns for several rounds and are compared at their
// medians. Needs root. Runs in a network namespace of its own, so that the flood
// reaches nothing else.

#include "kernelhelpers.h"
#include "stdtext.h"
#include "packetlistener.h"
#include "testdatagrams.h"
#include "udpsender.h"
#include "vethnamespace.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
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

enum class Noise { MixedSizes, MagicSized, Video };

const char *NoiseName(Noise noise)
{
    return noise == Noise::MixedSizes ? "mixed sizes" : noise == Noise::MagicSized ? "magic-sized" : "video";
}

const char *NoiseDescription(Noise noise)
{
    return noise == Noise::MixedSizes   ? "payloads of ten sizes from 0 to 1472 bytes"
           : noise == Noise::MagicSized ? "102-byte payloads that start with five 0xFF bytes"
                                        : "seven transport stream packets with 0xFF stuffing each, to 239.255.42.42";
}

constexpr std::uint32_t kVideoGroup = 0xEFFF2A2A; // 239.255.42.42
constexpr quint16 kVideoPort = 5004;

struct Settings
{
    long count = 1000000;
    long rate = 0; // datagrams per second; 0 sends as fast as the loop goes
    Noise noise = Noise::MixedSizes;
    // Loopback, or a veth link whose far end is a namespace of its own.
    std::uint32_t target = INADDR_LOOPBACK;
    int senderNamespace = -1;
    QString link = QStringLiteral("lo");
    // corvalen-cli with both sources serves metrics and writes its events to a journald of the bench's own.
    bool service = false;
    // The corvalen-cli flooded: this build's, or another's to compare with.
    QString cli = QStringLiteral(CORVALEN_CLI);
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
    if (settings.senderNamespace >= 0 && ::setns(settings.senderNamespace, CLONE_NEWNET) != 0)
        return result;
    const UdpSender sender(settings.senderNamespace >= 0 ? std::uint32_t(INADDR_ANY) : std::uint32_t(INADDR_LOOPBACK));

    QByteArray filler(1472, 'x');
    filler[0] = char(0xFF); // near-magic start for the 102-byte payloads
    // Magic-sized noise starts with five of the six 0xFF bytes.
    QByteArray magicSized(kMagicPayloadSize, 'x');
    magicSized.replace(0, 5, QByteArray(5, char(0xFF)));
    const QByteArray video = testdatagrams::VideoPayload();
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
        std::uint32_t target = settings.target;
        quint16 port = kTargetPort;
        if (settings.noise == Noise::MagicSized) {
            data = magicSized.constData();
            size = size_t(magicSized.size());
        } else if (settings.noise == Noise::Video) {
            data = video.constData();
            size = size_t(video.size());
            target = kVideoGroup;
            port = kVideoPort;
        }
        if (i % kMagicEvery == kMagicEvery - 1) {
            magic = MagicPayload(result.magicSent);
            data = magic.constData();
            size = size_t(magic.size());
            target = settings.target;
            port = kTargetPort;
        }
        if (sender.Send(target, port, QByteArrayView(data, qsizetype(size)))) {
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
    ssize_t Receive(int s, void *buffer, size_t size, ReceiveDetails &details) override
    {
        const ssize_t received = m_inner.Receive(s, buffer, size, details);
        if (received >= 0) {
            ++datagrams;
            lastDatagram = Clock::now();
        } else {
            ++failedReceives;
        }
        return received;
    }
    int DropCount(int s, std::uint32_t &droppedSoFar) override { return m_inner.DropCount(s, droppedSoFar); }
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
    long contextSwitches = -1;
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

bool RunListener(const Settings &settings, Figures &figures, long &magicReported)
{
    std::printf("listener (TPacketListener in a %s event loop):\n",
                QAbstractEventDispatcher::instance()->metaObject()->className());
    CountingSocketCalls calls(SystemSocketCalls());
    TPacketListener listener(calls);
    magicReported = 0;
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

// The contents of /proc/PID/task/TID/`name` for every thread of process `pid`.
QList<QByteArray> TaskFiles(qint64 pid, const QString &name)
{
    QList<QByteArray> contents;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(tasks.filePath(tid) + QLatin1Char('/') + name);
        if (file.open(QIODevice::ReadOnly))
            contents << file.readAll();
    }
    return contents;
}

// CPU time of every thread of process `pid`, from the scheduler's count in nanoseconds.
double ProcessCpuSeconds(qint64 pid)
{
    double total = 0;
    for (const QByteArray &schedstat : TaskFiles(pid, QStringLiteral("schedstat")))
        total += schedstat.split(' ').value(0).toDouble() / 1e9;
    return total;
}

// The CPU time of each thread of process `pid` by its name, threads of one name together.
QMap<QString, double> ThreadCpuSeconds(qint64 pid)
{
    QMap<QString, double> threads;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile name(tasks.filePath(tid) + QStringLiteral("/comm"));
        QFile schedstat(tasks.filePath(tid) + QStringLiteral("/schedstat"));
        if (name.open(QIODevice::ReadOnly) && schedstat.open(QIODevice::ReadOnly))
            threads[QString::fromLatin1(name.readAll().trimmed())] += schedstat.readAll().split(' ').value(0).toDouble() / 1e9;
    }
    return threads;
}

// "corvalen-cli 91.2 ms, civetweb-worker 0.4 ms": where the CPU time between two readings went.
QString ThreadShares(const QMap<QString, double> &before, const QMap<QString, double> &after)
{
    QStringList shares;
    for (auto thread = after.begin(); thread != after.end(); ++thread) {
        const double ms = (thread.value() - before.value(thread.key())) * 1000;
        if (ms >= 0.05)
            shares << QStringLiteral("%1 %2 ms").arg(thread.key()).arg(ms, 0, 'f', 1);
    }
    return shares.join(QStringLiteral(", "));
}

// Voluntary and involuntary context switches of every thread of process `pid`:
// about one for each time it waits and wakes up again.
long ProcessContextSwitches(qint64 pid)
{
    long total = 0;
    for (const QByteArray &status : TaskFiles(pid, QStringLiteral("status"))) {
        for (const QByteArray &line : status.split('\n')) {
            if (line.contains("ctxt_switches:"))
                total += line.split('\t').last().trimmed().toLong();
        }
    }
    return total;
}

struct ProcessOutput
{
    QByteArray out;
    QByteArray err;
    long rawSocketDrops = -1;
    qint64 pid = 0;
    QString threads; // the CPU time of the flood by thread
};

// Starts `program`, waits until it writes `readyText` on stderr, floods it, and
// stops it with SIGINT once the flood is over; its CPU is counted from just
// before the flood to just after.
bool RunProcess(const Settings &settings, const QString &program, const QStringList &arguments,
                const QByteArray &readyText, Figures &figures, ProcessOutput &output)
{
    const QString outPath = QDir::temp().filePath(QStringLiteral("bench_flood.%1.out").arg(::getpid()));
    QProcess process;
    process.setStandardOutputFile(outPath);
    process.setReadChannel(QProcess::StandardError);
    process.start(program, arguments);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!output.err.contains(readyText) && Clock::now() < deadline && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(100);
        output.err += process.readAllStandardError();
    }
    if (!output.err.contains(readyText)) {
        std::printf("  did not start: %s\n", output.err.constData());
        process.kill();
        process.waitForFinished();
        return false;
    }
    const qint64 pid = process.processId();
    output.pid = pid;
    std::atomic<bool> done = false;
    SendResult send;
    const long switchesStart = ProcessContextSwitches(pid);
    const QMap<QString, double> threadsStart = ThreadCpuSeconds(pid);
    const double cpuStart = ProcessCpuSeconds(pid);
    std::thread sender([&] { send = Flood(settings, done); });
    sender.join();
    std::this_thread::sleep_for(kQuietEnd);
    figures.cpuSeconds = ProcessCpuSeconds(pid) - cpuStart;
    output.threads = ThreadShares(threadsStart, ThreadCpuSeconds(pid));
    figures.contextSwitches = ProcessContextSwitches(pid) - switchesStart;
    figures.sent = send.sent;
    const RawSocketState socket = RawSocketOfProcess(pid);
    output.rawSocketDrops = socket.found ? long(socket.drops) : -1;
    ::kill(pid_t(pid), SIGINT);
    process.waitForFinished(10000);
    output.err += process.readAllStandardError();
    QFile outFile(outPath);
    if (outFile.open(QIODevice::ReadOnly))
        output.out = outFile.readAll();
    QFile::remove(outPath);
    PrintSend(send);
    return true;
}

long FirstNumber(const QByteArray &text, const char *pattern)
{
    const QRegularExpressionMatch match = QRegularExpression(QString::fromLatin1(pattern)).match(QString::fromLatin1(text));
    return match.hasMatch() ? match.captured(1).toLong() : -1;
}

// Without --udp-only, corvalen-cli also captures the link layer.
bool RunCli(const Settings &settings, const QStringList &arguments, Figures &figures, long &magicReported)
{
    std::printf("corvalen-cli %s(a process of its own, report lines to a file):\n",
                qPrintable(arguments.isEmpty() ? QString() : arguments.join(QLatin1Char(' ')) + QLatin1Char(' ')));
    if (settings.cli != QStringLiteral(CORVALEN_CLI))
        std::printf("  %s\n", qPrintable(settings.cli));
    ProcessOutput output;
    if (!RunProcess(settings, settings.cli, arguments, "listening for magic packets", figures, output))
        return false;
    magicReported = long(output.out.count("Magic Packet received.\n"));
    // Video stuffing must make no event: no magic packet for the broadcast address, no near miss.
    const long stuffingEvents = long(output.out.count("MAC Address: FF-FF-FF-FF-FF-FF\n") + output.out.count("Near miss"));
    if (arguments.contains(QStringLiteral("--journal"))) {
        // Its events are in the journal, each with the process's PID.
        QProcess journalctl;
        journalctl.start(QStringLiteral("journalctl"), {QStringLiteral("-o"), QStringLiteral("cat"),
                                                        QStringLiteral("--no-pager"),
                                                        QStringLiteral("_PID=%1").arg(output.pid),
                                                        QStringLiteral("WOL_EVENT=magic")});
        journalctl.waitForFinished(60000);
        const QByteArray journal = journalctl.readAllStandardOutput();
        magicReported = long(journal.count("Magic packet for "));
        std::printf("  events in the journal: %ld (for FF-FF-FF-FF-FF-FF: %ld); metrics served too\n", magicReported,
                    long(journal.count("for FF-FF-FF-FF-FF-FF")));
    }
    const long dropLines = long(output.out.count("Error: No buffer space available, 10055\n"));
    figures.drops = output.rawSocketDrops;
    std::printf("  kernel drops %ld (drop reports written: %ld), failed receives %ld\n", figures.drops, dropLines,
                FirstNumber(output.err, "(\\d+) failed receive"));
    if (!arguments.contains(QStringLiteral("--udp-only"))) {
        const long frameDrops = FirstNumber(output.err, "(\\d+) frame\\(s\\) dropped by the link-layer capture");
        std::printf("  frames dropped by the link-layer capture %ld\n", frameDrops);
        figures.drops = std::max(figures.drops, 0L) + std::max(frameDrops, 0L);
    }
    std::printf("  magic packets reported %ld of %ld sent%s; events for stuffing or near misses %ld%s\n", magicReported,
                figures.sent / kMagicEvery, magicReported == figures.sent / kMagicEvery ? "" : "  <-- LOST",
                stuffingEvents, stuffingEvents == 0 ? "" : "  <-- NOT QUIET");
    std::printf("  CPU %.3f s, %.0f ns per datagram sent, %ld context switches\n", figures.cpuSeconds,
                figures.NsPerDatagramSent(), figures.contextSwitches);
    std::printf("  CPU by thread: %s\n", qPrintable(output.threads));
    return true;
}

Figures Median(std::vector<Figures> rounds)
{
    if (rounds.empty())
        return {};
    std::sort(rounds.begin(), rounds.end(),
              [](const Figures &a, const Figures &b) { return a.NsPerDatagramSent() < b.NsPerDatagramSent(); });
    return rounds[rounds.size() / 2];
}

bool RunTcpdump(const Settings &settings, Figures &figures)
{
    const QString tcpdump = QStandardPaths::findExecutable(QStringLiteral("tcpdump"));
    std::printf("tcpdump -Q in -i %s -w /dev/null 'udp or ether proto 0x0842':\n", qPrintable(settings.link));
    if (tcpdump.isEmpty()) {
        std::printf("  not installed (Debian package tcpdump)\n");
        return false;
    }
    ProcessOutput output;
    if (!RunProcess(settings, tcpdump,
                    {QStringLiteral("-Q"), QStringLiteral("in"), QStringLiteral("-i"), settings.link,
                     QStringLiteral("-w"), QStringLiteral("/dev/null"), QStringLiteral("udp or ether proto 0x0842")},
                    QByteArray("listening on ") + settings.link.toLatin1(), figures, output))
        return false;
    figures.seen = FirstNumber(output.err, "(\\d+) packets? captured");
    figures.drops = FirstNumber(output.err, "(\\d+) packets? dropped by kernel");
    std::printf("  datagrams captured %ld, kernel drops %ld\n", figures.seen, figures.drops);
    std::printf("  CPU %.3f s, %.0f ns per datagram captured, %.0f ns per datagram sent, %ld context switches\n",
                figures.cpuSeconds, figures.NsPerDatagram(), figures.NsPerDatagramSent(), figures.contextSwitches);
    return true;
}

// A systemd-journald of the bench's own, in a mount namespace whose /run/systemd,
// /run/log and /var/log/journal are empty and vanish with it.
std::unique_ptr<QProcess> StartOwnJournal()
{
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fprintf(stderr, "cannot make a mount namespace: %s\n", std::strerror(errno));
        return nullptr;
    }
    for (const char *directory : {"/run/systemd", "/run/log", "/var/log/journal"}) {
        QDir().mkpath(QString::fromLatin1(directory));
        if (::mount("tmpfs", directory, "tmpfs", 0, nullptr) != 0) {
            std::fprintf(stderr, "cannot mount a tmpfs on %s: %s\n", directory, std::strerror(errno));
            return nullptr;
        }
    }
    auto journald = std::make_unique<QProcess>();
    journald->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    journald->start(QStringLiteral("/lib/systemd/systemd-journald"), {});
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!QFileInfo(QStringLiteral("/run/systemd/journal/socket")).exists() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!QFileInfo(QStringLiteral("/run/systemd/journal/socket")).exists()) {
        std::fprintf(stderr, "systemd-journald did not start (Debian package systemd)\n");
        return nullptr;
    }
    std::printf("corvalen-cli with both sources: --metrics 127.0.0.1:19009 --journal, to a journald of its own\n");
    return journald;
}

} // namespace

int main(int argc, char **argv)
{
    Settings settings;
    int rounds = 3;
    std::vector<Noise> noises = {Noise::MixedSizes, Noise::MagicSized, Noise::Video};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rate") == 0 && i + 1 < argc) {
            settings.rate = std::atol(argv[++i]);
        } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::clamp(std::atoi(argv[++i]), 1, 9);
        } else if (std::strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
            settings.count = std::atol(argv[++i]);
        } else if (std::strcmp(argv[i], "--noise") == 0 && i + 1 < argc && std::strcmp(argv[i + 1], "mixed") == 0) {
            noises = {Noise::MixedSizes};
            ++i;
        } else if (std::strcmp(argv[i], "--noise") == 0 && i + 1 < argc
                   && std::strcmp(argv[i + 1], "magic-sized") == 0) {
            noises = {Noise::MagicSized};
            ++i;
        } else if (std::strcmp(argv[i], "--noise") == 0 && i + 1 < argc && std::strcmp(argv[i + 1], "video") == 0) {
            noises = {Noise::Video};
            ++i;
        } else if (std::strcmp(argv[i], "--link") == 0 && i + 1 < argc && std::strcmp(argv[i + 1], "veth") == 0) {
            settings.link = QStringLiteral("veth");
            ++i;
        } else if (std::strcmp(argv[i], "--service") == 0) {
            settings.service = true;
        } else if (std::strcmp(argv[i], "--cli") == 0 && i + 1 < argc) {
            settings.cli = QString::fromLocal8Bit(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: %s [--count N (at most 1000000)] [--rate datagrams-per-second] [--rounds N (1 to 9)] "
                         "[--noise mixed|magic-sized|video] [--link veth] [--service] [--cli path]\n",
                         argv[0]);
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
    std::unique_ptr<VethNamespace> veth;
    // The video noise goes to a multicast group: the sender's route to it.
    QStringList multicastRoute{QStringLiteral("route"), QStringLiteral("replace"), QStringLiteral("224.0.0.0/4"),
                               QStringLiteral("dev"), QStringLiteral("lo")};
    if (settings.link == QStringLiteral("veth")) {
        const QString name = QStringLiteral("cvflood%1").arg(::getpid());
        const QString peerLink = QStringLiteral("cvf%1b").arg(::getpid() % 100000);
        settings.link = QStringLiteral("cvf%1a").arg(::getpid() % 100000);
        multicastRoute = QStringList{QStringLiteral("-n"), name} + multicastRoute.mid(0, 4) + QStringList{peerLink};
        veth = std::make_unique<VethNamespace>(name, settings.link, peerLink);
        QString failure;
        if (!veth->Create(QStringLiteral("10.231.45.1/24"), QStringLiteral("10.231.45.2/24"), &failure)) {
            std::fprintf(stderr, "cannot make the veth link: %s\n", qPrintable(failure));
            return 1;
        }
        settings.senderNamespace = ::open(qPrintable(QStringLiteral("/run/netns/") + name), O_RDONLY | O_CLOEXEC);
        settings.target = 0x0AE72D01; // 10.231.45.1
    }

    if (QProcess::execute(QStringLiteral("ip"), multicastRoute) != 0) {
        std::fprintf(stderr, "cannot route multicast: ip %s\n", qPrintable(multicastRoute.join(QLatin1Char(' '))));
        return 1;
    }

    std::unique_ptr<QProcess> journald;
    if (settings.service && !(journald = StartOwnJournal()))
        return 1;
    QStringList cliBoth;
    if (settings.service)
        cliBoth = {QStringLiteral("--metrics"), QStringLiteral("127.0.0.1:19009"), QStringLiteral("--journal")};

    // Nobody reads this socket: it stands for a service on the port, so that the
    // kernel sends no port-unreachable reply for each datagram.
    const int sink = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sinkAddress = Ipv4SocketAddress(settings.target, kTargetPort);
    if (::bind(sink, reinterpret_cast<const sockaddr *>(&sinkAddress), sizeof sinkAddress) != 0) {
        std::fprintf(stderr, "cannot bind the sink on port %d: %s\n", kTargetPort, std::strerror(errno));
        return 1;
    }

    struct Summary
    {
        Noise noise;
        Figures listener, baseline, cliUdpOnly, cli, tcpdump;
        long listenerMagic = 0, cliUdpOnlyMagic = 0, cliMagic = 0, magicSent = 0;
        long cliDropsMost = 0;
    };
    std::vector<Summary> summaries;
    for (const Noise noise : noises) {
        settings.noise = noise;
        std::printf("\n=== flood: %ld datagrams to %s:%d over %s, noise %s (%s), one magic packet in %d, %s\n",
                    settings.count, settings.senderNamespace >= 0 ? "10.231.45.1" : "127.0.0.1", kTargetPort,
                    qPrintable(settings.link), NoiseName(noise), NoiseDescription(noise),
                    kMagicEvery,
                    settings.rate > 0 ? qPrintable(QStringLiteral("at %1 datagrams/s").arg(settings.rate))
                                      : "as fast as the sender goes");
        Summary summary{noise, {}, {}, {}, {}, {}};
        if (!RunListener(settings, summary.listener, summary.listenerMagic) || !RunBaseline(settings, summary.baseline)
            || !RunCli(settings, {QStringLiteral("--udp-only")}, summary.cliUdpOnly, summary.cliUdpOnlyMagic))
            return 1;
        // The two that are compared take turns, so that a slower spell of the machine
        // falls on both; each is taken at its median.
        std::vector<Figures> cliRounds, tcpdumpRounds;
        summary.cliMagic = settings.count;
        for (int round = 1; round <= rounds; ++round) {
            std::printf("-- round %d of %d\n", round, rounds);
            Figures cli, tcpdump;
            long cliMagic = 0;
            if (!RunCli(settings, cliBoth, cli, cliMagic))
                return 1;
            summary.cliMagic = std::min(summary.cliMagic, cliMagic);
            summary.cliDropsMost = std::max(summary.cliDropsMost, cli.drops);
            cliRounds.push_back(cli);
            if (RunTcpdump(settings, tcpdump))
                tcpdumpRounds.push_back(tcpdump);
        }
        summary.cli = Median(cliRounds);
        summary.tcpdump = Median(tcpdumpRounds);
        summary.magicSent = summary.cli.sent / kMagicEvery;
        summaries.push_back(summary);
    }

    std::printf("\n=== summary: CPU per datagram of the flood (ns; cli both and tcpdump: median of %d rounds), magic packets "
                "reported of sent (cli both: the fewest of any round), kernel drops (cli both: the most)\n",
                rounds);
    std::printf("%-12s %9s %9s %10s %9s %9s   %-15s %-15s %-15s %s\n", "noise", "bare recv", "listener", "cli --udp",
                "cli both", "tcpdump", "listener magic", "cli --udp magic", "cli both magic",
                "drops (listener/cli --udp/cli both/tcpdump)");
    for (const Summary &summary : summaries) {
        std::printf("%-12s %9.0f %9.0f %10.0f %9.0f %9.0f   %6ld of %-6ld %6ld of %-6ld %6ld of %-6ld %ld/%ld/%ld/%ld\n",
                    NoiseName(summary.noise), summary.baseline.NsPerDatagramSent(),
                    summary.listener.NsPerDatagramSent(), summary.cliUdpOnly.NsPerDatagramSent(),
                    summary.cli.NsPerDatagramSent(), summary.tcpdump.NsPerDatagramSent(), summary.listenerMagic,
                    summary.listener.sent / kMagicEvery, summary.cliUdpOnlyMagic, summary.cliUdpOnly.sent / kMagicEvery,
                    summary.cliMagic, summary.magicSent, summary.listener.drops, summary.cliUdpOnly.drops,
                    summary.cliDropsMost, summary.tcpdump.drops);
    }
    ::close(sink);
    return 0;
}
