#pragma once

#include <QString>
#include <QStringList>

// Starts programs for the About window's links; tests put a fake in its place.
class WebLauncher
{
public:
    WebLauncher() = default;
    virtual ~WebLauncher() = default;
    Q_DISABLE_COPY_MOVE(WebLauncher)

    // Starts the program without waiting for it; true when it was started.
    virtual bool StartDetached(const QString &program, const QStringList &arguments) = 0;
};

WebLauncher &SystemWebLauncher();

// Starts the desktop's handler for web addresses (xdg-open) with the address,
// or failing that x-www-browser, or failing that firefox; false when none started.
bool OpenWebPage(WebLauncher &launcher, const QString &address);
