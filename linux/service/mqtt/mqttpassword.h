#pragma once

#include <optional>
#include <string>

// The password to log in to the broker with, never from the command line: from
// --mqtt-password-file, which only its owner may read, as ssh wants of a key; or else
// from the service's credential mqtt-password. Nothing, with `error` empty, when
// neither is there; nothing, with `error` said, when the file cannot be used.
std::optional<std::string> ReadMqttPassword(const std::string &file, std::string &error);

inline constexpr const char *kMqttPasswordCredential = "mqtt-password";
