#include "consolelines.h"

std::string ListeningLine(const std::string &program, const std::vector<MacAddress> &macs,
                          const std::vector<std::string> &linkInterfaces)
{
    std::string line = program + ": listening for magic packets";
    for (std::size_t i = 0; i < macs.size(); ++i)
        line += (i == 0 ? " for " : i + 1 == macs.size() ? " or " : ", ") + FormatMac(macs[i]);
    line += " to any UDP port of any local IPv4 address";
    if (linkInterfaces.empty())
        return line;
    line += ", and for Ethernet frames of type 0x0842 and UDP over IPv4 and IPv6 on ";
    for (std::size_t i = 0; i < linkInterfaces.size(); ++i)
        line += (i > 0 ? ", " : "") + linkInterfaces[i];
    return line;
}

std::string NoLinkLayerLine(const std::string &program, const std::string &failure)
{
    return program + ": not watching the link layer (" + failure + "); going on with the raw socket alone";
}

std::string SummaryLine(const std::string &program, const WatchCounts &counts)
{
    std::string line = program + ": " + std::to_string(counts.magicReported) + " magic packet(s) reported, "
        + std::to_string(counts.failedReceives) + " failed receive(s), " + std::to_string(counts.dropped)
        + " datagram(s) dropped by the kernel";
    if (counts.linkLayer)
        line += ", " + std::to_string(counts.nearMisses) + " near miss(es), " + std::to_string(counts.frameDrops)
            + " frame(s) dropped by the link-layer capture";
    return line;
}

WakeOrder WakeOrderOf(const WatchOptions &options, bool ethernet)
{
    WakeOrder order;
    order.request = {options.wake, options.wakePort, options.password, options.wakeTo, options.interfaceName, ethernet};
    order.address = options.wakeIp;
    order.timeout = options.wakeTimeout;
    return order;
}
