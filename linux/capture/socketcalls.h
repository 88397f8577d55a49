#pragma once

#include "times.h"

#include <cstdint>
#include <optional>
#include <sys/types.h>

// What the kernel tells of one received datagram besides its bytes.
struct ReceiveDetails
{
    // The count of datagrams the kernel has dropped at the socket since it was
    // opened, as it stood when this datagram was queued.
    std::uint32_t droppedSoFar = 0;
    // When the kernel received the datagram, in nanoseconds since the epoch; 0 when
    // it did not say.
    std::optional<RealTime> kernelTime;
};

// The operating-system calls that the listener makes, one method each, so that
// any of them can be made to fail on purpose. Errors come back as errno values.
class SocketCalls
{
public:
    virtual ~SocketCalls() = default;

    // Returns 0 when the socket library is ready. Linux needs no start-up.
    virtual int Startup() = 0;
    virtual void Cleanup() = 0;
    // A raw IPv4 socket for UDP; -1 on failure.
    virtual int Open() = 0;
    // Binds to 0.0.0.0 port 7; 0 on success, -1 on failure.
    virtual int Bind(int socket) = 0;
    // Makes receives non-blocking, enlarges the receive buffer and asks the kernel
    // to tell each receive how many datagrams it dropped at the socket and when the
    // datagram came; 0 or -1.
    virtual int Arm(int socket) = 0;
    // Receives one datagram into `buffer`. Returns the datagram's whole length even
    // when it was longer than `size` (the rest is cut), or -1 on failure. On success
    // `details` tells of this datagram.
    virtual ssize_t Receive(int socket, void *buffer, size_t size, ReceiveDetails &details) = 0;
    // The count of datagrams the kernel has dropped at the socket since it was
    // opened, as it stands now; 0 on success, -1 on failure.
    virtual int DropCount(int socket, std::uint32_t &droppedSoFar) = 0;
    virtual int Close(int socket) = 0;
    // The errno of the last failed call, read straight after it.
    virtual int LastError() = 0;
};

SocketCalls &SystemSocketCalls();

// Opening a raw socket is the one step that needs a capability, so a program
// opens it at the very start, before it gives its capabilities up, and hands it
// to its listener through this: the first Open() returns that socket, or fails
// with what opening it failed with then. Every other call, and any later Open(),
// goes to `calls`.
class OpenedEarlySocketCalls final : public SocketCalls
{
public:
    explicit OpenedEarlySocketCalls(SocketCalls &calls = SystemSocketCalls());
    ~OpenedEarlySocketCalls() override;
    OpenedEarlySocketCalls(const OpenedEarlySocketCalls &) = delete;
    OpenedEarlySocketCalls &operator=(const OpenedEarlySocketCalls &) = delete;

    int Startup() override { return m_calls.Startup(); }
    void Cleanup() override { m_calls.Cleanup(); }
    int Open() override;
    int Bind(int socket) override { return Forwarded(m_calls.Bind(socket)); }
    int Arm(int socket) override { return Forwarded(m_calls.Arm(socket)); }
    ssize_t Receive(int socket, void *buffer, size_t size, ReceiveDetails &details) override
    {
        return Forwarded(m_calls.Receive(socket, buffer, size, details));
    }
    int DropCount(int socket, std::uint32_t &droppedSoFar) override
    {
        return Forwarded(m_calls.DropCount(socket, droppedSoFar));
    }
    int Close(int socket) override { return Forwarded(m_calls.Close(socket)); }
    int LastError() override { return m_openErrorPending ? m_openError : m_calls.LastError(); }
    // The errno that opening the socket failed with; 0 when it opened.
    int OpenError() const { return m_openError; }

private:
    template<typename Result>
    Result Forwarded(Result result)
    {
        m_openErrorPending = false;
        return result;
    }

    SocketCalls &m_calls;
    int m_socket = -1;
    int m_openError = 0;
    bool m_handedOver = false;
    bool m_openErrorPending = false;
};
