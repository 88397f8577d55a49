#pragma once

#include "neighbours.h"
#include "wakeengine.h"
#include "wakesend.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The UDP sockets that send a wake plan's packets: one bound to each adapter's IPv4
// address, so that its broadcasts leave through that adapter, and one more for the
// addresses of --to, routed as the system routes them. None needs elevation. The
// Ethernet frame would need a capture driver, which this program does without.
class WakeSender final : public MagicSender
{
public:
    WakeSender(const WakePlan &plan, const std::vector<SendAdapter> &adapters);
    ~WakeSender();
    WakeSender(const WakeSender &) = delete;
    WakeSender &operator=(const WakeSender &) = delete;

    // Sends one packet now.
    std::string Send(const WakeSend &send, ByteView password) override;

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

// Puts a wake's questions on a thread of its own, the calls being ones that wait for
// their answer: by ARP with ResolveIpNetEntry2 on one of this machine's subnets, by
// ICMP echo beyond them. It stops at the first answer and posts `message` to the
// thread that made it; it posts it too the first time a question cannot be put at
// all, and goes on with the next.
class WakeAsker final : public MachineAsker
{
public:
    WakeAsker(NeighbourCalls &calls, std::vector<SendAdapter> adapters, DWORD threadId, UINT message);
    ~WakeAsker();
    WakeAsker(const WakeAsker &) = delete;
    WakeAsker &operator=(const WakeAsker &) = delete;

    // Hands `question` to the thread, started at the first; a question still under way
    // is followed at once by the next. False for ARP where the system cannot resolve.
    bool Ask(const WakeQuestion &question, std::string &why) override;
    // Stops asking, waiting for a question under way to end.
    void Stop();
    // The question that was answered, once; nothing while none was.
    std::optional<WakeQuestion> TakeAnswer();
    // Why a question could not be put at all (the thread, the ICMP handle); empty while each could.
    std::string Failure() const { return m_failed.load() ? m_error : std::string(); }

private:
    // A question as the calls take it.
    struct Put
    {
        WakeQuestion question;
        NET_IFINDEX adapter = 0; // for ARP: the adapter to ask on
        Ipv4Octets source{};     // for ARP: this machine's address there
    };

    static DWORD WINAPI Run(void *asker);
    bool AskOnce(const Put &put);
    void Failed(const std::string &error);

    NeighbourCalls &m_calls;
    const std::vector<SendAdapter> m_adapters;
    const DWORD m_threadId;
    const UINT m_message;
    HANDLE m_stop = nullptr;
    HANDLE m_asked = nullptr; // set for each question handed over
    HANDLE m_thread = nullptr;
    std::mutex m_lock;         // guards the two below
    Put m_put;                 // the latest question
    std::optional<WakeQuestion> m_answered;
    std::string m_error; // written once, before m_failed
    std::atomic<bool> m_failed{false};
};
