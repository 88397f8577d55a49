#pragma once

#include "kernelhelpers.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QtGlobal>

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>

// `address` in host byte order.
inline sockaddr_in Ipv4SocketAddress(std::uint32_t address, quint16 port)
{
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    socketAddress.sin_addr.s_addr = htonl(address);
    return socketAddress;
}

// `address` as a dotted quad.
inline sockaddr_in Ipv4SocketAddress(const char *address, quint16 port)
{
    sockaddr_in socketAddress = Ipv4SocketAddress(INADDR_ANY, port);
    ::inet_pton(AF_INET, address, &socketAddress.sin_addr);
    return socketAddress;
}

// An ordinary UDP socket bound to an ephemeral port, allowed to send broadcasts.
class UdpSender final
{
public:
    explicit UdpSender(const char *bindAddress = "127.0.0.1") : UdpSender(Ipv4SocketAddress(bindAddress, 0)) {}
    explicit UdpSender(std::uint32_t bindAddress) : UdpSender(Ipv4SocketAddress(bindAddress, 0)) {}
    Q_DISABLE_COPY_MOVE(UdpSender)

    bool valid() const { return m_socket.valid() && m_port != 0; }
    quint16 port() const { return m_port; }

    bool SetIpOptions(const QByteArray &options)
    {
        return ::setsockopt(m_socket.get(), IPPROTO_IP, IP_OPTIONS, options.constData(),
                            socklen_t(options.size())) == 0;
    }

    bool Send(const char *address, quint16 port, QByteArrayView payload) const
    {
        return Send(Ipv4SocketAddress(address, port), payload);
    }
    bool Send(std::uint32_t address, quint16 port, QByteArrayView payload) const
    {
        return Send(Ipv4SocketAddress(address, port), payload);
    }

private:
    explicit UdpSender(sockaddr_in local)
        : m_socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        const int on = 1;
        ::setsockopt(m_socket.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        if (::bind(m_socket.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) == 0) {
            socklen_t length = sizeof local;
            ::getsockname(m_socket.get(), reinterpret_cast<sockaddr *>(&local), &length);
            m_port = ntohs(local.sin_port);
        }
    }

    bool Send(const sockaddr_in &target, QByteArrayView payload) const
    {
        return ::sendto(m_socket.get(), payload.data(), size_t(payload.size()), 0,
                        reinterpret_cast<const sockaddr *>(&target), sizeof target)
            == ssize_t(payload.size());
    }

    FileDescriptor m_socket;
    quint16 m_port = 0;
};
