#include "wakeengine.h"

#include <algorithm>

namespace {

bool Holds(const std::vector<MacAddress> &macs, const MacAddress &mac)
{
    return std::find(macs.begin(), macs.end(), mac) != macs.end();
}

// "waking 00-1A-2B-3C-4D-5E from eth0, eth1 and to 192.168.7.255; then watching 120 s for a sign of life"
std::string WakingLine(const std::vector<MacAddress> &macs, const WakePlan &plan,
                       Nanoseconds timeout)
{
    std::string line = "waking";
    for (std::size_t i = 0; i < macs.size(); ++i)
        line += (i == 0 ? " " : ", ") + FormatMac(macs[i]);
    std::vector<std::string> ways;
    std::string from;
    for (const std::string &name : plan.interfaces)
        from += (from.empty() ? "from " : ", ") + name;
    if (!from.empty())
        ways.push_back(from);
    for (const WakeSend &send : plan.sends)
        if (send.round == 0 && send.form == SendForm::Address && send.mac == plan.sends.front().mac)
            ways.push_back("to " + FormatIpv4(*send.address));
    for (std::size_t i = 0; i < ways.size(); ++i)
        line += (i == 0 ? " " : i + 1 == ways.size() ? " and " : ", ") + ways[i];
    return line + "; then watching " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count())
        + " s for a sign of life";
}

} // namespace

PlannedWake WakeEngine::Plan(WakeOrder order, const std::vector<SendInterface> &interfaces,
                             const NeighbourLookup &neighbourAddress)
{
    PlannedWake planned;
    const std::vector<MacAddress> &macs = order.request.macs;
    // Asked for, a known address proves a wake that sends nothing of its own accord.
    if (macs.size() == 1 && !order.address && neighbourAddress) {
        order.address = neighbourAddress(macs.front());
        if (order.address)
            planned.lines.push_back("the neighbour table holds " + FormatIpv4(*order.address) + " for "
                                    + FormatMac(macs.front()));
    }
    std::vector<MacAddress> own;
    for (const SendInterface &interface : interfaces)
        own.push_back(interface.mac);
    WakePlan plan = PlanWake(order.request, interfaces, own);
    planned.order = std::move(order);
    if (!plan.refusal.empty()) {
        planned.lines.push_back(plan.refusal);
        planned.refusal = plan.commandLineFault ? kExitUsage : kExitNotListening;
        return planned;
    }
    if (!planned.order.request.ethernet && !planned.order.withoutEthernet.empty())
        planned.lines.push_back(planned.order.withoutEthernet);
    for (const std::string &warning : plan.warnings)
        planned.lines.push_back("warning: " + warning);
    for (const std::string &name : plan.interfaces) {
        for (const SendInterface &interface : interfaces)
            if (interface.name == name)
                planned.interfaces.push_back(interface);
    }
    planned.plan = std::move(plan);
    return planned;
}

WakeEngine::WakeEngine(PlannedWake planned, WatchClock &clock, MagicSender &sender, MachineAsker &asker,
                       SegmentWatch &watch, EventSink &sink, std::optional<AskedOnly::Blind> blind)
    : m_planned(std::move(planned))
    , m_clock(clock)
    , m_sender(sender)
    , m_asker(asker)
    , m_watch(watch)
    , m_sink(sink)
    , m_blind(blind)
    , m_waitingFor(m_planned.order.request.macs)
{
}

void WakeEngine::Start()
{
    Tell(WakingLine(m_planned.order.request.macs, *m_planned.plan, m_planned.order.timeout));
    SendRound();
}

std::optional<SteadyTime> WakeEngine::NextDue() const
{
    const bool rounds = m_round > 0 && m_round < kWakeRounds;
    if (m_over || (!rounds && !m_question))
        return std::nullopt;
    return m_due;
}

void WakeEngine::Advance()
{
    const std::optional<SteadyTime> due = NextDue();
    const SteadyTime now = m_clock.SteadyNow();
    if (!due || now < *due)
        return;
    if (m_round < kWakeRounds) {
        SendRound();
        return;
    }
    // A question that fails on its own is simply not answered: the next one may be.
    std::string why;
    m_asker.Ask(*m_question, why);
    m_due = now + kAskInterval;
}

// Each packet is a `sent` event, and each that left begins or counts in its machine's watch.
void WakeEngine::SendRound()
{
    for (const WakeSend &packet : m_planned.plan->sends) {
        if (packet.round != m_round)
            continue;
        const SentPacket sent{packet, m_clock.RealNow(), m_sender.Send(packet, m_planned.order.request.password)};
        m_sink.Sent(sent);
        if (!sent.error.empty())
            continue;
        m_watch.WakeSent(packet, sent.time, m_planned.order.timeout);
        if (!Holds(m_sentFor, packet.mac))
            m_sentFor.push_back(packet.mac);
    }
    if (++m_round < kWakeRounds) {
        m_due = m_clock.SteadyNow() + kWakeRoundGap;
        return;
    }
    for (const MacAddress &mac : m_planned.order.request.macs) {
        if (!Holds(m_sentFor, mac)) {
            Tell("no magic packet for " + FormatMac(mac) + " could be sent");
            End(kExitNotListening);
            return;
        }
    }
    StartAsking();
}

// A machine that wakes but stays silent still answers ARP on this machine's subnets,
// and ICMP echo behind a router where its firewall lets it: only an echo reply tells
// there, since the router answers ARP for it.
void WakeEngine::StartAsking()
{
    const std::optional<Ipv4Octets> &address = m_planned.order.address;
    if (!address) {
        if (m_blind == AskedOnly::Blind::WithoutCapability) {
            Tell("whether it woke cannot be told without the capability: give --ip, to ask for it by ICMP echo");
            End(kExitNotListening);
        } else if (m_blind == AskedOnly::Blind::WithoutCaptureDriver) {
            Tell("whether it woke cannot be told without a capture driver: give --ip, to ask for it by ARP or ICMP "
                 "echo");
            End(kExitNotListening);
        }
        return;
    }
    const MacAddress &mac = m_planned.order.request.macs.front();
    std::string why;
    if (const SendInterface *link = InterfaceOnSubnet(*address, m_planned.interfaces)) {
        const WakeQuestion arp{AskedOnly::Way::Arp, *address, mac, *link};
        if (m_asker.Ask(arp, why)) {
            Asking(arp, "by ARP on " + link->name);
            return;
        }
        if (!why.empty())
            Tell("cannot ask for " + AskingFor() + " by ARP: " + why + "; asking by ICMP echo instead");
    }
    const WakeQuestion echo{AskedOnly::Way::Echo, *address, mac, {}};
    why.clear();
    if (!m_asker.Ask(echo, why) && !why.empty()) {
        Tell("cannot ask for " + AskingFor() + ": " + why);
        if (m_blind)
            End(kExitNotListening);
        return;
    }
    Asking(echo, "by ICMP echo");
}

void WakeEngine::Asking(const WakeQuestion &question, const std::string &how)
{
    Tell("asking for " + AskingFor() + " " + how + " every " + std::to_string(kAskInterval.count()) + " s");
    if (m_blind)
        m_watch.WatchingOnlyByAsking(question.mac, {question.address, question.way, *m_blind});
    m_question = question;
    m_due = m_clock.SteadyNow() + kAskInterval;
}

void WakeEngine::Answered(AskedOnly::Way way, const Ipv4Octets &from)
{
    if (m_over || !m_question || way != m_question->way || from != m_question->address)
        return;
    const RealTime now = m_clock.RealNow();
    if (way == AskedOnly::Way::Arp)
        m_watch.ArpAnswered(m_question->mac, from, now);
    else
        m_watch.EchoAnswered(m_question->mac, from, now);
}

void WakeEngine::CannotAsk(const std::string &why)
{
    if (m_over || m_cannotAskTold)
        return;
    m_cannotAskTold = true;
    m_question.reset();
    Tell("cannot ask for " + AskingFor() + ": " + why);
    if (m_blind)
        End(kExitNotListening);
}

// The wake is over when every machine's watch has ended.
void WakeEngine::Outcome(const WakeOutcome &outcome)
{
    const auto waiting = std::find(m_waitingFor.begin(), m_waitingFor.end(), outcome.mac);
    if (m_over || waiting == m_waitingFor.end())
        return;
    m_waitingFor.erase(waiting);
    m_allWoke = m_allWoke && outcome.woke;
    if (m_waitingFor.empty())
        End(m_allWoke ? kExitStopped : kExitTimedOut);
}

void WakeEngine::End(ExitStatus status)
{
    m_over = true;
    m_question.reset();
    if (OnDone)
        OnDone(status);
}

void WakeEngine::Tell(const std::string &line)
{
    if (OnLine)
        OnLine(line);
}

std::string WakeEngine::AskingFor() const
{
    return FormatIpv4(m_planned.order.address.value_or(Ipv4Octets{}));
}
