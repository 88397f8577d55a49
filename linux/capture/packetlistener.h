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
class QTimer;

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
    // Reads in batches: the first datagram to arrive waits `delayMs` for those that
    // follow, then every one queued is read in one pass. For an owner that does not
    // show a datagram the moment it comes, this costs one wake-up per batch instead
    // of one per datagram. 0, the default, reads each datagram as it comes.
    void SetBatchDelay(int delayMs);
    // Reads every datagram queued by now, at once; for an owner that is awake anyway.
    void ReceiveQueued();
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
    // At most this many are read in one pass of the event loop.
    static constexpr int kMaxBatch = 4096;

private:
    enum class Read { Datagram, Failure, NothingQueued };
    Read ReceiveOne(bool inBatch);
    bool ReadQueue();
    void ReceiveBatch();
    void ReportFailure(const std::string &text, std::uint32_t dropCount = 0,
                       std::optional<RealTime> kernelTime = std::nullopt);
    // `kernelTime`: when the datagram that told of the drops came; nothing for now.
    void ReportDropsUpTo(std::uint32_t droppedSoFar, std::optional<RealTime> kernelTime = std::nullopt);

    SocketCalls &m_calls;
    std::vector<std::uint8_t> m_buffer;
    const HeaderSizes m_sizes{kIpHeaderSize, kUdpHeaderSize, kIpHeaderSize + kUdpHeaderSize};
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::unique_ptr<QTimer> m_batchTimer;
    int m_batchDelayMs = 0;
    int m_socket = -1;
    bool m_isListening = false;
    int m_startupResult = 0;
    std::string m_lastError;
    std::uint32_t m_droppedSoFar = 0;
    std::uint32_t m_lastDropCount = 0;
};
