#pragma once

#include "bootsettings.h"
#include "wakereadiness.h"

#include <QString>

#include <vector>

// Every wired Ethernet interface of this machine (not loopback, not Wi-Fi), with
// what it says about waking: its links from rtnetlink through libmnl, its IPv4
// addresses, Wake-on through ethtool netlink, the wakeup flag from sysfs and the
// settings applied at boot. None of it needs a privilege. `root` is "/" but in tests.
std::vector<InterfaceFacts> ReadWiredInterfaces(const QString &root, CommandRunner &runner);

// /sys/power/state and /sys/power/mem_sleep.
SleepStates ReadSleepStates(const QString &root);
