#include "wakesender.h"

#include "socketerrors.h"

#include <algorithm>
#include <cstring>

namespace {

sockaddr_in SocketAddress(const Ipv4Octets &address, std::uint16_t port)
{
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(port);
    std::memcpy(&socketAddress.sin_addr, address.data(), address.size());
    return socketAddress;
}

// How long an ICMP echo request waits for its reply: well inside the interval.
constexpr DWORD kEchoTimeoutMs = 1000;

} // namespace

std::int64_t SystemTimeNs()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::int64_t ticks = std::int64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime; // 100 ns since 1601
    constexpr std::int64_t kEpochTicks = 116444736000000000;
    return (ticks - kEpochTicks) * 100;
}

WakeSender::Socket WakeSender::Open(const Ipv4Octets *bindTo)
{
    Socket opened;
    opened.handle = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (opened.handle == INVALID_SOCKET) {
        opened.error = SocketErrorText(WSAGetLastError());
        return opened;
    }
    const BOOL on = TRUE;
    bool ready = setsockopt(opened.handle, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&on), sizeof on)
                 == 0;
    if (ready && bindTo) {
        const sockaddr_in local = SocketAddress(*bindTo, 0);
        ready = bind(opened.handle, reinterpret_cast<const sockaddr *>(&local), sizeof local) == 0;
    }
    if (!ready) {
        opened.error = SocketErrorText(WSAGetLastError());
        closesocket(opened.handle);
        opened.handle = INVALID_SOCKET;
    }
    return opened;
}

WakeSender::WakeSender(const WakePlan &plan, const std::vector<SendAdapter> &adapters)
{
    WSADATA data;
    const int started = WSAStartup(MAKEWORD(2, 0), &data);
    m_started = started == 0;
    if (!m_started) {
        m_startFailure = SocketErrorText(started);
        return;
    }
    for (const WakeSend &send : plan.sends) {
        if (send.form == SendForm::Address) {
            if (m_routed.handle == INVALID_SOCKET && m_routed.error.empty())
                m_routed = Open(nullptr);
            continue;
        }
        if (m_bound.count(send.interfaceName) != 0)
            continue;
        const auto adapter = std::find_if(adapters.begin(), adapters.end(), [&](const SendAdapter &candidate) {
            return candidate.link.name == send.interfaceName;
        });
        if (adapter == adapters.end() || !adapter->link.ipv4)
            m_bound[send.interfaceName].error = "the adapter has no IPv4 address";
        else
            m_bound[send.interfaceName] = Open(&adapter->link.ipv4->address);
    }
}

WakeSender::~WakeSender()
{
    for (auto &[name, bound] : m_bound) {
        if (bound.handle != INVALID_SOCKET)
            closesocket(bound.handle);
    }
    if (m_routed.handle != INVALID_SOCKET)
        closesocket(m_routed.handle);
    if (m_started)
        WSACleanup();
}

SentPacket WakeSender::Send(const WakeSend &send, ByteView password, std::int64_t timeNs)
{
    SentPacket sent{send, timeNs, {}};
    if (send.form == SendForm::Ethernet || !send.address) {
        sent.error = "the Ethernet frame needs a capture driver";
        return sent;
    }
    if (!m_started) {
        sent.error = m_startFailure;
        return sent;
    }
    const Socket &socket = send.form == SendForm::Address ? m_routed : m_bound[send.interfaceName];
    if (socket.handle == INVALID_SOCKET) {
        sent.error = socket.error;
        return sent;
    }
    const std::vector<std::uint8_t> payload = MagicPayload(send.mac, password);
    const sockaddr_in to = SocketAddress(*send.address, send.port);
    if (sendto(socket.handle, reinterpret_cast<const char *>(payload.data()), int(payload.size()), 0,
               reinterpret_cast<const sockaddr *>(&to), sizeof to)
        != int(payload.size()))
        sent.error = SocketErrorText(WSAGetLastError());
    return sent;
}

WakeAsker::WakeAsker(NeighbourCalls &calls, const Question &question)
    : m_calls(calls)
    , m_question(question)
{
}

WakeAsker::~WakeAsker()
{
    Stop();
}

bool WakeAsker::Start(DWORD threadId, UINT message)
{
    m_threadId = threadId;
    m_message = message;
    m_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (m_stop == nullptr)
        return false;
    m_thread = CreateThread(nullptr, 0, &WakeAsker::Run, this, 0, nullptr);
    return m_thread != nullptr;
}

void WakeAsker::Stop()
{
    if (m_thread) {
        SetEvent(m_stop);
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
        m_thread = nullptr;
    }
    if (m_stop) {
        CloseHandle(m_stop);
        m_stop = nullptr;
    }
}

DWORD WINAPI WakeAsker::Run(void *asker)
{
    auto &self = *static_cast<WakeAsker *>(asker);
    for (;;) {
        const ULONGLONG started = GetTickCount64();
        if (self.AskOnce()) {
            self.m_answeredNs.store(SystemTimeNs());
            PostThreadMessageA(self.m_threadId, self.m_message, 0, 0);
            return 0;
        }
        const ULONGLONG spent = GetTickCount64() - started;
        const DWORD wait = spent >= self.m_question.intervalMs ? 0 : DWORD(self.m_question.intervalMs - spent);
        if (WaitForSingleObject(self.m_stop, wait) == WAIT_OBJECT_0)
            return 0;
    }
}

bool WakeAsker::AskOnce()
{
    ++m_asked;
    if (m_question.way == Way::Echo) {
        std::string error;
        const bool answered = m_calls.Echo(m_question.address, kEchoTimeoutMs, &error);
        if (!error.empty() && !m_failed.load()) {
            m_error = error;
            m_failed.store(true);
            PostThreadMessageA(m_threadId, m_message, 0, 0);
        }
        return answered;
    }
    MIB_IPNET_ROW2 row{};
    row.Address.Ipv4 = SocketAddress(m_question.address, 0);
    row.InterfaceIndex = m_question.adapter;
    SOCKADDR_INET source{};
    source.Ipv4 = SocketAddress(m_question.source, 0);
    if (m_calls.Resolve(&row, &source) != NO_ERROR || row.PhysicalAddressLength != m_question.mac.size())
        return false;
    // Another machine that has the address answers for itself, not for the one woken.
    return std::equal(m_question.mac.begin(), m_question.mac.end(), row.PhysicalAddress);
}
