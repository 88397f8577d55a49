#include "icons.h"
#include "listenform.h"
#include "privileges.h"

#include <QApplication>
#include <QPointer>

#include <string>

int main(int argc, char *argv[])
{
    // The raw socket is the one thing that needs a capability. Opened before Qt
    // starts any thread, every capability of the process can go in one step; the
    // listener then takes this socket, or the failure to open it.
    OpenedEarlySocketCalls socketCalls;
    std::string dropFailure;
    const bool dropped = DropAllCapabilities(&dropFailure);

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("corvalen"));
    QApplication::setApplicationVersion(QStringLiteral(CORVALEN_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("corvalen"));
    if (!dropped)
        qWarning("Could not drop capabilities: %s", dropFailure.c_str());

    QPointer<TListenForm> listenForm = new TListenForm(socketCalls);
    QApplication::setApplicationDisplayName(QStringLiteral("Corvalen"));
    QApplication::setWindowIcon(MainIcon());
    listenForm->show();
    const int result = QApplication::exec();
    delete listenForm.data();
    return result;
}
