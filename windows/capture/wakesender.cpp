#include "wakesender.h"

#include "socketerrors.h"

#include <algorithm>
#include <cstring>
#include <utility>

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

std::string WakeSender::Send(const WakeSend &send, ByteView password)
{
    if (send.form == SendForm::Ethernet || !send.address)
        return "the Ethernet frame needs a capture driver";
    if (!m_started)
        return m_startFailure;
    const Socket &socket = send.form == SendForm::Address ? m_routed : m_bound[send.interfaceName];
    if (socket.handle == INVALID_SOCKET)
        return socket.error;
    const std::vector<std::uint8_t> payload = MagicPayload(send.mac, password);
    const sockaddr_in to = SocketAddress(*send.address, send.port);
    if (sendto(socket.handle, reinterpret_cast<const char *>(payload.data()), int(payload.size()), 0,
               reinterpret_cast<const sockaddr *>(&to), sizeof to)
        != int(payload.size()))
        return SocketErrorText(WSAGetLastError());
    return {};
}

WakeAsker::WakeAsker(NeighbourCalls &calls, std::vector<SendAdapter> adapters, DWORD threadId, UINT message)
    : m_calls(calls)
    , m_adapters(std::move(adapters))
    , m_threadId(threadId)
    , m_message(message)
{
}

WakeAsker::~WakeAsker()
{
    Stop();
}

bool WakeAsker::Ask(const WakeQuestion &question, std::string &why)
{
    Put put{question, 0, {}};
    if (question.way == AskedOnly::Way::Arp) {
        if (!m_calls.CanResolve()) {
            why = "this system has no ResolveIpNetEntry2";
            return false;
        }
        const auto adapter = std::find_if(m_adapters.begin(), m_adapters.end(), [&](const SendAdapter &candidate) {
            return candidate.link.name == question.link.name;
        });
        if (adapter == m_adapters.end() || !question.link.ipv4)
            return false;
        put.adapter = adapter->index;
        put.source = question.link.ipv4->address;
    }
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_put = std::move(put);
    }
    if (m_thread == nullptr && !m_failed.load()) {
        m_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m_asked = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (m_stop != nullptr && m_asked != nullptr)
            m_thread = CreateThread(nullptr, 0, &WakeAsker::Run, this, 0, nullptr);
        if (m_thread == nullptr) {
            Failed("no thread could be started");
            return true;
        }
    }
    if (m_asked != nullptr)
        SetEvent(m_asked);
    return true;
}

void WakeAsker::Stop()
{
    if (m_thread) {
        SetEvent(m_stop);
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
        m_thread = nullptr;
    }
    for (HANDLE *event : {&m_stop, &m_asked}) {
        if (*event) {
            CloseHandle(*event);
            *event = nullptr;
        }
    }
}

std::optional<WakeQuestion> WakeAsker::TakeAnswer()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    return std::exchange(m_answered, std::nullopt);
}

void WakeAsker::Failed(const std::string &error)
{
    if (m_failed.load())
        return;
    m_error = error;
    m_failed.store(true);
    PostThreadMessageA(m_threadId, m_message, 0, 0);
}

DWORD WINAPI WakeAsker::Run(void *asker)
{
    auto &self = *static_cast<WakeAsker *>(asker);
    const HANDLE events[] = {self.m_stop, self.m_asked};
    while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        Put put;
        {
            const std::lock_guard<std::mutex> lock(self.m_lock);
            put = self.m_put;
        }
        if (self.AskOnce(put)) {
            {
                const std::lock_guard<std::mutex> lock(self.m_lock);
                self.m_answered = put.question;
            }
            PostThreadMessageA(self.m_threadId, self.m_message, 0, 0);
            return 0;
        }
    }
    return 0;
}

bool WakeAsker::AskOnce(const Put &put)
{
    const WakeQuestion &question = put.question;
    if (question.way == AskedOnly::Way::Echo) {
        std::string error;
        const bool answered = m_calls.Echo(question.address, kEchoTimeoutMs, &error);
        if (!error.empty())
            Failed(error);
        return answered;
    }
    MIB_IPNET_ROW2 row{};
    row.Address.Ipv4 = SocketAddress(question.address, 0);
    row.InterfaceIndex = put.adapter;
    SOCKADDR_INET source{};
    source.Ipv4 = SocketAddress(put.source, 0);
    if (m_calls.Resolve(&row, &source) != NO_ERROR || row.PhysicalAddressLength != question.mac.size())
        return false;
    // Another machine that has the address answers for itself, not for the one woken.
    return std::equal(question.mac.begin(), question.mac.end(), row.PhysicalAddress);
}
