#pragma once

#include "datagram.h"
#include "packetreport.h"
#include "socketcalls.h"

#include <functional>
#include <memory>
#include <string>

// Reads every UDP datagram that reaches this machine from a raw WinSock socket,
// one per readiness message to its own hidden window, and reports magic packets
// and failed receives through OnDataAvailable.
class TPacketListener final
{
public:
    static constexpr int kBufferSize = 2076;
    static constexpr unsigned kReadinessMessage = WM_USER + 350;
    static constexpr unsigned short kBoundPort = 7;

    explicit TPacketListener(SocketCalls &calls = SystemSocketCalls());
    ~TPacketListener();
    TPacketListener(const TPacketListener &) = delete;
    TPacketListener &operator=(const TPacketListener &) = delete;

    bool StartListening();
    void StopListening();
    void ReceiveDatagram();

    bool IsListening() const { return m_isListening; }
    const std::string &LastError() const { return m_lastError; }
    // The WinSock code of the last failure, which LastError tells in words; 0 before any.
    int LastErrorCode() const { return m_lastErrorCode; }
    HWND NotificationWindow() const { return m_window; }

    std::function<void(const PacketReport &)> OnDataAvailable;

private:
    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void Notify(PacketReport report);
    void NoteSocketError();

    SocketCalls &m_calls;
    std::unique_ptr<std::uint8_t[]> m_buffer;
    const HeaderSizes m_sizes;
    HWND m_window = nullptr;
    SOCKET m_socket = INVALID_SOCKET;
    bool m_isListening = false;
    int m_startupResult = 0;
    WSADATA m_socketLibraryData{};
    std::string m_lastError;
    int m_lastErrorCode = 0;
};
