#pragma once

#include <string>

// Linux reports errno values; the user sees the WinSock code of the same meaning.
// An errno without one keeps its own number.
int WinSockCodeFromErrno(int errnoValue);

// What the user reads of a socket call that failed with `errnoValue`: the message
// and the WinSock code of the same meaning.
std::string SocketErrorTextFromErrno(int errnoValue);
