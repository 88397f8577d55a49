// netplan's YAML, and what its renderer, networkd or NetworkManager, makes of it.

#include "bootsources.h"

#include <yaml-cpp/yaml.h>

#include <map>

using namespace BootSources;

namespace {

struct NetplanDefinition
{
    YAML::Node match;
    std::optional<std::string> renderer;
    std::optional<bool> wakeonlan;
    QString file;
    int line = 0;
    bool writesLink = false; // set-name or mtu: netplan writes a .link file for networkd
};

bool NetplanMatches(const std::string &id, const NetplanDefinition &definition, const DeviceFacts &device)
{
    const YAML::Node &match = definition.match;
    if (!match.IsDefined() || !match.IsMap())
        return id == device.link.name;
    bool matched = true;
    if (const YAML::Node mac = match["macaddress"]; mac.IsDefined() && mac.IsScalar())
        matched = HasMac(device.link, QString::fromStdString(mac.Scalar()));
    if (const YAML::Node name = match["name"]; name.IsDefined() && name.IsScalar())
        matched = matched && Glob(QString::fromStdString(name.Scalar()), QString::fromStdString(device.link.name));
    if (const YAML::Node driver = match["driver"]; driver.IsDefined()) {
        QStringList drivers;
        for (const auto &item : driver)
            drivers << QString::fromStdString(item.Scalar());
        if (driver.IsScalar())
            drivers << QString::fromStdString(driver.Scalar());
        matched = matched && ListMatches(drivers.join(' '), {device.driver});
    }
    return matched;
}

} // namespace

NetplanRead BootSources::ReadNetplan(const QString &root, const DeviceFacts &device)
{
    std::optional<std::string> globalRenderer;
    std::map<std::string, NetplanDefinition> definitions;
    std::vector<std::string> order;
    NetplanRead read;
    const QStringList files =
        MaskedFiles(root, {QStringLiteral("/run/netplan"), QStringLiteral("/etc/netplan"), QStringLiteral("/lib/netplan")},
                    QStringLiteral("*.yaml"));
    for (const QString &file : files) {
        try {
            const YAML::Node network = YAML::LoadFile(Under(root, file).toStdString())["network"];
            if (!network.IsDefined() || !network.IsMap())
                continue;
            if (const YAML::Node renderer = network["renderer"]; renderer.IsDefined())
                globalRenderer = renderer.as<std::string>();
            const YAML::Node ethernets = network["ethernets"];
            if (!ethernets.IsDefined() || !ethernets.IsMap())
                continue;
            for (const auto &entry : ethernets) {
                const std::string id = entry.first.as<std::string>();
                const YAML::Node body = entry.second;
                if (definitions.count(id) == 0)
                    order.push_back(id);
                NetplanDefinition &definition = definitions[id];
                if (definition.file.isEmpty() || !definition.wakeonlan)
                    definition = NetplanDefinition{definition.match, definition.renderer, definition.wakeonlan, file,
                                                   entry.first.Mark().line + 1, definition.writesLink};
                if (!body.IsDefined() || !body.IsMap())
                    continue;
                if (body["match"].IsDefined())
                    definition.match = body["match"];
                if (body["renderer"].IsDefined())
                    definition.renderer = body["renderer"].as<std::string>();
                definition.writesLink = definition.writesLink || body["set-name"].IsDefined() || body["mtu"].IsDefined();
                if (const YAML::Node wake = body["wakeonlan"]; wake.IsDefined()) {
                    definition.wakeonlan = wake.as<bool>();
                    definition.file = file;
                    definition.line = wake.Mark().line + 1;
                }
            }
        } catch (const YAML::Exception &error) {
            read.throughLink.push_back({BootSetting::Source::Netplan, file.toStdString(),
                                        std::string("cannot be read: ") + error.what(), std::nullopt,
                                        error.mark.line + 1, {}, {}});
        }
    }
    for (const std::string &id : order) {
        const NetplanDefinition &definition = definitions[id];
        if (!NetplanMatches(id, definition, device))
            continue;
        const std::string written = definition.wakeonlan ? (*definition.wakeonlan ? "wakeonlan: true" : "wakeonlan: false")
                                                         : "wakeonlan not set";
        BootSetting setting{BootSetting::Source::Netplan, definition.file.toStdString(), written, std::nullopt,
                            definition.line, id, {}};
        if (definition.renderer.value_or(globalRenderer.value_or("networkd")) == "NetworkManager") {
            // netplan writes wake-on-lan=1, NetworkManager's "default", for true; 0, off, otherwise.
            setting.setting += " (renderer NetworkManager)";
            ApplyNmFlags(setting, definition.wakeonlan == true ? kNmDefault : 0, root, device);
            read.throughNetworkManager.push_back(setting);
        } else {
            // For networkd it writes a .link file only for wakeonlan, set-name or mtu, with WakeOnLan=off unless true.
            if (definition.wakeonlan == true || definition.writesLink)
                setting.wakesOnMagic = definition.wakeonlan == true;
            else
                setting.note = "netplan writes no .link file for it, so Wake-on stays as the driver has it";
            read.throughLink.push_back(setting);
        }
        break;
    }
    return read;
}
