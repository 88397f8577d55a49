#include "servicemanager.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include <systemd/sd-daemon.h>

namespace ServiceManager {

bool Supervised()
{
    const char *socket = std::getenv("NOTIFY_SOCKET");
    return socket && *socket;
}

void Ready(const std::string &status)
{
    sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
}

void Stopping()
{
    sd_notify(0, "STOPPING=1");
}

std::optional<std::chrono::milliseconds> WatchdogInterval()
{
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return std::nullopt;
    return std::chrono::milliseconds(std::max<std::uint64_t>(usec / 2000, 1));
}

void Alive()
{
    sd_notify(0, "WATCHDOG=1");
}

} // namespace ServiceManager
