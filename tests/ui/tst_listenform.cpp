#include "rootskip.h"
#include "fakesocketcalls.h"
#include "kernelhelpers.h"
#include "listenform.h"
#include "testdatagrams.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <cerrno>
#include <unistd.h>

class TestListenForm final : public QObject
{
    Q_OBJECT
private slots:
    void layout();
    void failedStart_data();
    void failedStart();
    void reportsBecomeBlocks();
    void failuresBecomeErrorLines();
    void lineLimitCountsScreenLines();
    void wrappedLinesCountOncePerScreenLine();
    void logCanBeSelectedAndCopied();
    void viewFollowsNewestLine();
    void closing_data();
    void closing();
    void realPacketAppearsInLog();
};

namespace {

const QDateTime kAfternoon(QDate(2026, 12, 7), QTime(14, 5, 9));

struct Window
{
    explicit Window(FakeSocketCalls &calls)
        : form(new TListenForm(calls))
    {
        form->SetClock([] { return kAfternoon; });
        form->show();
    }
    ~Window() { delete form.data(); }

    QPlainTextEdit *Memo() const { return form->findChild<QPlainTextEdit *>(QStringLiteral("ShowMemo")); }
    QStringList Lines() const
    {
        const QString text = Memo()->toPlainText();
        return text.isEmpty() && Memo()->document()->isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
    void Click(const char *button) const
    {
        auto *toolButton = form->findChild<QToolButton *>(QLatin1String(button));
        QVERIFY(toolButton);
        QTest::mouseClick(toolButton, Qt::LeftButton);
    }

    QPointer<TListenForm> form;
};

QByteArray MagicDatagram(char lastMacByte = 0x55)
{
    const QByteArray mac = QByteArray::fromHex("001122334400") .replace(5, 1, QByteArray(1, lastMacByte));
    return testdatagrams::BuildDatagram({.source = 0xC0A8010A,
                                         .destination = 0xC0A801FF,
                                         .sourcePort = 3000,
                                         .destinationPort = 9,
                                         .payload = testdatagrams::MagicPayload(mac)});
}

const QStringList kBlock = {
    "Magic Packet received.",
    "  Date, Time: 12/7/2026 2:05:09 PM",
    "  Source Address: 192.168.1.10",
    "  Source Port: 3000",
    "  Destination Address: 192.168.1.255",
    "  Destination Port: 9",
    "  MAC Address: 00-11-22-33-44-55",
    "",
};

} // namespace

void TestListenForm::layout()
{
    FakeSocketCalls calls;
    Window window(calls);
    TListenForm &form = *window.form;

    QCOMPARE(form.windowTitle(), QStringLiteral("Corvalen"));
    QCOMPARE(form.size(), QSize(301, 313));
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(form.windowFlags() & Qt::WindowCloseButtonHint);
    QCOMPARE(form.font().family(), QStringLiteral("Arial"));
    QCOMPARE(form.font().pixelSize(), 12);
    QCOMPARE(form.windowIcon().availableSizes().size(), 5);
    QCOMPARE(form.windowIcon().pixmap(128, 128).size(), QSize(128, 128));

    auto *toolBar = form.findChild<QToolBar *>(QStringLiteral("IconToolBar"));
    QVERIFY(toolBar);
    QCOMPARE(toolBar->geometry(), QRect(0, 0, 301, 29));

    const struct
    {
        const char *name;
        int left;
        const char *tip;
    } buttons[] = {{"ExitToolButton", 0, "Exit"}, {"ClearToolButton", 23, "Clear"}, {"HelpToolButton", 46, "About"}};
    for (const auto &button : buttons) {
        auto *toolButton = form.findChild<QToolButton *>(QLatin1String(button.name));
        QVERIFY2(toolButton, button.name);
        QCOMPARE(toolButton->size(), QSize(23, 22));
        QCOMPARE(toolButton->x(), button.left);
        QCOMPARE(toolButton->toolTip(), QLatin1String(button.tip));
        QCOMPARE(toolButton->toolButtonStyle(), Qt::ToolButtonIconOnly);
        QCOMPARE(toolButton->icon().pixmap(16, 16).size(), QSize(16, 16));
        QVERIFY(toolButton->autoRaise());
    }

    QPlainTextEdit *memo = window.Memo();
    QCOMPARE(memo->geometry(), QRect(0, 29, 301, 284));
    QVERIFY(memo->isReadOnly());
    QCOMPARE(memo->focusPolicy(), Qt::ClickFocus);
    QCOMPARE(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(memo->lineWrapMode(), QPlainTextEdit::WidgetWidth);

    form.resize(500, 400);
    QCOMPARE(toolBar->height(), 29);
    QCOMPARE(memo->geometry(), QRect(0, 29, 500, 371));
}

void TestListenForm::failedStart_data()
{
    QTest::addColumn<int>("startupCode");
    QTest::addColumn<int>("openError");
    QTest::addColumn<int>("bindError");
    QTest::addColumn<QString>("line");

    QTest::newRow("no right to raw sockets") << 0 << EPERM << 0 << "Not listening: Permission denied, 10013";
    QTest::newRow("socket library not ready") << 10091 << 0 << 0 << "Not listening: WSASYSNOTREADY";
    QTest::newRow("bind refused") << 0 << 0 << EADDRNOTAVAIL
                                  << "Not listening: Can't assign requested address, 10049";
}

void TestListenForm::failedStart()
{
    QFETCH(int, startupCode);
    QFETCH(int, openError);
    QFETCH(int, bindError);
    QFETCH(QString, line);

    FakeSocketCalls calls;
    calls.startupCode = startupCode;
    calls.openError = openError;
    calls.bindError = bindError;
    {
        Window window(calls);
        QCOMPARE(window.Lines(), QStringList{line});
        QVERIFY(!window.form->Listener()->IsListening());

        window.Click("ClearToolButton");
        QCOMPARE(window.Lines(), QStringList());
        QTest::qWait(50);
        QCOMPARE(window.Lines(), QStringList());
    }
    QCOMPARE(calls.openSockets, 0);
}

void TestListenForm::reportsBecomeBlocks()
{
    FakeSocketCalls calls;
    Window window(calls);
    QCOMPARE(window.Lines(), QStringList());

    calls.Feed(MagicDatagram());
    QTRY_COMPARE(window.Lines(), kBlock);
    calls.Feed(MagicDatagram());
    QTRY_COMPARE(window.Lines(), kBlock + kBlock);

    window.Click("ClearToolButton");
    QCOMPARE(window.Lines(), QStringList());
    calls.Feed(MagicDatagram());
    QTRY_COMPARE(window.Lines(), kBlock);
}

void TestListenForm::failuresBecomeErrorLines()
{
    FakeSocketCalls calls;
    Window window(calls);

    calls.FeedFailure(ENOBUFS);
    calls.FeedOversized(3000);
    calls.Feed(MagicDatagram());
    QTRY_COMPARE(window.Lines().size(), 10);
    QCOMPARE(window.Lines().mid(0, 2),
             QStringList({"Error: No buffer space available, 10055", "Error: Message too long, 10040"}));
    QCOMPARE(window.Lines().mid(2), kBlock);
}

void TestListenForm::lineLimitCountsScreenLines()
{
    FakeSocketCalls calls;
    Window window(calls);

    for (int report = 1; report <= 87; ++report)
        calls.Feed(MagicDatagram());
    QTRY_COMPARE(window.Lines().size(), 696);

    calls.Feed(MagicDatagram(0x66));
    QTRY_COMPARE(window.Lines().size(), 704);
    QCOMPARE(window.Lines().at(696 + 6), QStringLiteral("  MAC Address: 00-11-22-33-44-66"));

    calls.Feed(MagicDatagram(0x77));
    QTRY_COMPARE(window.Lines().size(), 8);
    QCOMPARE(window.Lines().at(6), QStringLiteral("  MAC Address: 00-11-22-33-44-77"));
}

void TestListenForm::wrappedLinesCountOncePerScreenLine()
{
    // A failure text far wider than the view wraps; each screen line counts
    // towards the limit, so fewer reports fit before the log is emptied.
    FakeSocketCalls calls;
    Window window(calls);
    for (int failure = 1; failure <= 3; ++failure)
        calls.FeedFailure(EAFNOSUPPORT); // "Address family not supported by protocol family, 10047"
    QTRY_COMPARE(window.Lines().size(), 3);
    const int screenLines = window.Memo()->document()->lineCount();
    QVERIFY2(screenLines >= 6, qPrintable(QString::number(screenLines)));

    for (int report = 1; report <= 87; ++report)
        calls.Feed(MagicDatagram());
    // 3 + 696 = 699 text lines, but more than 700 screen lines: the 88th report starts afresh.
    QTRY_COMPARE(window.Lines().size(), 699);
    calls.Feed(MagicDatagram());
    QTRY_COMPARE(window.Lines().size(), 8);
}

void TestListenForm::logCanBeSelectedAndCopied()
{
    FakeSocketCalls calls;
    Window window(calls);
    calls.Feed(MagicDatagram());
    QTRY_COMPARE(window.Lines(), kBlock);

    QPlainTextEdit *memo = window.Memo();
    memo->setFocus();
    QApplication::clipboard()->clear();
    QTest::keyClick(memo, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(memo, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), kBlock.join(QLatin1Char('\n')));

    QTest::keyClick(memo, Qt::Key_X, Qt::ControlModifier);
    QTest::keyClick(memo, Qt::Key_Delete);
    QTest::keyClicks(memo, QStringLiteral("typed"));
    QCOMPARE(window.Lines(), kBlock);
}

void TestListenForm::viewFollowsNewestLine()
{
    FakeSocketCalls calls;
    Window window(calls);
    for (int report = 1; report <= 10; ++report)
        calls.Feed(MagicDatagram());
    QTRY_COMPARE(window.Lines().size(), 80);

    QPlainTextEdit *memo = window.Memo();
    QScrollBar *scrollBar = memo->verticalScrollBar();
    QVERIFY(scrollBar->maximum() > 0);
    QVERIFY(scrollBar->value() > 0);
    scrollBar->setValue(0);
    QVERIFY(!memo->viewport()->rect().contains(memo->cursorRect()));
    memo->selectAll();
    QVERIFY(memo->textCursor().hasSelection());

    calls.Feed(MagicDatagram(0x66));
    QTRY_COMPARE(window.Lines().size(), 88);
    QVERIFY(memo->viewport()->rect().contains(memo->cursorRect()));
    QVERIFY(!memo->textCursor().hasSelection());
    QCOMPARE(memo->textCursor().position(), memo->document()->characterCount() - 1);
}

void TestListenForm::closing_data()
{
    QTest::addColumn<bool>("exitButton");
    QTest::newRow("Exit button") << true;
    QTest::newRow("close button") << false;
}

void TestListenForm::closing()
{
    QFETCH(bool, exitButton);
    FakeSocketCalls calls;
    Window window(calls);
    QVERIFY(window.form->Listener()->IsListening());
    QCOMPARE(calls.openSockets, 1);

    if (exitButton)
        window.Click("ExitToolButton");
    else
        window.form->close();
    QTRY_VERIFY(window.form.isNull());
    QCOMPARE(calls.closeCalls, 1);
    QCOMPARE(calls.openSockets, 0);
    QCOMPARE(calls.cleanupCalls, 1);
}

void TestListenForm::realPacketAppearsInLog()
{
    if (::geteuid() != 0)
        SKIP_WITHOUT_ROOT("opening a raw socket needs root");
    const QString wakeonlan = QStandardPaths::findExecutable(QStringLiteral("wakeonlan"));
    if (wakeonlan.isEmpty())
        QSKIP("the wakeonlan sender is not installed");

    QPointer<TListenForm> form = new TListenForm;
    form->show();
    QVERIFY(form->Listener()->IsListening());
    QCOMPARE(QProcess::execute(wakeonlan, {"-i", "127.0.0.1", "-p", "9", "02:c0:4a:11:7e:9d"}), 0);

    auto *memo = form->findChild<QPlainTextEdit *>(QStringLiteral("ShowMemo"));
    QTRY_VERIFY_WITH_TIMEOUT(memo->toPlainText().contains(QStringLiteral("  MAC Address: 02-C0-4A-11-7E-9D")), 5000);
    const QStringList lines = memo->toPlainText().split(QLatin1Char('\n'));
    const qsizetype mac = lines.indexOf(QStringLiteral("  MAC Address: 02-C0-4A-11-7E-9D"));
    QVERIFY(mac >= 6);
    QCOMPARE(lines.at(mac - 6), QStringLiteral("Magic Packet received."));
    QCOMPARE(lines.at(mac - 4), QStringLiteral("  Source Address: 127.0.0.1"));
    QCOMPARE(lines.at(mac - 2), QStringLiteral("  Destination Address: 127.0.0.1"));
    QCOMPARE(lines.at(mac - 1), QStringLiteral("  Destination Port: 9"));
    delete form.data();
}

int main(int argc, char *argv[])
{
    // The blocks below are written with United States settings.
    qputenv("LC_ALL", "en_US.UTF-8");
    if (!InNetworkNamespaceOfItsOwn())
        return 1;
    QApplication application(argc, argv);
    TestListenForm test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_listenform.moc"
