#pragma once

// Linux reports errno values; the user sees the WinSock code of the same meaning.
// An errno without one keeps its own number.
int WinSockCodeFromErrno(int errnoValue);
