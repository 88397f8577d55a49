// The wake engine on a clock of the test's own, with a sender and an asker that do
// what each case says, feeding a real segment watch: what it tells, which questions
// it puts and when, and how the wake ends.
#include "wakeengine.h"

#include "fakeclock.h"
#include "quietsink.h"
#include "typedaddresses.h"

#include <QRegularExpression>
#include <QTest>

namespace {

using namespace std::chrono;

const MacAddress kTarget = Mac("02-5E-4D-00-00-20");

// "send": no packet leaves; "arp: why" or "echo: why": no question that way can be put.
struct FakeSenderAndAsker final : MagicSender, MachineAsker
{
    QString fails;
    int answerAt = 0; // the question answered, from 1; 0 for none
    std::vector<WakeQuestion> asked;
    std::string Send(const WakeSend &, ByteView) override { return fails == "send" ? "Network is unreachable" : ""; }
    bool Ask(const WakeQuestion &question, std::string &why) override
    {
        const QString way = question.way == AskedOnly::Way::Arp ? "arp: " : "echo: ";
        if (fails.startsWith(way)) {
            why = fails.mid(way.size()).toStdString();
            return false;
        }
        asked.push_back(question);
        return true;
    }
};

struct FakeMachine final : LocalMachine
{
    std::vector<MacAddress> reachable;
    std::vector<LocalInterface> Interfaces() override { return {{"eth0", Mac("02-5E-4D-00-00-01")}}; }
    std::vector<Ipv4Octets> Ipv4Destinations() override { return {Octets4("192.168.1.10")}; }
    std::optional<std::string> WakeOnModes(const std::string &) override { return std::nullopt; }
    std::optional<bool> DeviceWakeup(const std::string &) override { return std::nullopt; }
    std::optional<std::vector<MacAddress>> ReachableNeighbours() override { return reachable; }
};

// Each outcome's line; for a machine that did not wake, how it was asked for where
// only its answer could tell.
struct OutcomeSink final : QuietSink
{
    QStringList outcomes;
    void Outcome(const WakeOutcome &o) override
    {
        QString outcome = QString::fromStdString(OutcomeLine(o));
        if (o.askedOnly && !o.woke)
            outcome += QString::fromStdString(" (asked " + FormatIpv4(o.askedOnly->address)
                                              + (o.askedOnly->way == AskedOnly::Way::Arp ? " by ARP)" : " by echo)"));
        outcomes << outcome;
    }
};

const SendInterface kEth0{"eth0", Mac("02-5E-4D-00-00-01"),
                          Ipv4Network{Octets4("192.168.1.10"), Octets4("255.255.255.0")}, true, true, true};

WakeOrder Order(const MacAddress &mac, const QString &ip)
{
    WakeOrder order;
    order.request.macs = {mac};
    order.request.ethernet = false;
    if (!ip.isEmpty())
        order.address = Octets4(ip.toStdString());
    order.timeout = seconds(10);
    return order;
}

// One wake on a segment watch that it may share, with what it told and how it ended.
struct Wake
{
    FakeSenderAndAsker platform;
    QStringList lines;
    int status = -1;
    bool answered = false;
    std::unique_ptr<WakeEngine> engine;

    Wake(PlannedWake planned, FakeClock &clock, SegmentWatch &watch, EventSink &sink,
         std::optional<AskedOnly::Blind> blind)
    {
        for (const std::string &line : planned.lines)
            lines << QString::fromStdString(line);
        engine = std::make_unique<WakeEngine>(std::move(planned), clock, platform, platform, watch, sink, blind);
        engine->OnLine = [this](const std::string &line) { lines << QString::fromStdString(line); };
        engine->OnDone = [this](ExitStatus done) { status = done; };
    }
};

// As a loop drives them: the platform's answers as they come, Advance() at least as
// often as it is due, the watch's time every second; until each wake is over.
void Drive(FakeClock &clock, SegmentWatch &watch, const std::vector<Wake *> &wakes)
{
    watch.OnOutcome = [&wakes](const WakeOutcome &outcome) {
        for (Wake *wake : wakes)
            wake->engine->Outcome(outcome);
    };
    for (Wake *wake : wakes)
        wake->engine->Start();
    const auto over = [&wakes] {
        return std::all_of(wakes.begin(), wakes.end(), [](const Wake *wake) { return wake->status >= 0; });
    };
    while (!over() && clock.elapsed < seconds(30)) {
        for (Wake *wake : wakes) {
            const std::vector<WakeQuestion> &asked = wake->platform.asked;
            if (!wake->answered && wake->platform.answerAt > 0 && int(asked.size()) == wake->platform.answerAt) {
                wake->answered = true;
                wake->engine->Answered(asked.back().way, asked.back().address);
            }
        }
        clock.elapsed += milliseconds(100);
        for (Wake *wake : wakes)
            wake->engine->Advance();
        if (clock.elapsed % seconds(1) == nanoseconds(0))
            watch.Expire(clock.RealNow());
    }
}

} // namespace

class TestWakeEngine final : public QObject
{
    Q_OBJECT

private slots:
    void wakes_data();
    void wakes();
    void wakesSideBySide();
};

void TestWakeEngine::wakes_data()
{
    QTest::addColumn<QString>("ip");        // --ip; empty for none
    QTest::addColumn<QString>("neighbour"); // the neighbour table's address for it; empty for none
    QTest::addColumn<bool>("blind");        // nothing sees its frames: only its answers can tell
    QTest::addColumn<QString>("fails");     // as FakeSenderAndAsker takes it
    QTest::addColumn<int>("answerAt");      // the question answered; 0 for none
    QTest::addColumn<bool>("awake");        // the neighbour table holds it as reachable
    QTest::addColumn<QStringList>("lines"); // all but "waking …"
    QTest::addColumn<int>("questions");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<int>("status");

    const QString mac = "02-5E-4D-00-00-20";
    const QStringList arp{"asking for 192.168.1.20 by ARP on eth0 every 2 s"};
    const QStringList echo{"asking for 10.9.0.20 by ICMP echo every 2 s"};
    const QString silent = "No sign of life from " + mac + " within 10 s of the magic packet";
    const QString cannotTell = "whether it woke cannot be told without a capture driver: give --ip, to ask for it by "
                               "ARP or ICMP echo";

    QTest::newRow("on its subnet: ARP, answered at the second question")
        << "192.168.1.20" << "" << true << "" << 2 << false << arp << 2
        << "Woke: " + mac + " answered ARP for 192.168.1.20 2.200 s after the magic packet" << 0;
    QTest::newRow("behind a router: ICMP echo, answered at once")
        << "10.9.0.20" << "" << true << "" << 1 << false << echo << 1
        << "Woke: " + mac + " answered ICMP echo at 10.9.0.20 0.200 s after the magic packet" << 0;
    QTest::newRow("no ARP on this system: ICMP echo instead")
        << "192.168.1.20" << "" << true << "arp: no ResolveIpNetEntry2" << 1 << false
        << QStringList{"cannot ask for 192.168.1.20 by ARP: no ResolveIpNetEntry2; asking by ICMP echo instead",
                       "asking for 192.168.1.20 by ICMP echo every 2 s"}
        << 1 << "Woke: " + mac + " answered ICMP echo at 192.168.1.20 0.200 s after the magic packet" << 0;
    QTest::newRow("the neighbour table gives the address")
        << "" << "192.168.1.20" << true << "" << 1 << false
        << QStringList{"the neighbour table holds 192.168.1.20 for " + mac} + arp << 1
        << "Woke: " + mac + " answered ARP for 192.168.1.20 0.200 s after the magic packet" << 0;
    QTest::newRow("--ip outweighs the neighbour table")
        << "10.9.0.20" << "192.168.1.20" << true << "" << 1 << false << echo << 1
        << "Woke: " + mac + " answered ICMP echo at 10.9.0.20 0.200 s after the magic packet" << 0;
    QTest::newRow("awake already")
        << "192.168.1.20" << "" << true << "" << 1 << true << arp << 1
        << "Awake already: " + mac + " answered ARP for 192.168.1.20 0.200 s after the magic packet" << 0;
    QTest::newRow("no answer: asked every 2 s until its time is up")
        << "192.168.1.20" << "" << true << "" << 0 << false << arp << 5
        << silent + " (asked 192.168.1.20 by ARP)" << 1;
    QTest::newRow("no address, nothing sees it")
        << "" << "" << true << "" << 0 << false << QStringList{cannotTell} << 0 << "" << 3;
    QTest::newRow("no address, the capture watches it")
        << "" << "" << false << "" << 0 << false << QStringList() << 0 << silent << 1;
    QTest::newRow("no way to ask, nothing sees it")
        << "10.9.0.20" << "" << true << "echo: no ICMP socket" << 0 << false
        << QStringList{"cannot ask for 10.9.0.20: no ICMP socket"} << 0 << "" << 3;
    QTest::newRow("no way to ask, the capture watches it")
        << "10.9.0.20" << "" << false << "echo: no ICMP socket" << 0 << false
        << QStringList{"cannot ask for 10.9.0.20: no ICMP socket"} << 0 << silent << 1;
    QTest::newRow("nothing could be sent")
        << "192.168.1.20" << "" << true << "send" << 0 << false
        << QStringList{"no magic packet for " + mac + " could be sent"} << 0 << "" << 3;
}

void TestWakeEngine::wakes()
{
    QFETCH(QString, ip);
    QFETCH(QString, neighbour);
    QFETCH(bool, blind);
    QFETCH(QString, fails);
    QFETCH(int, answerAt);
    QFETCH(bool, awake);

    PlannedWake planned = WakeEngine::Plan(Order(kTarget, ip), {kEth0}, [&](const MacAddress &mac) {
        return mac == kTarget && !neighbour.isEmpty() ? std::optional<Ipv4Octets>(Octets4(neighbour.toStdString()))
                                                      : std::nullopt;
    });
    QVERIFY(planned.plan);
    FakeClock clock;
    FakeMachine machine;
    if (awake)
        machine.reachable = {kTarget};
    OutcomeSink sink;
    SegmentWatch watch({.wakeTimeout = seconds(10), .macs = {kTarget}}, machine, clock, sink);
    Wake wake(std::move(planned), clock, watch, sink,
              blind ? std::optional<AskedOnly::Blind>(AskedOnly::Blind::WithoutCaptureDriver) : std::nullopt);
    wake.platform.fails = fails;
    wake.platform.answerAt = answerAt;
    Drive(clock, watch, {&wake});

    const qsizetype waking = wake.lines.indexOf(QRegularExpression("waking .*"));
    QCOMPARE(wake.lines.value(waking), "waking 02-5E-4D-00-00-20 from eth0; then watching 10 s for a sign of life");
    wake.lines.removeAt(waking);
    QTEST(wake.lines, "lines");
    QTEST(int(wake.platform.asked.size()), "questions");
    QTEST(sink.outcomes.value(0), "outcome");
    QTEST(wake.status, "status");
    QVERIFY(!wake.engine->NextDue());
}

// Two wakes on one loop and one segment watch: each asks for its own machine and
// ends with its own machine's outcome.
void TestWakeEngine::wakesSideBySide()
{
    const MacAddress other = Mac("02-5E-4D-00-00-30");
    FakeClock clock;
    FakeMachine machine;
    OutcomeSink sink;
    SegmentWatch watch({.wakeTimeout = seconds(10), .macs = {}}, machine, clock, sink);
    const auto blind = std::optional<AskedOnly::Blind>(AskedOnly::Blind::WithoutCaptureDriver);
    Wake silent(WakeEngine::Plan(Order(other, "10.9.0.30"), {kEth0}, nullptr), clock, watch, sink, blind);
    Wake answering(WakeEngine::Plan(Order(kTarget, "192.168.1.20"), {kEth0}, nullptr), clock, watch, sink, blind);
    answering.platform.answerAt = 3;
    Drive(clock, watch, {&silent, &answering});

    QCOMPARE(answering.status, kExitStopped);
    QCOMPARE(silent.status, kExitTimedOut);
    QCOMPARE(answering.platform.asked.back().mac, kTarget);
    QCOMPARE(silent.platform.asked.back().mac, other);
    QCOMPARE(sink.outcomes,
             QStringList({"Woke: 02-5E-4D-00-00-20 answered ARP for 192.168.1.20 4.200 s after the magic packet",
                          "No sign of life from 02-5E-4D-00-00-30 within 10 s of the magic packet (asked 10.9.0.30 "
                          "by echo)"}));
}

QTEST_GUILESS_MAIN(TestWakeEngine)
#include "tst_wakeengine.moc"
