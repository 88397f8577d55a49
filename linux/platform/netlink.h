#pragma once

#include <libmnl/libmnl.h>

#include <cstddef>
#include <cstdint>
#include <memory>

struct MnlSocketCloser
{
    void operator()(mnl_socket *socket) const { mnl_socket_close(socket); }
};
using MnlSocket = std::unique_ptr<mnl_socket, MnlSocketCloser>;

// A netlink socket of `bus`, bound, whose receives give up after `patienceSeconds`;
// null when it cannot be had.
MnlSocket OpenNetlink(int bus, int patienceSeconds);

// One rtnetlink dump, such as RTM_GETLINK or RTM_GETNEIGH, of every address family:
// `familyHeaderSize` is the size of the message's own header (ifinfomsg, ndmsg), and
// `callback` gets each message of the answer. False when the kernel could not be
// asked or did not answer in time.
bool RouteDump(std::uint16_t type, std::size_t familyHeaderSize, mnl_cb_t callback, void *data, int patienceSeconds);
