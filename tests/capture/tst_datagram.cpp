#include "datagram.h"

#include <QTest>

class TestDatagram final : public QObject
{
    Q_OBJECT
private slots:
    void dottedQuad() { QCOMPARE(FormatDottedQuad(0xC0A8010A), QStringLiteral("192.168.1.10")); }
};

QTEST_APPLESS_MAIN(TestDatagram)
#include "tst_datagram.moc"
