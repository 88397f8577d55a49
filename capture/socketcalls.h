#pragma once

#include <sys/types.h>

// The operating-system calls that the listener makes, one method each, so that
// any of them can be made to fail on purpose. Errors come back as WinSock codes.
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
    // Makes receives non-blocking and enlarges the receive buffer; 0 or -1.
    virtual int Arm(int socket) = 0;
    // Receives one datagram into `buffer`. Returns the datagram's whole length even
    // when it was longer than `size` (the rest is cut), or -1 on failure.
    virtual ssize_t Receive(int socket, void *buffer, size_t size) = 0;
    virtual int Close(int socket) = 0;
    // The WinSock code of the last failed call, read straight after it.
    virtual int LastError() = 0;
};

SocketCalls &SystemSocketCalls();
