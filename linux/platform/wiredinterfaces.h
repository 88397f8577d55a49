#pragma once

#include "bootsettings.h"
#include "wakereadiness.h"
#include "wakesend.h"

#include <QString>

#include <vector>

// Every wired Ethernet interface of this machine (not loopback, not Wi-Fi), with
// what it says about waking: its links from rtnetlink through libmnl, its IPv4
// addresses, Wake-on through ethtool netlink, the wakeup flag from sysfs and the
// settings applied at boot. None of it needs a privilege. `root` is "/" but in tests.
std::vector<InterfaceFacts> ReadWiredInterfaces(const QString &root, CommandRunner &runner);

// The interfaces a magic packet may leave through: every Ethernet link but the ports
// of bridges and bonds, wired or not, with its carrier and first IPv4 address.
std::vector<SendInterface> ReadSendInterfaces(const QString &root);

// /sys/power/state and /sys/power/mem_sleep.
SleepStates ReadSleepStates(const QString &root);
