#include "magicevents.h"

#include <QDateTime>
#include <QTest>

namespace {

constexpr int kWaitMs = 1000; // long enough for the steps of a case to run under Valgrind
const QByteArray kMac = QByteArray::fromHex("001A2B3C4D5E");
const QByteArray kMagic = QByteArray(6, char(0xFF)) + kMac.repeated(16);

class FakeMachine final : public MachineInfo
{
public:
    std::vector<LocalInterface> Interfaces() override
    {
        return {{"eth0", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}}, {"wlan0", {0x02, 0, 0, 0, 0, 9}}};
    }
    std::vector<Ipv4Address> Ipv4Destinations() override { return {{192, 168, 1, 7}, {192, 168, 1, 255}}; }
    std::optional<std::string> WakeOnModes(const std::string &name) override
    {
        return name == "eth0" ? std::optional<std::string>("d") : std::nullopt;
    }
    std::optional<bool> DeviceWakeup(const std::string &) override { return std::nullopt; }
};

QByteArray Udp4Frame(int lastDestinationByte)
{
    QByteArray udp = QByteArray::fromHex("9c400009") + char(0) + char(8 + 102) + QByteArray(2, '\0') + kMagic;
    QByteArray ip = QByteArray::fromHex("4500") + char(0) + char(20 + udp.size())
                    + QByteArray::fromHex("123440004011beefc0a8010ac0a801") + char(lastDestinationByte);
    return QByteArray::fromHex("ffffffffffff020000000002") + QByteArray::fromHex("0800") + ip + udp;
}

PacketReport SocketReport(int lastDestinationByte, std::int64_t kernelTimeNs)
{
    return {nullptr, "192.168.1.10", "192.168.1." + std::to_string(lastDestinationByte), "00-1A-2B-3C-4D-5E",
            40000, 9, false, kernelTimeNs};
}



// "delivered interface carrier", e.g. "true eth0 udp" or "null - ethernet".
QString Summary(const MagicEvent &event)
{
    const QString delivered = !event.delivered ? QStringLiteral("null") : *event.delivered ? QStringLiteral("true") : QStringLiteral("false");
    return QStringLiteral("%1 %2 %3").arg(delivered, event.interfaceName ? QString::fromStdString(*event.interfaceName) : QStringLiteral("-"),
                                          event.carrier == Carrier::Udp ? QStringLiteral("udp") : QStringLiteral("ethernet"));
}

} // namespace

class TestMagicEvents final : public QObject
{
    Q_OBJECT

private slots:
    void onePacketOneEvent_data();
    void onePacketOneEvent();
    void eventCarriesThisMachine();
};

void TestMagicEvents::onePacketOneEvent_data()
{
    QTest::addColumn<bool>("captureRunning");
    // wire:N / socket:N for a magic packet to 192.168.1.N, ether for a 0x0842 frame, wait for the
    // merger to give up waiting; @M: the kernel received it M ms before the case began
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("events");

    QTest::newRow("wire first") << true << QStringList{"wire:255", "socket:255"} << QStringList{"true wlan0 udp"};
    QTest::newRow("socket first") << true << QStringList{"socket:255", "wire:255"} << QStringList{"true wlan0 udp"};
    QTest::newRow("socket later than the wait") << true << QStringList{"wire:7", "wait", "socket:7"}
                                          << QStringList{"false wlan0 udp", "true - udp"};
    QTest::newRow("dropped before the socket") << true << QStringList{"wire:255", "wait"} << QStringList{"false wlan0 udp"};
    QTest::newRow("not for this machine") << true << QStringList{"wire:99", "wait"} << QStringList{"null wlan0 udp"};
    QTest::newRow("socket only") << true << QStringList{"socket:255", "wait"} << QStringList{"true - udp"};
    QTest::newRow("without the capture") << false << QStringList{"socket:255"} << QStringList{"true - udp"};
    QTest::newRow("a frame keeps its place") << true << QStringList{"wire:255", "ether", "socket:255"}
                                             << QStringList{"true wlan0 udp", "null wlan0 ethernet"};
    QTest::newRow("the same packet twice") << true << QStringList{"wire:255", "wire:255", "socket:255", "socket:255"}
                                           << QStringList{"true wlan0 udp", "true wlan0 udp"};
    QTest::newRow("the earlier packet first, whichever source hands it over first")
        << true << QStringList{"ether@0", "socket:255@100", "wire:255@100"}
        << QStringList{"true wlan0 udp", "null wlan0 ethernet"};
    QTest::newRow("two packets, crossed") << true << QStringList{"wire:255", "socket:7", "socket:255", "wire:7"}
                                          << QStringList{"true wlan0 udp", "true wlan0 udp"};
}

void TestMagicEvents::onePacketOneEvent()
{
    QFETCH(bool, captureRunning);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, events);

    FakeMachine machine;
    MagicEventMerger merger(machine, kWaitMs);
    merger.SetCaptureRunning(captureRunning);
    QStringList seen;
    merger.OnEvent = [&seen](const MagicEvent &event) { seen << Summary(event); };
    const std::int64_t beganNs = QDateTime::currentMSecsSinceEpoch() * 1000000;
    for (const QString &step : steps) {
        const int last = step.section('@', 0, 0).section(':', 1).toInt();
        const std::int64_t kernelTimeNs = step.contains('@') ? beganNs - step.section('@', 1).toLongLong() * 1000000 : 0;
        QByteArray frame;
        if (step.startsWith("wire"))
            frame = Udp4Frame(last);
        else if (step.startsWith("ether"))
            frame = QByteArray::fromHex("ffffffffffff020000000002") + QByteArray::fromHex("0842") + kMagic;
        if (!frame.isEmpty())
            merger.FrameSeen("wlan0", ByteView(reinterpret_cast<const std::uint8_t *>(frame.constData()), std::size_t(frame.size())), kernelTimeNs);
        else if (step.startsWith("socket"))
            merger.DatagramReported(SocketReport(last, kernelTimeNs));
        else
            QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty(), kWaitMs * 10);
    }
    merger.Flush();
    QCOMPARE(seen, events);
}

void TestMagicEvents::eventCarriesThisMachine()
{
    FakeMachine machine;
    MagicEventMerger merger(machine, kWaitMs);
    merger.SetCaptureRunning(true);
    std::vector<MagicEvent> seen;
    merger.OnEvent = [&seen](const MagicEvent &event) { seen.push_back(event); };
    const QByteArray frame = Udp4Frame(255);
    merger.FrameSeen("wlan0", ByteView(reinterpret_cast<const std::uint8_t *>(frame.constData()), std::size_t(frame.size())));
    merger.Flush();
    QCOMPARE(seen.size(), size_t(1));
    QCOMPARE(seen[0].machine.localInterface, std::optional<std::string>("eth0"));
    QCOMPARE(seen[0].machine.wakeOn, std::optional<std::string>("d"));
    QCOMPARE(seen[0].delivered, std::optional<bool>(false));
    QCOMPARE(seen[0].sourceMac, std::optional<std::string>("02-00-00-00-00-02"));
}

QTEST_GUILESS_MAIN(TestMagicEvents)
#include "tst_magicevents.moc"
