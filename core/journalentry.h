#pragma once

#include "arpwatch.h"
#include "machinestates.h"
#include "magicevent.h"
#include "packetreport.h"
#include "sweeps.h"
#include "wakesend.h"
#include "wakewatch.h"

#include <cstdint>
#include <string>
#include <vector>

// corvalen-cli's events as systemd journal entries: "FIELD=value" texts, the
// message first. Each kind of event has its own MESSAGE_ID, which the journal's
// catalog explains; the WOL_ fields let journalctl and collectors match on them.
using JournalEntry = std::vector<std::string>;

// In WOL_EVENT: magic, near_miss, woke, no_sign_of_life, unanswered_arp, sweep, drops, error, sent, awake, asleep.
enum class JournalEvent { Magic, NearMiss, Woke, NoSignOfLife, UnansweredArp, Sweep, Drops, ReceiveError, Sent, Awake, Asleep };

// The 128-bit MESSAGE_ID of the kind, as 32 lower-case hexadecimal digits.
const char *JournalMessageId(JournalEvent kind);

// Syslog's levels, as PRIORITY holds them.
inline constexpr int kJournalError = 3;
inline constexpr int kJournalWarning = 4;
inline constexpr int kJournalInformational = 6;

JournalEntry MagicEventEntry(const MagicEvent &event);
JournalEntry DatagramEntry(const PacketReport &report);
JournalEntry OutcomeEntry(const WakeOutcome &outcome);
JournalEntry UnansweredArpEntry(const UnansweredArp &arp);
JournalEntry SweepEntry(const SweepEvent &sweep);
JournalEntry DropsEntry(std::uint64_t count);
JournalEntry ReceiveErrorEntry(const std::string &text);
JournalEntry SentEntry(const SentPacket &sent);
JournalEntry MachineStateEntry(const MachineStateEvent &event);

// One line for a magic packet or near miss: "Magic packet for 00-11-22-33-44-55
// from 192.168.1.10 port 40000 to 192.168.1.255 port 9 (UDP over IPv4, on eth0)".
std::string MagicEventLine(const MagicEvent &event);
