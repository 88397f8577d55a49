// A sleeping machine for the tests of --wake, run inside the target's network
// namespace. It answers nothing (ARP and ICMP echo ignored) until a magic packet for
// its interface's MAC arrives in any form; then, after a delay, it "boots": it sends a
// gratuitous ARP (unless --silent) and answers ARP and ICMP echo from then on.
// Each form of magic packet that reached it is written to standard output, a line
// each: "ethernet", or "udp ADDRESS PORT"; "booted" when it booted.
// Usage: wakeresponder INTERFACE BOOT_DELAY_MS [--silent] [--never]
#include "wireframe.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace {

bool WriteSysctl(const std::string &path, const char *value)
{
    std::ofstream file(path);
    file << value;
    return bool(file);
}

// The kernel of a sleeping machine answers nothing; one that is up answers as usual.
bool Asleep(bool asleep)
{
    return WriteSysctl("/proc/sys/net/ipv4/conf/all/arp_ignore", asleep ? "8" : "0")
           && WriteSysctl("/proc/sys/net/ipv4/icmp_echo_ignore_all", asleep ? "1" : "0");
}

bool InterfaceAddresses(const char *name, MacAddress &mac, Ipv4Octets &address)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    const bool gotMac = ::ioctl(fd, SIOCGIFHWADDR, &request) == 0;
    std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, mac.size());
    const bool gotAddress = ::ioctl(fd, SIOCGIFADDR, &request) == 0;
    std::memcpy(address.data(), &reinterpret_cast<sockaddr_in *>(&request.ifr_addr)->sin_addr, 4);
    ::close(fd);
    return gotMac && gotAddress;
}

// "Who has ADDRESS? Tell ADDRESS", to the broadcast MAC: the machine announcing itself.
void GratuitousArp(int fd, int index, const MacAddress &mac, const Ipv4Octets &address)
{
    std::uint8_t frame[42];
    std::memset(frame, 0xFF, 6);
    std::memcpy(frame + 6, mac.data(), 6);
    frame[12] = 0x08;
    frame[13] = 0x06;
    const std::uint8_t header[8] = {0, 1, 8, 0, 6, 4, 0, 1};
    std::memcpy(frame + 14, header, 8);
    std::memcpy(frame + 22, mac.data(), 6);
    std::memcpy(frame + 28, address.data(), 4);
    std::memset(frame + 32, 0, 6);
    std::memcpy(frame + 38, address.data(), 4);
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = index;
    to.sll_halen = 6;
    std::memset(to.sll_addr, 0xFF, 6);
    ::sendto(fd, frame, sizeof frame, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s INTERFACE BOOT_DELAY_MS [--silent] [--never]\n", argv[0]);
        return 2;
    }
    const char *name = argv[1];
    const int delayMs = std::atoi(argv[2]);
    bool silent = false;
    bool never = false;
    for (int i = 3; i < argc; ++i) {
        silent = silent || std::strcmp(argv[i], "--silent") == 0;
        never = never || std::strcmp(argv[i], "--never") == 0;
    }
    MacAddress mac{};
    Ipv4Octets address{};
    const int index = int(::if_nametoindex(name));
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    sockaddr_ll here{};
    here.sll_family = AF_PACKET;
    here.sll_protocol = htons(ETH_P_ALL);
    here.sll_ifindex = index;
    if (index == 0 || fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&here), sizeof here) != 0
        || !InterfaceAddresses(name, mac, address) || !Asleep(true)) {
        std::perror("wakeresponder");
        return 1;
    }
    std::printf("asleep\n");
    std::fflush(stdout);

    bool woken = false;
    std::chrono::steady_clock::time_point bootAt;
    for (;;) {
        if (woken && std::chrono::steady_clock::now() >= bootAt)
            break;
        pollfd ready{fd, POLLIN, 0};
        const int waitMs = woken ? int(std::max<long long>(
                                       0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                              bootAt - std::chrono::steady_clock::now())
                                              .count()))
                                 : -1;
        if (::poll(&ready, 1, waitMs) <= 0)
            continue;
        std::uint8_t frame[2048];
        sockaddr_ll from{};
        socklen_t fromSize = sizeof from;
        const ssize_t size =
            ::recvfrom(fd, frame, sizeof frame, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &fromSize);
        if (size <= 0 || from.sll_pkttype == PACKET_OUTGOING)
            continue;
        const std::optional<WireFrame> decoded = DecodeFrame(ByteView(frame, std::size_t(size)));
        if (!decoded || decoded->magic.kind != MagicKind::Magic || decoded->magic.mac != mac)
            continue;
        if (decoded->carrier == Carrier::Ethernet) {
            std::printf("ethernet\n");
        } else {
            Ipv4Octets to{};
            std::copy_n(decoded->destinationAddress.begin(), 4, to.begin());
            std::printf("udp %s %u\n", FormatIpv4(to).c_str(), unsigned(decoded->destinationPort));
        }
        std::fflush(stdout);
        if (!woken && !never) {
            woken = true;
            bootAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
        }
    }
    Asleep(false);
    if (!silent)
        GratuitousArp(fd, index, mac, address);
    std::printf("booted\n");
    std::fflush(stdout);
    // Up now: the kernel answers ARP and ICMP echo until the test ends this process.
    for (;;)
        std::this_thread::sleep_for(std::chrono::seconds(60));
}
