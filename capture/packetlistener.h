#pragma once

#include "datagram.h"
#include "packetreport.h"
#include "socketcalls.h"

#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

// Watches a raw IPv4 socket for UDP and hands every magic packet, and every
// failed receive, to OnDataAvailable. Runs on the thread that created it.
class TPacketListener final
{
public:
    explicit TPacketListener(SocketCalls &calls = SystemSocketCalls());
    ~TPacketListener();
    Q_DISABLE_COPY_MOVE(TPacketListener)

    std::function<void(const PacketReport &)> OnDataAvailable;

    bool StartListening();
    void StopListening();
    void ReceiveDatagram();
    // Reports drops that no datagram has told of yet, as a receive would; for an
    // owner that is about to stop listening.
    void ReportPendingDrops();

    bool IsListening() const { return m_isListening; }
    const std::string &LastError() const { return m_lastError; }
    // How many datagrams the kernel dropped at the socket, for a failure
    // notification that reports such drops; 0 after any other failure.
    std::uint32_t LastDropCount() const { return m_lastDropCount; }

    static constexpr int kBufferSize = 2076;
    static constexpr int kIpHeaderSize = 20;
    static constexpr int kUdpHeaderSize = 8;

private:
    void ReportFailure(const std::string &text, std::uint32_t dropCount = 0);
    void ReportDropsUpTo(std::uint32_t droppedSoFar);

    SocketCalls &m_calls;
    std::vector<std::uint8_t> m_buffer;
    const HeaderSizes m_sizes{kIpHeaderSize, kUdpHeaderSize, kIpHeaderSize + kUdpHeaderSize};
    std::unique_ptr<QSocketNotifier> m_notifier;
    int m_socket = -1;
    bool m_isListening = false;
    int m_startupResult = 0;
    std::string m_lastError;
    std::uint32_t m_droppedSoFar = 0;
    std::uint32_t m_lastDropCount = 0;
};
