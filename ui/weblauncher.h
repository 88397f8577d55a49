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

// The desktop's handler for web addresses first, then two browsers by name.
inline const QStringList kWebPageOpeners = {QStringLiteral("xdg-open"), QStringLiteral("x-www-browser"),
                                            QStringLiteral("firefox")};

// Tries each opener in turn until one starts; false when none did.
bool OpenWebPage(WebLauncher &launcher, const QString &address);
