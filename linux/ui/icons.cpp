#include "icons.h"

// The images are compiled into a static library, whose resources the linker
// would otherwise leave unregistered.
static void RegisterIconResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(corvalen);
        return true;
    }();
    Q_UNUSED(registered);
}

QIcon MainIcon()
{
    RegisterIconResources();
    QIcon icon;
    for (int size : {128, 64, 48, 32, 16})
        icon.addFile(QStringLiteral(":/icons/corvalen-%1.png").arg(size), QSize(size, size));
    return icon;
}

QList<QIcon> ToolIcons()
{
    RegisterIconResources();
    QList<QIcon> icons;
    for (const char *name : {"tool-exit", "tool-clear", "tool-help"}) {
        QIcon icon(QStringLiteral(":/icons/%1.png").arg(QLatin1String(name)));
        icon.addFile(QStringLiteral(":/icons/%1@2x.png").arg(QLatin1String(name)), QSize(32, 32));
        icons.append(icon);
    }
    return icons;
}
