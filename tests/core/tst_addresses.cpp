// The one reader of written MACs and the subnet's arithmetic, on the forms people and
// configuration files write and on the subnets that have no broadcast address.
#include "addresses.h"

#include <QTest>

class TestAddresses final : public QObject
{
    Q_OBJECT

private slots:
    void parseMac_data();
    void parseMac();
    void subnet_data();
    void subnet();
};

void TestAddresses::parseMac_data()
{
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("read"); // empty: no MAC

    QTest::newRow("the reports' form") << "00-1A-2B-3C-4D-5E" << "00-1A-2B-3C-4D-5E";
    QTest::newRow("ip's form") << "00:1a:2b:3c:4d:5e" << "00-1A-2B-3C-4D-5E";
    QTest::newRow("twelve digits") << "001a2B3c4D5e" << "00-1A-2B-3C-4D-5E";
    QTest::newRow("broadcast") << "ff:ff:ff:ff:ff:ff" << "FF-FF-FF-FF-FF-FF";
    QTest::newRow("mixed separators") << "00-1a:2b:3c:4d:5e" << "";
    QTest::newRow("another separator") << "00.1a.2b.3c.4d.5e" << "";
    QTest::newRow("one digit short") << "00:1a:2b:3c:4d:5" << "";
    QTest::newRow("eleven digits and a space") << "001a2b3c4d5 " << "";
    QTest::newRow("a sign") << "+01a2b3c4d5e" << "";
    QTest::newRow("not hexadecimal") << "00:1a:2b:3c:4d:5g" << "";
    QTest::newRow("a digit in the separator's place") << "00:1a:2b:3c:4d05e" << "";
    QTest::newRow("empty") << "" << "";
}

void TestAddresses::parseMac()
{
    QFETCH(QString, written);
    QFETCH(QString, read);
    const std::optional<MacAddress> mac = ParseMac(written.toStdString());
    QCOMPARE(mac ? QString::fromStdString(FormatMac(*mac)) : QString(), read);
    if (mac)
        QCOMPARE(QString::fromStdString(FormatMac(*mac, ':')), read.toLower().replace('-', ':'));
}

void TestAddresses::subnet_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("prefix");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("broadcast"); // empty: none

    QTest::newRow("/24") << "192.168.1.10" << 24 << "192.168.1.0" << "192.168.1.255";
    QTest::newRow("/30") << "192.168.1.10" << 30 << "192.168.1.8" << "192.168.1.11";
    QTest::newRow("/31, point to point") << "192.168.1.10" << 31 << "192.168.1.10" << "";
    QTest::newRow("/32") << "192.168.1.10" << 32 << "192.168.1.10" << "";
    QTest::newRow("/20 across a byte") << "10.1.77.3" << 20 << "10.1.64.0" << "10.1.79.255";
    QTest::newRow("/0") << "10.1.77.3" << 0 << "0.0.0.0" << "255.255.255.255";
}

void TestAddresses::subnet()
{
    QFETCH(QString, address);
    QFETCH(int, prefix);
    const Ipv4Network network = Ipv4Network::WithPrefix(*ParseIpv4(address.toStdString()), prefix);
    QCOMPARE(network.PrefixLength(), prefix);
    QTEST(QString::fromStdString(FormatIpv4(network.First())), "first");
    const std::optional<Ipv4Octets> broadcast = network.Broadcast();
    QTEST(broadcast ? QString::fromStdString(FormatIpv4(*broadcast)) : QString(), "broadcast");
    QVERIFY(network.Holds(network.First()));
    if (broadcast)
        QVERIFY(network.Holds(*broadcast));
}

QTEST_APPLESS_MAIN(TestAddresses)
#include "tst_addresses.moc"
