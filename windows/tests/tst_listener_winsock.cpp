// The listener on the real socket library: datagrams sent over the loopback
// interface arrive through the readiness message. Needs the right to open raw
// sockets (root under Wine, an administrator on Windows); skips without it.
#include "check.h"
#include "loopback.h"
#include "packetlistener.h"

#include <vector>

namespace {

struct Capture
{
    TPacketListener listener;
    std::vector<PacketReport> reports; // this run's magic packets and every failure
    std::vector<std::string> errors;
    std::string prefix; // MAC text prefix of this run

    explicit Capture(const std::string &macPrefix) : prefix(macPrefix)
    {
        listener.OnDataAvailable = [this](const PacketReport &report) {
            if (report.error)
                errors.push_back(listener.LastError());
            if (report.error || report.mac.rfind(prefix, 0) == 0)
                reports.push_back(report);
        };
        if (!listener.StartListening())
            Skip("cannot open a raw socket here (" + listener.LastError() + ")");
    }
};

} // namespace

TEST(MagicPacketsOverLoopbackToAnyPort)
{
    Sender sender;
    const auto mac = RunMac(0);
    Capture capture(MacText(mac).substr(0, 11));
    const std::uint16_t ports[] = {9, 7, 65535};
    for (std::uint16_t port : ports) {
        auto portMac = mac;
        portMac[5] = std::uint8_t(port);
        CHECK(sender.SendTo(port, MagicPayload(portMac)));
        const std::size_t before = capture.reports.size();
        CHECK(PumpMessagesUntil([&] { return capture.reports.size() > before; }, 5000));
        if (capture.reports.size() != before + 1)
            continue;
        const PacketReport &report = capture.reports.back();
        CHECK(!report.error);
        CHECK_EQUAL(report.mac, MacText(portMac));
        CHECK_EQUAL(report.sourceAddress, std::string("127.0.0.1"));
        CHECK_EQUAL(report.destinationAddress, std::string("127.0.0.1"));
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
    CHECK(PumpMessagesUntil([&] { return !capture.errors.empty(); }, 5000));
    // The magic packet sent after it is read after it: by then every failure is in.
    CHECK(sender.SendTo(9, MagicPayload(mac)));
    CHECK(PumpMessagesUntil([&] { return !capture.reports.empty() && !capture.reports.back().error; }, 5000));
    CHECK_EQUAL(capture.errors.size(), std::size_t(1));
    if (!capture.errors.empty())
        CHECK_EQUAL(capture.errors.front(), std::string("Message too long, 10040"));
    CHECK(capture.listener.IsListening());
    CHECK_EQUAL(capture.reports.size(), std::size_t(2));
    if (!capture.reports.empty())
        CHECK(capture.reports.front().error && capture.reports.front().mac.empty());
}
