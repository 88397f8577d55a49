#pragma once

#include <QString>

// WinSock numbers are what the user sees, whatever the platform reports.
inline constexpr int kWsaEAccess = 10013;
inline constexpr int kWsaEMsgSize = 10040;
inline constexpr int kWsaENoBufs = 10055;

QString StartupFailureText(int startupCode);

// The message for a WinSock code, then ", " and the code.
QString SocketErrorText(int winsockCode);

// Reads the last socket error (errno) once and describes it.
QString SocketErrorText();

int WinSockCodeFromErrno(int errnoValue);
