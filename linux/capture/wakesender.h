#pragma once

#include "wakesend.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The sockets that send a wake plan's packets: a packet socket on each interface for
// the Ethernet frame, which needs CAP_NET_RAW, and a UDP socket bound to each interface
// (which needed CAP_NET_RAW before Linux 5.7), with one more for the addresses of --to.
// The program opens them before it gives its capabilities up; a socket that could not
// be opened makes each packet that needs it fail with why.
class WakeSender final
{
public:
    WakeSender(const WakePlan &plan, const std::vector<SendInterface> &interfaces);
    ~WakeSender();
    WakeSender(const WakeSender &) = delete;
    WakeSender &operator=(const WakeSender &) = delete;

    // Whether this process may send Ethernet frames of its own (CAP_NET_RAW).
    static bool CanSendFrames();

    // Sends one packet now; `timeNs` is the time the event gets.
    SentPacket Send(const WakeSend &send, ByteView password, std::int64_t timeNs);

private:
    struct Socket
    {
        int fd = -1;
        std::string error; // why it could not be opened
    };
    struct Link
    {
        int index = 0;
        MacAddress mac{};
        Socket packet; // for the Ethernet frame
        Socket udp;    // bound to the interface
    };

    std::map<std::string, Link> m_links;
    Socket m_routed; // for --to
};
