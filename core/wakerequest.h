#pragma once

#include "addresses.h"
#include "bytes.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A request to wake one machine, as it comes over the network: a JSON object with
// "mac" (required), "ip", "port", "password" and "timeout" (seconds).

// A payload larger than this is turned away unread.
inline constexpr std::size_t kMostWakeRequestBytes = 4096;
// The longest a request may give its machine to wake.
inline constexpr std::chrono::seconds kLongestRequestTimeout{3600};

struct RemoteWakeRequest
{
    MacAddress mac{};
    std::optional<Ipv4Octets> ip;
    std::optional<std::uint16_t> port;
    std::vector<std::uint8_t> password; // empty, 4 or 6 bytes
    std::optional<std::chrono::milliseconds> timeout;
};

struct DecodedWakeRequest
{
    std::optional<RemoteWakeRequest> request; // nothing when it is refused
    std::optional<MacAddress> mac;            // the MAC it names, where one could be read
    std::string problem;                      // why it is refused; empty when it is not
};

DecodedWakeRequest DecodeWakeRequest(ByteView payload);

// The request as the requester writes it.
nlohmann::json WakeRequestJson(const RemoteWakeRequest &request);

// A SecureOn password as --password and the request take it: six bytes written as a
// MAC address, or four in dotted decimal; nothing when it is neither.
std::optional<std::vector<std::uint8_t>> ParsePassword(std::string_view text);
