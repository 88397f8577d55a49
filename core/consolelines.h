#pragma once

#include "commandline.h"
#include "wakeengine.h"
#include "wireframe.h"

#include <cstdint>
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

// What --wake asks for; `ethernet`: whether this process may send the Ethernet frame.
WakeOrder WakeOrderOf(const WatchOptions &options, bool ethernet);
