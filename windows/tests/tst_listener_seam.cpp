// The listener's calls into the socket library, with the library stood in for.
#include "check.h"
#include "packetlistener.h"

#include <optional>

namespace {

constexpr SOCKET kSocket = 4242;

struct FakeWinSock final : SocketCalls
{
    int startup = 0;
    std::optional<int> socketError, bindError, selectError; // the call fails with that code
    std::vector<int> receives;                              // byte counts, or minus a code
    int lastError = 0, sockets = 0, cleanups = 0, closes = 0;
    sockaddr_in bound{};
    int boundLength = 0, receiveLength = 0, receiveFlags = -1;
    HWND selectWindow = nullptr;
    unsigned selectMessage = 0;
    long selectEvents = 0;

    bool Fails(const std::optional<int> &code) { return code && (lastError = *code); }
    int Startup(WORD version, WSADATA *) override { return version == MAKEWORD(2, 0) ? startup : -1; }
    int Cleanup() override { return ++cleanups, 0; }
    SOCKET Socket(int family, int type, int protocol) override
    {
        ++sockets;
        CHECK(family == AF_INET && type == SOCK_RAW && protocol == IPPROTO_UDP);
        return Fails(socketError) ? INVALID_SOCKET : kSocket;
    }
    int Bind(SOCKET, const sockaddr *address, int length) override
    {
        bound = *reinterpret_cast<const sockaddr_in *>(address), boundLength = length;
        return Fails(bindError) ? SOCKET_ERROR : 0;
    }
    int AsyncSelect(SOCKET, HWND window, unsigned message, long events) override
    {
        selectWindow = window, selectMessage = message, selectEvents = events;
        return Fails(selectError) ? SOCKET_ERROR : 0;
    }
    int Recv(SOCKET, char *, int length, int flags) override
    {
        receiveLength = length, receiveFlags = flags;
        const int result = receives.front();
        receives.erase(receives.begin());
        return result < 0 ? (lastError = -result, SOCKET_ERROR) : result;
    }
    int CloseSocket(SOCKET s) override { return CHECK_EQUAL(s, kSocket), ++closes, 0; }
    int GetLastError() override { return lastError; }
};

} // namespace

TEST(FailuresToStartListening)
{
    struct Row
    {
        int startup;
        std::optional<int> socket, bind, select;
        const char *lastError;
        int lastErrorCode;
        int sockets, cleanups, closes; // once the listener is gone
    };
    const Row rows[] = {
        {10091, {}, {}, {}, "WSASYSNOTREADY", 10091, 0, 0, 0},
        {0, 10013, {}, {}, "Permission denied, 10013", 10013, 1, 1, 0},
        {0, {}, 10048, {}, "Address already in use, 10048", 10048, 1, 1, 1},
    };
    for (const Row &row : rows) {
        FakeWinSock calls;
        calls.startup = row.startup, calls.socketError = row.socket, calls.bindError = row.bind,
        calls.selectError = row.select;
        {
            TPacketListener listener(calls);
            CHECK_EQUAL(listener.LastErrorCode(), 0);
            CHECK(!listener.StartListening() && !listener.IsListening());
            CHECK_EQUAL(listener.LastError(), std::string(row.lastError));
            CHECK_EQUAL(listener.LastErrorCode(), row.lastErrorCode);
        }
        CHECK(calls.sockets == row.sockets && calls.cleanups == row.cleanups && calls.closes == row.closes);
    }
}

TEST(ArmedSocketReadsOneDatagramPerMessage)
{
    FakeWinSock calls;
    calls.receives = {-10035, 28, -10040};
    std::vector<std::string> errors;
    std::vector<int> codes;
    {
        TPacketListener listener(calls);
        listener.OnDataAvailable = [&](const PacketReport &report) {
            CHECK(report.error && report.sender == &listener && report.mac.empty() && report.sourcePort == 0);
            errors.push_back(listener.LastError());
            codes.push_back(listener.LastErrorCode());
        };
        CHECK(listener.StartListening() && listener.IsListening());
        CHECK(calls.bound.sin_family == AF_INET && ntohs(calls.bound.sin_port) == 7 && calls.bound.sin_addr.s_addr == 0);
        CHECK_EQUAL(calls.boundLength, 16);
        CHECK(calls.selectWindow == listener.NotificationWindow());
        CHECK(calls.selectMessage == 1374 && calls.selectEvents == FD_READ);
        for (int message = 0; message < 3; ++message)
            SendMessageA(listener.NotificationWindow(), 1374, kSocket, FD_READ);
        CHECK(calls.receives.empty() && calls.receiveLength == 2076 && calls.receiveFlags == 0);
        listener.StopListening();
        listener.StopListening();
        CHECK(!listener.IsListening());
    }
    CHECK(calls.closes == 1 && calls.cleanups == 1);
    CHECK(errors == std::vector<std::string>({"Operation would block, 10035", "Message too long, 10040"}));
    CHECK(codes == std::vector<int>({10035, 10040}));
}
