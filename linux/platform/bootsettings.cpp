#include "bootsettings.h"

#include "boot/bootsources.h"

#include <QProcess>
#include <QProcessEnvironment>

using namespace BootSources;

namespace {

constexpr int kCommandPatienceMs = 5000;

class SystemRunner final : public CommandRunner
{
public:
    std::optional<QByteArray> Run(const QString &program, const QStringList &arguments) override
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        if (!process.waitForFinished(kCommandPatienceMs)) {
            process.kill();
            process.waitForFinished();
            return std::nullopt;
        }
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            return std::nullopt;
        return process.readAllStandardOutput();
    }
};

} // namespace

CommandRunner &SystemCommandRunner()
{
    static SystemRunner runner;
    return runner;
}

// The order they act in at boot; the last that turns Wake-on on or off decides.
// 1. udev, when the device appears. The net_setup_link builtin, which
//    80-net-setup-link.rules imports, applies the .link file that matches (netplan's
//    for networkd among them) while the rules are processed; the programs of RUN keys
//    run after all rules are processed (udev(7)), so a rule's ethtool acts after the
//    .link file whatever its file's name.
// 2. The configurator that brings the link up: ifupdown (pre-up lines, ethernet-wol,
//    then up and post-up lines), NetworkManager with its profiles and netplan's for it.
// 3. Services enabled in a .wants folder, which order themselves after the network.
// 4. TLP, from tlp.service late in boot, and again at every change of power source.
std::vector<BootSetting> BootSettings(const QString &root, CommandRunner &runner, const LinkIdentity &link)
{
    const DeviceFacts device = ReadDeviceFacts(root, runner, link);
    const NetplanRead netplan = ReadNetplan(root, device);
    std::vector<BootSetting> settings;
    for (const std::vector<BootSetting> &stage :
         {LinkFileSettings(root, device), netplan.throughLink, UdevRuleSettings(root, device),
          IfupdownSettings(root, link.name), netplan.throughNetworkManager,
          NetworkManagerSettings(root, runner, device), UnitSettings(root, link.name)})
        settings.insert(settings.end(), stage.begin(), stage.end());
    if (std::optional<BootSetting> tlp = TlpSetting(root))
        settings.push_back(std::move(*tlp));
    return settings;
}
