#include "socketcalls.h"

namespace {

class SystemCalls final : public SocketCalls
{
public:
    int Startup(WORD version, WSADATA *data) override { return WSAStartup(version, data); }
    int Cleanup() override { return WSACleanup(); }
    SOCKET Socket(int family, int type, int protocol) override { return socket(family, type, protocol); }
    int Bind(SOCKET s, const sockaddr *address, int addressLength) override { return bind(s, address, addressLength); }
    int AsyncSelect(SOCKET s, HWND window, unsigned message, long events) override
    {
        return WSAAsyncSelect(s, window, message, events);
    }
    int Recv(SOCKET s, char *buffer, int length, int flags) override { return recv(s, buffer, length, flags); }
    int CloseSocket(SOCKET s) override { return closesocket(s); }
    int GetLastError() override { return WSAGetLastError(); }
};

} // namespace

SocketCalls &SystemSocketCalls()
{
    static SystemCalls calls;
    return calls;
}
