#pragma once

#include "commandline.h"
#include "segmentwatch.h"
#include "wakesend.h"
#include "wireframe.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What corvalen-cli says on standard error about its watch, on every platform.

// "corvalen-cli: listening for magic packets ..."; `linkInterfaces` are the
// interfaces whose frames the link-layer capture watches, none for the raw socket alone.
std::string ListeningLine(const std::string &program, const std::vector<MacAddress> &macs,
                          const std::vector<std::string> &linkInterfaces);

std::string NoLinkLayerLine(const std::string &program, const std::string &failure);

struct WatchCounts
{
    long long magicReported = 0;
    long long failedReceives = 0;
    std::uint64_t dropped = 0; // datagrams the kernel dropped before the socket
    bool linkLayer = false;    // the link-layer capture ran; then the two below are told too
    long long nearMisses = 0;
    std::uint64_t frameDrops = 0;
};

// The last line of a watch.
std::string SummaryLine(const std::string &program, const WatchCounts &counts);

// --wake's packets, planned from the interfaces as they are now: the plan and the
// warnings to write before anything is sent, or the refusal and its exit status.
struct ConsoleWakePlan
{
    std::optional<WakePlan> plan;
    std::vector<std::string> lines; // "corvalen-cli: …", each to standard error
    int exitStatus = 0;             // when refused
};
ConsoleWakePlan PlanConsoleWake(const std::string &program, const WatchOptions &options,
                                const std::vector<SendInterface> &interfaces, bool ethernet);

// "corvalen-cli: the neighbour table holds 192.168.1.20 for 00-1A-2B-3C-4D-5E"
std::string NeighbourLine(const std::string &program, const Ipv4Octets &address, const MacAddress &mac);

// --wake's rounds, as both consoles send them: each packet is a `sent` event to
// `sink`, and each that left begins or counts in its machine's wake watch.
class WakeRounds
{
public:
    WakeRounds(WakePlan plan, EventSink &sink, SegmentWatch &watch);
    const WakePlan &Plan() const { return m_plan; }
    // Sends the next round through `send`; true while more rounds are to come.
    bool SendNext(const std::function<SentPacket(const WakeSend &)> &send);
    // Once the rounds are over: "corvalen-cli: no magic packet for … could be sent"
    // for the first of `macs` none of whose packets left; empty when each had one.
    std::string NothingSentLine(const std::string &program, const std::vector<MacAddress> &macs) const;

private:
    WakePlan m_plan;
    EventSink &m_sink;
    SegmentWatch &m_watch;
    int m_round = 0;
    std::vector<MacAddress> m_sentFor; // the machines with a packet that left
};
