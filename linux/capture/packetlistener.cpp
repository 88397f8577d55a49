#include "packetlistener.h"

#include "errnocodes.h"
#include "socketerrors.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>

TPacketListener::TPacketListener(SocketCalls &calls)
    : m_calls(calls)
    , m_buffer(kBufferSize)
    , m_startupResult(calls.Startup())
{
}

TPacketListener::~TPacketListener()
{
    StopListening();
    if (m_startupResult == 0)
        m_calls.Cleanup();
}

bool TPacketListener::StartListening()
{
    if (m_startupResult != 0) {
        m_lastError = StartupFailureText(m_startupResult);
        return false;
    }

    m_socket = m_calls.Open();
    if (m_socket < 0) {
        m_socket = -1;
        m_lastError = SocketErrorTextFromErrno(m_calls.LastError());
        return false;
    }
    if (m_calls.Bind(m_socket) != 0 || m_calls.Arm(m_socket) != 0) {
        m_lastError = SocketErrorTextFromErrno(m_calls.LastError());
        return false;
    }

    // Level-triggered: while datagrams wait, every pass of the event loop
    // activates the notifier again, and each activation reads one, or starts
    // the wait of a batch.
    m_notifier = std::make_unique<QSocketNotifier>(m_socket, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(), [this] {
        if (m_batchDelayMs == 0) {
            ReceiveDatagram();
            return;
        }
        m_notifier->setEnabled(false);
        m_batchTimer->start(m_batchDelayMs);
    });
    m_isListening = true;
    return true;
}

void TPacketListener::StopListening()
{
    if (m_socket < 0)
        return;
    if (m_batchTimer)
        m_batchTimer->stop();
    // The notifier must let go of the descriptor before it is closed.
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier.reset();
    }
    m_calls.Close(m_socket);
    m_socket = -1;
    m_isListening = false;
}

void TPacketListener::SetBatchDelay(int delayMs)
{
    m_batchDelayMs = std::max(delayMs, 0);
    if (m_batchDelayMs == 0 || m_batchTimer)
        return;
    m_batchTimer = std::make_unique<QTimer>();
    m_batchTimer->setSingleShot(true);
    QObject::connect(m_batchTimer.get(), &QTimer::timeout, m_batchTimer.get(), [this] { ReceiveBatch(); });
}

void TPacketListener::ReceiveDatagram()
{
    ReceiveOne(false);
}

// False when the batch was cut short and more may wait.
bool TPacketListener::ReadQueue()
{
    for (int read = 0; read < kMaxBatch; ++read) {
        // The owner may stop listening from its callback.
        if (!m_isListening || ReceiveOne(true) != Read::Datagram)
            return true;
    }
    return false;
}

void TPacketListener::ReceiveBatch()
{
    if (!ReadQueue()) {
        m_batchTimer->start(0); // the rest of the program gets a turn first
        return;
    }
    if (m_notifier)
        m_notifier->setEnabled(true);
}

void TPacketListener::ReceiveQueued()
{
    const bool emptied = ReadQueue();
    if (!m_isListening || m_batchDelayMs == 0)
        return;
    // The owner is likely to come back before the batch delay is over; readiness
    // waits till then.
    m_notifier->setEnabled(false);
    m_batchTimer->start(emptied ? m_batchDelayMs : 0);
}

// In a batch the queue running empty ends the batch; otherwise readiness said a
// datagram was there, so not finding one is a failure like any other.
TPacketListener::Read TPacketListener::ReceiveOne(bool inBatch)
{
    ReceiveDetails details{m_droppedSoFar};
    const ssize_t received = m_calls.Receive(m_socket, m_buffer.data(), m_buffer.size(), details);
    if (received < 0) {
        const int error = m_calls.LastError();
        if (inBatch && (error == EAGAIN || error == EWOULDBLOCK))
            return Read::NothingQueued;
        ReportFailure(SocketErrorTextFromErrno(error));
        return Read::Failure;
    }
    // Told before the datagram that came after the drops.
    ReportDropsUpTo(details.droppedSoFar, details.kernelTime);
    if (received > kBufferSize) {
        ReportFailure(SocketErrorTextFromErrno(EMSGSIZE));
    } else if (received > m_sizes.headers) {
        const auto fields = ReadDatagram(ByteView(m_buffer.data(), std::size_t(received)), m_sizes);
        if (fields && fields->mac && OnDataAvailable)
            OnDataAvailable(MagicReport(this, *fields, details.kernelTime));
    }
    return Read::Datagram;
}

void TPacketListener::ReportPendingDrops()
{
    std::uint32_t droppedSoFar = m_droppedSoFar;
    if (m_socket >= 0 && m_calls.DropCount(m_socket, droppedSoFar) == 0)
        ReportDropsUpTo(droppedSoFar);
}

// A full queue is a failure of the capture: said once for each growth of the count.
void TPacketListener::ReportDropsUpTo(std::uint32_t droppedSoFar, std::optional<RealTime> kernelTime)
{
    if (droppedSoFar == m_droppedSoFar)
        return;
    const std::uint32_t dropped = droppedSoFar - m_droppedSoFar;
    m_droppedSoFar = droppedSoFar;
    ReportFailure(SocketErrorTextFromErrno(ENOBUFS), dropped, kernelTime);
}

void TPacketListener::ReportFailure(const std::string &text, std::uint32_t dropCount, std::optional<RealTime> kernelTime)
{
    m_lastError = text;
    m_lastDropCount = dropCount;
    if (OnDataAvailable)
        OnDataAvailable({this, {}, {}, {}, 0, 0, true, kernelTime, {}});
}
