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

// What udev, NetworkManager and netplan match an interface by.
struct LinkIdentity
{
    std::string name;
    std::vector<std::string> macs; // the current address, then the permanent one when it differs: 00:11:22:33:44:55
    std::string kind;              // rtnetlink's kind ("veth", "bridge"); empty for a card
};

// Where each tool that sets Wake-on at boot keeps its setting for one interface, with
// the file and line. `root` is "/" on the machine, a folder of sample files in tests:
// the interface's driver, type and path for matching are read from its sys/class/net.

// The interface's stanzas in /etc/network/interfaces and what it sources: ethernet-wol
// (ethtool-ethernet-wol for ifupdown-ng), and pre-up, up and post-up lines running ethtool.
std::vector<BootSetting> IfupdownSettings(const QString &root, const std::string &name);
// ExecStart lines running ethtool in the services enabled in /etc/systemd/system/*.wants.
std::vector<BootSetting> UnitSettings(const QString &root, const std::string &name);
// WOL_DISABLE when TLP is installed (its default is Y).
std::optional<BootSetting> TlpSetting(const QString &root);

// All of the above, with the .link file udev applies, the udev rules that run ethtool, the
// NetworkManager profile and netplan's settings for the device, in the order they act at
// boot: the last that turns Wake-on on or off decides.
std::vector<BootSetting> BootSettings(const QString &root, CommandRunner &runner, const LinkIdentity &link);
