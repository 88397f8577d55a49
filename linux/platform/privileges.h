#pragma once

#include <string>

// The operating-system steps of giving up capabilities, one method each, so that
// any of them can be made to fail on purpose.
class CapabilityCalls
{
public:
    virtual ~CapabilityCalls() = default;

    // The number of threads the process has, or -1 when it cannot be told.
    virtual int ThreadCount() = 0;
    // Empties the bounding set, so that no program started later gets a capability
    // back. Succeeds without doing anything when the process may not change the
    // set (no CAP_SETPCAP). 0, or -1 with errno set.
    virtual int DropBoundingSet() = 0;
    // Empties the effective, permitted, inheritable and ambient sets. 0, or -1
    // with errno set.
    virtual int ClearSets() = 0;
};

CapabilityCalls &SystemCapabilityCalls();

// Gives up every capability of the process in one step. Capabilities belong to
// threads on Linux, so this is meant for the start of main, once the raw socket
// is open (or could not be opened) and before any other thread exists: the socket
// keeps working without them. Returns false when a step failed, or when other
// threads exist that would keep theirs, with `failure` describing it; the
// remaining steps are still taken.
bool DropAllCapabilities(std::string *failure = nullptr, CapabilityCalls &calls = SystemCapabilityCalls());
