#include "consolewake.h"

#include "consolelines.h"

#include <algorithm>

namespace {

SegmentWatch::Settings SettingsFor(const WatchOptions &options)
{
    SegmentWatch::Settings settings;
    settings.wakeTimeoutNs = std::int64_t(options.wakeTimeoutMs) * 1000000;
    settings.macs = options.wake;
    return settings;
}

} // namespace

std::int64_t TConsoleWake::Clock::RealNs()
{
    return SystemTimeNs();
}

std::int64_t TConsoleWake::Clock::SteadyNs()
{
    LARGE_INTEGER counter{}, frequency{};
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return std::int64_t(counter.QuadPart / frequency.QuadPart * 1000000000
                        + counter.QuadPart % frequency.QuadPart * 1000000000 / frequency.QuadPart);
}

TConsoleWake::TConsoleWake(const WatchOptions &options, const ConsoleProgram &program, WakePlan plan,
                           WakeSender &sender, NeighbourCalls &calls, std::vector<SendAdapter> adapters,
                           EventSink &out, ConsoleStream &err)
    : m_options(options)
    , m_program(program)
    , m_sender(sender)
    , m_calls(calls)
    , m_adapters(adapters)
    , m_err(err)
    , m_machine(std::move(adapters), calls)
    , m_report(m_options, out,
               [](int exitStatus) {
                   // The watch is still inside its step; the wake ends after it.
                   PostThreadMessageA(GetCurrentThreadId(), kStopMessage, WPARAM(exitStatus), 0);
               })
    , m_watch(SettingsFor(m_options), m_machine, m_clock, m_report)
    , m_rounds(std::move(plan), m_report, m_watch)
{
}

TConsoleWake::~TConsoleWake()
{
    for (const UINT_PTR timer : {m_roundTimer, m_secondTimer, m_timeout}) {
        if (timer)
            KillTimer(nullptr, timer);
    }
}

int TConsoleWake::Run()
{
    m_err.Write(WakingLine(m_program.name, m_options.wake, m_rounds.Plan(),
                           std::int64_t(m_options.wakeTimeoutMs) * 1000000)
                + '\n');
    if (m_options.timeoutMs)
        m_timeout = SetTimer(nullptr, 0, UINT(*m_options.timeoutMs), nullptr);
    m_secondTimer = SetTimer(nullptr, 0, 1000, nullptr);
    SendRound();
    MSG message;
    while (!m_finished && GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd != nullptr) {
            DispatchMessageA(&message);
        } else if (message.message == kStopMessage) {
            Finish(int(message.wParam));
        } else if (message.message == kAskerMessage) {
            Answered();
        } else if (message.message == WM_TIMER && message.wParam == m_roundTimer) {
            KillTimer(nullptr, m_roundTimer);
            m_roundTimer = 0;
            SendRound();
        } else if (message.message == WM_TIMER && message.wParam == m_secondTimer) {
            m_watch.Expire(m_clock.RealNs());
        } else if (message.message == WM_TIMER && message.wParam == m_timeout) {
            Finish(kExitTimedOut);
        }
    }
    return m_exitStatus;
}

void TConsoleWake::SendRound()
{
    if (m_finished)
        return;
    if (m_rounds.SendNext([this](const WakeSend &send) {
            return m_sender.Send(send, m_options.password, m_clock.RealNs());
        })) {
        m_roundTimer = SetTimer(nullptr, 0, UINT(kWakeRoundGapNs / 1000000), nullptr);
        return;
    }
    if (const std::string nothingSent = m_rounds.NothingSentLine(m_program.name, m_options.wake);
        !nothingSent.empty()) {
        m_err.Write(nothingSent + '\n');
        Finish(kExitNotListening);
        return;
    }
    StartAsking();
}

// A machine that wakes but stays silent still answers ARP, and ICMP echo where its
// firewall lets it.
void TConsoleWake::StartAsking()
{
    if (!m_options.wakeIp) {
        Write("whether it woke cannot be told without a capture driver: give --ip, to ask for it by ARP or ICMP "
              "echo");
        Finish(kExitNotListening);
        return;
    }
    WakeAsker::Question question;
    question.address = *m_options.wakeIp;
    question.mac = m_options.wake.front();
    const std::string every = " every " + std::to_string(question.intervalMs / 1000) + " s";
    const auto onLink = std::find_if(m_adapters.begin(), m_adapters.end(), [&](const SendAdapter &adapter) {
        return adapter.link.ipv4 && adapter.link.ipv4->Holds(question.address)
               && std::find(m_rounds.Plan().interfaces.begin(), m_rounds.Plan().interfaces.end(), adapter.link.name)
                      != m_rounds.Plan().interfaces.end();
    });
    if (onLink != m_adapters.end() && m_calls.CanResolve()) {
        question.way = WakeAsker::Way::Arp;
        question.adapter = onLink->index;
        question.source = onLink->link.ipv4->address;
        Write("asking for " + FormatIpv4(question.address) + " by ARP on " + onLink->link.name + every);
    } else {
        if (onLink != m_adapters.end())
            Write("cannot ask for " + FormatIpv4(question.address)
                  + " by ARP: this system has no ResolveIpNetEntry2; asking by ICMP echo instead");
        Write("asking for " + FormatIpv4(question.address) + " by ICMP echo" + every);
    }
    m_watch.WatchingOnlyByAsking(question.mac,
                                 {question.address,
                                  question.way == WakeAsker::Way::Arp ? AskedOnly::Way::Arp : AskedOnly::Way::Echo,
                                  AskedOnly::Blind::WithoutCaptureDriver});
    m_asker = std::make_unique<WakeAsker>(m_calls, question);
    if (!m_asker->Start(GetCurrentThreadId(), kAskerMessage)) {
        Write("cannot ask for " + FormatIpv4(question.address) + ": no thread could be started");
        Finish(kExitNotListening);
    }
}

void TConsoleWake::Answered()
{
    if (m_finished || !m_asker)
        return;
    if (const std::string failure = m_asker->Failure(); !failure.empty() && !m_askerFailureTold) {
        m_askerFailureTold = true;
        Write("cannot ask for " + FormatIpv4(*m_options.wakeIp) + ": " + failure);
        Finish(kExitNotListening);
        return;
    }
    const std::int64_t answeredNs = m_asker->AnsweredNs();
    if (answeredNs == 0)
        return;
    const MacAddress &mac = m_options.wake.front();
    if (m_asker->Asking().way == WakeAsker::Way::Arp)
        m_watch.ArpAnswered(mac, *m_options.wakeIp, answeredNs);
    else
        m_watch.EchoAnswered(mac, *m_options.wakeIp, answeredNs);
}

void TConsoleWake::Finish(int exitStatus)
{
    if (m_finished)
        return;
    m_finished = true;
    m_exitStatus = exitStatus;
    if (m_asker)
        m_asker->Stop();
    m_watch.Finish();
}
