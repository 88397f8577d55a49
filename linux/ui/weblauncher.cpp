#include "weblauncher.h"

#include <QProcess>

namespace {

const QStringList kWebPageOpeners = {QStringLiteral("xdg-open"), QStringLiteral("x-www-browser"),
                                     QStringLiteral("firefox")};

class ProcessLauncher final : public WebLauncher
{
public:
    ProcessLauncher() = default;
    Q_DISABLE_COPY_MOVE(ProcessLauncher)

    bool StartDetached(const QString &program, const QStringList &arguments) override
    {
        return QProcess::startDetached(program, arguments);
    }
};

} // namespace

WebLauncher &SystemWebLauncher()
{
    static ProcessLauncher launcher;
    return launcher;
}

bool OpenWebPage(WebLauncher &launcher, const QString &address)
{
    for (const QString &program : kWebPageOpeners) {
        if (launcher.StartDetached(program, {address}))
            return true;
    }
    return false;
}
