// Hostile traffic against the main window with its real listener: random bytes,
// truncated headers, UDP lengths that lie, IP options, oversized and fragmented
// datagrams, with magic packets of distinctive MAC addresses mixed in. Every
// magic packet the kernel delivered must show up in the log exactly once.

#include "rootskip.h"
#include "addedlines.h"
#include "kernelhelpers.h"
#include "listenform.h"
#include "testdatagrams.h"
#include "udpsender.h"
#include "vethnamespace.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QPlainTextEdit>
#include <QPointer>
#include <QStandardPaths>
#include <QTest>
#include <QtEndian>

#include <cerrno>
#include <netinet/in.h>
#include <algorithm>
#include <optional>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

using testdatagrams::MacText;
using testdatagrams::MagicPayload;

namespace {

constexpr int kLoopbackDatagrams = 60000;
constexpr int kNamespaceDatagrams = 40000;
constexpr qint64 kSendingBudgetMs = 25000;
constexpr int kBatch = 64; // datagrams sent between two reads, on average
constexpr int kDrainBudgetMs = 5000;
// Growth of the resident set allowed between warm-up and the end: the log
// empties itself, so nothing should grow with the number of datagrams.
constexpr qint64 kMemoryGrowthLimitKb = 32 * 1024;
constexpr int kWarmUpDatagrams = 5000;
// AddressSanitizer holds freed memory back for a while, so the resident set says
// nothing about the program there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryIsMeaningful = false;
#else
constexpr bool kMemoryIsMeaningful = true;
#endif

constexpr std::uint32_t kLoopbackAddress = 0x7F000001;
constexpr std::uint8_t kMacPrefix[] = {0x02, 0x48, 0x4F};
const QString kMacPrefixText = QStringLiteral("02-48-4F-");

QString AddressText(std::uint32_t address)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg(address & 0xFF);
}

// A second host with private addresses that exist only on its link.
class PeerNamespace final
{
public:
    PeerNamespace()
        : m_link(QStringLiteral("corvalen-hostile-%1").arg(::getpid()), QStringLiteral("cvhl%1").arg(::getpid()),
                 QStringLiteral("cvhp%1").arg(::getpid()))
    {
        const auto pid = std::uint32_t(::getpid());
        const std::uint32_t base = (10u << 24) | ((232u + (pid >> 14) % 16) << 16) | (((pid >> 6) & 0xFF) << 8)
                                   | ((pid & 0x3F) * 4);
        localAddress = base + 1;
        peerAddress = base + 2;
    }
    Q_DISABLE_COPY_MOVE(PeerNamespace)

    bool Create(QString *failure)
    {
        RemoveOrphans();
        return m_link.Create(AddressText(localAddress) + QStringLiteral("/30"),
                             AddressText(peerAddress) + QStringLiteral("/30"), failure);
    }

    template <typename Make>
    bool InNamespace(Make make)
    {
        return m_link.InNamespace(make);
    }

    std::uint32_t localAddress = 0;
    std::uint32_t peerAddress = 0;

private:
    // Namespaces of earlier runs whose process died before it could remove them.
    static void RemoveOrphans()
    {
        const QString prefix = QStringLiteral("corvalen-hostile-");
        const QStringList names = QDir(QStringLiteral("/run/netns")).entryList({prefix + QLatin1Char('*')}, QDir::Files);
        for (const QString &name : names) {
            bool isNumber = false;
            const int pid = name.mid(prefix.size()).toInt(&isNumber);
            if (isNumber && pid != ::getpid() && !QFile::exists(QStringLiteral("/proc/%1").arg(pid))) {
                RunIp({QStringLiteral("link"), QStringLiteral("del"), QStringLiteral("cvhl%1").arg(pid)});
                RunIp({QStringLiteral("netns"), QStringLiteral("del"), name});
            }
        }
    }

    VethNamespace m_link;
};

// Sends from one address to another over an ordinary UDP socket and over a raw
// socket that writes its own IPv4 header.
struct Sender
{
    std::optional<UdpSender> udp;
    FileDescriptor raw;
    std::uint32_t source = 0;
    std::uint32_t destination = 0;
    int mtu = 65536;

    bool Open()
    {
        udp.emplace(source);
        raw.reset(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
        return udp->valid() && raw.valid();
    }

    bool SendUdp(std::uint16_t port, const QByteArray &payload) const { return udp->Send(destination, port, payload); }

    // `packet` starts with the IPv4 header; the kernel fills in its total length
    // and checksum.
    bool SendRaw(const QByteArray &packet) const
    {
        const sockaddr_in target = Ipv4SocketAddress(destination, 0);
        return ::sendto(raw.get(), packet.constData(), size_t(packet.size()), 0,
                        reinterpret_cast<const sockaddr *>(&target), sizeof target)
               == packet.size();
    }

    QString SourceText() const { return AddressText(source); }
};

QByteArray Ipv4Header(const Sender &sender, const QByteArray &options = {}, std::uint16_t identification = 0)
{
    QByteArray header(20, '\0');
    header[0] = char(0x40 | ((20 + options.size()) / 4));
    qToBigEndian(identification, header.data() + 4);
    header[8] = 64;
    header[9] = char(IPPROTO_UDP);
    qToBigEndian(sender.source, header.data() + 12);
    qToBigEndian(sender.destination, header.data() + 16);
    return header + options;
}

QByteArray UdpHeader(std::uint16_t sourcePort, std::uint16_t destinationPort, std::uint16_t length,
                     std::uint16_t checksum)
{
    QByteArray header(8, '\0');
    qToBigEndian(sourcePort, header.data());
    qToBigEndian(destinationPort, header.data() + 2);
    qToBigEndian(length, header.data() + 4);
    qToBigEndian(checksum, header.data() + 6);
    return header;
}

class Traffic final
{
public:
    explicit Traffic(QPlainTextEdit &memo)
    {
        FollowAddedLines(memo, [this](const QString &line) { OnLine(line); });
    }

    // Sends `count` datagrams of every kind from `sender`, reading between
    // batches. Stops early when the time budget is spent.
    void Run(Sender &sender, int count, qint64 budgetMs)
    {
        QElapsedTimer clock;
        clock.start();
        int inBatch = 0;
        int batch = kBatch;
        for (int i = 0; i < count && clock.elapsed() < budgetMs; ++i) {
            SendOne(sender);
            if (++inBatch >= batch) {
                Drain();
                inBatch = 0;
                batch = int(1 + m_random() % (2 * kBatch));
            }
            if (sent == kWarmUpDatagrams)
                warmRssKb = StatusKb("VmRSS:");
        }
        Drain();
    }

    // Reads until the listener's socket queue is empty.
    void Drain()
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            for (int i = 0; i < 16; ++i)
                QCoreApplication::processEvents(QEventLoop::AllEvents);
            const RawSocketState state = ListenerSocketState();
            if (!state.found || state.receiveQueue == 0 || clock.elapsed() > kDrainBudgetMs)
                break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }

    int sent = 0;
    int sendFailures = 0;
    int oversizedSent = 0;
    int fragmentedSent = 0;
    QHash<QString, QString> expectedMagic; // MAC text → source address text
    int optionsMagicSent = 0;
    int lyingSent = 0;
    int truncatedSent = 0;

    QHash<QString, int> reportedMagic; // MAC texts of this test's prefix
    int otherMagic = 0;
    int tooLongErrors = 0;
    QStringList otherErrors;
    QStringList wrongSources;
    qint64 warmRssKb = -1;

private:
    enum class Kind { Magic, OptionsMagic, NearMagic, LyingLength, Truncated, Oversized, Large, RandomUdp, RandomRaw };

    Kind Pick(const Sender &sender)
    {
        const int roll = int(m_random() % 1000);
        if (roll < 15)
            return Kind::Magic;
        if (roll < 25)
            return Kind::OptionsMagic;
        if (roll < 45)
            return Kind::NearMagic;
        if (roll < 65)
            return Kind::LyingLength;
        if (roll < 165)
            return Kind::Truncated;
        if (roll < 167)
            return Kind::Oversized;
        if (roll < 170)
            return sender.mtu < 65536 ? Kind::Large : Kind::RandomUdp;
        if (roll < 800)
            return Kind::RandomUdp;
        return Kind::RandomRaw;
    }

    QByteArray NextMac()
    {
        const std::uint32_t serial = ++m_macSerial;
        QByteArray mac(reinterpret_cast<const char *>(kMacPrefix), sizeof kMacPrefix);
        mac.append(char(serial >> 16)).append(char(serial >> 8)).append(char(serial));
        return mac;
    }

    QByteArray RandomBytes(int size)
    {
        QByteArray bytes(size, '\0');
        for (char &byte : bytes)
            byte = char(m_random());
        return bytes;
    }

    // The two usual Wake-on-LAN ports, or some other.
    std::uint16_t Port()
    {
        const std::uint32_t roll = m_random();
        return roll % 3 == 0 ? 7 : roll % 3 == 1 ? 9 : std::uint16_t(40000 + (roll >> 8) % 1000);
    }

    void Count(bool ok)
    {
        if (ok)
            ++sent;
        else
            ++sendFailures;
    }

    void SendOne(Sender &sender)
    {
        switch (Pick(sender)) {
        case Kind::Magic: {
            const QByteArray mac = NextMac();
            const bool ok = sender.SendUdp(Port(), MagicPayload(mac));
            if (ok)
                expectedMagic.insert(MacText(mac), sender.SourceText());
            Count(ok);
            break;
        }
        case Kind::OptionsMagic: {
            // No-operation options make a header of 24 to 60 bytes; the decoder
            // follows the header length, so these are magic packets too.
            const QByteArray mac = NextMac();
            const QByteArray options(int(1 + m_random() % 10) * 4, char(0x01));
            const QByteArray payload = MagicPayload(mac);
            const QByteArray packet = Ipv4Header(sender, options)
                                      + UdpHeader(4000, Port(), std::uint16_t(8 + payload.size()), 0) + payload;
            const bool ok = sender.SendRaw(packet);
            if (ok) {
                expectedMagic.insert(MacText(mac), sender.SourceText());
                ++optionsMagicSent;
            }
            Count(ok);
            break;
        }
        case Kind::NearMagic: {
            QByteArray payload = MagicPayload(NextMac());
            switch (m_random() % 5) {
            case 0:
                payload.append(RandomBytes(4)); // password
                break;
            case 1:
                payload.append(RandomBytes(6)); // password
                break;
            case 2:
                payload[int(6 + m_random() % 96)] ^= char(1 + m_random() % 255);
                break;
            case 3:
                payload[int(m_random() % 6)] = char(0xFE);
                break;
            default:
                payload.chop(1);
                break;
            }
            Count(sender.SendUdp(Port(), payload));
            break;
        }
        case Kind::LyingLength: {
            // A magic payload whose UDP length says more or less than there is.
            const QByteArray payload = MagicPayload(NextMac());
            const int truth = 8 + int(payload.size());
            const int lies[] = {truth + 1, truth - 1, truth + int(1 + m_random() % 2000), int(m_random() % truth), 0,
                                65535};
            const auto lie = std::uint16_t(lies[m_random() % std::size(lies)]);
            const QByteArray packet = Ipv4Header(sender) + UdpHeader(4001, Port(), lie, std::uint16_t(m_random())) + payload;
            const bool ok = sender.SendRaw(packet);
            lyingSent += ok;
            Count(ok);
            break;
        }
        case Kind::Truncated: {
            // An IPv4 header and at most a part of the UDP header.
            const QByteArray packet = Ipv4Header(sender) + RandomBytes(int(m_random() % 9));
            const bool ok = sender.SendRaw(packet);
            truncatedSent += ok;
            Count(ok);
            break;
        }
        case Kind::Oversized: {
            // Longer than the 2076-byte buffer: over the veth link it travels in
            // fragments and arrives reassembled.
            const int size = 2076 - 28 + 1 + int(m_random() % 6000);
            const bool ok = sender.SendUdp(Port(), RandomBytes(size));
            oversizedSent += ok;
            fragmentedSent += ok && size + 28 > sender.mtu;
            Count(ok);
            break;
        }
        case Kind::Large: {
            // Fragmented, but it fits the buffer once reassembled.
            const int size = sender.mtu - 28 + 1 + int(m_random() % (2076 - sender.mtu));
            const bool ok = sender.SendUdp(Port(), RandomBytes(size));
            fragmentedSent += ok;
            Count(ok);
            break;
        }
        case Kind::RandomUdp:
            Count(sender.SendUdp(Port(), RandomBytes(int(m_random() % std::min(1473, sender.mtu - 27)))));
            break;
        case Kind::RandomRaw: {
            // A plain header over random bytes: UDP headers with any length at all.
            const QByteArray packet = Ipv4Header(sender, {}, std::uint16_t(m_random()))
                                      + RandomBytes(int(m_random() % std::min(1400, sender.mtu - 20)));
            Count(sender.SendRaw(packet));
            break;
        }
        }
    }

    void OnLine(const QString &line)
    {
        static const QString sourcePrefix = QStringLiteral("  Source Address: ");
        static const QString macPrefix = QStringLiteral("  MAC Address: ");
        static const QString errorPrefix = QStringLiteral("Error: ");
        if (line.startsWith(sourcePrefix)) {
            m_lastSource = line.mid(sourcePrefix.size());
        } else if (line.startsWith(macPrefix)) {
            const QString mac = line.mid(macPrefix.size());
            if (!mac.startsWith(kMacPrefixText)) {
                ++otherMagic; // someone else's traffic
                return;
            }
            ++reportedMagic[mac];
            const auto expected = expectedMagic.constFind(mac);
            if (expected != expectedMagic.cend() && *expected != m_lastSource)
                wrongSources.append(mac + QStringLiteral(" from ") + m_lastSource);
        } else if (line.startsWith(errorPrefix)) {
            if (line == QStringLiteral("Error: Message too long, 10040"))
                ++tooLongErrors;
            else
                otherErrors.append(line);
        }
    }

    std::mt19937 m_random{0xC0A1E5u};
    std::uint32_t m_macSerial = 0;
    QString m_lastSource;
};

struct Window
{
    Window()
        : form(new TListenForm(SystemSocketCalls()))
    {
        form->show();
    }
    ~Window() { delete form.data(); }
    Q_DISABLE_COPY_MOVE(Window)

    QPlainTextEdit *Memo() const { return form->findChild<QPlainTextEdit *>(QStringLiteral("ShowMemo")); }

    QPointer<TListenForm> form;
};

} // namespace

class TestHostile final : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(InNetworkNamespaceOfItsOwn()); }
    void init();
    void loopback();
    void fromNamespace();

private:
    void Verify(Window &window, Traffic &traffic, const RawSocketState &before);
};

void TestHostile::init()
{
    if (::geteuid() != 0)
        SKIP_WITHOUT_ROOT("opening raw sockets needs root");
}

void TestHostile::Verify(Window &window, Traffic &traffic, const RawSocketState &before)
{
    const RawSocketState after = ListenerSocketState();
    QVERIFY(after.found);
    const qint64 drops = qint64(after.drops - before.drops);

    int reported = 0;
    int duplicated = 0;
    int unexpected = 0;
    for (auto it = traffic.reportedMagic.cbegin(); it != traffic.reportedMagic.cend(); ++it) {
        if (!traffic.expectedMagic.contains(it.key()))
            ++unexpected;
        else if (it.value() > 1)
            ++duplicated;
        reported += it.value();
    }
    const qint64 missingMagic = traffic.expectedMagic.size() - reported;
    const qint64 missingErrors = traffic.oversizedSent - traffic.tooLongErrors;
    const qint64 rssKb = StatusKb("VmRSS:");
    const qint64 hwmKb = StatusKb("VmHWM:");

    qInfo("sent %d datagrams (%d send failures): %lld magic (%d with IP options), %d lying UDP lengths, "
          "%d truncated, %d oversized, %d fragmented",
          traffic.sent, traffic.sendFailures, qint64(traffic.expectedMagic.size()), traffic.optionsMagicSent,
          traffic.lyingSent, traffic.truncatedSent, traffic.oversizedSent, traffic.fragmentedSent);
    qInfo("reported %d magic, %d too-long errors; kernel drops %lld; magic of other senders %d",
          reported, traffic.tooLongErrors, drops, traffic.otherMagic);
    qInfo("memory: VmRSS %lld kB after warm-up, %lld kB at the end, VmHWM %lld kB", traffic.warmRssKb, rssKb,
          hwmKb);

    QVERIFY(window.form);
    QVERIFY(window.form->Listener()->IsListening());
    QCOMPARE(traffic.sendFailures, 0);
    QVERIFY2(traffic.otherErrors.isEmpty(), qPrintable(traffic.otherErrors.mid(0, 5).join(QLatin1Char('\n'))));
    QVERIFY2(traffic.wrongSources.isEmpty(), qPrintable(traffic.wrongSources.mid(0, 5).join(QLatin1Char('\n'))));
    QCOMPARE(unexpected, 0);
    QCOMPARE(duplicated, 0);
    QVERIFY2(missingMagic >= 0 && missingErrors >= 0 && missingMagic + missingErrors <= drops,
             qPrintable(QStringLiteral("%1 magic packets and %2 errors missing, %3 kernel drops")
                            .arg(missingMagic)
                            .arg(missingErrors)
                            .arg(drops)));
    QVERIFY(traffic.warmRssKb > 0);
    if (kMemoryIsMeaningful) {
        QVERIFY2(rssKb - traffic.warmRssKb < kMemoryGrowthLimitKb,
                 qPrintable(QStringLiteral("resident set grew by %1 kB").arg(rssKb - traffic.warmRssKb)));
    }
}

void TestHostile::loopback()
{
    Window window;
    QVERIFY(window.form->Listener()->IsListening());
    QPlainTextEdit *memo = window.Memo();
    QVERIFY(memo);
    const RawSocketState before = ListenerSocketState();
    QVERIFY(before.found);

    Sender sender;
    sender.source = kLoopbackAddress;
    sender.destination = kLoopbackAddress;
    QVERIFY(sender.Open());

    Traffic traffic(*memo);
    traffic.Run(sender, kLoopbackDatagrams, kSendingBudgetMs);
    Verify(window, traffic, before);
    QVERIFY(traffic.oversizedSent > 0);
    QVERIFY(traffic.optionsMagicSent > 0);
}

void TestHostile::fromNamespace()
{
    if (QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty())
        QSKIP("the ip command (iproute2) is not installed");
    PeerNamespace peer;
    QString failure;
    if (!peer.Create(&failure))
        SKIP_WITHOUT_ROOT(QStringLiteral("cannot make a network namespace joined by veth: ") + failure);

    Window window;
    QVERIFY(window.form->Listener()->IsListening());
    QPlainTextEdit *memo = window.Memo();
    QVERIFY(memo);

    Sender sender;
    sender.source = peer.peerAddress;
    sender.destination = peer.localAddress;
    sender.mtu = 1500;
    bool opened = false;
    QVERIFY(peer.InNamespace([&] { opened = sender.Open(); }));
    QVERIFY(opened);

    Traffic traffic(*memo);
    // The first datagrams over a new link wait for address resolution; one magic
    // packet seen in the log shows that the path is ready.
    QByteArray probeMac = QByteArray::fromHex("02484FFFFFFF");
    QVERIFY(sender.SendUdp(9, MagicPayload(probeMac)));
    QTRY_VERIFY_WITH_TIMEOUT(traffic.reportedMagic.contains(QStringLiteral("02-48-4F-FF-FF-FF")), 5000);
    traffic.reportedMagic.clear();

    const RawSocketState before = ListenerSocketState();
    QVERIFY(before.found);
    traffic.Run(sender, kNamespaceDatagrams, kSendingBudgetMs);
    Verify(window, traffic, before);
    QVERIFY(traffic.oversizedSent > 0);
    QVERIFY(traffic.fragmentedSent > traffic.oversizedSent);
}

QTEST_MAIN(TestHostile)
#include "tst_hostile.moc"
