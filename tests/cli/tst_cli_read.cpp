// corvalen-cli --read on capture files that this test writes with libpcap, at
// exact times: what woke, what did not, sweeps, and how the reading ends.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <pcap/pcap.h>

#include "testframes.h"

#include <cstdint>
#include <vector>

namespace {

using namespace testframes;

// Each word is a frame at a time: see FrameOf.
bool WriteCapture(const QString &path, const QString &words)
{
    pcap_t *dead = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, 65535, PCAP_TSTAMP_PRECISION_NANO);
    pcap_dumper_t *dumper = pcap_dump_open(dead, path.toLocal8Bit().constData());
    if (dumper == nullptr)
        return false;
    const std::int64_t startNs = 1765280000LL * 1000000000;
    for (const QString &word : words.split(' ', Qt::SkipEmptyParts)) {
        const Bytes frame = FrameOf(word);
        const std::int64_t timeNs = startNs + std::llround(word.section(':', 0, 0).toDouble() * 1e9);
        pcap_pkthdr header{};
        header.ts.tv_sec = timeNs / 1000000000;
        header.ts.tv_usec = timeNs % 1000000000; // nanoseconds, with this precision
        header.caplen = header.len = bpf_u_int32(frame.size());
        pcap_dump(reinterpret_cast<u_char *>(dumper), &header, frame.data());
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return true;
}

// One event in short: the kind and the fields that tell it apart.
QString Summary(const QJsonObject &event)
{
    const QString kind = event.value("event").toString();
    QString text = kind + ' ' + event.value("mac").toString().right(2);
    if (kind == "woke")
        text += QStringLiteral(" %1 %2 packets=%3")
                    .arg(event.value("evidence").toString())
                    .arg(event.value("after").toDouble())
                    .arg(event.value("packets").toInt());
    else if (kind == "no_sign_of_life")
        text += QStringLiteral(" %1%2").arg(event.value("waited").toDouble()).arg(
            event.value("cut_short").toBool() ? " cut short" : "");
    else if (kind == "magic" && event.value("problems").toArray().size() > 0)
        text += " unicast to " + event.value("destination").toString();
    else if (kind == "unanswered_arp")
        text += QStringLiteral(" %1 asked %2 times for %3")
                    .arg(event.value("asker").toString())
                    .arg(event.value("requests").toInt())
                    .arg(event.value("address").toString());
    else if (kind == "sweep")
        text = QStringLiteral("sweep %1 %2 %3")
                   .arg(event.value("source").toString())
                   .arg(event.value("macs").toInt())
                   .arg(event.value("seconds").toDouble());
    return text;
}

// Each JSON line's event in short.
QStringList Summaries(const QByteArray &out)
{
    QStringList seen;
    for (const QByteArray &line : out.split('\n')) {
        if (!line.isEmpty())
            seen << Summary(QJsonDocument::fromJson(line).object());
    }
    return seen;
}

} // namespace

class TestCliRead final : public QObject
{
    Q_OBJECT

private slots:
    void events_data();
    void events();
    void notEthernet();
    void watchCutShortSaysSo();
    void damagedOrMixed_data();
    void damagedOrMixed();
};

void TestCliRead::events_data()
{
    QTest::addColumn<QString>("capture");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("woke by DHCP, two packets, one watch")
        << "0:magic:55 1:magic:55 14.215:dhcp:55 15:dhcp:55" << QStringList()
        << QStringList{"magic 55", "magic 55", "woke 55 dhcp 14.215 packets=2"} << 0;
    QTest::newRow("woke by an ARP probe, after an EtherType 0x0842 frame")
        << "0:ether:56 3.5:arp:56" << QStringList() << QStringList{"magic 56", "woke 56 arp 3.5 packets=1"} << 0;
    QTest::newRow("woke by any other frame") << "0:magic:57 2:other:57" << QStringList()
                                             << QStringList{"magic 57", "woke 57 frame 2 packets=1"} << 0;
    QTest::newRow("no sign of life by the capture's clock")
        << "0:magic:58 119:tick 121:dhcp:58" << QStringList{"--wake-timeout", "120"}
        << QStringList{"magic 58", "no_sign_of_life 58 120"} << 0;
    QTest::newRow("the capture ends before the time does")
        << "0:magic:59 30:tick" << QStringList() << QStringList{"magic 59", "no_sign_of_life 59 30 cut short"} << 0;
    QTest::newRow("no watch with --wake-timeout 0") << "0:magic:5a 1:dhcp:5a" << QStringList{"--wake-timeout", "0"}
                                                    << QStringList{"magic 5A"} << 0;
    QTest::newRow("a sweep, after the events it was made of")
        << "0:sweep:01 0.5:sweep:02 1.25:sweep:03" << QStringList{"--sweep-threshold", "3", "--wake-timeout", "0"}
        << QStringList{"magic 01", "magic 02", "magic 03", "sweep 10.0.0.9 3 1.25"} << 0;
    QTest::newRow("until woke: woke")
        << "0:magic:5b 1:magic:5c 2:dhcp:5b 50:tick" << QStringList{"--mac", "00:11:22:33:44:5b", "--until-woke"}
        << QStringList{"magic 5B", "woke 5B dhcp 2 packets=1"} << 0;
    QTest::newRow("until woke: no sign of life")
        << "0:magic:5b 2:dhcp:5c 11:tick"
        << QStringList{"--mac", "00112233445b", "--until-woke", "--wake-timeout", "10"}
        << QStringList{"magic 5B", "no_sign_of_life 5B 10"} << 1;
    const QStringList noWatch{"--wake-timeout", "0"};
    QTest::newRow("unicast magic packet, then unanswered ARP for its address")
        << "0:unicast:60 10:ask 11:ask 11.5:ask 12:ask" << noWatch
        << QStringList{"magic 60 unicast to 10.0.0.23", "unanswered_arp 60 10.0.0.1 asked 3 times for 10.0.0.23"} << 0;
    QTest::newRow("unanswered ARP behind QinQ tags")
        << "0:unicast:60 10:qinq-ask 11:qinq-ask 11.5:qinq-ask" << noWatch
        << QStringList{"magic 60 unicast to 10.0.0.23", "unanswered_arp 60 10.0.0.1 asked 3 times for 10.0.0.23"} << 0;
    QTest::newRow("the machine answered in between")
        << "0:unicast:60 10:ask 11:arp:60 12:ask 13:ask" << noWatch << QStringList{"magic 60 unicast to 10.0.0.23"}
        << 0;
    QTest::newRow("the address learned from its own DHCP, then broadcast magic")
        << "0:dhcp:61 1:magic:61 10:ask 12:ask 14:ask" << noWatch
        << QStringList{"magic 61", "unanswered_arp 61 10.0.0.1 asked 3 times for 10.0.0.23"} << 0;
    QTest::newRow("too slow, or an address nobody wakes")
        << "0:unicast:60 10:ask 13:ask 16:ask 20:dhcp:62 21:ask 22:ask 23:ask" << noWatch
        << QStringList{"magic 60 unicast to 10.0.0.23"} << 0;
    QTest::newRow("count not reached by the end") << "0:magic:5d" << QStringList{"--count", "2"}
                                                  << QStringList{"magic 5D", "no_sign_of_life 5D 0 cut short"} << 1;
}

void TestCliRead::events()
{
    QFETCH(QString, capture);
    QFETCH(QStringList, options);
    QFETCH(QStringList, events);
    QFETCH(int, exitCode);

    QTemporaryDir folder;
    const QString path = folder.filePath("capture.pcap");
    QVERIFY(WriteCapture(path, capture));
    QProcess cli;
    cli.start(CORVALEN_CLI, QStringList{"--json", "--read", path} + options);
    QVERIFY(cli.waitForFinished(60000));
    QCOMPARE(cli.exitCode(), exitCode);
    QCOMPARE(Summaries(cli.readAllStandardOutput()), events);
}

// A capture of another link type says what to do instead; standard input is read too.
void TestCliRead::notEthernet()
{
    QTemporaryDir folder;
    const QString path = folder.filePath("cooked.pcap");
    pcap_t *dead = pcap_open_dead(DLT_LINUX_SLL, 65535);
    pcap_dump_close(pcap_dump_open(dead, path.toLocal8Bit().constData()));
    pcap_close(dead);
    QProcess cli;
    cli.setStandardInputFile(path);
    cli.start(CORVALEN_CLI, {"--read", "-"});
    QVERIFY(cli.waitForFinished(60000));
    QCOMPARE(cli.exitCode(), 3);
    QVERIFY(cli.readAllStandardError().contains("not a capture of Ethernet frames (link type LINUX_SLL)"));
}

void TestCliRead::watchCutShortSaysSo()
{
    QTemporaryDir folder;
    const QString path = folder.filePath("capture.pcap");
    QVERIFY(WriteCapture(path, "0:magic:55 0.4:tick"));
    QProcess cli;
    cli.start(CORVALEN_CLI, {"--read", path});
    QVERIFY(cli.waitForFinished(60000));
    QVERIFY(cli.readAllStandardOutput().contains(
        "\nThe capture ends 0.4 s after the magic packet for 00-11-22-33-44-55: whether it woke cannot be told\n"));
}

void TestCliRead::damagedOrMixed_data()
{
    QTest::addColumn<QString>("shape");
    QTest::addColumn<bool>("standardInput");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QStringList>("events");

    const QStringList two{"magic 55", "magic 56"};
    QTest::newRow("pcap cut in the middle of a packet")
        << "cut" << false << 4 << "capture.pcap: damaged after 2 packet(s) read: truncated dump file" << two;
    QTest::newRow("pcap cut in a packet's header, from standard input")
        << "cut-header" << true << 4 << "standard input: damaged after 2 packet(s) read: truncated dump file" << two;
    QTest::newRow("pcapng cut in the middle of a packet")
        << "cut-pcapng" << false << 4 << "damaged after 2 packet(s) read: truncated pcapng dump file" << two;
    QTest::newRow("mergecap of two snapshot lengths")
        << "snapshot" << false << 3 << "different snapshot lengths (65535 and 1500)" << QStringList();
    QTest::newRow("mergecap of Ethernet and Linux cooked frames")
        << "cooked" << false << 3 << "different link types (EN10MB and LINUX_SLL)" << QStringList();
    QTest::newRow("the same, from standard input")
        << "cooked" << true << 3 << "an interface has a type 113 different from the type of the first interface"
        << QStringList();
}

// What was read stands, and the exit status says the capture is not whole. A pcapng
// file libpcap cannot read is refused with a command that makes one it reads.
void TestCliRead::damagedOrMixed()
{
    QFETCH(QString, shape);
    QFETCH(bool, standardInput);
    QFETCH(int, exitCode);
    QFETCH(QString, error);
    QFETCH(QStringList, events);

    QTemporaryDir folder;
    const QString pcap = folder.filePath("capture.pcap");
    QVERIFY(WriteCapture(pcap, "0:magic:55 1:magic:56 2:magic:57"));
    QString path = pcap;
    const auto run = [&folder](const QString &program, const QStringList &arguments) {
        QProcess process;
        process.setWorkingDirectory(folder.path());
        process.start(program, arguments);
        return process.waitForFinished(60000) && process.exitCode() == 0;
    };
    if (shape == "cut-pcapng") {
        path = folder.filePath("capture.pcapng");
        QVERIFY(run("mergecap", {"-F", "pcapng", "-w", path, pcap}));
    } else if (shape == "snapshot" || shape == "cooked") {
        const QString other = folder.filePath("other.pcap");
        pcap_t *dead = pcap_open_dead(shape == "cooked" ? DLT_LINUX_SLL : DLT_EN10MB, 1500);
        pcap_dump_close(pcap_dump_open(dead, other.toLocal8Bit().constData()));
        pcap_close(dead);
        path = folder.filePath("merged.pcapng");
        QVERIFY(run("mergecap", {"-w", path, pcap, other}));
    }
    QFile file(path);
    if (shape.startsWith("cut"))
        QVERIFY(file.resize(file.size() - (shape == "cut-header" ? 128 : 40)));

    QProcess cli;
    if (standardInput)
        cli.setStandardInputFile(path);
    cli.start(CORVALEN_CLI, {"--json", "--wake-timeout", "0", "--read", standardInput ? "-" : path});
    QVERIFY(cli.waitForFinished(60000));
    const QString stderrText = QString::fromLocal8Bit(cli.readAllStandardError());
    QVERIFY2(stderrText.contains(error), qPrintable(stderrText));
    QCOMPARE(cli.exitCode(), exitCode);
    QCOMPARE(Summaries(cli.readAllStandardOutput()), events);
    if (exitCode != 3)
        return;
    // The hint, run as it stands, makes a file that reads whole.
    const qsizetype with = stderrText.indexOf("with: ");
    QVERIFY(with > 0);
    QString hint = stderrText.mid(with + 6).section('\n', 0, 0);
    if (standardInput)
        hint.replace("FILE", path);
    QVERIFY2(run("bash", {"-c", hint}), qPrintable(hint));
    cli.start(CORVALEN_CLI, {"--json", "--wake-timeout", "0", "--read", path + ".eth.pcap"});
    QVERIFY(cli.waitForFinished(60000));
    QCOMPARE(cli.exitCode(), 0);
    QCOMPARE(cli.readAllStandardOutput().count("\"magic\""), 3);
}

QTEST_GUILESS_MAIN(TestCliRead)
#include "tst_cli_read.moc"
