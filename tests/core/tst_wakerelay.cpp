// The wake relay on a clock of the test's own, feeding a real segment watch: for a
// script of requests, machines' frames and time passing, the replies each requester
// gets and how many packets left.
#include "wakerelay.h"

#include "testframes.h"
#include "fakeclock.h"
#include "quietsink.h"
#include "typedaddresses.h"

#include <QTest>

namespace {

using namespace std::chrono;


struct CountingSender final : MagicSender, MachineAsker
{
    int sent = 0;
    std::string Send(const WakeSend &, ByteView) override
    {
        ++sent;
        return {};
    }
    bool Ask(const WakeQuestion &, std::string &) override { return true; }
};

struct FakeMachine final : LocalMachine
{
    std::vector<LocalInterface> Interfaces() override { return {{"eth0", Mac("02-5E-4D-00-00-01")}}; }
    std::vector<Ipv4Octets> Ipv4Destinations() override { return {Octets4("192.168.1.10")}; }
    std::optional<std::string> WakeOnModes(const std::string &) override { return std::nullopt; }
    std::optional<bool> DeviceWakeup(const std::string &) override { return std::nullopt; }
    std::optional<std::vector<MacAddress>> ReachableNeighbours() override { return std::vector<MacAddress>{}; }
};

using NoSink = QuietSink;

const SendInterface kEth0{"eth0", Mac("02-5E-4D-00-00-01"),
                          Ipv4Network{Octets4("192.168.1.10"), Octets4("255.255.255.0")}, true, true, true};

// The machine whose MAC ends in `last`, as the request and the frames write it.
QByteArray Machine(int last)
{
    return QByteArray("00:11:22:33:44:") + QByteArray::number(last, 16).rightJustified(2, '0');
}

} // namespace

class TestWakeRelay final : public QObject
{
    Q_OBJECT

private slots:
    void script_data();
    void script();
};

void TestWakeRelay::script_data()
{
    // Steps, separated by ';': "ask N" (a request for machine N, from a requester of
    // its own), "again K" (the Kth requester asks again, as after its broker came
    // back), "send TEXT" (a request as it came), "frame N" (machine N's ARP
    // request), "pass S" (S seconds). Each requester's replies: their events, in order,
    // a run of "sent" told once.
    QTest::addColumn<QString>("steps");
    QTest::addColumn<QStringList>("replies");
    QTest::addColumn<int>("packets");

    QTest::newRow("one request, woken") << "ask 1; frame 1" << QStringList{"note,sent,woke"} << 6;
    QTest::newRow("a second request joins the running wake")
        << "ask 1; ask 1; frame 1" << QStringList{"note,sent,woke", "note,woke"} << 6;
    QTest::newRow("within 10 s of its end: the outcome again, no packet")
        << "ask 1; frame 1; pass 9; ask 1" << QStringList{"note,sent,woke", "note,woke"} << 6;
    QTest::newRow("10 s after its end: woken again")
        << "ask 1; frame 1; pass 11; ask 1" << QStringList{"note,sent,woke", "note,sent"} << 12;
    QTest::newRow("asked again while it runs: one wake, one outcome")
        << "ask 1; again 1; frame 1" << QStringList{"note,sent,note,woke"} << 6;
    QTest::newRow("asked again by its requester long after: the outcome, no packet")
        << "ask 1; frame 1; pass 11; again 1" << QStringList{"note,sent,woke,note,woke"} << 6;
    QTest::newRow("no sign of life") << "ask 1; pass 12" << QStringList{"note,sent,no_sign_of_life"} << 6;
    QTest::newRow("not JSON: refused, nothing sent") << "send nope" << QStringList{"refused"} << 0;
    QTest::newRow("a MAC no card has") << "send {\"mac\":\"01:00:5e:00:00:01\"}" << QStringList{"refused"} << 0;
    QTest::newRow("this machine's own MAC") << "send {\"mac\":\"02:5e:4d:00:00:01\"}" << QStringList{"refused"} << 0;
    QStringList sixteen(16, "note,sent");
    sixteen << "refused";
    QTest::newRow("sixteen at once, and the seventeenth refused")
        << "ask 1; ask 2; ask 3; ask 4; ask 5; ask 6; ask 7; ask 8; ask 9; ask 10; ask 11; ask 12; ask 13; ask 14; "
           "ask 15; ask 16; ask 17"
        << sixteen << 96;
}

void TestWakeRelay::script()
{
    QFETCH(QString, steps);
    QFETCH(QStringList, replies);
    QFETCH(int, packets);

    FakeClock clock;
    FakeMachine machine;
    NoSink sink;
    CountingSender sender;
    SegmentWatch::Settings settings;
    settings.captureRunning = false;
    SegmentWatch watch(settings, machine, clock, sink);
    WakeOrder defaults;
    defaults.request.ethernet = false;
    defaults.timeout = seconds(10);
    WakeRelay relay(
        [](WakeOrder order) { return WakeEngine::Plan(std::move(order), {kEth0}, nullptr); }, defaults, clock, sender,
        sender, watch, sink);
    watch.OnOutcome = [&relay](const WakeOutcome &outcome) { relay.Outcome(outcome); };
    std::map<std::string, QStringList> got; // by requester
    QStringList order;
    relay.OnReply = [&](const ReplyAddress &to, const RelayReply &reply) {
        static const char *const kNames[] = {"sent", "note", "outcome", "refused", "failed"};
        QString name = kNames[int(reply.kind)];
        if (reply.outcome)
            name = reply.outcome->woke ? "woke" : "no_sign_of_life";
        QStringList &list = got[to.topic];
        if (list.isEmpty() || list.back() != name)
            list << name;
    };
    const auto pass = [&](nanoseconds span) {
        for (const nanoseconds end = clock.elapsed + span; clock.elapsed < end;) {
            clock.elapsed += milliseconds(100);
            relay.Advance();
            if (clock.elapsed % seconds(1) == nanoseconds(0))
                watch.Expire(clock.RealNow() - seconds(1));
        }
    };
    QList<QByteArray> asked; // each requester's request
    const auto request = [&](int requester) {
        const QByteArray &payload = asked[requester - 1];
        const std::string topic = "r" + std::to_string(requester);
        relay.Request(ByteView(reinterpret_cast<const std::uint8_t *>(payload.data()), std::size_t(payload.size())),
                      {topic, "correlation of " + topic});
        pass(milliseconds(300)); // its rounds
    };
    for (const QString &step : steps.split(';', Qt::SkipEmptyParts)) {
        const QString word = step.trimmed().section(' ', 0, 0);
        const QString rest = step.trimmed().section(' ', 1);
        if (word == "ask" || word == "send") {
            asked << (word == "ask" ? "{\"mac\":\"" + Machine(rest.toInt()) + "\"}" : rest.toUtf8());
            order << "r" + QString::number(asked.size());
            request(int(asked.size()));
        } else if (word == "again") {
            request(rest.toInt());
        } else if (word == "frame") {
            const testframes::Bytes frame = testframes::ArpRequest(testframes::Mac(rest.toInt()), 2, 1);
            watch.FrameSeen("eth0", ByteView(frame.data(), frame.size()), clock.RealNow());
        } else if (word == "pass") {
            pass(seconds(rest.toInt()));
        }
    }
    QStringList told;
    for (const QString &topic : order)
        told << got[topic.toStdString()].join(',');
    QCOMPARE(told, replies);
    QCOMPARE(sender.sent, packets);
}

QTEST_GUILESS_MAIN(TestWakeRelay)
#include "tst_wakerelay.moc"
