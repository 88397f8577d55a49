#pragma once

// The readers of the settings that set Wake-on at boot, one file each, and what they
// share: files under a root and the folders where one hides another, ini-style entries,
// ethtool's command lines, the device as udev and sysfs describe it, and NetworkManager's
// wake-on-lan flags, which netplan's profiles for NetworkManager follow too.
// For bootsettings.cpp and these files alone; callers include bootsettings.h.

#include "bootsettings.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace BootSources {

// ---- files under root ----

QString Under(const QString &root, const QString &path);
std::optional<QByteArray> FileText(const QString &root, const QString &path);
QString FileName(const QString &path);
bool Glob(const QString &pattern, const QString &text);
QStringList Words(const QString &text);

// 00:11:22:33:44:55 from colon-, hyphen- or dot-delimited hexadecimal, or from a
// keyfile's list of decimal bytes ("0;17;34;51;68;85;"); empty when it is none.
QString NormalMac(const QString &written);
bool HasMac(const LinkIdentity &link, const QString &written);

// One key=value of an ini-style file (systemd units and .link files, NetworkManager's
// keyfiles and NetworkManager.conf), with its section and line.
struct IniEntry
{
    QString section;
    QString key;
    QString value;
    int line = 0;
};

std::vector<IniEntry> IniEntries(const QByteArray &text);

// An empty file, or a link to /dev/null, hides a file of the same name and is no file itself.
bool IsMask(const QString &root, const QString &path);

// The files named like `pattern` in `folders` under root, in name order, where a file in
// an earlier folder hides those of the same name in later ones; paths as the system names them.
QStringList MaskedFiles(const QString &root, const QStringList &folders, const QString &pattern);

// Where systemd and udev look for `folder` ("systemd/network"), the one that hides the
// others first: /etc, /run, /usr/lib, then /lib.
QStringList SearchFolders(const QString &folder);

// ---- ethtool ----

// The letters of the last `ethtool -s DEVICE ... wol LETTERS` in a command line whose
// DEVICE is one of `devices`; a shell's -c script is read too.
std::optional<QString> EthtoolWol(const QString &command, const QStringList &devices);

// ethtool's letters: g is the magic packet, d and the others leave it off.
std::optional<bool> WakesOnLetters(const QString &letters);

// ---- the device ----

// What the .link files and udev rules match a device by, from sysfs under root and,
// where udev has it, the udev database.
struct DeviceFacts
{
    LinkIdentity link;
    QString driver;
    QString type; // "ether", "wlan", ...
    QString path; // udev's ID_PATH, "pci-0000:00:1f.6"
    std::map<QString, QString> udev; // udevadm info's properties; empty without udevadm
};

DeviceFacts ReadDeviceFacts(const QString &root, CommandRunner &runner, const LinkIdentity &link);

// Whether a list of globs matches one of `values`; a "!" before the list inverts it.
bool ListMatches(QString list, const QStringList &values);

// ---- NetworkManager's wake-on-lan flags ----

constexpr uint kNmDefault = 0x1;

// NetworkManager's wake-on-lan flags, from the number or from nmcli's names.
std::optional<uint> NmWakeFlags(const QString &text);

// What NetworkManager does with wake-on-lan flags: "default" is NetworkManager.conf's, and
// that unset (or "ignore") leaves Wake-on as the driver has it.
void ApplyNmFlags(BootSetting &setting, uint flags, const QString &root, const DeviceFacts &device);

// ---- the readers that match the device as udev and NetworkManager do ----

// The .link file udev applies when the device appears, found as udev finds it, with its
// WakeOnLan=; a note when udevadm says another one was applied at this boot.
std::vector<BootSetting> LinkFileSettings(const QString &root, const DeviceFacts &device);

// Each RUN of a udev rule that matches the device and runs `ethtool -s <it> wol <letters>`.
std::vector<BootSetting> UdevRuleSettings(const QString &root, const DeviceFacts &device);

// The wake-on-lan of the profile NetworkManager activates on the interface: the active one
// through nmcli, else the keyfile that matches; "default" read from NetworkManager.conf.
std::vector<BootSetting> NetworkManagerSettings(const QString &root, CommandRunner &runner,
                                                const DeviceFacts &device);

// network.ethernets.<id>.wakeonlan in the netplan files, merged as netplan merges them,
// and what the renderer makes of it: a .link file for networkd, a profile for NetworkManager.
struct NetplanRead
{
    std::vector<BootSetting> throughLink;           // networkd: a .link file udev applies
    std::vector<BootSetting> throughNetworkManager; // a profile for NetworkManager
};

NetplanRead ReadNetplan(const QString &root, const DeviceFacts &device);

} // namespace BootSources
