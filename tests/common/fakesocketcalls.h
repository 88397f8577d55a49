#pragma once

#include "socketcalls.h"

#include <QByteArray>
#include <QList>

#include <algorithm>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

// Socket calls that fail on request and hand out queued datagrams. The socket is
// one end of a real datagram socket pair, so the listener's notifier has a live
// descriptor; Feed() queues a datagram and makes that descriptor readable.
class FakeSocketCalls final : public SocketCalls
{
public:
    struct Received
    {
        QByteArray bytes;
        ssize_t length = 0; // what Receive reports: may exceed bytes.size(), or be -1
        int error = 0;
    };

    ~FakeSocketCalls() override
    {
        if (m_peer >= 0)
            ::close(m_peer);
        if (openSockets > 0)
            ::close(m_socket);
    }

    int startupCode = 0;
    int openError = 0;
    int bindError = 0;
    int armError = 0;

    int startupCalls = 0;
    int cleanupCalls = 0;
    int openCalls = 0;
    int closeCalls = 0;
    int openSockets = 0;

    void Feed(const QByteArray &datagram) { Queue({datagram, datagram.size(), 0}); }
    void FeedOversized(ssize_t length) { Queue({QByteArray(), length, 0}); }
    void FeedFailure(int winsockCode) { Queue({QByteArray(), -1, winsockCode}); }

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
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
            return -1;
        m_socket = pair[0];
        m_peer = pair[1];
        ++openSockets;
        return m_socket;
    }
    int Bind(int) override { return bindError ? Fail(bindError) : 0; }
    int Arm(int) override { return armError ? Fail(armError) : 0; }

    ssize_t Receive(int socket, void *buffer, size_t size) override
    {
        char token;
        if (::recv(socket, &token, 1, 0) != 1 || m_queue.isEmpty())
            return Fail(10035);
        const Received next = m_queue.takeFirst();
        if (next.length < 0)
            return Fail(next.error);
        std::memcpy(buffer, next.bytes.constData(), std::min(size, size_t(next.bytes.size())));
        return next.length;
    }

    int Close(int socket) override
    {
        ++closeCalls;
        if (socket == m_socket && openSockets > 0) {
            --openSockets;
            ::close(m_socket);
        }
        return 0;
    }

    int LastError() override { return m_lastError; }

private:
    int Fail(int winsockCode)
    {
        m_lastError = winsockCode;
        return -1;
    }

    void Queue(const Received &received)
    {
        m_queue.append(received);
        const char token = 0;
        ::send(m_peer, &token, 1, 0);
    }

    QList<Received> m_queue;
    int m_socket = -1;
    int m_peer = -1;
    int m_lastError = 0;
};
