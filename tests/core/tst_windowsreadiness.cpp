#include "windowsreadiness.h"

#include <QStringList>
#include <QTest>

namespace {

// "nocarrier noipv4 magic=0 armed=- down=0 pnp=280 key= name=LAN fast=1 caps=0 hibernate=0":
// what the adapter "Ethernet 2" and the machine have; "-" leaves a flag nothing.
// Unless told: carrier, an address, settings in key 0007, magic packets on, armed,
// may power down, Fast Startup off, S3 and hibernation.
struct Machine
{
    WindowsAdapterFacts adapter;
    WindowsPower power;
};

Machine Describe(const QString &description)
{
    const auto flag = [](const QString &value) { return value == "-" ? std::nullopt : std::optional(value == "1"); };
    Machine machine;
    WindowsAdapterFacts &adapter = machine.adapter;
    adapter.link.name = "Ethernet 2";
    adapter.link.mac = "00:11:22:33:44:55";
    adapter.link.carrier = !description.contains("nocarrier");
    if (!description.contains("noipv4"))
        adapter.link.ipv4.push_back({"192.168.1.20", 24, "192.168.1.255"});
    adapter.description = "Intel(R) Ethernet Connection I219-V";
    adapter.settingsKey = "0007";
    adapter.wakeOnMagicPacket = adapter.wakeArmed = adapter.mayPowerDown = true;
    machine.power = {false, true, true, true, false};
    for (const QString &word : description.split(' ', Qt::SkipEmptyParts)) {
        const QString key = word.section('=', 0, 0);
        const QString value = word.section('=', 1);
        if (key == "magic")
            adapter.wakeOnMagicPacket = flag(value);
        else if (key == "armed")
            adapter.wakeArmed = flag(value);
        else if (key == "down")
            adapter.mayPowerDown = flag(value);
        else if (key == "name")
            adapter.link.name = value.toStdString();
        else if (key == "pnp")
            adapter.pnpCapabilities = value.toUInt();
        else if (key == "key")
            adapter.settingsKey = value.toStdString();
        else if (key == "fast")
            machine.power.fastStartup = flag(value);
        else if (key == "caps")
            machine.power.capabilitiesKnown = value == "1";
        else if (key == "hibernate")
            machine.power.hibernationAvailable = value == "1";
    }
    return machine;
}

QStringList Texts(const std::vector<std::string> &texts)
{
    QStringList list;
    for (const std::string &text : texts)
        list << QString::fromStdString(text);
    return list;
}

} // namespace

class TestWindowsReadiness final : public QObject
{
    Q_OBJECT

private slots:
    void verdicts_data();
    void verdicts();
    void fixLines_data();
    void fixLines();
    void wakeProperties_data();
    void wakeProperties();
};

void TestWindowsReadiness::verdicts_data()
{
    QTest::addColumn<QString>("machine");
    QTest::addColumn<QStringList>("reasons"); // a word of each reason, in order
    QTest::addColumn<QStringList>("notes");   // a word of each note, in order

    const QString noMagic = "shows no \"Wake on Magic Packet\"";
    const QString fastUnknown = "whether Fast Startup is on could not be told";
    QTest::newRow("ready") << "" << QStringList{} << QStringList{};
    QTest::newRow("magic packets off") << "magic=0" << QStringList{"\"Wake on Magic Packet\" is disabled"}
                                       << QStringList{};
    QTest::newRow("the driver has no such property") << "magic=-" << QStringList{} << QStringList{noMagic};
    QTest::newRow("not armed") << "armed=0" << QStringList{"may not wake the computer"} << QStringList{};
    QTest::newRow("may not power down: that reason alone")
        << "down=0 armed=0 pnp=24" << QStringList{"(PnPCapabilities 0x18)"} << QStringList{};
    QTest::newRow("may not power down, armed unknown: no note")
        << "down=0 armed=- pnp=280" << QStringList{"(PnPCapabilities 0x118)"} << QStringList{};
    QTest::newRow("no settings key: no property note")
        << "key= magic=- down=- armed=0" << QStringList{"may not wake the computer"}
        << QStringList{"settings were not found"};
    QTest::newRow("Fast Startup with hibernation") << "fast=1" << QStringList{"Fast Startup is on"} << QStringList{};
    QTest::newRow("Fast Startup without hibernation: full shutdowns")
        << "fast=1 hibernate=0" << QStringList{} << QStringList{};
    QTest::newRow("Fast Startup, sleep states unknown")
        << "fast=1 caps=0" << QStringList{} << QStringList{"whether hibernation is available could not be told"};
    QTest::newRow("Fast Startup unknown with hibernation") << "fast=-" << QStringList{} << QStringList{fastUnknown};
    QTest::newRow("everything wrong, most basic first")
        << "nocarrier noipv4 magic=0 armed=0 fast=1"
        << QStringList{"no carrier", "Wake on Magic Packet", "may not wake", "Fast Startup"}
        << QStringList{"no IPv4"};
}

void TestWindowsReadiness::verdicts()
{
    QFETCH(QString, machine);
    QFETCH(QStringList, reasons);
    QFETCH(QStringList, notes);

    const Machine described = Describe(machine);
    const InterfaceVerdict verdict = JudgeWindowsAdapter(described.adapter, described.power);
    QCOMPARE(verdict.ready, reasons.isEmpty());
    QCOMPARE(verdict.reasons.size(), size_t(reasons.size()));
    for (qsizetype i = 0; i < reasons.size(); ++i) {
        const QString text = QString::fromStdString(verdict.reasons[size_t(i)].text);
        QVERIFY2(text.contains(reasons[i]), qPrintable(text));
        QVERIFY(!verdict.reasons[size_t(i)].fix.empty());
    }
    const QStringList gotNotes = Texts(verdict.notes);
    QCOMPARE(gotNotes.size(), notes.size());
    for (qsizetype i = 0; i < notes.size(); ++i)
        QVERIFY2(gotNotes[i].contains(notes[i]), qPrintable(gotNotes[i]));
}

// The commands carry the adapter's names and the value to write, quoted for the shell they are pasted into.
void TestWindowsReadiness::fixLines_data()
{
    QTest::addColumn<QString>("machine");
    QTest::addColumn<QString>("command"); // found within the fix's lines

    QTest::newRow("PowerShell, a name to quote")
        << "magic=0 name=Lan`\"$1\""
        << "-Name \"Lan```\"`$1`\"\" -RegistryKeyword \"*WakeOnMagicPacket\" -RegistryValue 1";
    QTest::newRow("powercfg") << "armed=0" << "powercfg /deviceenablewake \"Intel(R) Ethernet Connection I219-V\"";
    QTest::newRow("the other PnPCapabilities bits kept")
        << "down=0 pnp=280" << "\\0007\" /v PnPCapabilities /t REG_DWORD /d 256 /f";
    QTest::newRow("Fast Startup") << "fast=1" << "Power\" /v HiberbootEnabled /t REG_DWORD /d 0 /f";
}

void TestWindowsReadiness::fixLines()
{
    QFETCH(QString, machine);
    QFETCH(QString, command);

    const Machine described = Describe(machine);
    const InterfaceVerdict verdict = JudgeWindowsAdapter(described.adapter, described.power);
    QCOMPARE(verdict.reasons.size(), size_t(1));
    const QString fix = Texts(verdict.reasons[0].fix).join('\n');
    QVERIFY2(fix.contains(command), qPrintable(fix));
}

// Properties as the drivers' INF files write them: keyword, ParamDesc, value and
// choices ("0=Disabled,1=Enabled"); "fix", when it keeps the machine from waking
// from shutdown, is found within that reason's fix.
void TestWindowsReadiness::wakeProperties_data()
{
    QTest::addColumn<QStringList>("property");
    QTest::addColumn<bool>("concernsWake");
    QTest::addColumn<QString>("fix");

    const QString offOn = "0=Disabled,1=Enabled";
    QTest::newRow("Realtek, off") << QStringList{"S5WakeOnLan", "Shutdown Wake-On-Lan", "0", offOn} << true
                                  << "-RegistryKeyword \"S5WakeOnLan\" -RegistryValue 1";
    QTest::newRow("Realtek, on") << QStringList{"S5WakeOnLan", "Shutdown Wake-On-Lan", "1", offOn} << true << "";
    QTest::newRow("Intel, German") << QStringList{"EnablePME", "PME aktivieren", "0", "1=Aktiviert,0=Deaktiviert"}
                                   << true << "set \"PME aktivieren\" to Aktiviert";
    QTest::newRow("S5, no choices") << QStringList{"WakeFromS5", "Wake From S5", "0", ""} << true << "to 1";
    QTest::newRow("a speed, not a switch")
        << QStringList{"WolShutdownLinkSpeed", "WOL & Shutdown Link Speed", "0", "0=10 Mbps First,2=Not Speed Down"}
        << true << "";
    QTest::newRow("sleep only") << QStringList{"WakeOnLink", "Wake on Link Settings", "0", "0=Disabled,2=Forced"}
                                << true << "";
    QTest::newRow("magic packets: a reason of their own")
        << QStringList{"*WakeOnMagicPacket", "Wake on Magic Packet from power off state", "0", offOn} << true << "";
    QTest::newRow("not wake") << QStringList{"ReduceSpeedOnPowerDown", "Reduce Speed On Power Down", "0", offOn}
                              << false << "";
    QTest::newRow("pme in a word") << QStringList{"DevelopmentMode", "Development", "0", offOn} << false << "";
}

void TestWindowsReadiness::wakeProperties()
{
    QFETCH(QStringList, property);
    QFETCH(bool, concernsWake);
    QFETCH(QString, fix);

    Machine machine = Describe("");
    DriverWakeProperty &read = machine.adapter.wakeProperties.emplace_back(
        DriverWakeProperty{property[0].toStdString(), property[1].toStdString(), std::nullopt, false, {}});
    if (property[2] != "-")
        read.value = property[2].toStdString();
    for (const QString &choice : property[3].split(',', Qt::SkipEmptyParts))
        read.choices.emplace_back(choice.section('=', 0, 0).toStdString(), choice.section('=', 1).toStdString());
    QCOMPARE(ConcernsWake(read.keyword, read.name), concernsWake);
    const InterfaceVerdict verdict = JudgeWindowsAdapter(machine.adapter, machine.power);
    QCOMPARE(verdict.reasons.size(), size_t(!fix.isEmpty()));
    if (!fix.isEmpty())
        QVERIFY2(Texts(verdict.reasons[0].fix).join('\n').contains(fix), qPrintable(fix));
}

QTEST_APPLESS_MAIN(TestWindowsReadiness)
#include "tst_windowsreadiness.moc"
