// The segment watch fed frames and datagrams at exact times, on a clock of the
// test's own: one event per packet in the order the packets came, wake watches,
// unanswered ARP and sweeps, as the live watch makes them.
#include "segmentwatch.h"
#include "testframes.h"
#include "quietsink.h"

#include <QStringList>
#include <QTest>

using namespace testframes;

namespace {

constexpr std::chrono::milliseconds kWait{300};
constexpr RealTime kStart{std::chrono::seconds(1765280000)};

class FakeClock final : public WatchClock
{
public:
    RealTime RealNow() override { return kStart + m_elapsed; }
    SteadyTime SteadyNow() override { return SteadyTime(m_elapsed); }
    void Advance(Nanoseconds duration) { m_elapsed += duration; }
    void Set(SteadyTime elapsed) { m_elapsed = std::max(m_elapsed, elapsed.time_since_epoch()); }

private:
    Nanoseconds m_elapsed{};
};

// eth0 has 00-11-22-33-44-AA; 00-11-22-33-44-70 is in the neighbour table, awake.
class FakeMachine final : public LocalMachine
{
public:
    std::vector<LocalInterface> Interfaces() override
    {
        return {{"eth0", {0x00, 0x11, 0x22, 0x33, 0x44, 0xAA}}, {"wlan0", {0x02, 0, 0, 0, 0, 9}}};
    }
    std::vector<Ipv4Octets> Ipv4Destinations() override { return {{10, 0, 0, 7}, {10, 0, 0, 255}}; }
    std::vector<Ipv4Network> Ipv4Networks() override { return {{{10, 0, 0, 7}, {255, 255, 255, 0}}}; }
    std::optional<std::string> WakeOnModes(const std::string &name) override
    {
        return name == "eth0" ? std::optional<std::string>("d") : std::nullopt;
    }
    std::optional<bool> DeviceWakeup(const std::string &) override { return std::nullopt; }
    std::optional<std::vector<MacAddress>> ReachableNeighbours() override
    {
        return std::vector<MacAddress>{{0x00, 0x11, 0x22, 0x33, 0x44, 0x70}};
    }
};

std::string Last(const MacAddress &mac)
{
    return FormatMac(mac).substr(15);
}

// Each event in short, with the fields that tell it apart.
class RecordingSink final : public EventSink
{
public:
    QStringList seen;

    void Magic(const MagicEvent &event) override
    {
        QString text = QString::fromStdString((event.nearMiss ? "near_miss " : "magic ") + Last(event.mac));
        if (event.unicastToOther)
            text += QString::fromStdString(" unicast, broadcast " + FormatIpv4(event.broadcastInstead.value_or(Ipv4Octets{})));
        if (event.machine.localInterface)
            text += QString::fromStdString(" this machine " + *event.machine.localInterface);
        seen << text;
    }
    void Datagram(const PacketReport &) override { seen << "datagram"; }
    void Failure(const ReceiveFailure &failure) override { seen << "failure " + QString::fromStdString(failure.error); }
    void Outcome(const WakeOutcome &outcome) override
    {
        const double seconds = std::chrono::duration<double>(outcome.end - outcome.first).count();
        if (!outcome.woke)
            seen << QStringLiteral("no_sign_of_life %1 %2%3")
                        .arg(QString::fromStdString(Last(outcome.mac)))
                        .arg(seconds)
                        .arg(outcome.cutShort ? " cut short" : "");
        else
            seen << QStringLiteral("%1 %2 %3 %4 packets=%5")
                        .arg(outcome.wasAwake == true ? "awake" : "woke", QString::fromStdString(Last(outcome.mac)),
                             QString::fromStdString(SignOfLifeText(*outcome.sign)))
                        .arg(seconds)
                        .arg(outcome.packets);
    }
    void Sweep(const SweepEvent &sweep) override
    {
        seen << QStringLiteral("sweep %1 %2").arg(QString::fromStdString(SenderText(sweep.source))).arg(sweep.macs.size());
    }
    void Unanswered(const UnansweredArp &arp) override
    {
        seen << QStringLiteral("unanswered_arp %1 %2 asked %3 times for %4")
                    .arg(QString::fromStdString(Last(arp.mac)), QString::fromStdString(FormatIpv4(arp.askerAddress)))
                    .arg(arp.requests)
                    .arg(QString::fromStdString(FormatIpv4(arp.address)));
    }
    void Sent(const SentPacket &sent) override { seen << QString::fromStdString(SentLine(sent)); }
    void MachineState(const MachineStateEvent &event) override { seen << QString::fromStdString(MachineStateLine(event)); }
};

ByteView View(const Bytes &frame)
{
    return ByteView(frame.data(), frame.size());
}

// A strict magic packet for 00-11-22-33-44-55 from 10.0.0.2 to 10.0.0.`to`, as the raw socket reports it.
PacketReport SocketReport(int to, std::optional<RealTime> kernelTime)
{
    const DatagramFields datagram{{10, 0, 0, 2}, {10, 0, 0, std::uint8_t(to)}, 40000, 9, MacAddress{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};
    return MagicReport(nullptr, datagram, kernelTime);
}

} // namespace

class TestSegmentWatch final : public QObject
{
    Q_OBJECT

private slots:
    void onePacketOneEvent_data();
    void onePacketOneEvent();
    void segment_data();
    void segment();
};

void TestSegmentWatch::onePacketOneEvent_data()
{
    QTest::addColumn<bool>("captureRunning");
    // wire:N / socket:N for a magic packet to 10.0.0.N, ether for a 0x0842 frame, fail for
    // a failed receive, wait for the watch to give up waiting; @M: the kernel received it M ms ago
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("wire first") << true << QStringList{"wire:255", "socket:255"} << QStringList{"true wlan0 udp"};
    QTest::newRow("socket first") << true << QStringList{"socket:255", "wire:255"} << QStringList{"true wlan0 udp"};
    QTest::newRow("socket later than the wait")
        << true << QStringList{"wire:7", "wait", "socket:7"} << QStringList{"false wlan0 udp", "true - udp"};
    QTest::newRow("dropped before the socket") << true << QStringList{"wire:255", "wait"} << QStringList{"false wlan0 udp"};
    QTest::newRow("not for this machine") << true << QStringList{"wire:99", "wait"} << QStringList{"null wlan0 udp"};
    QTest::newRow("socket only") << true << QStringList{"socket:255", "wait"} << QStringList{"true - udp"};
    QTest::newRow("without the capture") << false << QStringList{"socket:255"} << QStringList{"true - udp"};
    QTest::newRow("a frame keeps its place")
        << true << QStringList{"wire:255", "ether", "socket:255"} << QStringList{"true wlan0 udp", "null wlan0 ethernet"};
    QTest::newRow("the same packet twice") << true << QStringList{"wire:255", "wire:255", "socket:255", "socket:255"}
                                           << QStringList{"true wlan0 udp", "true wlan0 udp"};
    QTest::newRow("the earlier packet first, whichever source hands it over first")
        << true << QStringList{"ether@200", "socket:255@100", "wire:255@100"}
        << QStringList{"null wlan0 ethernet", "true wlan0 udp"};
    QTest::newRow("two packets, crossed") << true << QStringList{"wire:255", "socket:7", "socket:255", "wire:7"}
                                          << QStringList{"true wlan0 udp", "true wlan0 udp"};
    QTest::newRow("a failed receive in its place")
        << true << QStringList{"wire:255", "fail", "socket:255"} << QStringList{"true wlan0 udp", "failure broken"};
    QTest::newRow("nothing waits for ever") << true << QStringList{"wire:99", "ether", "fail"}
                                            << QStringList{"null wlan0 udp", "null wlan0 ethernet", "failure broken"};
}

void TestSegmentWatch::onePacketOneEvent()
{
    QFETCH(bool, captureRunning);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, events);

    FakeMachine machine;
    FakeClock clock;
    clock.Advance(std::chrono::seconds(1));
    QStringList seen;
    class Summaries final : public QuietSink
    {
    public:
        explicit Summaries(QStringList &seen) : m_seen(seen) {}
        void Magic(const MagicEvent &event) override
        {
            const char *delivered = !event.delivered ? "null" : *event.delivered ? "true" : "false";
            m_seen << QStringLiteral("%1 %2 %3").arg(delivered, event.interfaceName ? QString::fromStdString(*event.interfaceName) : "-",
                                                     event.carrier == Carrier::Udp ? "udp" : "ethernet");
        }
        void Failure(const ReceiveFailure &failure) override { m_seen << "failure " + QString::fromStdString(failure.error); }

    private:
        QStringList &m_seen;
    } sink(seen);
    SegmentWatch::Settings settings;
    settings.wait = kWait;
    settings.wakeTimeout = Nanoseconds::zero();
    settings.captureRunning = captureRunning;
    SegmentWatch watch(settings, machine, clock, sink);
    for (const QString &step : steps) {
        const int to = step.section('@', 0, 0).section(':', 1).toInt();
        const std::optional<RealTime> kernelTime =
            step.contains('@') ? std::optional(clock.RealNow() - std::chrono::milliseconds(step.section('@', 1).toLongLong()))
                               : std::nullopt;
        if (step.startsWith("wire"))
            watch.FrameSeen("wlan0", View(Udp(kSender, 2, 40000, 9, Magic(Mac(0x55)), to)), kernelTime);
        else if (step.startsWith("ether"))
            watch.FrameSeen("wlan0", View(Ethernet(kSender, 0x0842, Magic(Mac(0x55)))), kernelTime);
        else if (step.startsWith("socket"))
            watch.DatagramReported(SocketReport(to, kernelTime));
        else if (step.startsWith("fail"))
            watch.FailureReported({{nullptr, {}, {}, {}, 0, 0, true, std::nullopt, {}}, "broken", 0}, kernelTime);
        else {
            QVERIFY(watch.NextDrain());
            clock.Set(*watch.NextDrain());
            watch.Drain();
            QVERIFY(!seen.isEmpty());
        }
    }
    // Before its wait is over, nothing leaves that another source might still join.
    if (captureRunning)
        watch.Drain();
    watch.Finish();
    QCOMPARE(seen, events);
}

void TestSegmentWatch::segment_data()
{
    QTest::addColumn<QString>("frames"); // "SECONDS:WHAT" words, as testframes::FrameOf takes them
    QTest::addColumn<int>("sweepThreshold");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("woke by DHCP, two packets, one watch")
        << "0:magic:55 1:magic:55 14.215:dhcp:55 15:dhcp:55" << 10
        << QStringList{"magic 55", "magic 55", "woke 55 DHCP request 14.215 packets=2"};
    QTest::newRow("woke by an ARP probe after an EtherType 0x0842 frame")
        << "0:ether:56 3.5:arp:56" << 10 << QStringList{"magic 56", "woke 56 ARP probe 3.5 packets=1"};
    QTest::newRow("no sign of life within the time")
        << "0:magic:58 119:tick 122:tick 125:dhcp:58" << 10 << QStringList{"magic 58", "no_sign_of_life 58 120"};
    QTest::newRow("awake already, by the neighbour table")
        << "0:magic:70 0.5:other:70" << 10 << QStringList{"magic 70", "awake 70 frame of type 0x88B5 0.5 packets=1"};
    QTest::newRow("this machine is not watched, and says what it is")
        << "0:magic:aa 1:other:aa" << 10 << QStringList{"magic AA this machine eth0"};
    QTest::newRow("unicast magic packet, then unanswered ARP for its address")
        << "0:unicast:60 10:ask 11:ask 11.5:ask 12:ask 200:tick" << 10
        << QStringList{"magic 60 unicast, broadcast 10.0.0.255", "unanswered_arp 60 10.0.0.1 asked 3 times for 10.0.0.23",
                       "no_sign_of_life 60 120"};
    QTest::newRow("unanswered ARP behind QinQ tags")
        << "0:unicast:60 10:qinq-ask 11:qinq-ask 11.5:qinq-ask" << 10
        << QStringList{"magic 60 unicast, broadcast 10.0.0.255", "unanswered_arp 60 10.0.0.1 asked 3 times for 10.0.0.23"};
    QTest::newRow("the machine answered in between")
        << "0:unicast:60 10:ask 11:arp:60 12:ask 13:ask" << 10
        << QStringList{"magic 60 unicast, broadcast 10.0.0.255", "woke 60 ARP probe 11 packets=1"};
    // sent:N is this machine sending for N (--wake); echo:N its own broadcast back at its raw socket.
    QTest::newRow("woke after this machine sent; its own packets make no event")
        << "0:sent:55 0:echo:55 0.1:sent:55 0.1:echo:55 5:dhcp:55" << 10
        << QStringList{"woke 55 DHCP request 5 packets=2"};
    QTest::newRow("another sender's packet for the machine is still told")
        << "0:sent:55 1:magic:55 3:dhcp:55" << 10 << QStringList{"magic 55", "woke 55 DHCP request 3 packets=2"};
    // answered:N is N's answer to this machine's ARP request where no capture runs (Windows).
    QTest::newRow("sent, and the machine answered this machine's ARP request")
        << "0:sent:56 0.1:sent:56 7:answered:56" << 10 << QStringList{"woke 56 ARP reply 7 packets=2"};
    QTest::newRow("sent, and no sign of life") << "0:sent:58 0:echo:58 119:tick 122:tick" << 10
                                               << QStringList{"no_sign_of_life 58 120"};
    QTest::newRow("a sweep, closed a second after its window, after the events it was made of")
        << "0:sweep:01 0.5:sweep:02 1.25:sweep:03 10.5:tick 11.5:tick" << 3
        << QStringList{"magic 01", "magic 02", "magic 03", "sweep 10.0.0.9 3"};
}

// The frames come as the live capture hands them over, each at its kernel time, and
// the watch is driven as the program drives it: drained when its events are due,
// expired a second behind the clock.
void TestSegmentWatch::segment()
{
    QFETCH(QString, frames);
    QFETCH(int, sweepThreshold);
    QFETCH(QStringList, events);

    FakeMachine machine;
    FakeClock clock;
    RecordingSink sink;
    SegmentWatch::Settings settings;
    settings.wait = kWait;
    settings.sweepThreshold = sweepThreshold;
    settings.captureRunning = true;
    SegmentWatch watch(settings, machine, clock, sink);
    const auto runUntil = [&](SteadyTime elapsed) {
        while (watch.NextDrain() && *watch.NextDrain() <= elapsed) {
            clock.Set(*watch.NextDrain());
            watch.Drain();
        }
        clock.Set(elapsed);
        watch.Expire(clock.RealNow() - std::chrono::seconds(1));
    };
    for (const QString &word : frames.split(' ', Qt::SkipEmptyParts)) {
        runUntil(SteadyTime(Nanoseconds(std::llround(word.section(':', 0, 0).toDouble() * 1e9))));
        const QString what = word.section(':', 1, 1);
        const std::string mac = "00-11-22-33-44-" + word.section(':', 2).toUpper().toStdString();
        if (what == "sent")
            watch.WakeSent({SendForm::LimitedBroadcast, *ParseMac(mac), "eth1", Ipv4Octets{255, 255, 255, 255}, 9, 0},
                           clock.RealNow());
        else if (what == "answered")
            watch.ArpAnswered(*ParseMac(mac), Ipv4Octets{10, 0, 0, 56}, clock.RealNow());
        else if (what == "echo")
            watch.DatagramReported(MagicReport(nullptr, {{10, 0, 0, 7}, {10, 0, 0, 255}, 40000, 9, ParseMac(mac)}, clock.RealNow()));
        else
            watch.FrameSeen("eth1", View(FrameOf(word)), clock.RealNow());
    }
    watch.Finish();
    // A live watch that was stopped says nothing of the watches it cut short.
    QCOMPARE(sink.seen, events);
}

QTEST_APPLESS_MAIN(TestSegmentWatch)
#include "tst_segmentwatch.moc"
