#include "wakesend.h"
#include "wakewatch.h"

#include "typedaddresses.h"

#include <QTest>

#include <sstream>

Q_DECLARE_METATYPE(std::string)

namespace {

// "eth0 192.168.1.10/24", with flags after: "wifi" (not wired), "down", "nocarrier".
SendInterface Interface(const std::string &text)
{
    std::istringstream words(text);
    SendInterface interface;
    interface.wired = interface.up = interface.carrier = true;
    words >> interface.name;
    interface.mac = {0x02, 0x5e, 0x4d, 0, 0, std::uint8_t(interface.name.back())};
    for (std::string word; words >> word;) {
        if (word == "wifi")
            interface.wired = false;
        else if (word == "down")
            interface.up = false;
        else if (word == "nocarrier")
            interface.carrier = false;
        else {
            const std::size_t slash = word.find('/');
            const int prefix = std::stoi(word.substr(slash + 1));
            Ipv4Octets mask{};
            for (int bit = 0; bit < prefix; ++bit)
                mask[bit / 8] |= std::uint8_t(0x80 >> bit % 8);
            interface.ipv4 = Ipv4Network{Octets4(word.substr(0, slash)), mask};
        }
    }
    return interface;
}

// The first round's packets: "form interface address:port", "; " between them.
std::string FirstRound(const WakePlan &plan)
{
    std::string text;
    for (const WakeSend &send : plan.sends) {
        if (send.round != 0)
            continue;
        text += text.empty() ? "" : "; ";
        text += std::string(SendFormName(send.form)) + (send.interfaceName.empty() ? "" : " " + send.interfaceName);
        if (send.address)
            text += " " + FormatIpv4(*send.address) + ":" + std::to_string(send.port);
    }
    return text;
}

} // namespace

class TestWakeSend final : public QObject
{
    Q_OBJECT

private slots:
    void framesDecode_data();
    void framesDecode();
    void plans_data();
    void plans();
    void whatRemainsWhenItDidNotWake();
};

// What the decoder, which reads every frame the capture sees, makes of the frames sent.
void TestWakeSend::framesDecode_data()
{
    QTest::addColumn<std::string>("password");
    QTest::newRow("no password") << std::string();
    QTest::newRow("four bytes") << std::string("\xc0\xa8\x01\x01", 4);
    QTest::newRow("six bytes") << std::string("\x00\x11\x22\x33\x44\x55", 6);
}

void TestWakeSend::framesDecode()
{
    QFETCH(std::string, password);
    const MacAddress source = Mac("02-00-00-00-00-01");
    const MacAddress target = Mac("00-1A-2B-3C-4D-5E");
    const std::vector<std::uint8_t> frame
        = MagicFrame(source, target, ByteView(reinterpret_cast<const std::uint8_t *>(password.data()), password.size()));
    const std::optional<WireFrame> decoded = DecodeFrame(frame);
    QVERIFY(decoded);
    QCOMPARE(decoded->magic.kind, MagicKind::Magic);
    QVERIFY(decoded->magic.mac == target);
    QVERIFY(decoded->sourceMac == source);
    QVERIFY(decoded->destinationMac == Mac("FF-FF-FF-FF-FF-FF"));
    QCOMPARE(decoded->carrier, Carrier::Ethernet);
    QCOMPARE(std::string(decoded->magic.password.begin(), decoded->magic.password.end()), password);
    QCOMPARE(MagicPayload(target, {}).size(), std::size_t(102));
}

void TestWakeSend::plans_data()
{
    QTest::addColumn<QString>("interfaces"); // "|" between them
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("options");    // "raw=0", "if=NAME", "to=ADDRESS", "port=N"
    QTest::addColumn<QString>("sends");
    QTest::addColumn<QString>("outcome");    // the warnings, or "refused: ..." ("usage: ..." for the command line's)

    const QString mac = "00-1A-2B-3C-4D-5E";
    QTest::newRow("every wired interface up with a carrier")
        << "eth0 192.168.1.10/24|eth1 10.0.0.2/8|wlan0 192.168.2.5/24 wifi|eth2 down|eth3 nocarrier" << mac << ""
        << "ethernet eth0; subnet_broadcast eth0 192.168.1.255:9; broadcast eth0 255.255.255.255:9; ethernet eth1; "
           "subnet_broadcast eth1 10.255.255.255:9; broadcast eth1 255.255.255.255:9"
        << "";
    QTest::newRow("no IPv4 address: the frame and the limited broadcast")
        << "eth0" << mac << "port=7" << "ethernet eth0; broadcast eth0 255.255.255.255:7" << "";
    QTest::newRow("without CAP_NET_RAW, UDP alone")
        << "eth0 192.168.1.10/24" << mac << "raw=0"
        << "subnet_broadcast eth0 192.168.1.255:9; broadcast eth0 255.255.255.255:9" << "";
    QTest::newRow("a remote subnet's broadcast address, routed")
        << "eth0 192.168.1.10/24" << mac << "to=192.168.7.255"
        << "ethernet eth0; subnet_broadcast eth0 192.168.1.255:9; broadcast eth0 255.255.255.255:9; to "
           "192.168.7.255:9"
        << "";
    QTest::newRow("a unicast address on this subnet is sent, with the warning")
        << "eth0 192.168.1.10/24" << mac << "to=192.168.1.20 raw=0"
        << "subnet_broadcast eth0 192.168.1.255:9; broadcast eth0 255.255.255.255:9; to 192.168.1.20:9"
        << "--to 192.168.1.20 is a unicast address of 192.168.1.0/24 on eth0: once that machine has slept longer "
           "than this machine's ARP cache keeps its address (often minutes), this machine asks in vain who has it "
           "and the packet never leaves, unless the card answers ARP while asleep; send to the subnet's broadcast "
           "address 192.168.1.255 instead";
    QTest::newRow("no carrier anywhere, but a routed address")
        << "eth0 nocarrier" << mac << "to=10.1.2.255" << "to 10.1.2.255:9" << "";

    QTest::newRow("the broadcast MAC") << "eth0" << "FF-FF-FF-FF-FF-FF" << "" << ""
        << "usage: FF-FF-FF-FF-FF-FF is the broadcast address, which no network card has: no magic packet can wake it";
    QTest::newRow("this machine's own MAC") << "eth0" << "02-5E-4D-00-00-30" << "" << ""
        << "usage: 02-5E-4D-00-00-30 is this machine's own MAC address: it is awake, and cannot wake itself";
    QTest::newRow("no such interface") << "eth0" << mac << "if=eth9" << ""
        << "usage: this machine has no interface named eth9";
    QTest::newRow("the named interface has no carrier") << "eth0 nocarrier" << mac << "if=eth0" << ""
        << "refused: eth0 has no carrier: no cable, or the other end is off: nothing can leave through it";
    QTest::newRow("nowhere to send") << "eth0 down|wlan0 wifi" << mac << "" << ""
        << "refused: no wired interface is up with a carrier: plug a cable in, or name a routed address with --to";
}

void TestWakeSend::plans()
{
    QFETCH(QString, interfaces);
    QFETCH(QString, target);
    QFETCH(QString, options);
    QFETCH(QString, sends);
    QFETCH(QString, outcome);

    std::vector<SendInterface> all;
    std::vector<MacAddress> own;
    for (const QString &text : interfaces.split('|')) {
        all.push_back(Interface(text.toStdString()));
        own.push_back(all.back().mac);
    }
    WakeRequest request;
    request.macs = {Mac(target.toStdString())};
    for (const QString &option : options.split(' ', Qt::SkipEmptyParts)) {
        const QString value = option.section('=', 1);
        if (option.startsWith("raw="))
            request.ethernet = value == "1";
        else if (option.startsWith("if="))
            request.interfaceName = value.toStdString();
        else if (option.startsWith("to="))
            request.to.push_back(Octets4(value.toStdString()));
        else if (option.startsWith("port="))
            request.port = std::uint16_t(value.toUInt());
    }

    const WakePlan plan = PlanWake(request, all, own);
    QCOMPARE(QString::fromStdString(FirstRound(plan)), sends);
    QString said;
    for (const std::string &warning : plan.warnings)
        said += QString::fromStdString(warning);
    if (!plan.refusal.empty())
        said = (plan.commandLineFault ? "usage: " : "refused: ") + QString::fromStdString(plan.refusal);
    QCOMPARE(said, outcome);
    QCOMPARE(plan.sends.empty(), !plan.refusal.empty());
}

// The watch's outcome names the ways the packets went, and what can still be wrong.
void TestWakeSend::whatRemainsWhenItDidNotWake()
{
    WakeRequest request;
    request.macs = {Mac("00-1A-2B-3C-4D-5E")};
    WakeOutcome outcome;
    outcome.mac = request.macs.front();
    outcome.first = RealTime(std::chrono::seconds(1));
    outcome.end = RealTime(std::chrono::seconds(121));
    outcome.sent = PlanWake(request, {Interface("eth0 192.168.1.10/24")}, {}).sends;
    std::vector<std::string> problems = OutcomeProblems(outcome);
    QCOMPARE(problems.size(), std::size_t(5));
    QCOMPARE(problems.front(),
             std::string("this machine sent 9 magic packets for 00-1A-2B-3C-4D-5E (an Ethernet frame of type 0x0842 on "
                         "eth0, UDP to 192.168.1.255 port 9 on eth0, UDP to 255.255.255.255 port 9 on eth0, each 3 "
                         "times), and it sent nothing that reached this segment within 120 s"));
    QVERIFY(problems[1].find("corvalen-cli --check") != std::string::npos);
    QVERIFY(problems.back().find("give --to") != std::string::npos);

    // Sent to its subnet's broadcast address through the router already.
    request.to = {Octets4("192.168.7.255")};
    outcome.sent = PlanWake(request, {Interface("eth0 192.168.1.10/24")}, {}).sends;
    problems = OutcomeProblems(outcome);
    QCOMPARE(problems.size(), std::size_t(4));
    QVERIFY(problems.front().find("UDP to 192.168.7.255 port 9, each 3 times") != std::string::npos);

    // Windows asks by ARP on its own subnets, and sees nothing else without a capture driver.
    outcome.askedOnly = AskedOnly{Octets4("192.168.1.20"), AskedOnly::Way::Arp, AskedOnly::Blind::WithoutCaptureDriver};
    QVERIFY(OutcomeProblems(outcome).front().find("it did not answer ARP for 192.168.1.20 (nothing else of it can be "
                                                  "seen without a capture driver)")
            != std::string::npos);

    outcome.woke = true;
    QVERIFY(OutcomeProblems(outcome).empty());
}

QTEST_APPLESS_MAIN(TestWakeSend)
#include "tst_wakesend.moc"
