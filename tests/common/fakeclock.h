#pragma once

#include "times.h"

#include <chrono>

// A clock of the test's own: both of its times move only when the test moves `elapsed`.
struct FakeClock final : WatchClock
{
    static constexpr RealTime kStart{std::chrono::seconds(1765280000)};

    std::chrono::nanoseconds elapsed{0};
    RealTime RealNow() override { return kStart + elapsed; }
    SteadyTime SteadyNow() override { return SteadyTime(elapsed); }
};
