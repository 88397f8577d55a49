#include "icons.h"
#include "listenform.h"

#include <QApplication>
#include <QPointer>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("corvalen"));
    QApplication::setApplicationVersion(QStringLiteral(CORVALEN_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("corvalen"));

    QPointer<TListenForm> listenForm = new TListenForm;
    QApplication::setApplicationDisplayName(QStringLiteral("Corvalen"));
    QApplication::setWindowIcon(MainIcon());
    listenForm->show();
    const int result = QApplication::exec();
    delete listenForm.data();
    return result;
}
