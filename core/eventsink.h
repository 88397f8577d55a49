#pragma once

#include "arpwatch.h"
#include "datetimetext.h"
#include "machinestates.h"
#include "magicevent.h"
#include "packetreport.h"
#include "sweeps.h"
#include "wakesend.h"
#include "wakewatch.h"

#include <cstdint>
#include <string>

// A receive of the raw socket that failed, or datagrams the kernel dropped before it.
struct ReceiveFailure
{
    PacketReport report;       // the listener's, with its error flag set
    std::string error;         // the listener's last error
    std::uint32_t dropped = 0; // datagrams the kernel dropped; 0 for a failed receive
};

// Where the watch's finished events go: a terminal's lines, JSON Lines, the journal,
// the metrics. Each event comes once, in the order the packets came; every
// address in it is still typed, and each sink makes its own text.
class EventSink
{
public:
    virtual ~EventSink() = default;

    // A magic packet or near miss, whichever source saw it.
    virtual void Magic(const MagicEvent &event) = 0;
    // A magic packet as the raw socket alone reports it.
    virtual void Datagram(const PacketReport &report) = 0;
    virtual void Failure(const ReceiveFailure &failure) = 0;
    virtual void Outcome(const WakeOutcome &outcome) = 0;
    virtual void Sweep(const SweepEvent &sweep) = 0;
    virtual void Unanswered(const UnansweredArp &arp) = 0;
    // A magic packet this machine sent to wake another (--wake).
    virtual void Sent(const SentPacket &sent) = 0;
    // A watched machine (--machine) woke or fell asleep.
    virtual void MachineState(const MachineStateEvent &event) = 0;
};

// A moment as the sinks write it: local time and its offset from UTC.
struct LocalMoment
{
    LocalDateTime local;
    int offsetFromUtcSeconds = 0;
};

// Each platform's local time, read at most as often as the platform needs.
class LocalTimes
{
public:
    virtual ~LocalTimes() = default;
    // `time` as local time; now when nothing is given.
    virtual LocalMoment At(std::optional<RealTime> time) = 0;
};
