#include "socketcalls.h"

#include "socketerrors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr quint16 kBoundPort = 7;
// A burst that arrives while the GUI thread is busy must fit here; the kernel
// caps the request at twice net.core.rmem_max, and a refusal is harmless.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

class LinuxSocketCalls final : public SocketCalls
{
public:
    int Startup() override { return 0; }
    void Cleanup() override {}

    int Open() override { return ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP); }

    int Bind(int socket) override
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(kBoundPort);
        address.sin_addr.s_addr = inet_addr("0.0.0.0");
        return ::bind(socket, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    }

    int Arm(int socket) override
    {
        const int flags = ::fcntl(socket, F_GETFL);
        if (flags == -1 || ::fcntl(socket, F_SETFL, flags | O_NONBLOCK) == -1)
            return -1;
        const int savedErrno = errno;
        ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
        errno = savedErrno;
        return 0;
    }

    ssize_t Receive(int socket, void *buffer, size_t size) override
    {
        return ::recv(socket, buffer, size, MSG_TRUNC);
    }

    int Close(int socket) override { return ::close(socket); }

    int LastError() override { return WinSockCodeFromErrno(errno); }
};

} // namespace

SocketCalls &SystemSocketCalls()
{
    static LinuxSocketCalls calls;
    return calls;
}
