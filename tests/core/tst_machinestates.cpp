// The watched machines' states through a real segment watch, on a clock of the test's
// own: for a script of frames, answers and time passing, the changes told, with their
// evidence and time, the ARP questions put, and the MACs the kernel filter is asked for.
#include "segmentwatch.h"

#include "fakeclock.h"
#include "quietsink.h"
#include "testframes.h"
#include "typedaddresses.h"

#include <QTest>

namespace {

using namespace std::chrono;
using testframes::Bytes;

struct NoMachine final : LocalMachine
{
    std::vector<LocalInterface> Interfaces() override { return {{"eth0", Mac("02-5E-4D-00-00-01")}}; }
    std::vector<Ipv4Octets> Ipv4Destinations() override { return {Octets4("10.0.0.100")}; }
    std::optional<std::string> WakeOnModes(const std::string &) override { return std::nullopt; }
    std::optional<bool> DeviceWakeup(const std::string &) override { return std::nullopt; }
};

struct StateSink final : QuietSink
{
    QStringList told;
    RealTime start{};
    // "at S: awake N arp" or "at S: asleep N no_arp_answer 10.0.0.N": S whole seconds since the start.
    void MachineState(const MachineStateEvent &event) override
    {
        QString line = QString("at %1: %2 %3 ")
                           .arg(duration_cast<seconds>(event.time - start).count())
                           .arg(event.awake ? "awake" : "asleep")
                           .arg(event.machine.mac[5]);
        if (event.awake)
            line += event.answeredArp ? "answer" : event.sign ? SignOfLifeText(*event.sign).c_str() : "?";
        else
            line += event.reason == MachineStateEvent::Reason::NoArpAnswer ? "no_arp_answer" : "silence";
        if (event.address)
            line += " " + QString::fromStdString(FormatIpv4(*event.address));
        told << line;
    }
};

// An ARP reply from the machine whose MAC ends in `last`, for 10.0.0.`from`.
Bytes ArpReply(const Bytes &mac, int from)
{
    Bytes arp = {0, 1, 8, 0, 6, 4, 0, 2};
    arp.insert(arp.end(), mac.begin(), mac.end());
    arp.insert(arp.end(), {10, 0, 0, std::uint8_t(from), 0x02, 0x5E, 0x4D, 0, 0, 1, 10, 0, 0, 100});
    return testframes::Ethernet(mac, 0x0806, arp);
}

} // namespace

class TestMachineStates final : public QObject
{
    Q_OBJECT

private slots:
    void script_data();
    void script();
};

void TestMachineStates::script_data()
{
    // Machines 1 to 3 (00-11-22-33-44-0N, 10.0.0.N) are watched with 10 s of silence
    // before asleep; machine 3's address is in the neighbour table at the start. Steps:
    // "arp N" (its ARP request), "ipv4 N" (UDP from its address), "routed N" (UDP it
    // routed, from 192.0.2.N), "other N" (a frame of
    // type 0x88B5), "answers N" (it answers each ARP question from now on), "mute N"
    // (it does not), "unsendable" (no question can be sent), "pass S".
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("told");
    QTest::addColumn<int>("questions");

    QTest::newRow("known at the start and answering: awake at once")
        << "answers 3; pass 5" << QStringList{"at 0: awake 3 answer 10.0.0.3"} << 1;
    QTest::newRow("known at the start and silent: asleep a second after its second question")
        << "pass 5" << QStringList{"at 1: asleep 3 no_arp_answer 10.0.0.3"} << 2;
    // The clock the states are decided by runs a second behind, as the wake watches' does.
    QTest::newRow("any frame wakes it, even one without an address")
        << "answers 3; pass 1; other 1; pass 1; ipv4 2"
        << QStringList{"at 0: awake 3 answer 10.0.0.3", "at 1: awake 1 frame of type 0x88B5",
                       "at 2: awake 2 frame of type 0x0800 10.0.0.2"}
        << 1;
    QTest::newRow("silent but answering: awake all along, asked after each silence")
        << "answers 3; pass 35"
        << QStringList{"at 0: awake 3 answer 10.0.0.3", "at 9: asleep 1 silence", "at 9: asleep 2 silence"} << 3;
    QTest::newRow("a routed packet's source is not its address: asked at the one its ARP gave")
        << "arp 1; routed 1; pass 14"
        << QStringList{"at 0: awake 1 ARP request 10.0.0.1", "at 1: asleep 3 no_arp_answer 10.0.0.3",
                       "at 9: asleep 2 silence", "at 13: asleep 1 no_arp_answer 10.0.0.1"}
        << 4;
    QTest::newRow("its question cannot be sent: asleep by silence alone")
        << "unsendable; pass 12" << QStringList{"at 9: asleep 1 silence", "at 9: asleep 2 silence",
                                                "at 9: asleep 3 silence 10.0.0.3"}
        << 2;
    QTest::newRow("falls silent: asked twice after its silence, a second apart, then asleep")
        << "answers 3; arp 1; pass 1; mute 1; pass 15"
        << QStringList{"at 0: awake 1 ARP request 10.0.0.1", "at 0: awake 3 answer 10.0.0.3", "at 9: asleep 2 silence",
                       "at 12: asleep 1 no_arp_answer 10.0.0.1"}
        << 4;
}

void TestMachineStates::script()
{
    QFETCH(QString, steps);
    QFETCH(QStringList, told);
    QFETCH(int, questions);

    FakeClock clock;
    NoMachine machine;
    StateSink sink;
    sink.start = clock.RealNow();
    SegmentWatch::Settings settings;
    settings.captureRunning = true;
    settings.wakeTimeout = seconds(0);
    for (int n = 1; n <= 3; ++n)
        settings.machines.push_back({Mac("00-11-22-33-44-0" + std::to_string(n)), "machine " + std::to_string(n)});
    settings.asleepAfter = seconds(10);
    SegmentWatch watch(settings, machine, clock, sink);
    const auto frame = [&](const Bytes &bytes) {
        watch.FrameSeen("eth0", ByteView(bytes.data(), bytes.size()), clock.RealNow());
    };
    std::map<int, int> answering; // the address each machine answers for, by its MAC's last byte
    int asked = 0; // questions put, sent or not
    bool sendable = true;
    const SendInterface eth0{"eth0", Mac("02-5E-4D-00-00-01"), Ipv4Network{Octets4("10.0.0.100"), Octets4("255.255.255.0")},
                             true, true, true};
    std::vector<std::pair<std::string, Ipv4Octets>> pendingAnswers;
    // The watch begins at the first step that is not about who answers.
    const auto start = [&] {
        watch.TrackMachines(
            clock.RealNow() - seconds(1), {eth0},
            [](const MacAddress &mac) { return mac[5] == 3 ? std::optional(Octets4("10.0.0.3")) : std::nullopt; },
            [&](const std::string &interfaceName, const Ipv4Octets &address) {
                ++asked;
                if (sendable)
                    pendingAnswers.emplace_back(interfaceName, address);
                return sendable;
            });
    };
    // The answers come 10 ms after each question.
    const auto answer = [&] {
        for (const auto &[interfaceName, address] : pendingAnswers)
            for (const auto &[host, forAddress] : answering)
                if (forAddress == address[3])
                    frame(ArpReply(testframes::Mac(host), forAddress));
        pendingAnswers.clear();
    };
    const auto pass = [&](nanoseconds span) {
        for (const nanoseconds end = clock.elapsed + span; clock.elapsed < end;) {
            clock.elapsed += milliseconds(10);
            answer();
            watch.Drain();
            if (clock.elapsed % seconds(1) == nanoseconds(0))
                watch.Expire(clock.RealNow() - seconds(1));
        }
    };
    bool started = false;
    for (const QString &step : steps.split(';', Qt::SkipEmptyParts)) {
        const QStringList words = step.trimmed().split(' ');
        const int n = words.value(1).toInt();
        if (!started && words[0] != "answers" && words[0] != "mute" && words[0] != "unsendable") {
            started = true;
            start();
        }
        if (words[0] == "arp")
            frame(testframes::ArpRequest(testframes::Mac(n), n, 100));
        else if (words[0] == "ipv4")
            frame(testframes::Udp(testframes::Mac(n), n, 5353, 5353, Bytes(8, 0)));
        else if (words[0] == "routed") {
            Bytes routed = testframes::Udp(testframes::Mac(n), n, 5353, 5353, Bytes(8, 0));
            std::copy_n(Octets4("192.0.2.1").begin(), 4, routed.begin() + 14 + 12);
            frame(routed);
        } else if (words[0] == "other")
            frame(testframes::Ethernet(testframes::Mac(n), 0x88B5, Bytes(46, 0)));
        else if (words[0] == "answers")
            answering[n] = n;
        else if (words[0] == "unsendable")
            sendable = false;
        else if (words[0] == "mute")
            answering.erase(n);
        else if (words[0] == "pass")
            pass(seconds(words.value(1).toInt()));
        if (started && words[0] != "pass")
            pass(milliseconds(500)); // its place among the events
    }
    QCOMPARE(sink.told, told);
    QCOMPARE(asked, questions);
    // Every machine that is not awake is in the kernel filter.
    const std::vector<MacAddress> filtered = watch.Watched(16);
    for (const MachineStates::Machine &watched : watch.Machines().Machines()) {
        if (watched.awake != true)
            QVERIFY(std::find(filtered.begin(), filtered.end(), watched.id.mac) != filtered.end());
    }
}

QTEST_GUILESS_MAIN(TestMachineStates)
#include "tst_machinestates.moc"
