#pragma once

#include <QString>

#include <sys/types.h>

#include <vector>

// The operating-system steps of giving up capabilities, one method each, so that
// any of them can be made to fail on purpose. Capabilities belong to threads on
// Linux, so every thread of the process has to give up its own.
class CapabilityCalls
{
public:
    virtual ~CapabilityCalls() = default;

    // Empties the calling thread's bounding set, so that no program it starts gets
    // a capability back. Succeeds without doing anything when the thread may not
    // change the set (no CAP_SETPCAP). 0, or -1 with errno set.
    virtual int DropBoundingSet() = 0;
    // Empties the calling thread's effective, permitted, inheritable and ambient
    // sets. 0, or -1 with errno set.
    virtual int ClearCallingThread() = 0;
    // The other threads of the process that still hold an effective, permitted or
    // inheritable capability.
    virtual std::vector<pid_t> OtherThreadsWithCapabilities() = 0;
    // Has thread `tid` drop its bounding set and clear its sets itself.
    // 0, or -1 with errno set.
    virtual int ClearThread(pid_t tid) = 0;
};

CapabilityCalls &SystemCapabilityCalls();

// Gives up every capability of every thread of the process. Meant to be called
// once the raw socket is open (or could not be opened): the socket keeps working
// without them. Returns false when a step failed, with `failure` describing it;
// the remaining steps are still taken.
bool DropAllCapabilities(QString *failure = nullptr, CapabilityCalls &calls = SystemCapabilityCalls());
