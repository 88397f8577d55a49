#include "journalentry.h"

namespace {

const char *const kIdentifier = "corvalen-cli";

std::string AddressOrMac(const std::optional<IpAddress> &address, const std::optional<MacAddress> &mac)
{
    return address ? FormatIp(*address) : mac ? FormatMac(*mac) : std::string();
}

class EntryBuilder
{
public:
    EntryBuilder(JournalEvent kind, const std::string &message, int priority)
    {
        m_entry.push_back("MESSAGE=" + message);
        m_entry.push_back("PRIORITY=" + std::to_string(priority));
        m_entry.push_back(std::string("SYSLOG_IDENTIFIER=") + kIdentifier);
        m_entry.push_back(std::string("MESSAGE_ID=") + JournalMessageId(kind));
        m_entry.push_back(std::string("WOL_EVENT=") + EventName(kind));
    }

    EntryBuilder &Field(const char *name, const std::string &value)
    {
        if (!value.empty())
            m_entry.push_back(std::string(name) + '=' + value);
        return *this;
    }

    EntryBuilder &Field(const char *name, const std::optional<std::string> &value)
    {
        return value ? Field(name, *value) : *this;
    }

    EntryBuilder &Packet(const MagicEvent &event)
    {
        const auto number = [](const std::optional<std::uint16_t> &port) {
            return port ? std::to_string(*port) : std::string();
        };
        return Field("WOL_MAC", FormatMac(event.mac))
            .Field("WOL_SOURCE", AddressOrMac(event.source, event.sourceMac))
            .Field("WOL_DESTINATION", AddressOrMac(event.destination, event.destinationMac))
            .Field("WOL_SOURCE_PORT", number(event.sourcePort))
            .Field("WOL_DESTINATION_PORT", number(event.destinationPort))
            .Field("WOL_INTERFACE", event.interfaceName)
            .Field("WOL_CARRIER", std::string(CarrierName(event.carrier)));
    }

    EntryBuilder &Problems(const std::vector<std::string> &problems)
    {
        for (const std::string &problem : problems)
            Field("WOL_PROBLEM", problem);
        return *this;
    }

    JournalEntry Take() { return std::move(m_entry); }

private:
    static const char *EventName(JournalEvent kind)
    {
        static const char *const kNames[] = {"magic", "near_miss", "woke", "no_sign_of_life", "unanswered_arp",
                                             "sweep", "drops", "error", "sent", "awake", "asleep"};
        return kNames[int(kind)];
    }

    JournalEntry m_entry;
};

std::string Endpoint(const std::optional<IpAddress> &address, const std::optional<std::uint16_t> &port)
{
    std::string text = address ? FormatIp(*address) : std::string("?");
    if (port)
        text += " port " + std::to_string(*port);
    return text;
}

} // namespace

const char *JournalMessageId(JournalEvent kind)
{
    switch (kind) {
    case JournalEvent::Magic:
        return "b01cd2ebff99457aa1da62937a93c41c";
    case JournalEvent::NearMiss:
        return "0b0a1d052b32492ea9b613787dc1231f";
    case JournalEvent::Woke:
        return "ecf357be413645cbab9463f5ed36ae14";
    case JournalEvent::NoSignOfLife:
        return "08676032cf154852bedb8f68d25bf9da";
    case JournalEvent::UnansweredArp:
        return "5b762407eb8349279d68658876d189c8";
    case JournalEvent::Sweep:
        return "e389bcba728c48bdb34d989388d843b3";
    case JournalEvent::Drops:
        return "3cc4a7e4af8d4b8c99a651721250f795";
    case JournalEvent::Sent:
        return "c479585d94f14c6392052335dd9333a1";
    case JournalEvent::Awake:
        return "8e34947dea53447a84ad5973564b28b8";
    case JournalEvent::Asleep:
        return "07886e015d4e407a8425b7a50a6b2b33";
    case JournalEvent::ReceiveError:
        break;
    }
    return "a44a9b24103945a7ae1b43e27a6dd07f";
}

std::string MagicEventLine(const MagicEvent &event)
{
    std::string line = event.nearMiss ? "Near miss (" + event.nearMissReason + ") for " : "Magic packet for ";
    line += FormatMac(event.mac);
    if (event.carrier == Carrier::Udp)
        line += " from " + Endpoint(event.source, event.sourcePort) + " to "
            + Endpoint(event.destination, event.destinationPort) + " (UDP over "
            + (event.family == Family::Ipv6 ? "IPv6" : "IPv4");
    else
        line += " from " + (event.sourceMac ? FormatMac(*event.sourceMac) : std::string("?")) + " (Ethernet frame of type 0x0842";
    if (event.interfaceName)
        line += ", on " + *event.interfaceName;
    return line + ")";
}

JournalEntry MagicEventEntry(const MagicEvent &event)
{
    const std::vector<std::string> problems = EventProblems(event);
    const int priority = event.nearMiss || !problems.empty() ? kJournalWarning : kJournalInformational;
    return EntryBuilder(event.nearMiss ? JournalEvent::NearMiss : JournalEvent::Magic, MagicEventLine(event), priority)
        .Packet(event)
        .Problems(problems)
        .Take();
}

// The raw socket alone says nothing of this machine, and so of no problem.
JournalEntry DatagramEntry(const PacketReport &report)
{
    const MagicEvent event = EventFromDatagram(report);
    if (event.nearMiss) // an address no card has: that is its only problem
        return MagicEventEntry(event);
    return EntryBuilder(JournalEvent::Magic, MagicEventLine(event), kJournalInformational)
        .Packet(event)
        .Take();
}

JournalEntry OutcomeEntry(const WakeOutcome &outcome)
{
    EntryBuilder entry(outcome.woke ? JournalEvent::Woke : JournalEvent::NoSignOfLife, OutcomeLine(outcome),
                       outcome.woke ? kJournalInformational : kJournalWarning);
    entry.Field("WOL_MAC", FormatMac(outcome.mac)).Field("WOL_INTERFACE", outcome.interfaceName);
    if (outcome.sign && outcome.sign->address)
        entry.Field("WOL_SOURCE", FormatIp(*outcome.sign->address));
    return entry.Problems(OutcomeProblems(outcome)).Take();
}

JournalEntry UnansweredArpEntry(const UnansweredArp &arp)
{
    return EntryBuilder(JournalEvent::UnansweredArp, UnansweredArpLine(arp), kJournalWarning)
        .Field("WOL_MAC", FormatMac(arp.mac))
        .Field("WOL_SOURCE", FormatIpv4(arp.askerAddress))
        .Field("WOL_DESTINATION", FormatIpv4(arp.address))
        .Problems({UnansweredArpProblem(arp)})
        .Take();
}

JournalEntry SweepEntry(const SweepEvent &sweep)
{
    return EntryBuilder(JournalEvent::Sweep, SweepLine(sweep), kJournalWarning)
        .Field("WOL_SOURCE", SenderText(sweep.source))
        .Field("WOL_COUNT", std::to_string(sweep.macs.size()))
        .Take();
}

JournalEntry DropsEntry(std::uint64_t count)
{
    return EntryBuilder(JournalEvent::Drops,
                        "The kernel dropped " + std::to_string(count) + " datagram(s) before the socket could read them",
                        kJournalWarning)
        .Field("WOL_COUNT", std::to_string(count))
        .Take();
}

JournalEntry ReceiveErrorEntry(const std::string &text)
{
    return EntryBuilder(JournalEvent::ReceiveError, "Receiving failed: " + text, kJournalError).Take();
}

JournalEntry SentEntry(const SentPacket &sent)
{
    const WakeSend &send = sent.send;
    return EntryBuilder(JournalEvent::Sent, SentLine(sent), sent.error.empty() ? kJournalInformational : kJournalError)
        .Field("WOL_MAC", FormatMac(send.mac))
        .Field("WOL_FORM", std::string(SendFormName(send.form)))
        .Field("WOL_DESTINATION", send.address ? FormatIpv4(*send.address) : std::string("FF-FF-FF-FF-FF-FF"))
        .Field("WOL_DESTINATION_PORT", send.form == SendForm::Ethernet ? std::string() : std::to_string(send.port))
        .Field("WOL_INTERFACE", send.interfaceName)
        .Field("WOL_ERROR", sent.error)
        .Take();
}

JournalEntry MachineStateEntry(const MachineStateEvent &event)
{
    EntryBuilder entry(event.awake ? JournalEvent::Awake : JournalEvent::Asleep, MachineStateLine(event),
                       kJournalInformational);
    entry.Field("WOL_MAC", FormatMac(event.machine.mac)).Field("WOL_MACHINE", event.machine.name);
    if (!event.interfaceName.empty())
        entry.Field("WOL_INTERFACE", event.interfaceName);
    if (event.address)
        entry.Field("WOL_SOURCE", FormatIpv4(*event.address));
    return entry.Take();
}
