// The listener on the real socket library: datagrams sent over the loopback
// interface arrive through the readiness message. Needs the right to open raw
// sockets (root under Wine, an administrator on Windows); skips without it.
#include "check.h"
#include "packetlistener.h"

#include <vector>

namespace {

class Sender
{
public:
    Sender()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 0), &data);
        m_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(m_socket, reinterpret_cast<const sockaddr *>(&local), sizeof local);
        int length = sizeof local;
        getsockname(m_socket, reinterpret_cast<sockaddr *>(&local), &length);
        m_port = ntohs(local.sin_port);
    }
    ~Sender()
    {
        closesocket(m_socket);
        WSACleanup();
    }

    std::uint16_t Port() const { return m_port; }

    bool SendTo(std::uint16_t port, const std::vector<std::uint8_t> &payload)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = inet_addr("127.0.0.1");
        return sendto(m_socket, reinterpret_cast<const char *>(payload.data()), int(payload.size()), 0,
                      reinterpret_cast<const sockaddr *>(&to), sizeof to) == int(payload.size());
    }

private:
    SOCKET m_socket = INVALID_SOCKET;
    std::uint16_t m_port = 0;
};

// A MAC address of this run's own, so that other traffic on the machine is told apart.
std::vector<std::uint8_t> RunMac(std::uint8_t last)
{
    const DWORD salt = GetTickCount() ^ (GetCurrentProcessId() << 8);
    return {0x02, std::uint8_t(salt >> 16), std::uint8_t(salt >> 8), std::uint8_t(salt), 0xC0, last};
}

std::vector<std::uint8_t> MagicPayload(const std::vector<std::uint8_t> &mac)
{
    std::vector<std::uint8_t> payload(6, 0xFF);
    for (int copy = 0; copy < 16; ++copy)
        payload.insert(payload.end(), mac.begin(), mac.end());
    return payload;
}

std::string MacText(const std::vector<std::uint8_t> &mac)
{
    std::string text;
    for (std::uint8_t byte : mac) {
        char pair[4];
        wsprintfA(pair, text.empty() ? "%02X" : "-%02X", byte);
        text += pair;
    }
    return text;
}

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
