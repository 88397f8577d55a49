#pragma once

#include "wakereadiness.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

// Runs a program that reports the system's state, such as nmcli or udevadm.
class CommandRunner
{
public:
    virtual ~CommandRunner() = default;
    // Its standard output; nothing when it is not installed, fails or takes too long.
    virtual std::optional<QByteArray> Run(const QString &program, const QStringList &arguments) = 0;
};

CommandRunner &SystemCommandRunner();

// Where each tool that sets Wake-on at boot keeps its setting for one interface.
// `root` is "/" on the machine, a folder of sample files in tests; `macs` are the
// interface's addresses, current and permanent, as 00:11:22:33:44:55.

// The .link file that udev applied (udevadm's ID_NET_LINK_FILE) and its [Link] WakeOnLan=.
std::optional<BootSetting> LinkFileSetting(const QString &root, CommandRunner &runner, const std::string &name);
// 802-3-ethernet.wake-on-lan of the connection NetworkManager has active on the interface.
std::optional<BootSetting> NetworkManagerSetting(CommandRunner &runner, const std::string &name);
// network.ethernets.<id>.wakeonlan in /etc/netplan/*.yaml, matched by name or match:.
std::optional<BootSetting> NetplanSetting(const QString &root, const std::string &name,
                                          const std::vector<std::string> &macs);
// ethernet-wol in the interface's iface stanza of /etc/network/interfaces.
std::optional<BootSetting> IfupdownSetting(const QString &root, const std::string &name);
// WOL_DISABLE when TLP is installed (its default is Y).
std::optional<BootSetting> TlpSetting(const QString &root);

// Each of the above that applies, in the order the system applies them.
std::vector<BootSetting> BootSettings(const QString &root, CommandRunner &runner, const std::string &name,
                                      const std::vector<std::string> &macs);
