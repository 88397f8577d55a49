#include "socketcalls.h"

#include "datagram.h"
#include "packetlistener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::uint16_t kBoundPort = 7;
// A burst that arrives while the GUI thread is busy must fit here; the kernel
// caps the request at twice net.core.rmem_max, and a refusal is harmless.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

// Lets through only what the listener can report: datagrams whose length after
// the IP header is that of a UDP header and a magic packet and whose payload
// starts with six 0xFF bytes, and datagrams too long for the receive buffer. All
// else would be read only to be ignored; under a flood it would crowd magic
// packets out of the socket's queue.
constexpr std::uint32_t kMagicDatagramLength = TPacketListener::kUdpHeaderSize + kMagicPayloadSize;
constexpr std::uint32_t kPayloadOffset = TPacketListener::kUdpHeaderSize;
constexpr std::uint32_t kKeepWholeDatagram = 0xFFFFFFFF;
const sock_filter kMagicCandidates[] = {
    BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),                                 // X = IP header length
    BPF_STMT(BPF_LD | BPF_W | BPF_LEN, 0),                                  // A = datagram length
    BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, TPacketListener::kBufferSize, 7, 0), // too long: keep
    BPF_STMT(BPF_ALU | BPF_SUB | BPF_X, 0),                                 // A -= X
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kMagicDatagramLength, 0, 4),        // not magic-sized: drop
    BPF_STMT(BPF_LD | BPF_W | BPF_IND, kPayloadOffset),                     // A = payload bytes 0-3
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0xFFFFFFFF, 0, 2),                  // not 0xFF: drop
    BPF_STMT(BPF_LD | BPF_H | BPF_IND, kPayloadOffset + 4),                 // A = payload bytes 4-5
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0xFFFF, 1, 0),                      // 0xFF: keep
    BPF_STMT(BPF_RET | BPF_K, 0),
    BPF_STMT(BPF_RET | BPF_K, kKeepWholeDatagram),
};

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
        // Without the drop count a full queue would lose datagrams without a word.
        const int on = 1;
        if (::setsockopt(socket, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) != 0)
            return -1;
        const int savedErrno = errno;
        // Without the kernel's time a datagram counts as received when it is read.
        ::setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
        // Both only lighten the load; without them every datagram is still read.
        ::setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
        const sock_fprog filter{std::size(kMagicCandidates), const_cast<sock_filter *>(kMagicCandidates)};
        ::setsockopt(socket, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter);
        errno = savedErrno;
        return 0;
    }

    ssize_t Receive(int socket, void *buffer, size_t size, ReceiveDetails &details) override
    {
        iovec data{buffer, size};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(std::uint32_t)) + CMSG_SPACE(sizeof(timespec))];
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t received = ::recvmsg(socket, &message, MSG_TRUNC);
        if (received < 0)
            return received;
        // The kernel leaves the count out while it is 0.
        details = {};
        for (cmsghdr *header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level != SOL_SOCKET)
                continue;
            if (header->cmsg_type == SO_RXQ_OVFL) {
                std::memcpy(&details.droppedSoFar, CMSG_DATA(header), sizeof details.droppedSoFar);
            } else if (header->cmsg_type == SCM_TIMESTAMPNS) {
                timespec time{};
                std::memcpy(&time, CMSG_DATA(header), sizeof time);
                details.kernelTime = RealTimeFromNs(std::int64_t(time.tv_sec) * 1000000000 + time.tv_nsec);
            }
        }
        return received;
    }

    int DropCount(int socket, std::uint32_t &droppedSoFar) override
    {
        std::uint32_t memoryInfo[SK_MEMINFO_VARS]{};
        socklen_t length = sizeof memoryInfo;
        if (::getsockopt(socket, SOL_SOCKET, SO_MEMINFO, memoryInfo, &length) != 0)
            return -1;
        droppedSoFar = memoryInfo[SK_MEMINFO_DROPS];
        return 0;
    }

    int Close(int socket) override { return ::close(socket); }

    int LastError() override { return errno; }
};

} // namespace

SocketCalls &SystemSocketCalls()
{
    static LinuxSocketCalls calls;
    return calls;
}

OpenedEarlySocketCalls::OpenedEarlySocketCalls(SocketCalls &calls)
    : m_calls(calls)
    , m_socket(calls.Open())
{
    if (m_socket < 0) {
        m_socket = -1;
        m_openError = calls.LastError();
    }
}

OpenedEarlySocketCalls::~OpenedEarlySocketCalls()
{
    if (!m_handedOver && m_socket >= 0)
        m_calls.Close(m_socket);
}

int OpenedEarlySocketCalls::Open()
{
    if (m_handedOver)
        return Forwarded(m_calls.Open());
    m_handedOver = true;
    m_openErrorPending = m_socket < 0;
    return m_socket;
}
