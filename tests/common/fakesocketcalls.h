#pragma once

#include "socketcalls.h"

#include <QByteArray>
#include <QtGlobal>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

// Socket calls whose failures the test chooses and which count what the listener
// asked for. The "raw socket" is one end of a datagram socket pair, so that the
// listener's notifier sees real readiness; Feed() sends whole IPv4 datagrams
// through the other end, and Receive reports their true length as a raw socket does.
class FakeSocketCalls final : public SocketCalls
{
public:
    FakeSocketCalls() = default;
    ~FakeSocketCalls() override
    {
        if (m_peer >= 0)
            ::close(m_peer);
        if (openSockets > 0)
            ::close(openedSocket);
    }
    Q_DISABLE_COPY_MOVE(FakeSocketCalls)

    // What the calls fail with: a startup code, or the errno of a step; 0 succeeds.
    int startupCode = 0;
    int openError = 0;
    int bindError = 0;
    int armError = 0;
    std::deque<int> receiveFailures; // errno values for the next receives, after the datagram is read
    std::uint32_t droppedSoFar = 0;  // the kernel's drop count that each received datagram carries

    int startupCalls = 0;
    int cleanupCalls = 0;
    int openCalls = 0;
    int bindCalls = 0;
    int armCalls = 0;
    int receiveCalls = 0;
    int closeCalls = 0;
    int openSockets = 0;
    std::vector<size_t> receiveSizes;
    std::vector<int> closedSockets;
    int openedSocket = -1;
    int boundSocket = -1;
    int armedSocket = -1;

    // Queues one datagram for the listener to read; false before the socket is open.
    bool Feed(const QByteArray &datagram)
    {
        return m_peer >= 0
            && ::send(m_peer, datagram.constData(), size_t(datagram.size()), MSG_DONTWAIT) == ssize_t(datagram.size());
    }
    // A datagram of `length` bytes, for lengths beyond the listener's buffer.
    bool FeedOversized(int length) { return Feed(QByteArray(length, '\0')); }
    // A receive that fails with `errnoValue`.
    bool FeedFailure(int errnoValue)
    {
        receiveFailures.push_back(errnoValue);
        return Feed(QByteArray());
    }

    int Startup() override
    {
        ++startupCalls;
        return startupCode;
    }
    void Cleanup() override { ++cleanupCalls; }

    int Open() override
    {
        ++openCalls;
        if (openError)
            return Fail(openError);
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, ends) != 0)
            return Fail(errno);
        if (m_peer >= 0)
            ::close(m_peer);
        openedSocket = ends[0];
        m_peer = ends[1];
        ++openSockets;
        return openedSocket;
    }

    int Bind(int socket) override
    {
        ++bindCalls;
        boundSocket = socket;
        return bindError ? Fail(bindError) : 0;
    }

    int Arm(int socket) override
    {
        ++armCalls;
        armedSocket = socket;
        if (armError)
            return Fail(armError);
        return ::fcntl(socket, F_SETFL, ::fcntl(socket, F_GETFL) | O_NONBLOCK);
    }

    ssize_t Receive(int socket, void *buffer, size_t size, ReceiveDetails &details) override
    {
        ++receiveCalls;
        receiveSizes.push_back(size);
        const ssize_t received = ::recv(socket, buffer, size, MSG_TRUNC);
        if (received < 0)
            return Fail(errno);
        if (!receiveFailures.empty()) {
            const int error = receiveFailures.front();
            receiveFailures.pop_front();
            return Fail(error);
        }
        details = {droppedSoFar};
        return received;
    }

    int DropCount(int, std::uint32_t &dropCount) override
    {
        dropCount = droppedSoFar;
        return 0;
    }

    int Close(int socket) override
    {
        ++closeCalls;
        closedSockets.push_back(socket);
        if (socket != openedSocket || openSockets == 0)
            return 0;
        --openSockets;
        return ::close(socket);
    }

    int LastError() override { return m_lastError; }

private:
    int Fail(int errnoValue)
    {
        m_lastError = errnoValue;
        return -1;
    }

    int m_peer = -1;
    int m_lastError = 0;
};
