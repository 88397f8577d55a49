#include "commandline.h"
#include "eventjson.h"

#include <QTest>

// The console programs' shared command line: what each platform's program accepts,
// and the words it finds for what it does not.
namespace {

// The words of `arguments`, split at spaces, as the console of that kind reads them.
ParsedCommandLine Parse(const QString &arguments, bool linkLayer)
{
    std::vector<std::string> words;
    for (const QString &word : arguments.split(' ', Qt::SkipEmptyParts))
        words.push_back(word.toStdString());
    return ParseCommandLine(words, {"corvalen-cli", "1.0", linkLayer});
}

} // namespace

class TestCommandLine final : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void wake_data();
    void wake();
    void mqtt_data();
    void mqtt();
    void machines_data();
    void machines();
    void helpListsTheProgramsOptions_data();
    void helpListsTheProgramsOptions();
    void jsonLineSurvivesBytesThatAreNotUtf8();
};

void TestCommandLine::parse_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<bool>("linkLayer");
    QTest::addColumn<QString>("outcome"); // the options read, or the usage error

    const auto row = [](const char *name, const char *arguments, bool linkLayer, const char *outcome) {
        QTest::newRow(name) << QString(arguments) << linkLayer << QString(outcome);
    };
    row("nothing", "", true, "json=0 mac= count=- timeout=- udp=0 interface= check=0 sweeps=10");
    row("sweep threshold", "--sweep-threshold 25", true, "json=0 mac= count=- timeout=- udp=0 interface= check=0 sweeps=25");
    row("every watch option", "--json --mac 02:c1:1e:00:00:5a --count 3 --timeout 1.5 --interface eth0", true,
        "json=1 mac=02-C1-1E-00-00-5A count=3 timeout=1500 udp=0 interface=eth0 check=0");
    row("values after =, the last one counts", "--mac=02c11e00005A --count=1 --count=2", true,
        "json=0 mac=02-C1-1E-00-00-5A count=2 timeout=- udp=0 interface= check=0");
    row("a tiny timeout is one millisecond", "--timeout 0.0001", true,
        "json=0 mac= count=- timeout=1 udp=0 interface= check=0");
    row("check with json", "--check --json", false, "json=1 mac= count=- timeout=- udp=0 interface= check=1");
    row("unknown option", "--frobnicate=1", true, "Unknown option 'frobnicate'.");
    row("link-layer options where there is no link layer", "--udp-only", false, "Unknown option 'udp-only'.");
    row("dashes alone", "---", false, "Unknown option '---'.");
    row("stray argument", "--json eth0", true, "Unexpected argument 'eth0'.");
    row("argument after --", "-- --json", true, "Unexpected argument '--json'.");
    row("missing value", "--count", true, "Missing value after '--count'.");
    row("mixed separators", "--mac 02:c1-1e:00:00:5a", true, "--mac: '02:c1-1e:00:00:5a' is not a MAC address");
    row("MAC with a digit too many", "--mac 02c11e00005a0", true, "--mac: '02c11e00005a0' is not a MAC address");
    row("count zero", "--count 0", true, "--count: '0' is not a whole number of at least 1.");
    row("count with a tail", "--count 2x", true, "--count: '2x' is not a whole number of at least 1.");
    row("timeout not a number", "--timeout nan", true, "--timeout: 'nan' is not a number of seconds");
    row("timeout beyond a timer", "--timeout 2147484", true, "--timeout: '2147484' is not a number of seconds");
    row("sweep threshold of one", "--sweep-threshold 1", true, "--sweep-threshold: '1' is not a whole number");
    row("check with a watch option", "--check --count 1", true, "--check and --count exclude each other.");
    row("several machines, each once", "--mac 02:c1:1e:00:00:5a --mac 02c11e00005b --mac 02-C1-1E-00-00-5A", true,
        "json=0 mac=02-C1-1E-00-00-5A,02-C1-1E-00-00-5B count=- timeout=- udp=0 interface= check=0 sweeps=10 "
        "metrics= journal=0");
    row("until-woke with two machines", "--until-woke --mac 02c11e00005a --mac 02c11e00005b", true,
        "--until-woke waits for one machine");
    row("metrics on a port", "--metrics 19100 --journal", true, "json=0 mac= count=- timeout=- udp=0 interface= "
        "check=0 sweeps=10 metrics=19100 journal=1");
    row("metrics on an IPv4 address alone", "--metrics 127.0.0.1", true, "json=0 mac= count=- timeout=- udp=0 "
        "interface= check=0 sweeps=10 metrics=127.0.0.1:19009");
    row("metrics on an IPv6 address", "--metrics [::1]:9", true, "json=0 mac= count=- timeout=- udp=0 "
        "interface= check=0 sweeps=10 metrics=[::1]:9");
    row("metrics port out of range", "--metrics 127.0.0.1:65536", true, "--metrics: '127.0.0.1:65536' is not");
    row("metrics address of five octets", "--metrics 10.0.0.0.1:80", true, "--metrics: '10.0.0.0.1:80' is not");
    row("metrics IPv6 without brackets' end", "--metrics [::1:80", true, "--metrics: '[::1:80' is not");
    row("metrics of a capture file", "--read x.pcap --metrics 80", true, "--read and --metrics exclude each other.");
    row("interface with udp-only", "--udp-only --interface lo", true,
        "--interface and --udp-only exclude each other.");
    row("check with a flag of the link layer's program", "--check --journal", true,
        "--check and --journal exclude each other.");
    row("check written with a value", "--check=true", false, "json=0 mac= count=- timeout=- udp=0 interface= check=1");
    row("wake timeout with udp-only", "--udp-only --wake-timeout 5", true,
        "--wake-timeout and --udp-only exclude each other.");
    row("a live flag with a capture file", "--read x.pcap --promiscuous", true,
        "--read and --promiscuous exclude each other.");
    row("a capture file", "--read x.pcap --wake-timeout 0.5 --until-woke --mac 02c11e00005a", true,
        "json=0 mac=02-C1-1E-00-00-5A count=- timeout=- udp=0 interface= check=0 sweeps=10 metrics= journal=0 "
        "read=x.pcap wake=500 until=1 promiscuous=0");
    row("until-woke without a wake timeout", "--until-woke --mac 02c11e00005a --wake-timeout 0", true,
        "--until-woke needs a --wake-timeout above 0.");
}

void TestCommandLine::parse()
{
    QFETCH(QString, arguments);
    QFETCH(bool, linkLayer);
    QFETCH(QString, outcome);

    const ParsedCommandLine parsed = Parse(arguments, linkLayer);
    QVERIFY(parsed.output.empty());
    const WatchOptions &o = parsed.options;
    const auto optional = [](const auto &value) {
        if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::optional<std::chrono::milliseconds>>)
            return value ? QString::number(value->count()) : QStringLiteral("-");
        else
            return value ? QString::number(*value) : QStringLiteral("-");
    };
    QStringList macs;
    for (const MacAddress &mac : o.macs)
        macs << QString::fromStdString(FormatMac(mac));
    const QString read = parsed.usageError.empty()
        ? QStringLiteral("json=%1 mac=%2 count=%3 timeout=%4 udp=%5 interface=%6 check=%7 sweeps=%8 metrics=%9 ")
              .arg(o.json)
              .arg(macs.join(','), optional(o.count), optional(o.timeout))
              .arg(o.udpOnly)
              .arg(QString::fromStdString(o.interfaceName))
              .arg(o.check)
              .arg(o.sweepThreshold)
              .arg(QString::fromStdString(o.metricsAddress))
              + QStringLiteral("journal=%1 read=%2 wake=%3 until=%4 promiscuous=%5")
                    .arg(o.journal)
                    .arg(QString::fromStdString(o.readFile))
                    .arg(o.wakeTimeout.count())
                    .arg(o.untilWoke)
                    .arg(o.promiscuous)
        : QString::fromStdString(parsed.usageError);
    QVERIFY2(read.startsWith(outcome), qPrintable(read));
}

void TestCommandLine::wake_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<bool>("linkLayer");
    QTest::addColumn<QString>("outcome"); // the wake options read, or the usage error

    const auto row = [](const char *name, const char *arguments, bool linkLayer, const char *outcome) {
        QTest::newRow(name) << QString(arguments) << linkLayer << QString(outcome);
    };
    row("one machine", "--wake 02:c1:1e:00:00:5a", true, "wake=02-C1-1E-00-00-5A port=9 password= to= ip=-");
    row("every option", "--wake 02c11e00005a --wake 02-c1-1e-00-00-5b --wake 02c11e00005a --port 7 "
        "--password 00:11:22:aa:bb:cc --to 10.1.255.255 --to 192.168.7.255 --interface eth0", true,
        "wake=02-C1-1E-00-00-5A,02-C1-1E-00-00-5B port=7 password=0-11-22-AA-BB-CC to=10.1.255.255,192.168.7.255 "
        "ip=-");
    row("a four-byte password and the address", "--wake 02c11e00005a --password 192.168.1.1 --ip 192.168.1.20", false,
        "wake=02-C1-1E-00-00-5A port=9 password=C0-A8-1-1 to= ip=192.168.1.20");
    row("port zero", "--wake 02c11e00005a --port 0", true, "--port: '0' is not a port from 1 to 65535.");
    row("a password of five bytes", "--wake 02c11e00005a --password 00:11:22:33:44", true,
        "--password: '00:11:22:33:44' is not a SecureOn password");
    row("the address of two machines", "--wake 02c11e00005a --wake 02c11e00005b --ip 10.0.0.2", true,
        "--ip names one machine's address: give --wake once.");
    row("a port without --wake", "--port 7", true, "--port needs --wake: the machine to send to.");
    row("wake and a capture file", "--wake 02c11e00005a --read x.pcap", true, "--read and --wake exclude each other.");
    row("wake and until-woke", "--wake 02c11e00005a --until-woke --mac 02c11e00005a", true,
        "--wake and --until-woke exclude each other.");
    row("the time to wake alone, on Windows", "--wake-timeout 30", false,
        "--wake-timeout needs --wake: the machine to send to.");
    row("wake with no time to wake", "--wake 02c11e00005a --wake-timeout 0", true,
        "--wake needs a --wake-timeout above 0");
}

void TestCommandLine::wake()
{
    QFETCH(QString, arguments);
    QFETCH(bool, linkLayer);
    QFETCH(QString, outcome);

    const ParsedCommandLine parsed = Parse(arguments, linkLayer);
    const WatchOptions &o = parsed.options;
    QStringList macs, to, password;
    for (const MacAddress &mac : o.wake)
        macs << QString::fromStdString(FormatMac(mac));
    for (const Ipv4Octets &address : o.wakeTo)
        to << QString::fromStdString(FormatIpv4(address));
    for (const std::uint8_t byte : o.password)
        password << QString::number(byte, 16).toUpper();
    const QString read = parsed.usageError.empty()
        ? QStringLiteral("wake=%1 port=%2 password=%3 to=%4 ip=%5")
              .arg(macs.join(','))
              .arg(o.wakePort)
              .arg(password.join('-'), to.join(','),
                   o.wakeIp ? QString::fromStdString(FormatIpv4(*o.wakeIp)) : QStringLiteral("-"))
        : QString::fromStdString(parsed.usageError);
    QVERIFY2(read.startsWith(outcome), qPrintable(read));
}

void TestCommandLine::mqtt_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("outcome"); // the broker read, or the usage error

    const auto row = [](const char *name, const char *arguments, const char *outcome) {
        QTest::newRow(name) << QString(arguments) << QString(outcome);
    };
    row("plain, default port", "--mqtt mqtt://broker.lan", "host=broker.lan port=1883 tls=0");
    row("TLS, default port", "--mqtt mqtts://broker.lan/", "host=broker.lan port=8883 tls=1");
    row("a port", "--mqtt mqtts://10.0.0.5:18883 --mqtt-ca ca.pem", "host=10.0.0.5 port=18883 tls=1");
    row("IPv6", "--mqtt mqtts://[fd00::5]:8883", "host=fd00::5 port=8883 tls=1");
    row("a requester", "--mqtt mqtts://b --wake 02c11e00005a --via lab-2", "host=b port=8883 tls=1 via=lab-2");
    row("another scheme", "--mqtt tcp://broker", "--mqtt: 'tcp://broker' is not a broker's URL: write mqtt://");
    row("a user in the URL", "--mqtt mqtt://me@broker", "--mqtt: 'mqtt://me@broker' is not a broker's URL");
    row("port out of range", "--mqtt mqtt://broker:70000", "--mqtt: 'mqtt://broker:70000' is not a broker's URL: "
        "'70000' is not a port");
    row("an empty port", "--mqtt mqtt://broker:", "--mqtt: 'mqtt://broker:' is not a broker's URL: the port is empty");
    row("a user without a broker", "--mqtt-user lab-1", "--mqtt-user needs --mqtt: the broker.");
    row("a name that is no topic level", "--mqtt mqtt://b --name lab/1", "--name: 'lab/1' is not a sensor's name");
    row("a wildcard for a name", "--mqtt mqtt://b --wake 02c11e00005a --via +", "--via: '+' is not a sensor's name");
    row("via without wake", "--mqtt mqtt://b --via lab-1", "--via needs --wake: the machine to wake.");
    row("a name for a requester", "--mqtt mqtt://b --wake 02c11e00005a --name x",
        "--name names this sensor; with --wake, --via names the sensor to ask.");
    row("two machines at once", "--mqtt mqtt://b --wake 02c11e00005a --wake 02c11e00005b",
        "--mqtt asks for one machine at a time: give --wake once.");
    row("a routed address", "--mqtt mqtt://b --wake 02c11e00005a --to 10.0.0.255",
        "--to and --mqtt exclude each other: the sensor sends on its own segment.");
    row("a certificate without its key", "--mqtt mqtts://b --mqtt-cert c.pem", "--mqtt-cert and --mqtt-key come together.");
    row("TLS files without TLS", "--mqtt mqtt://b --mqtt-ca ca.pem", "--mqtt-ca needs mqtts://: a broker with TLS.");
    row("a sensor that proves nothing", "--mqtt mqtt://b --wake-timeout 0",
        "--mqtt needs a --wake-timeout above 0: the sensor proves each wake it sends.");
    row("with a capture file", "--mqtt mqtt://b --read x.pcap", "--read and --mqtt exclude each other.");
    row("longer than a sensor waits", "--mqtt mqtt://b --wake 02c11e00005a --wake-timeout 3601",
        "--wake-timeout: a sensor gives a machine at most 3600 s to wake.");
    row("a password for nobody", "--mqtt mqtt://b --mqtt-password-file p",
        "--mqtt-password-file needs --mqtt-user: the user the password is for.");
}

void TestCommandLine::mqtt()
{
    QFETCH(QString, arguments);
    QFETCH(QString, outcome);

    const ParsedCommandLine parsed = Parse(arguments, true);
    const WatchOptions::Mqtt &m = parsed.options.mqtt;
    QString read = QString::fromStdString(parsed.usageError);
    if (read.isEmpty() && m.url) {
        read = QStringLiteral("host=%1 port=%2 tls=%3")
                   .arg(QString::fromStdString(m.url->host))
                   .arg(m.url->port)
                   .arg(m.url->tls ? 1 : 0);
        if (!m.via.empty())
            read += " via=" + QString::fromStdString(m.via);
    }
    QVERIFY2(read.startsWith(outcome), qPrintable(read));
}

void TestCommandLine::machines_data()
{
    QTest::addColumn<QString>("arguments"); // the words, separated by '|': a name may hold a space
    QTest::addColumn<QString>("outcome");   // the machines read and the silence, or the usage error

    const auto row = [](const char *name, const char *arguments, const char *outcome) {
        QTest::newRow(name) << QString(arguments) << QString(outcome);
    };
    row("named, in any form of MAC", "--machine|02-11-22-33-44-55=nas|--machine|021122334466",
        "02-11-22-33-44-55=nas 02-11-22-33-44-66=02-11-22-33-44-66 after 600 s");
    row("a name with spaces and '=' and UTF-8", "--machine|02:11:22:33:44:55=Büro PC=2|--asleep-after|90",
        "02-11-22-33-44-55=Büro PC=2 after 90 s");
    row("not a MAC", "--machine|nas=02:11:22:33:44:55", "--machine: 'nas' is not a MAC address");
    row("a group address", "--machine|01:00:5e:00:00:01", "--machine: '01:00:5e:00:00:01' is no network card's");
    row("an empty name", "--machine|02:11:22:33:44:55=", "--machine: '' is not a machine's name");
    row("a name of 65 bytes",
        "--machine|02:11:22:33:44:55=12345678901234567890123456789012345678901234567890123456789012345",
        "--machine: '12345678901234567890123456789012345678901234567890123456789012345' is not a machine's name");
    row("the same machine twice", "--machine|02:11:22:33:44:55=a|--machine|021122334455=b",
        "--machine: 02-11-22-33-44-55 is given twice.");
    row("asleep after nothing", "--asleep-after|60", "--asleep-after needs --machine");
    row("asleep after no time", "--machine|02:11:22:33:44:55|--asleep-after|0",
        "--asleep-after: '0' is not a number of seconds from 1 to 604800.");
    row("without the capture", "--machine|02:11:22:33:44:55|--udp-only", "--machine and --udp-only exclude each other.");
    row("in a capture file", "--machine|02:11:22:33:44:55|--read|x.pcap", "--read and --machine exclude each other.");
    row("for a requester", "--mqtt|mqtt://b|--wake|02c11e00005a|--machine|02:11:22:33:44:55",
        "--machine keeps track of machines on this sensor");
}

void TestCommandLine::machines()
{
    QFETCH(QString, arguments);
    QFETCH(QString, outcome);

    std::vector<std::string> given;
    for (const QString &word : arguments.split('|'))
        given.push_back(word.toStdString());
    const ParsedCommandLine parsed = ParseCommandLine(given, ConsoleProgram{"corvalen-cli", "1", true});
    QString read = QString::fromStdString(parsed.usageError);
    if (read.isEmpty()) {
        for (const WatchedMachine &machine : parsed.options.machines)
            read += QString::fromStdString(FormatMac(machine.mac) + '=' + machine.name) + ' ';
        read += QStringLiteral("after %1 s").arg(parsed.options.asleepAfter.count() / 1000);
    }
    QVERIFY2(read.startsWith(outcome), qPrintable(read));
}

void TestCommandLine::helpListsTheProgramsOptions_data()
{
    QTest::addColumn<bool>("linkLayer");
    QTest::addColumn<QString>("options");

    QTest::newRow("link layer") << true
                                << "-h,--help -v,--version --json --mac --count --timeout --udp-only --interface "
                                   "--sweep-threshold --read --wake-timeout --until-woke --promiscuous --metrics "
                                   "--journal --machine --asleep-after --wake --port --password --to --ip --mqtt --mqtt-user --mqtt-password-file "
                                   "--mqtt-ca --mqtt-cert --mqtt-key --name --via --check";
    QTest::newRow("raw socket alone")
        << false << "-h,--help -v,--version --json --mac --count --timeout --wake --wake-timeout --port --password --to "
                    "--ip --check";
}

void TestCommandLine::helpListsTheProgramsOptions()
{
    QFETCH(bool, linkLayer);
    QFETCH(QString, options);

    const ParsedCommandLine parsed = ParseCommandLine({"--help"}, {"corvalen-cli", "1.0", linkLayer});
    QStringList listed;
    for (const QString &line : QString::fromStdString(parsed.output).split('\n')) {
        if (line.startsWith("  -"))
            listed << line.split(' ', Qt::SkipEmptyParts).first();
    }
    QCOMPARE(listed.join(' '), options);
}

void TestCommandLine::jsonLineSurvivesBytesThatAreNotUtf8()
{
    QCOMPARE(JsonLine(ErrorJson("bad \xff byte \"quoted\"")), "{\"event\":\"error\",\"text\":\"bad \xef\xbf\xbd byte "
                                                               "\\\"quoted\\\"\"}\n");
}

QTEST_APPLESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
