#include "wakerelay.h"

#include "eventjson.h"

#include <algorithm>

namespace {

using nlohmann::json;

std::vector<std::string> OutcomeLines(const WakeOutcome &outcome)
{
    std::vector<std::string> lines{OutcomeLine(outcome)};
    for (const std::string &problem : OutcomeProblems(outcome))
        lines.push_back("  Problem: " + problem);
    return lines;
}

RequestEnd EndOf(const WakeOutcome &outcome)
{
    return outcome.woke ? RequestEnd::Woke : RequestEnd::NoSignOfLife;
}

} // namespace

json RelayReplyJson(const RelayReply &reply, const std::string &sensor, const std::string &time)
{
    json object;
    switch (reply.kind) {
    case RelayReply::Kind::Sent:
        object = SentJson(*reply.sent, time);
        object["lines"] = {SentLine(*reply.sent)};
        break;
    case RelayReply::Kind::Outcome: {
        const WakeOutcome &outcome = *reply.outcome;
        object = OutcomeJson(outcome, time);
        object["vlan"] = outcome.sign && outcome.sign->vlan ? json(*outcome.sign->vlan) : json(nullptr);
        object["lines"] = OutcomeLines(outcome);
        break;
    }
    case RelayReply::Kind::Note:
    case RelayReply::Kind::Refused:
    case RelayReply::Kind::Failed: {
        static const char *const kNames[] = {"sent", "note", "outcome", "refused", "failed"};
        object = {{"event", kNames[int(reply.kind)]},
                  {"time", time},
                  {"mac", reply.mac ? json(FormatMac(*reply.mac)) : json(nullptr)},
                  {"text", reply.text}};
        object["lines"] = {reply.kind == RelayReply::Kind::Refused ? "refused: " + reply.text : reply.text};
        break;
    }
    }
    object["sensor"] = sensor;
    return object;
}

const char *RequestEndName(RequestEnd end)
{
    static const char *const kNames[] = {"woke", "no_sign_of_life", "refused", "failed"};
    return kNames[int(end)];
}

// One machine being woken, for every requester that asked for it meanwhile. Its
// `sent` events go to the watch's sinks and to each requester.
struct WakeRelay::Wake final : public EventSink
{
    Wake(WakeRelay &relay, const MacAddress &mac, SteadyTime deadline) : relay(relay), mac(mac), deadline(deadline) {}

    void Magic(const MagicEvent &event) override { relay.m_sink.Magic(event); }
    void Datagram(const PacketReport &report) override { relay.m_sink.Datagram(report); }
    void Failure(const ReceiveFailure &failure) override { relay.m_sink.Failure(failure); }
    void Outcome(const WakeOutcome &outcome) override { relay.m_sink.Outcome(outcome); }
    void Sweep(const SweepEvent &sweep) override { relay.m_sink.Sweep(sweep); }
    void Unanswered(const UnansweredArp &arp) override { relay.m_sink.Unanswered(arp); }
    void MachineState(const MachineStateEvent &event) override { relay.m_sink.MachineState(event); }
    void Sent(const SentPacket &sent) override
    {
        relay.m_sink.Sent(sent);
        RelayReply reply;
        reply.kind = RelayReply::Kind::Sent;
        reply.mac = sent.send.mac;
        reply.time = sent.time;
        reply.sent = sent;
        relay.Reply(askers, reply);
    }

    WakeRelay &relay;
    MacAddress mac;
    SteadyTime deadline; // the outcome is given up after it
    std::vector<ReplyAddress> askers;
    std::unique_ptr<WakeEngine> engine;
    std::string lastLine;
    bool done = false;
};

WakeRelay::WakeRelay(Planner planner, WakeOrder defaults, WatchClock &clock, MagicSender &sender,
                     MachineAsker &asker, SegmentWatch &watch, EventSink &sink)
    : m_planner(std::move(planner))
    , m_defaults(std::move(defaults))
    , m_clock(clock)
    , m_sender(sender)
    , m_asker(asker)
    , m_watch(watch)
    , m_sink(sink)
{
}

WakeRelay::~WakeRelay() = default;

RelayReply WakeRelay::Note(const MacAddress &mac, const std::string &text) const
{
    RelayReply reply;
    reply.kind = RelayReply::Kind::Note;
    reply.mac = mac;
    reply.time = m_clock.RealNow();
    reply.text = text;
    return reply;
}

void WakeRelay::Reply(const std::vector<ReplyAddress> &to, const RelayReply &reply)
{
    if (!OnReply)
        return;
    for (const ReplyAddress &address : to)
        OnReply(address, reply);
}

void WakeRelay::Refuse(const ReplyAddress &to, const std::optional<MacAddress> &mac, const std::string &why)
{
    RelayReply reply;
    reply.kind = RelayReply::Kind::Refused;
    reply.mac = mac;
    reply.time = m_clock.RealNow();
    reply.text = why;
    Reply({to}, reply);
    if (OnRequestEnded)
        OnRequestEnded(RequestEnd::Refused);
}

void WakeRelay::Request(ByteView payload, const ReplyAddress &to)
{
    Purge();
    const DecodedWakeRequest decoded = DecodeWakeRequest(payload);
    if (!decoded.request) {
        Refuse(to, decoded.mac, decoded.problem);
        return;
    }
    const RemoteWakeRequest &request = *decoded.request;
    const SteadyTime now = m_clock.SteadyNow();
    // Being woken: the request joins the wake; asked again (a requester whose broker
    // came back), it goes on waiting.
    for (const std::unique_ptr<Wake> &wake : m_wakes) {
        if (wake->mac != request.mac || wake->done)
            continue;
        if (std::find(wake->askers.begin(), wake->askers.end(), to) == wake->askers.end())
            wake->askers.push_back(to);
        Reply({to}, Note(request.mac, "already being woken on this sensor: this request waits for that wake's outcome"));
        return;
    }
    // Woken a moment ago, or asked again by a requester of that wake: that outcome
    // again, and no packet.
    while (!m_finished.empty()
           && (now - m_finished.front().at >= kRememberAskers || m_finished.size() > kMostRemembered))
        m_finished.pop_front();
    for (auto finished = m_finished.rbegin(); finished != m_finished.rend(); ++finished) {
        // A reply address without correlation data (the sensor's own reply topic) names no one requester.
        const bool askedBefore = !to.correlation.empty()
            && std::find(finished->askers.begin(), finished->askers.end(), to) != finished->askers.end();
        if (finished->mac != request.mac || (!askedBefore && now - finished->at >= kRepeatGap))
            continue;
        const auto ago = std::chrono::duration_cast<std::chrono::milliseconds>(now - finished->at);
        Reply({to}, Note(request.mac, "a wake of this machine ended " + std::to_string(ago.count() / 1000) + "."
                                          + std::to_string(ago.count() % 1000 / 100)
                                          + " s ago: its outcome again, and no packet sent"
                                          + (askedBefore ? std::string(" (this request asked for it)")
                                                         : " (at most one wake every "
                                                               + std::to_string(kRepeatGap.count()) + " s)")));
        Reply({to}, finished->last);
        if (OnRequestEnded)
            OnRequestEnded(finished->end);
        return;
    }
    if (Running() >= kMostWakes) {
        Refuse(to, request.mac,
               std::to_string(kMostWakes) + " wakes are running on this sensor, the most it runs at once: ask again "
                                            "in a moment");
        return;
    }

    WakeOrder order = m_defaults;
    order.request.macs = {request.mac};
    order.address = request.ip;
    if (request.port)
        order.request.port = *request.port;
    order.request.password = request.password;
    if (request.timeout)
        order.timeout = *request.timeout;
    PlannedWake planned = m_planner(std::move(order));
    if (!planned.plan) {
        Refuse(to, request.mac, planned.lines.empty() ? std::string("nothing can be sent") : planned.lines.back());
        return;
    }
    const Nanoseconds timeout = planned.order.timeout;
    auto &wake = *m_wakes.emplace_back(
        std::make_unique<Wake>(*this, request.mac, now + timeout + kOutcomeGrace + std::chrono::seconds(1)));
    wake.askers.push_back(to);
    for (const std::string &line : planned.lines)
        Reply(wake.askers, Note(request.mac, line));
    wake.engine = std::make_unique<WakeEngine>(std::move(planned), m_clock, m_sender, m_asker, m_watch, wake,
                                               std::nullopt);
    wake.engine->OnLine = [this, &wake](const std::string &line) {
        wake.lastLine = line;
        Reply(wake.askers, Note(wake.mac, line));
    };
    // Only a wake that ends without an outcome ends here: nothing could be sent, or
    // whether it woke cannot be told. An outcome ended it already.
    wake.engine->OnDone = [this, &wake](ExitStatus) {
        if (!wake.done)
            Fail(wake, wake.lastLine.empty() ? std::string("the wake ended without an outcome") : wake.lastLine);
    };
    wake.engine->Start();
}

void WakeRelay::Fail(Wake &wake, const std::string &why)
{
    wake.engine->Stop();
    RelayReply failed;
    failed.kind = RelayReply::Kind::Failed;
    failed.mac = wake.mac;
    failed.time = m_clock.RealNow();
    failed.text = why;
    Ended(wake, RequestEnd::Failed, failed);
}

void WakeRelay::Ended(Wake &wake, RequestEnd end, const RelayReply &last)
{
    wake.done = true;
    Reply(wake.askers, last);
    m_finished.push_back({wake.mac, m_clock.SteadyNow(), last, end, wake.askers});
    if (OnRequestEnded)
        for (std::size_t i = 0; i < wake.askers.size(); ++i)
            OnRequestEnded(end);
}

std::optional<SteadyTime> WakeRelay::NextDue() const
{
    std::optional<SteadyTime> next;
    for (const std::unique_ptr<Wake> &wake : m_wakes) {
        if (wake->done)
            continue;
        std::optional<SteadyTime> due = wake->engine->NextDue();
        due = due ? std::min(*due, wake->deadline) : wake->deadline;
        next = next ? std::min(*next, *due) : due;
    }
    return next;
}

void WakeRelay::Advance()
{
    Purge();
    const SteadyTime now = m_clock.SteadyNow();
    for (const std::unique_ptr<Wake> &wake : m_wakes) {
        if (wake->done)
            continue;
        if (now >= wake->deadline) {
            // The watch never gave its outcome: too many machines were watched at once.
            Fail(*wake, "no outcome came for this machine: the sensor watches too many machines at once");
            continue;
        }
        wake->engine->Advance();
    }
}

void WakeRelay::Answered(AskedOnly::Way way, const Ipv4Octets &from)
{
    for (const std::unique_ptr<Wake> &wake : m_wakes)
        if (!wake->done)
            wake->engine->Answered(way, from);
}

void WakeRelay::Outcome(const WakeOutcome &outcome)
{
    for (const std::unique_ptr<Wake> &wake : m_wakes) {
        if (wake->done || wake->mac != outcome.mac)
            continue;
        RelayReply reply;
        reply.kind = RelayReply::Kind::Outcome;
        reply.mac = outcome.mac;
        reply.time = outcome.end;
        reply.outcome = outcome;
        Ended(*wake, EndOf(outcome), reply);
        wake->engine->Outcome(outcome);
    }
}

void WakeRelay::Stop(const std::string &why)
{
    for (const std::unique_ptr<Wake> &wake : m_wakes)
        if (!wake->done)
            Fail(*wake, why);
}

std::size_t WakeRelay::Running() const
{
    return std::size_t(std::count_if(m_wakes.begin(), m_wakes.end(),
                                     [](const std::unique_ptr<Wake> &wake) { return !wake->done; }));
}

// A wake is let go of outside its own calls, once it is done.
void WakeRelay::Purge()
{
    m_wakes.remove_if([](const std::unique_ptr<Wake> &wake) { return wake->done; });
}
