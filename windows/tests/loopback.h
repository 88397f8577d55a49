#pragma once

// Datagrams over the loopback interface for the tests that watch real WinSock.
// Only 127.0.0.1 is ever sent to.

#include <winsock.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class Sender
{
public:
    Sender()
    {
        WSAStartup(MAKEWORD(2, 0), &m_data);
        m_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in local = Loopback(0);
        bind(m_socket, reinterpret_cast<const sockaddr *>(&local), sizeof local);
        int length = sizeof local;
        getsockname(m_socket, reinterpret_cast<sockaddr *>(&local), &length);
        m_port = ntohs(local.sin_port);
    }
    ~Sender() { closesocket(m_socket), WSACleanup(); }

    std::uint16_t Port() const { return m_port; }

    bool SendTo(std::uint16_t port, const std::vector<std::uint8_t> &payload)
    {
        const sockaddr_in to = Loopback(port);
        return sendto(m_socket, reinterpret_cast<const char *>(payload.data()), int(payload.size()), 0,
                      reinterpret_cast<const sockaddr *>(&to), sizeof to) == int(payload.size());
    }

private:
    static sockaddr_in Loopback(std::uint16_t port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        return address;
    }

    WSADATA m_data{};
    SOCKET m_socket = INVALID_SOCKET;
    std::uint16_t m_port = 0;
};

// A MAC address of this run's own (locally administered), told apart from other traffic.
inline std::vector<std::uint8_t> RunMac(std::uint8_t last)
{
    static const DWORD salt = GetTickCount() ^ (GetCurrentProcessId() << 8);
    return {0x02, std::uint8_t(salt >> 16), std::uint8_t(salt >> 8), std::uint8_t(salt), 0xC0, last};
}

inline std::vector<std::uint8_t> MagicPayload(const std::vector<std::uint8_t> &mac)
{
    std::vector<std::uint8_t> payload(6, 0xFF);
    for (int copy = 0; copy < 16; ++copy)
        payload.insert(payload.end(), mac.begin(), mac.end());
    return payload;
}

inline std::string MacText(const std::vector<std::uint8_t> &mac)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}
