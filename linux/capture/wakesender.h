#pragma once

#include "wakeengine.h"
#include "wakesend.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// The sockets that send a wake plan's packets: a packet socket on each interface for
// the Ethernet frame, which needs CAP_NET_RAW, and a UDP socket bound to each interface
// (which needed CAP_NET_RAW before Linux 5.7), with one more for the addresses of --to.
// The program opens them before it gives its capabilities up; a socket that could not
// be opened makes each packet that needs it fail with why.
class WakeSender final : public MagicSender, public MachineAsker
{
public:
    // `echo`: open the socket for ICMP echo too (--ip), a raw one while the capability
    // is held, or else the unprivileged ping socket where the system allows it.
    WakeSender(const WakePlan &plan, const std::vector<SendInterface> &interfaces, bool echo = false);
    ~WakeSender();
    WakeSender(const WakeSender &) = delete;
    WakeSender &operator=(const WakeSender &) = delete;

    // Whether this process may send Ethernet frames of its own (CAP_NET_RAW).
    static bool CanSendFrames();

    // Sends one packet now.
    std::string Send(const WakeSend &send, ByteView password) override;
    // By ARP: asks who has the address on the question's interface, from this
    // machine's address there; the capture sees the answer. By ICMP echo: sends an
    // echo request, whose reply comes at EchoSocket(). Without the echo socket `why`
    // says why; a missing packet socket was told already, with the Ethernet frame's.
    bool Ask(const WakeQuestion &question, std::string &why) override;
    // The echo socket, to watch for replies; -1 when there is none.
    int EchoSocket() const { return m_echo.fd; }
    // Reads what came at the echo socket: the addresses that answered this program's
    // echo requests.
    std::vector<Ipv4Octets> EchoReplies();

private:
    bool AskArp(const std::string &interfaceName, const Ipv4Octets &address);
    bool AskEcho(const Ipv4Octets &address);

    struct Socket
    {
        int fd = -1;
        std::string error; // why it could not be opened
    };
    struct Link
    {
        int index = 0;
        MacAddress mac{};
        Socket packet; // for the Ethernet frame and ARP requests
        Socket udp;    // bound to the interface
        std::optional<Ipv4Network> ipv4;
    };

    // Sends a whole Ethernet frame to the broadcast MAC through the link's packet socket.
    static bool SendFrame(const Link &link, const std::vector<std::uint8_t> &frame);

    std::map<std::string, Link> m_links;
    Socket m_routed; // for --to
    Socket m_echo;   // for ICMP echo
    bool m_echoRaw = false; // a raw socket, which sees every ICMP message with its IP header
    std::uint16_t m_echoId = 0;
    std::uint16_t m_echoSequence = 0;
};
