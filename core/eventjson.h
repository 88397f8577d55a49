#pragma once

#include "arpwatch.h"
#include "machinestates.h"
#include "magicevent.h"
#include "packetreport.h"
#include "sweeps.h"
#include "wakesend.h"
#include "wakewatch.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

// The events of corvalen-cli --json, one JSON object per line. `time` is ISO 8601
// local time with its offset from UTC.

// A magic packet or near miss, whichever source saw it.
nlohmann::json EventJson(const MagicEvent &event, const std::string &time);
// A magic packet as the raw socket alone reports it.
nlohmann::json DatagramJson(const PacketReport &report, const std::string &time);
// One sender's magic packets for many machines; `time` is its first packet's.
nlohmann::json SweepJson(const SweepEvent &sweep, const std::string &time);
// How the watch of a machine a magic packet was meant for ended: "woke" or
// "no_sign_of_life"; `time` is its end's.
// A sign of life's kind as the JSON names it: "dhcp", "arp", "ipv6", "frame" or "icmp".
const char *EvidenceName(SignOfLife::Kind kind);
nlohmann::json OutcomeJson(const WakeOutcome &outcome, const std::string &time);
nlohmann::json UnansweredArpJson(const UnansweredArp &arp, const std::string &time);
nlohmann::json SentJson(const SentPacket &sent, const std::string &time);
// A watched machine's change: "awake", with the frame that showed it, or "asleep",
// with how that was decided ("no_arp_answer" or "silence").
nlohmann::json MachineStateJson(const MachineStateEvent &event, const std::string &time);
// Datagrams the kernel dropped, and a failed receive.
nlohmann::json DropsJson(std::uint64_t count);
nlohmann::json ErrorJson(const std::string &text);

// One line of JSON Lines. Text that is not UTF-8 is written with U+FFFD in its
// place, so that no event is lost for one bad byte.
std::string JsonLine(const nlohmann::json &object);

// "2026-12-09T14:05:09.123+01:00": +00:00 for UTC too.
std::string IsoLocalTime(const LocalDateTime &moment, int offsetFromUtcSeconds);
