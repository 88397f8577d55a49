#pragma once

// Magic packets and other datagrams sent over the loopback interface, for the
// tests that watch the real socket library. Only 127.0.0.1 is ever sent to.

#include <winsock.h>

#include <cstdint>
#include <string>
#include <vector>

class Sender
{
public:
    Sender()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 0), &data);
        m_socket = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = inet_addr("127.0.0.1");
        bind(m_socket, reinterpret_cast<const sockaddr *>(&local), sizeof local);
        int length = sizeof local;
        getsockname(m_socket, reinterpret_cast<sockaddr *>(&local), &length);
        m_port = ntohs(local.sin_port);
    }
    ~Sender()
    {
        closesocket(m_socket);
        WSACleanup();
    }

    std::uint16_t Port() const { return m_port; }

    bool SendTo(std::uint16_t port, const std::vector<std::uint8_t> &payload)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = inet_addr("127.0.0.1");
        return sendto(m_socket, reinterpret_cast<const char *>(payload.data()), int(payload.size()), 0,
                      reinterpret_cast<const sockaddr *>(&to), sizeof to) == int(payload.size());
    }

private:
    SOCKET m_socket = INVALID_SOCKET;
    std::uint16_t m_port = 0;
};

// A MAC address of this run's own, so that other traffic on the machine is told apart.
inline std::vector<std::uint8_t> RunMac(std::uint8_t last)
{
    const DWORD salt = GetTickCount() ^ (GetCurrentProcessId() << 8);
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
    std::string text;
    for (std::uint8_t byte : mac) {
        char pair[4];
        wsprintfA(pair, text.empty() ? "%02X" : "-%02X", byte);
        text += pair;
    }
    return text;
}
