#pragma once

#include "neighbours.h"
#include "wakesend.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The UDP sockets that send a wake plan's packets: one bound to each adapter's IPv4
// address, so that its broadcasts leave through that adapter, and one more for the
// addresses of --to, routed as the system routes them. None needs elevation. The
// Ethernet frame would need a capture driver, which this program does without.
class WakeSender final
{
public:
    WakeSender(const WakePlan &plan, const std::vector<SendAdapter> &adapters);
    ~WakeSender();
    WakeSender(const WakeSender &) = delete;
    WakeSender &operator=(const WakeSender &) = delete;

    // Sends one packet now; `timeNs` is the time the event gets.
    SentPacket Send(const WakeSend &send, ByteView password, std::int64_t timeNs);

private:
    struct Socket
    {
        SOCKET handle = INVALID_SOCKET;
        std::string error; // why it could not be opened
    };
    static Socket Open(const Ipv4Octets *bindTo);

    bool m_started = false;
    std::string m_startFailure; // why WSAStartup failed
    std::map<std::string, Socket> m_bound; // by adapter
    Socket m_routed;                       // for --to
};

// Asks for a machine at its address every few seconds on a thread of its own, the
// calls being ones that wait for their answer: by ARP on one of this machine's
// subnets, by ICMP echo beyond them. It stops at the first answer and posts
// `message` to the thread that started it; it posts it too the first time a question
// cannot be asked at all, and goes on asking.
class WakeAsker final
{
public:
    enum class Way { Arp, Echo };
    struct Question
    {
        Way way = Way::Echo;
        Ipv4Octets address{};
        MacAddress mac{};          // for ARP: the answer counts only from this MAC
        NET_IFINDEX adapter = 0;   // for ARP: the adapter to ask on
        Ipv4Octets source{};       // for ARP: this machine's address there
        DWORD intervalMs = 2000;   // from the start of one question to the next
    };

    WakeAsker(NeighbourCalls &calls, const Question &question);
    ~WakeAsker();
    WakeAsker(const WakeAsker &) = delete;
    WakeAsker &operator=(const WakeAsker &) = delete;

    // Starts asking; false when the thread cannot start.
    bool Start(DWORD threadId, UINT message);
    // Stops asking, waiting for a question under way to end.
    void Stop();
    const Question &Asking() const { return m_question; }
    // When the answer came, since the epoch; 0 while none has.
    std::int64_t AnsweredNs() const { return m_answeredNs.load(); }
    // How many questions were asked.
    int Asked() const { return m_asked.load(); }
    // Why a question could not be asked at all (the ICMP handle); empty while each could.
    std::string Failure() const { return m_failed.load() ? m_error : std::string(); }

private:
    static DWORD WINAPI Run(void *asker);
    bool AskOnce();

    NeighbourCalls &m_calls;
    const Question m_question;
    HANDLE m_stop = nullptr;
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
    UINT m_message = 0;
    std::atomic<std::int64_t> m_answeredNs{0};
    std::atomic<int> m_asked{0};
    std::string m_error; // written once, before m_failed
    std::atomic<bool> m_failed{false};
};

// The system's time now, since the epoch.
std::int64_t SystemTimeNs();
