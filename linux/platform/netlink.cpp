#include "netlink.h"

#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <ctime>
#include <vector>

MnlSocket OpenNetlink(int bus, int patienceSeconds)
{
    MnlSocket socket(mnl_socket_open(bus));
    if (!socket || mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) < 0)
        return nullptr;
    const timeval patience{patienceSeconds, 0};
    setsockopt(mnl_socket_get_fd(socket.get()), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    return socket;
}

bool RouteDump(std::uint16_t type, std::size_t familyHeaderSize, mnl_cb_t callback, void *data, int patienceSeconds)
{
    const MnlSocket socket = OpenNetlink(NETLINK_ROUTE, patienceSeconds);
    if (!socket)
        return false;
    std::array<char, 256> request{};
    nlmsghdr *const header = mnl_nlmsg_put_header(request.data());
    header->nlmsg_type = type;
    header->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header->nlmsg_seq = std::uint32_t(std::time(nullptr));
    // Its family byte comes first and stays 0: AF_UNSPEC, every family.
    mnl_nlmsg_put_extra_header(header, familyHeaderSize);
    if (mnl_socket_sendto(socket.get(), header, header->nlmsg_len) < 0)
        return false;
    std::vector<char> answer(32768); // what the kernel puts in one datagram of a dump
    int result = MNL_CB_OK;
    while (result > MNL_CB_STOP) {
        const ssize_t received = mnl_socket_recvfrom(socket.get(), answer.data(), answer.size());
        if (received <= 0)
            return false;
        result = mnl_cb_run(answer.data(), size_t(received), header->nlmsg_seq, mnl_socket_get_portid(socket.get()),
                            callback, data);
    }
    return result != MNL_CB_ERROR;
}
