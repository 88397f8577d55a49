#pragma once

#include <winsock.h>

// The WinSock calls the listener makes, so that a test can stand in for the
// socket library. Each forwards to the function of the same name.
class SocketCalls
{
public:
    virtual ~SocketCalls() = default;
    virtual int Startup(WORD version, WSADATA *data) = 0;
    virtual int Cleanup() = 0;
    virtual SOCKET Socket(int family, int type, int protocol) = 0;
    virtual int Bind(SOCKET socket, const sockaddr *address, int addressLength) = 0;
    virtual int AsyncSelect(SOCKET socket, HWND window, unsigned message, long events) = 0;
    virtual int Recv(SOCKET socket, char *buffer, int length, int flags) = 0;
    virtual int CloseSocket(SOCKET socket) = 0;
    virtual int GetLastError() = 0;
};

SocketCalls &SystemSocketCalls();
