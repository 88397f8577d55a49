#pragma once

#include <span>
#include <string>

// WinSock numbers are what the user sees, whatever the platform reports.

struct SocketErrorMessage
{
    int code;
    const char *text;
};

// Every WinSock code that has a message of its own.
std::span<const SocketErrorMessage> SocketErrorMessages();

// The bare name for a failed start-up of the socket library.
std::string StartupFailureText(int startupCode);

// The message for a WinSock code, then ", " and the code.
std::string SocketErrorText(int winsockCode);
