#include "journal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

#include <systemd/sd-journal.h>

namespace {

constexpr const char *kJournalSocket = "/run/systemd/journal/socket";

} // namespace

EventJournal::EventJournal(std::string programName)
    : m_programName(std::move(programName))
{
}

bool EventJournal::Reachable()
{
    if (m_reachable && !SocketPresent())
        GiveUp(std::string("there is no ") + kJournalSocket);
    return m_reachable;
}

bool EventJournal::Send(const JournalEntry &entry)
{
    if (!Reachable())
        return false;
    if (const int result = SendEntry(entry); result < 0) {
        GiveUp(std::strerror(-result));
        return false;
    }
    return true;
}

bool EventJournal::SocketPresent()
{
    struct stat status{};
    return ::stat(kJournalSocket, &status) == 0 && S_ISSOCK(status.st_mode);
}

int EventJournal::SendEntry(const JournalEntry &entry)
{
    std::vector<iovec> fields;
    fields.reserve(entry.size());
    for (const std::string &field : entry)
        fields.push_back({const_cast<char *>(field.data()), field.size()});
    return sd_journal_sendv(fields.data(), int(fields.size()));
}

void EventJournal::GiveUp(const std::string &why)
{
    m_reachable = false;
    std::fprintf(stderr, "%s: cannot write to the journal (%s); writing the events to standard output instead\n",
                 m_programName.c_str(), why.c_str());
    std::fflush(stderr);
}

bool StandardOutputIsJournal()
{
    const char *stream = std::getenv("JOURNAL_STREAM");
    if (!stream)
        return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2)
        return false;
    struct stat status{};
    return ::fstat(STDOUT_FILENO, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

JournalSink::JournalSink(EventJournal &journal, EventSink &fallback)
    : m_journal(journal)
    , m_fallback(fallback)
{
}

void JournalSink::Magic(const MagicEvent &event)
{
    if (!m_journal.Send(MagicEventEntry(event)))
        m_fallback.Magic(event);
}

void JournalSink::Datagram(const PacketReport &report)
{
    if (!m_journal.Send(DatagramEntry(report)))
        m_fallback.Datagram(report);
}

void JournalSink::Failure(const ReceiveFailure &failure)
{
    if (!m_journal.Send(failure.dropped > 0 ? DropsEntry(failure.dropped) : ReceiveErrorEntry(failure.error)))
        m_fallback.Failure(failure);
}

void JournalSink::Outcome(const WakeOutcome &outcome)
{
    if (!m_journal.Send(OutcomeEntry(outcome)))
        m_fallback.Outcome(outcome);
}

void JournalSink::Sweep(const SweepEvent &sweep)
{
    if (!m_journal.Send(SweepEntry(sweep)))
        m_fallback.Sweep(sweep);
}

void JournalSink::Sent(const SentPacket &sent)
{
    if (!m_journal.Send(SentEntry(sent)))
        m_fallback.Sent(sent);
}

void JournalSink::Unanswered(const UnansweredArp &arp)
{
    if (!m_journal.Send(UnansweredArpEntry(arp)))
        m_fallback.Unanswered(arp);
}

void JournalSink::MachineState(const MachineStateEvent &event)
{
    if (!m_journal.Send(MachineStateEntry(event)))
        m_fallback.MachineState(event);
}
