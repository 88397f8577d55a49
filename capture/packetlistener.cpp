#include "packetlistener.h"

#include "errnocodes.h"
#include "socketerrors.h"

#include <QSocketNotifier>

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
        m_lastError = SocketErrorText(m_calls.LastError());
        return false;
    }
    if (m_calls.Bind(m_socket) != 0 || m_calls.Arm(m_socket) != 0) {
        m_lastError = SocketErrorText(m_calls.LastError());
        return false;
    }

    // Level-triggered: while datagrams wait, every pass of the event loop
    // activates the notifier again, and each activation reads one.
    m_notifier = std::make_unique<QSocketNotifier>(m_socket, QSocketNotifier::Read);
    QObject::connect(m_notifier.get(), &QSocketNotifier::activated, m_notifier.get(),
                     [this] { ReceiveDatagram(); });
    m_isListening = true;
    return true;
}

void TPacketListener::StopListening()
{
    if (m_socket < 0)
        return;
    // The notifier must let go of the descriptor before it is closed.
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier.reset();
    }
    m_calls.Close(m_socket);
    m_socket = -1;
    m_isListening = false;
}

void TPacketListener::ReceiveDatagram()
{
    std::uint32_t droppedSoFar = m_droppedSoFar;
    const ssize_t received = m_calls.Receive(m_socket, m_buffer.data(), m_buffer.size(), droppedSoFar);
    // Told before the datagram that came after the drops.
    if (received >= 0)
        ReportDropsUpTo(droppedSoFar);
    if (received > kBufferSize) {
        ReportFailure(SocketErrorText(kWsaEMsgSize));
        return;
    }
    if (received > m_sizes.headers) {
        const auto decoded = DecodeDatagram(ByteView(m_buffer.data(), std::size_t(received)), m_sizes);
        if (decoded && !decoded->mac.empty() && OnDataAvailable) {
            OnDataAvailable({this, decoded->sourceAddress, decoded->destinationAddress, decoded->mac,
                             decoded->sourcePort, decoded->destinationPort, false});
        }
    } else if (received < 0) {
        ReportFailure(SocketErrorText(m_calls.LastError()));
    }
}

void TPacketListener::ReportPendingDrops()
{
    std::uint32_t droppedSoFar = m_droppedSoFar;
    if (m_socket >= 0 && m_calls.DropCount(m_socket, droppedSoFar) == 0)
        ReportDropsUpTo(droppedSoFar);
}

// A full queue is a failure of the capture: said once for each growth of the count.
void TPacketListener::ReportDropsUpTo(std::uint32_t droppedSoFar)
{
    if (droppedSoFar == m_droppedSoFar)
        return;
    const std::uint32_t dropped = droppedSoFar - m_droppedSoFar;
    m_droppedSoFar = droppedSoFar;
    ReportFailure(SocketErrorText(kWsaENoBufs), dropped);
}

void TPacketListener::ReportFailure(const std::string &text, std::uint32_t dropCount)
{
    m_lastError = text;
    m_lastDropCount = dropCount;
    if (OnDataAvailable)
        OnDataAvailable({this, {}, {}, {}, 0, 0, true});
}
