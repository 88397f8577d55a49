// The listener's use of the socket library, with the library stood in for.
#include "check.h"
#include "packetlistener.h"

#include <optional>
#include <vector>

namespace {

constexpr SOCKET kFakeSocket = 4242;

struct FakeWinSock final : WinSockCalls
{
    int startupResult = 0;
    std::optional<int> failSocket, failBind, failAsyncSelect; // error codes
    std::vector<int> receiveResults; // byte counts, or -code for a failure
    std::vector<std::uint8_t> datagram;

    WORD requestedVersion = 0;
    int cleanups = 0, closes = 0, sockets = 0;
    sockaddr_in bound{};
    int boundLength = 0;
    HWND selectWindow = nullptr;
    unsigned selectMessage = 0;
    long selectEvents = 0;
    int receiveLength = 0, receiveFlags = -1;
    int lastError = 0;

    int Startup(WORD version, WSADATA *) override { requestedVersion = version; return startupResult; }
    int Cleanup() override { ++cleanups; return 0; }
    SOCKET Socket(int family, int type, int protocol) override
    {
        ++sockets;
        CHECK(family == AF_INET && type == SOCK_RAW && protocol == IPPROTO_UDP);
        return Fail(failSocket) ? INVALID_SOCKET : kFakeSocket;
    }
    int Bind(SOCKET, const sockaddr *address, int length) override
    {
        bound = *reinterpret_cast<const sockaddr_in *>(address);
        boundLength = length;
        return Fail(failBind) ? SOCKET_ERROR : 0;
    }
    int AsyncSelect(SOCKET, HWND window, unsigned message, long events) override
    {
        selectWindow = window, selectMessage = message, selectEvents = events;
        return Fail(failAsyncSelect) ? SOCKET_ERROR : 0;
    }
    int Recv(SOCKET, char *buffer, int length, int flags) override
    {
        receiveLength = length, receiveFlags = flags;
        const int result = receiveResults.at(0);
        receiveResults.erase(receiveResults.begin());
        if (result < 0) {
            lastError = -result;
            return SOCKET_ERROR;
        }
        std::copy_n(datagram.begin(), result, buffer);
        return result;
    }
    int CloseSocket(SOCKET s) override { CHECK_EQUAL(s, kFakeSocket); ++closes; return 0; }
    int GetLastError() override { return lastError; }

    bool Fail(const std::optional<int> &code)
    {
        if (code)
            lastError = *code;
        return code.has_value();
    }
};

// A 130-byte magic packet for 00-11-22-33-44-55 from 192.168.1.10:3000 to 192.168.1.255:9.
std::vector<std::uint8_t> MagicDatagram()
{
    std::vector<std::uint8_t> datagram = {0x45, 0, 0, 130, 0, 0, 0, 0, 64, 17, 0, 0, 192, 168, 1, 10, 192, 168, 1, 255,
                                          0x0B, 0xB8, 0, 9, 0, 110, 0, 0};
    datagram.insert(datagram.end(), 6, 0xFF);
    for (int copy = 0; copy < 16; ++copy)
        datagram.insert(datagram.end(), {0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    return datagram;
}

} // namespace

TEST(StartListeningFailures)
{
    struct Row
    {
        const char *name;
        int startup;
        std::optional<int> socket, bind, asyncSelect;
        const char *lastError;
        int sockets, cleanups, closes; // after destruction
    };
    const Row rows[] = {
        {"socket library not ready", 10091, {}, {}, {}, "WSASYSNOTREADY", 0, 0, 0},
        {"version not supported", 10092, {}, {}, {}, "WSAVERNOTSUPPORTED", 0, 0, 0},
        {"unknown start-up code", 12345, {}, {}, {}, "WSAERROR", 0, 0, 0},
        {"no right to raw sockets", 0, 10013, {}, {}, "Permission denied, 10013", 1, 1, 0},
        {"bind fails, socket stays open", 0, {}, 10048, {}, "Address already in use, 10048", 1, 1, 1},
        {"arming fails, socket stays open", 0, {}, {}, 10022, "Invalid argument, 10022", 1, 1, 1},
    };
    for (const Row &row : rows) {
        FakeWinSock calls;
        calls.startupResult = row.startup;
        calls.failSocket = row.socket, calls.failBind = row.bind, calls.failAsyncSelect = row.asyncSelect;
        {
            TPacketListener listener(calls);
            CHECK_EQUAL(calls.requestedVersion, WORD(0x0002));
            CHECK(!listener.StartListening());
            CHECK(!listener.IsListening());
            CHECK_EQUAL(listener.LastError(), std::string(row.lastError));
        }
        CHECK_EQUAL(calls.sockets, row.sockets);
        CHECK_EQUAL(calls.cleanups, row.cleanups);
        CHECK_EQUAL(calls.closes, row.closes);
    }
}

TEST(ArmsTheSocketAndReceivesOneDatagramPerMessage)
{
    FakeWinSock calls;
    calls.datagram = MagicDatagram();
    calls.receiveResults = {130, -10035, 28, 130};
    std::vector<PacketReport> reports;
    std::vector<std::string> errors;
    {
        TPacketListener listener(calls);
        listener.OnDataAvailable = [&](const PacketReport &report) {
            reports.push_back(report);
            errors.push_back(listener.LastError());
            CHECK(report.sender == &listener);
        };
        CHECK(listener.StartListening());
        CHECK(listener.IsListening());
        CHECK_EQUAL(int(calls.bound.sin_family), AF_INET);
        CHECK_EQUAL(ntohs(calls.bound.sin_port), 7);
        CHECK_EQUAL(calls.bound.sin_addr.s_addr, 0UL);
        CHECK_EQUAL(calls.boundLength, 16);
        CHECK(calls.selectWindow == listener.NotificationWindow());
        CHECK_EQUAL(calls.selectMessage, 1374U);
        CHECK_EQUAL(calls.selectEvents, long(FD_READ));

        for (int message = 0; message < 4; ++message)
            SendMessageA(listener.NotificationWindow(), 1374, kFakeSocket, FD_READ);
        CHECK_EQUAL(calls.receiveLength, 2076);
        CHECK_EQUAL(calls.receiveFlags, 0);
        listener.StopListening();
        listener.StopListening();
        CHECK(!listener.IsListening());
        // Other messages go to the default window procedure.
        CHECK_EQUAL(SendMessageA(listener.NotificationWindow(), WM_GETTEXTLENGTH, 0, 0), LRESULT(0));
    }
    CHECK_EQUAL(calls.closes, 1);
    CHECK_EQUAL(calls.cleanups, 1);
    CHECK_EQUAL(reports.size(), std::size_t(3));
    if (reports.size() != 3)
        return;
    CHECK_EQUAL(reports[0].mac, std::string("00-11-22-33-44-55"));
    CHECK_EQUAL(reports[0].sourceAddress, std::string("192.168.1.10"));
    CHECK_EQUAL(reports[0].destinationAddress, std::string("192.168.1.255"));
    CHECK_EQUAL(reports[0].sourcePort, 3000);
    CHECK_EQUAL(reports[0].destinationPort, 9);
    CHECK(!reports[0].error);
    CHECK(reports[1].error && reports[1].mac.empty() && reports[1].sourceAddress.empty() && reports[1].sourcePort == 0);
    CHECK_EQUAL(errors[1], std::string("Operation would block, 10035"));
    CHECK(!reports[2].error);
}
