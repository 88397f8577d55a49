#pragma once

#include <chrono>
#include <optional>
#include <string>

// What the service manager is told when the program runs as a systemd service
// of Type=notify; each call does nothing when it does not.
namespace ServiceManager {

bool Supervised(); // NOTIFY_SOCKET is set
void Ready(const std::string &status);
void Stopping();
// How often the watchdog wants to hear from the program: half of WatchdogSec=.
std::optional<std::chrono::milliseconds> WatchdogInterval();
void Alive();

} // namespace ServiceManager
