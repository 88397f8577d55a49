#pragma once

#include "eventsink.h"

// A sink that takes every event and keeps none: a test's own sink overrides the
// events it looks at.
struct QuietSink : EventSink
{
    void Magic(const MagicEvent &) override {}
    void Datagram(const PacketReport &) override {}
    void Failure(const ReceiveFailure &) override {}
    void Outcome(const WakeOutcome &) override {}
    void Sweep(const SweepEvent &) override {}
    void Unanswered(const UnansweredArp &) override {}
    void Sent(const SentPacket &) override {}
    void MachineState(const MachineStateEvent &) override {}
};
