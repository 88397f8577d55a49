#pragma once

#include "eventsink.h"
#include "journalentry.h"

#include <string>

// Writes events to the systemd journal. The journal's library takes an entry
// without a word when no journald listens, so the socket is looked for before
// each entry: when the journal cannot be reached, that is said once on standard
// error, and Send() returns false from then on, for the caller to write the
// event elsewhere.
class EventJournal
{
public:
    explicit EventJournal(std::string programName);

    bool Send(const JournalEntry &entry);
    // Whether the journal can be reached now; says so once when it cannot.
    bool Reachable();

private:
    static bool SocketPresent();
    static int SendEntry(const JournalEntry &entry); // 0, or a negative errno
    void GiveUp(const std::string &why);

    std::string m_programName;
    bool m_reachable = true;
};

// The events as journal entries while the journal can be reached; once it cannot,
// they go to `fallback`.
class JournalSink final : public EventSink
{
public:
    JournalSink(EventJournal &journal, EventSink &fallback);

    void Magic(const MagicEvent &event) override;
    void Datagram(const PacketReport &report) override;
    void Failure(const ReceiveFailure &failure) override;
    void Outcome(const WakeOutcome &outcome) override;
    void Sweep(const SweepEvent &sweep) override;
    void Unanswered(const UnansweredArp &arp) override;
    void Sent(const SentPacket &sent) override;
    void MachineState(const MachineStateEvent &event) override;

private:
    EventJournal &m_journal;
    EventSink &m_fallback;
};

// Whether standard output is a stream to the journal, as the service manager
// says in JOURNAL_STREAM.
bool StandardOutputIsJournal();
