#include "wakesender.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

std::string Opened(int fd, const char *what)
{
    return fd >= 0 ? std::string() : std::string("could not open ") + what + ": " + ErrnoText(errno);
}

// A UDP socket that may send to broadcast addresses, bound to `interfaceName` when one is given.
int OpenUdp(const std::string &interfaceName, std::string &error)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    error = Opened(fd, "a UDP socket");
    if (fd < 0)
        return -1;
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0
        || (!interfaceName.empty()
            && ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interfaceName.c_str(),
                            socklen_t(interfaceName.size())) != 0)) {
        error = "could not bind a UDP socket to " + interfaceName + ": " + ErrnoText(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

void Close(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

} // namespace

WakeSender::WakeSender(const WakePlan &plan, const std::vector<SendInterface> &interfaces, bool echo)
{
    bool routed = false;
    for (const WakeSend &send : plan.sends) {
        if (send.form == SendForm::Address) {
            routed = true;
            continue;
        }
        if (m_links.count(send.interfaceName) > 0)
            continue;
        Link &link = m_links[send.interfaceName];
        link.index = int(::if_nametoindex(send.interfaceName.c_str()));
        for (const SendInterface &interface : interfaces)
            if (interface.name == send.interfaceName) {
                link.mac = interface.mac;
                link.ipv4 = interface.ipv4;
            }
        link.udp.fd = OpenUdp(send.interfaceName, link.udp.error);
    }
    for (const WakeSend &send : plan.sends) {
        Link &link = m_links[send.interfaceName];
        if (send.form != SendForm::Ethernet || link.packet.fd >= 0 || !link.packet.error.empty())
            continue;
        // Protocol 0: the socket sends and receives nothing.
        link.packet.fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        link.packet.error = Opened(link.packet.fd, "a packet socket (it needs CAP_NET_RAW)");
    }
    if (routed)
        m_routed.fd = OpenUdp({}, m_routed.error);
    if (echo) {
        m_echo.fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
        m_echoRaw = m_echo.fd >= 0;
        if (!m_echoRaw)
            m_echo.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
        m_echo.error = m_echo.fd >= 0 ? std::string()
                                      : "no ICMP socket: a raw one needs CAP_NET_RAW, and net.ipv4.ping_group_range "
                                        "allows no ping socket to this user: "
                + ErrnoText(errno);
        m_echoId = std::uint16_t(::getpid());
    }
}

bool WakeSender::CanSendFrames()
{
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    Close(fd);
    return fd >= 0;
}

WakeSender::~WakeSender()
{
    for (auto &[name, link] : m_links) {
        Close(link.packet.fd);
        Close(link.udp.fd);
    }
    Close(m_routed.fd);
    Close(m_echo.fd);
}

std::string WakeSender::Send(const WakeSend &send, ByteView password)
{
    const auto link = m_links.find(send.interfaceName);
    if (send.form == SendForm::Ethernet) {
        if (link == m_links.end() || link->second.packet.fd < 0)
            return link == m_links.end() ? "no socket for it" : link->second.packet.error;
        if (!SendFrame(link->second, MagicFrame(link->second.mac, send.mac, password)))
            return ErrnoText(errno);
        return {};
    }

    const Socket *socket = send.form == SendForm::Address ? &m_routed
                           : link != m_links.end()       ? &link->second.udp
                                                         : nullptr;
    if (!socket || socket->fd < 0 || !send.address)
        return !socket ? "no socket for it" : socket->fd < 0 ? socket->error : "no address to send to";
    const std::vector<std::uint8_t> payload = MagicPayload(send.mac, password);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(send.port);
    std::memcpy(&to.sin_addr, send.address->data(), 4);
    if (::sendto(socket->fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0)
        return ErrnoText(errno);
    return {};
}

bool WakeSender::Ask(const WakeQuestion &question, std::string &why)
{
    if (question.way == AskedOnly::Way::Arp)
        return AskArp(question.link.name, question.address);
    if (m_echo.fd < 0) {
        why = m_echo.error;
        return false;
    }
    return AskEcho(question.address);
}

bool WakeSender::AskArp(const std::string &interfaceName, const Ipv4Octets &address)
{
    const auto found = m_links.find(interfaceName);
    if (found == m_links.end() || found->second.packet.fd < 0 || !found->second.ipv4)
        return false;
    const Link &link = found->second;
    return SendFrame(link, ArpRequestFrame(link.mac, link.ipv4->address, address));
}

bool WakeSender::SendFrame(const Link &link, const std::vector<std::uint8_t> &frame)
{
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = link.index;
    to.sll_halen = 6;
    std::memset(to.sll_addr, 0xFF, 6);
    return ::sendto(link.packet.fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) >= 0;
}

namespace {

std::uint16_t Checksum(const std::uint8_t *data, std::size_t size)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2)
        sum += std::uint32_t(data[i]) << 8 | data[i + 1];
    if (size % 2 != 0)
        sum += std::uint32_t(data[size - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return std::uint16_t(~sum);
}

constexpr std::uint8_t kEchoReply = 0;
constexpr std::uint8_t kEchoRequest = 8;

} // namespace

bool WakeSender::AskEcho(const Ipv4Octets &address)
{
    if (m_echo.fd < 0)
        return false;
    ++m_echoSequence;
    // Type, code, checksum, identifier (the kernel sets its own on a ping socket), sequence, a payload.
    std::uint8_t message[16] = {kEchoRequest, 0, 0, 0, std::uint8_t(m_echoId >> 8), std::uint8_t(m_echoId),
                                std::uint8_t(m_echoSequence >> 8), std::uint8_t(m_echoSequence),
                                'c', 'o', 'r', 'v', 'a', 'l', 'e', 'n'};
    const std::uint16_t sum = Checksum(message, sizeof message);
    message[2] = std::uint8_t(sum >> 8);
    message[3] = std::uint8_t(sum);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr, address.data(), 4);
    return ::sendto(m_echo.fd, message, sizeof message, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) >= 0;
}

std::vector<Ipv4Octets> WakeSender::EchoReplies()
{
    std::vector<Ipv4Octets> answered;
    for (;;) {
        std::uint8_t packet[1500];
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size = ::recvfrom(m_echo.fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr *>(&from),
                                        &fromSize);
        if (size <= 0)
            return answered;
        // A raw socket's datagram begins with the IP header; a ping socket's with the ICMP message.
        std::size_t offset = 0;
        if (m_echoRaw) {
            offset = std::size_t(packet[0] & 0x0F) * 4;
            if (std::size_t(size) < offset + 8)
                continue;
        } else if (size < 8) {
            continue;
        }
        const std::uint8_t *icmp = packet + offset;
        const std::uint16_t id = std::uint16_t(icmp[4] << 8 | icmp[5]);
        if (icmp[0] != kEchoReply || (m_echoRaw && id != m_echoId))
            continue;
        Ipv4Octets address{};
        std::memcpy(address.data(), &from.sin_addr, 4);
        answered.push_back(address);
    }
}
