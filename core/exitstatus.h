#pragma once

// The exit statuses of both console programs while they watch; --check says
// ready or not by its own. A wake ends with one of them too, however it was asked for.
enum ExitStatus : int {
    kExitStopped = 0,
    kExitTimedOut = 1,
    kExitUsage = 2,
    kExitNotListening = 3,
    kExitDamagedCapture = 4, // --read: the capture file ends in the middle of a packet or cannot be read on
};
