#pragma once

#include "privileges.h"

// Capability calls that change nothing, so that a test process keeps the
// capabilities its later cases need; it counts what the program asked for.
class FakeCapabilityCalls final : public CapabilityCalls
{
public:
    int boundingCalls = 0;
    int clearCalls = 0;

    int DropBoundingSet() override
    {
        ++boundingCalls;
        return 0;
    }
    int ClearCallingThread() override
    {
        ++clearCalls;
        return 0;
    }
    std::vector<pid_t> OtherThreadsWithCapabilities() override { return {}; }
    int ClearThread(pid_t) override { return 0; }
};

// One for tests whose windows outlive a single scope.
inline FakeCapabilityCalls &KeptCapabilities()
{
    static FakeCapabilityCalls calls;
    return calls;
}
