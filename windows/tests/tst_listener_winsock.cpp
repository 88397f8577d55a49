// The listener on real WinSock: datagrams sent over loopback arrive through the
// readiness message. Needs the right to open raw sockets (root under Wine, an
// administrator on Windows); skips without it.
#include "check.h"
#include "loopback.h"
#include "packetlistener.h"

namespace {

// Keeps the failures and this run's magic packets (by their MAC text's start).
struct Capture
{
    TPacketListener listener;
    std::vector<PacketReport> packets;
    std::vector<std::string> errors;

    explicit Capture(const std::string &macStart)
    {
        listener.OnDataAvailable = [this, macStart](const PacketReport &report) {
            if (report.error)
                errors.push_back(listener.LastError());
            else if (report.mac.starts_with(macStart))
                packets.push_back(report);
        };
        if (!listener.StartListening())
            Skip("no raw socket here: " + listener.LastError());
    }
};

} // namespace

TEST(MagicPacketsToAnyPort)
{
    Sender sender;
    auto mac = RunMac(0);
    Capture capture(MacText(mac).substr(0, 11));
    for (std::uint16_t port : {9, 7, 65535}) {
        mac[5] = std::uint8_t(port);
        CHECK(sender.SendTo(port, MagicPayload(mac)));
        const std::size_t before = capture.packets.size();
        if (!CHECK(PumpMessagesUntil([&] { return capture.packets.size() > before; }, 5000)))
            continue;
        const PacketReport &report = capture.packets.back();
        CHECK_EQUAL(report.mac, MacText(mac));
        CHECK(report.sourceAddress == "127.0.0.1" && report.destinationAddress == "127.0.0.1");
        CHECK_EQUAL(report.sourcePort, sender.Port());
        CHECK_EQUAL(report.destinationPort, port);
    }
}

TEST(OversizedDatagramIsOneFailureAndListeningGoesOn)
{
    Sender sender;
    const auto mac = RunMac(1);
    Capture capture(MacText(mac));
    CHECK(sender.SendTo(9, std::vector<std::uint8_t>(3000, 0xFF)));
    // The magic packet is read after the oversized datagram, so every failure is in by then.
    CHECK(sender.SendTo(9, MagicPayload(mac)));
    CHECK(PumpMessagesUntil([&] { return !capture.packets.empty(); }, 5000));
    CHECK(capture.errors == std::vector<std::string>{"Message too long, 10040"});
    CHECK(capture.listener.IsListening());
}
