#include "fakesocketcalls.h"
#include "helpform.h"
#include "listenform.h"
#include "testdatagrams.h"
#include "weblauncher.h"

#include <QApplication>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <functional>

class TestHelpForm final : public QObject
{
    Q_OBJECT
private slots:
    void window();
    void controls_data();
    void controls();
    void links_data();
    void links();
    void aboutImage();
    void keys_data();
    void keys();
    void linkPresses_data();
    void linkPresses();
    void fallbackOrder_data();
    void fallbackOrder();
    void warningBox_data();
    void warningBox();
    void pointer_data();
    void pointer();
    void pointerAfterClosingOverLink();
    void systemLauncher_data();
    void systemLauncher();
    void aboutButton_data();
    void aboutButton();
    void reportWhileOpen();
    void newWindowEachClick();
};

namespace {

// Records what the window asks to start; only the named programs "start".
class FakeWebLauncher final : public WebLauncher
{
public:
    FakeWebLauncher() = default;
    Q_DISABLE_COPY_MOVE(FakeWebLauncher)

    bool StartDetached(const QString &program, const QStringList &arguments) override
    {
        started.append(program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')));
        return working.contains(program);
    }

    QSet<QString> working;
    QStringList started;
};

template <typename T>
T *Child(const QWidget &parent, const char *name)
{
    return parent.findChild<T *>(QLatin1String(name));
}

// Runs `inside` from within the window's modal loop, then presses OK if the
// window is still open, so that a failing check cannot leave the loop running.
int ExecWith(THelpForm &form, const std::function<void()> &inside)
{
    QTimer::singleShot(0, &form, [&form, inside] {
        inside();
        if (form.isVisible())
            Child<QPushButton>(form, "OkButton")->click();
    });
    return form.exec();
}

// Watches for warning boxes inside any modal loop: records each and dismisses it with a key.
class WarningWatcher final : public QObject
{
public:
    explicit WarningWatcher(Qt::Key dismissKey) : m_dismissKey(dismissKey)
    {
        connect(&m_timer, &QTimer::timeout, this, &WarningWatcher::Look);
        m_timer.start(10);
    }
    Q_DISABLE_COPY_MOVE(WarningWatcher)

    struct Seen
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        bool okIsDefaultAndEscape = false;
        bool modal = false;
    };
    QList<Seen> seen;

private:
    void Look()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || box == m_last)
            return;
        m_last = box;
        QAbstractButton *ok = box->button(QMessageBox::Ok);
        seen.append({box->windowTitle(), box->text(), box->icon(), box->standardButtons(),
                     ok && box->defaultButton() == ok && box->escapeButton() == ok, box->isModal()});
        QWidget *focus = QApplication::focusWidget();
        QTest::keyClick(focus && box->isAncestorOf(focus) ? focus : box, m_dismissKey);
    }

    Qt::Key m_dismissKey;
    QTimer m_timer;
    QPointer<QMessageBox> m_last;
};

void Send(QWidget *widget, QEvent::Type type, Qt::MouseButton button, Qt::KeyboardModifiers modifiers = {})
{
    const QPointF local(3, 3);
    QMouseEvent event(type, local, widget->mapToGlobal(local), button,
                      type == QEvent::MouseButtonRelease ? Qt::NoButton : button, modifiers);
    QCoreApplication::sendEvent(widget, &event);
}

void Enter(QWidget *widget)
{
    QEnterEvent event(QPointF(3, 3), QPointF(3, 3), widget->mapToGlobal(QPointF(3, 3)));
    QCoreApplication::sendEvent(widget, &event);
}

void Leave(QWidget *widget)
{
    QEvent event(QEvent::Leave);
    QCoreApplication::sendEvent(widget, &event);
}

std::optional<Qt::CursorShape> ApplicationCursor()
{
    if (const QCursor *cursor = QGuiApplication::overrideCursor())
        return cursor->shape();
    return std::nullopt;
}

const QString kBrinvalePage = QStringLiteral("https://brinvale.example/index.html");
const QString kCorvalenPage = QStringLiteral("https://corvalen.example/index.html");

QByteArray MagicDatagram()
{
    return testdatagrams::BuildDatagram({.source = 0xC0A8010A,
                                         .destination = 0xC0A801FF,
                                         .sourcePort = 3000,
                                         .destinationPort = 9,
                                         .payload = testdatagrams::MagicPayload(QByteArray::fromHex("001122334455"))});
}

struct MainWindow
{
    explicit MainWindow(FakeSocketCalls &calls) : form(new TListenForm(calls))
    {
        form->show();
    }
    ~MainWindow() { delete form.data(); }
    Q_DISABLE_COPY_MOVE(MainWindow)

    void ClickAbout() const { QTest::mouseClick(Child<QToolButton>(*form, "HelpToolButton"), Qt::LeftButton); }
    QString Log() const { return Child<QPlainTextEdit>(*form, "ShowMemo")->toPlainText(); }

    QPointer<TListenForm> form;
};

THelpForm *OpenAboutWindow()
{
    return qobject_cast<THelpForm *>(QApplication::activeModalWidget());
}

} // namespace

void TestHelpForm::window()
{
    THelpForm form;
    QCOMPARE(form.objectName(), QStringLiteral("HelpForm"));
    QCOMPARE(form.windowTitle(), QStringLiteral("About Corvalen"));
    QCOMPARE(form.size(), QSize(418, 334));
    QCOMPARE(form.minimumSize(), QSize(418, 334));
    QCOMPARE(form.maximumSize(), QSize(418, 334));
    QVERIFY(!form.isSizeGripEnabled());
    QVERIFY(!form.parent());

    const Qt::WindowFlags flags = form.windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
    QVERIFY(flags & Qt::CustomizeWindowHint);
    QVERIFY(flags & Qt::WindowTitleHint);
    for (Qt::WindowType button : {Qt::WindowSystemMenuHint, Qt::WindowCloseButtonHint, Qt::WindowMinimizeButtonHint,
                                  Qt::WindowMaximizeButtonHint, Qt::WindowContextHelpButtonHint})
        QVERIFY2(!(flags & button), qPrintable(QString::number(button, 16)));

    QCOMPARE(form.font().family(), QStringLiteral("Arial"));
    QCOMPARE(form.font().pixelSize(), 12);
    QVERIFY(!form.font().bold() && !form.font().italic() && !form.font().underline());

    auto *panel = Child<QFrame>(form, "Panel1");
    QVERIFY(panel);
    QCOMPARE(panel->frameShape(), QFrame::Box);
    QCOMPARE(panel->frameShadow(), QFrame::Sunken);
    QCOMPARE(panel->lineWidth(), 1);
    QCOMPARE(panel->midLineWidth(), 0);

    auto *ok = Child<QPushButton>(form, "OkButton");
    QVERIFY(ok);
    QVERIFY(ok->isDefault());
    QCOMPARE(ok->parentWidget(), &form);
    QCOMPARE(form.nextInFocusChain(), ok);
}

void TestHelpForm::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QRect>("geometry"); // an empty size: the label is sized to its text
    QTest::addColumn<QString>("text");

    const QString label = QStringLiteral("QLabel");
    QTest::newRow("OkButton") << "OkButton" << "QPushButton" << QRect(171, 296, 75, 25) << "OK";
    QTest::newRow("Panel1") << "Panel1" << "QFrame" << QRect(0, 2, 417, 279) << "";
    QTest::newRow("AboutImage") << "AboutImage" << label << QRect(16, 16, 137, 137) << "";
    QTest::newRow("Label6") << "Label6" << label << QRect(168, 18, 0, 0) << "Corvalen";
    QTest::newRow("CopyrightLabel") << "CopyrightLabel" << label << QRect(168, 42, 239, 15)
                                    << "Copyright © 2026 the Corvalen developers";
    QTest::newRow("Label7") << "Label7" << label << QRect(170, 64, 0, 0) << "Version 1.0.0";
    QTest::newRow("WindowsLabel") << "WindowsLabel" << label << QRect(170, 88, 0, 0)
                                  << "for Linux desktops with Qt 6 and";
    QTest::newRow("ServerLabel") << "ServerLabel" << label << QRect(170, 112, 0, 0)
                                 << "Linux servers with an X11 display";
    QTest::newRow("MailLabel") << "MailLabel" << label << QRect(170, 136, 0, 0)
                               << "E-mail: support@corvalen.example";
    QTest::newRow("DescriptionLabel")
        << "DescriptionLabel" << label << QRect(16, 168, 367, 46)
        << "This program can be used to receive Wake-On-LAN magic packets as the troubleshooting tool with "
           "Brinvale and Tarrowick.";
    QTest::newRow("Site1Label") << "Site1Label" << label << QRect(16, 222, 0, 0) << "https://brinvale.example";
    QTest::newRow("Site2Label") << "Site2Label" << label << QRect(16, 246, 0, 0) << "https://corvalen.example";
}

void TestHelpForm::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    THelpForm form;
    auto *control = form.findChild<QWidget *>(name);
    QVERIFY(control);
    QCOMPARE(QLatin1String(control->metaObject()->className()), kind);
    if (name != QLatin1String("OkButton") && name != QLatin1String("Panel1"))
        QCOMPARE(control->parentWidget()->objectName(), QStringLiteral("Panel1"));

    if (geometry.size().isEmpty()) {
        QCOMPARE(control->pos(), geometry.topLeft());
        QCOMPARE(control->size(), control->sizeHint());
    } else {
        QCOMPARE(control->geometry(), geometry);
    }

    if (auto *label = qobject_cast<QLabel *>(control)) {
        QCOMPARE(label->text(), text);
        QCOMPARE(label->wordWrap(), name == QLatin1String("DescriptionLabel"));
        QCOMPARE(label->font().family(), QStringLiteral("Arial"));
        QCOMPARE(label->font().pixelSize(), 12);
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
        // The text is not cut off.
        const QFontMetrics metrics = label->fontMetrics();
        if (label->wordWrap())
            QVERIFY(label->heightForWidth(label->width()) <= label->height());
        else
            QVERIFY(metrics.horizontalAdvance(text) <= label->width());
        // Every line of text fits inside the panel.
        QVERIFY(control->geometry().right() < 417 - 2);
    } else if (auto *button = qobject_cast<QPushButton *>(control)) {
        QCOMPARE(button->text(), text);
    }
}

void TestHelpForm::links_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("address");
    QTest::newRow("Brinvale") << "Site1Label" << kBrinvalePage;
    QTest::newRow("Corvalen") << "Site2Label" << kCorvalenPage;
}

void TestHelpForm::links()
{
    QFETCH(QString, name);
    QFETCH(QString, address);

    THelpForm form;
    auto *link = form.findChild<QLabel *>(name);
    QVERIFY(link);
    QCOMPARE(THelpForm::LinkAddress(*link), address);
    QVERIFY(link->font().underline());
    QCOMPARE(link->font().family(), QStringLiteral("Arial"));
    QCOMPARE(link->font().pixelSize(), 12);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
        QCOMPARE(link->palette().color(group, QPalette::WindowText), QColor(Qt::blue));
    // The plain labels keep the window's text colour.
    QCOMPARE(Child<QLabel>(form, "MailLabel")->palette().color(QPalette::WindowText),
             form.palette().color(QPalette::WindowText));
    QVERIFY(!Child<QLabel>(form, "MailLabel")->font().underline());
}

void TestHelpForm::aboutImage()
{
    THelpForm form;
    auto *image = Child<QLabel>(form, "AboutImage");
    QVERIFY(image);
    QVERIFY(!image->hasScaledContents());
    QCOMPARE(image->alignment() & (Qt::AlignHorizontal_Mask | Qt::AlignVertical_Mask),
             Qt::AlignLeft | Qt::AlignTop);
    const QPixmap pixmap = image->pixmap();
    QCOMPARE(pixmap.size(), QSize(128, 128));
    const QImage expected(QStringLiteral(":/icons/corvalen-128.png"));
    QVERIFY(!expected.isNull());
    // Compared premultiplied, as a pixmap holds it.
    QCOMPARE(pixmap.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
             expected.convertToFormat(QImage::Format_ARGB32_Premultiplied));

    // Drawn unscaled at the control's top-left corner.
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    const QImage shown = image->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(shown.size(), QSize(137, 137));
    const QImage icon = expected.convertToFormat(QImage::Format_ARGB32);
    for (QPoint point : {QPoint(64, 64), QPoint(40, 90), QPoint(100, 30)}) {
        if (qAlpha(icon.pixel(point)) == 255)
            QCOMPARE(shown.pixel(point), icon.pixel(point));
    }
    QCOMPARE(shown.pixel(133, 133), form.palette().color(QPalette::Window).rgba());
}

void TestHelpForm::keys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("closes");
    QTest::newRow("Escape") << int(Qt::Key_Escape) << false;
    QTest::newRow("Return") << int(Qt::Key_Return) << true;
    QTest::newRow("Enter") << int(Qt::Key_Enter) << true;
    QTest::newRow("Space") << int(Qt::Key_Space) << true;
}

void TestHelpForm::keys()
{
    QFETCH(int, key);
    QFETCH(bool, closes);

    FakeWebLauncher launcher;
    THelpForm form(launcher);
    QWidget *focus = nullptr;
    bool active = false;
    bool openAfterKey = false;
    const int result = ExecWith(form, [&] {
        active = QTest::qWaitForWindowActive(&form);
        focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : &form, Qt::Key(key));
        // Enter on a default button clicks it after a short animation; a key that
        // does not close is given time to do so wrongly.
        if (closes)
            static_cast<void>(QTest::qWaitFor([&] { return !form.isVisible(); }, 10000)); // told below
        else
            QTest::qWait(300);
        openAfterKey = form.isVisible();
    });
    QVERIFY(active);
    QCOMPARE(focus, Child<QPushButton>(form, "OkButton"));
    QCOMPARE(openAfterKey, !closes);
    QCOMPARE(result, int(QDialog::Accepted));
    QVERIFY(launcher.started.isEmpty());
}

void TestHelpForm::linkPresses_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("doubleClick");
    QTest::addColumn<QStringList>("started");

    const QString site1 = QStringLiteral("xdg-open ") + kBrinvalePage;
    const QString site2 = QStringLiteral("xdg-open ") + kCorvalenPage;
    QTest::newRow("left on Brinvale") << "Site1Label" << int(Qt::LeftButton) << 0 << false << QStringList{site1};
    QTest::newRow("right on Brinvale") << "Site1Label" << int(Qt::RightButton) << 0 << false << QStringList{site1};
    QTest::newRow("middle on Corvalen") << "Site2Label" << int(Qt::MiddleButton) << 0 << false << QStringList{site2};
    QTest::newRow("left with Ctrl and Shift on Corvalen")
        << "Site2Label" << int(Qt::LeftButton) << int(Qt::ControlModifier | Qt::ShiftModifier) << false
        << QStringList{site2};
    QTest::newRow("back button on Corvalen") << "Site2Label" << int(Qt::BackButton) << 0 << false << QStringList{site2};
    QTest::newRow("double click on Brinvale") << "Site1Label" << int(Qt::LeftButton) << 0 << true
                                              << QStringList{site1, site1};
    QTest::newRow("right double click on Corvalen")
        << "Site2Label" << int(Qt::RightButton) << 0 << true << QStringList{site2, site2};
    QTest::newRow("press on the mail label") << "MailLabel" << int(Qt::LeftButton) << 0 << false << QStringList{};
}

void TestHelpForm::linkPresses()
{
    QFETCH(QString, name);
    QFETCH(int, button);
    QFETCH(int, modifiers);
    QFETCH(bool, doubleClick);
    QFETCH(QStringList, started);

    FakeWebLauncher launcher;
    launcher.working = {QStringLiteral("xdg-open")};
    THelpForm form(launcher);
    form.show();
    QWidget *label = form.findChild<QLabel *>(name);
    QVERIFY(label);
    const auto mouseButton = Qt::MouseButton(button);
    const auto keys = Qt::KeyboardModifiers(modifiers);

    // A double click reaches a widget as press, release, double click, release.
    Send(label, QEvent::MouseButtonPress, mouseButton, keys);
    Send(label, QEvent::MouseButtonRelease, mouseButton, keys);
    if (doubleClick) {
        Send(label, QEvent::MouseButtonDblClick, mouseButton, keys);
        Send(label, QEvent::MouseButtonRelease, mouseButton, keys);
    }
    QCOMPARE(launcher.started, started);
    QVERIFY(form.isVisible());
}

void TestHelpForm::fallbackOrder_data()
{
    QTest::addColumn<QStringList>("working");
    QTest::addColumn<QStringList>("tried");
    QTest::addColumn<int>("warnings");

    QTest::newRow("desktop opener") << QStringList{"xdg-open", "x-www-browser", "firefox"} << QStringList{"xdg-open"}
                                    << 0;
    QTest::newRow("desktop opener only") << QStringList{"xdg-open"} << QStringList{"xdg-open"} << 0;
    QTest::newRow("first named browser") << QStringList{"x-www-browser", "firefox"}
                                         << QStringList{"xdg-open", "x-www-browser"} << 0;
    QTest::newRow("second named browser") << QStringList{"firefox"}
                                          << QStringList{"xdg-open", "x-www-browser", "firefox"} << 0;
    QTest::newRow("unknown programs only") << QStringList{"netscape", "iexplore.exe"}
                                           << QStringList{"xdg-open", "x-www-browser", "firefox"} << 1;
    QTest::newRow("nothing starts") << QStringList{} << QStringList{"xdg-open", "x-www-browser", "firefox"} << 1;
}

void TestHelpForm::fallbackOrder()
{
    QFETCH(QStringList, working);
    QFETCH(QStringList, tried);
    QFETCH(int, warnings);

    FakeWebLauncher launcher;
    launcher.working = QSet<QString>(working.cbegin(), working.cend());
    THelpForm form(launcher);
    form.show();
    WarningWatcher watcher(Qt::Key_Escape);
    Send(Child<QLabel>(form, "Site2Label"), QEvent::MouseButtonPress, Qt::LeftButton);

    QStringList expected;
    for (const QString &program : tried)
        expected.append(program + QLatin1Char(' ') + kCorvalenPage);
    QCOMPARE(launcher.started, expected);
    QCOMPARE(watcher.seen.size(), warnings);
    QVERIFY(form.isVisible());
}

void TestHelpForm::warningBox_data()
{
    QTest::addColumn<int>("dismissKey");
    QTest::newRow("Escape") << int(Qt::Key_Escape);
    QTest::newRow("Enter") << int(Qt::Key_Return);
}

void TestHelpForm::warningBox()
{
    QFETCH(int, dismissKey);

    FakeWebLauncher launcher;
    THelpForm form(launcher);
    WarningWatcher watcher{Qt::Key(dismissKey)};
    const int result = ExecWith(form, [&] {
        Send(Child<QLabel>(form, "Site1Label"), QEvent::MouseButtonPress, Qt::LeftButton);
        Send(Child<QLabel>(form, "Site1Label"), QEvent::MouseButtonPress, Qt::RightButton);
    });
    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(launcher.started.size(), 6);
    QCOMPARE(watcher.seen.size(), 2); // one box per press, each dismissed by the key
    for (const WarningWatcher::Seen &box : watcher.seen) {
        QCOMPARE(box.title, QStringLiteral("Warning"));
        QCOMPARE(box.text, QStringLiteral("Default web browser could not be found."));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(box.okIsDefaultAndEscape);
        QVERIFY(box.modal);
    }
}

void TestHelpForm::pointer_data()
{
    QTest::addColumn<bool>("busyBefore");
    QTest::newRow("default pointer") << false;
    QTest::newRow("application pointer already set") << true;
}

void TestHelpForm::pointer()
{
    QFETCH(bool, busyBefore);
    if (busyBefore)
        QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    const std::optional<Qt::CursorShape> before = ApplicationCursor();
    {
        THelpForm form;
        form.show();
        for (const char *name : {"Site1Label", "Site2Label"}) {
            auto *link = Child<QLabel>(form, name);
            QCOMPARE(ApplicationCursor(), before);
            Enter(link);
            QCOMPARE(ApplicationCursor(), std::optional(Qt::PointingHandCursor));
            Leave(link);
            QCOMPARE(ApplicationCursor(), before);
        }
        // Other labels leave the pointer alone.
        Enter(Child<QLabel>(form, "MailLabel"));
        QCOMPARE(ApplicationCursor(), before);
        Leave(Child<QLabel>(form, "MailLabel"));
        QCOMPARE(ApplicationCursor(), before);
    }
    QCOMPARE(ApplicationCursor(), before);
    if (busyBefore)
        QGuiApplication::restoreOverrideCursor();
    QCOMPARE(ApplicationCursor(), std::nullopt);
}

void TestHelpForm::pointerAfterClosingOverLink()
{
    {
        THelpForm form;
        ExecWith(form, [&] {
            Enter(Child<QLabel>(form, "Site2Label"));
            QTest::keyClick(Child<QPushButton>(form, "OkButton"), Qt::Key_Return);
        });
        QVERIFY(!form.isVisible());
        QCOMPARE(ApplicationCursor(), std::nullopt);
    }
    QCOMPARE(ApplicationCursor(), std::nullopt);
}

void TestHelpForm::systemLauncher_data()
{
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QString>("expected");

    QTest::newRow("all three") << QStringList{"xdg-open", "x-www-browser", "firefox"} << "xdg-open";
    QTest::newRow("no desktop opener") << QStringList{"x-www-browser", "firefox"} << "x-www-browser";
    QTest::newRow("firefox only") << QStringList{"firefox"} << "firefox";
    QTest::newRow("none") << QStringList{} << "";
}

void TestHelpForm::systemLauncher()
{
    QFETCH(QStringList, installed);
    QFETCH(QString, expected);

    // Stand-ins on a PATH of their own: each writes its name and arguments to a file.
    QTemporaryDir bin;
    QVERIFY(bin.isValid());
    const QString record = bin.filePath(QStringLiteral("started"));
    for (const QString &program : installed) {
        QFile script(bin.filePath(program));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("#!/bin/sh\necho \"%1 $*\" > \"%2\"\n").arg(program, record).toUtf8());
        script.close();
        QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()));
    const bool opened = OpenWebPage(SystemWebLauncher(), kBrinvalePage);
    qputenv("PATH", path);

    QCOMPARE(opened, !expected.isEmpty());
    if (expected.isEmpty())
        return;
    const auto startedLine = [&record] {
        QFile started(record);
        return started.open(QIODevice::ReadOnly) ? QString::fromUtf8(started.readAll()) : QString();
    };
    QTRY_COMPARE_WITH_TIMEOUT(startedLine(), expected + QLatin1Char(' ') + kBrinvalePage + QLatin1Char('\n'), 10000);
}

void TestHelpForm::aboutButton_data()
{
    QTest::addColumn<bool>("atBottomRight");
    QTest::newRow("over the middle") << false;
    QTest::newRow("against the screen's edges") << true;
}

void TestHelpForm::aboutButton()
{
    QFETCH(bool, atBottomRight);

    FakeSocketCalls calls;
    MainWindow main(calls);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    main.form->move(atBottomRight ? screen.bottomRight() - QPoint(100, 100) : screen.topLeft() + QPoint(100, 80));
    QTest::qWait(10);

    QPointer<THelpForm> about;
    QRect aboutFrame;
    bool exposed = false;
    bool modal = false;
    QTimer::singleShot(0, [&] {
        about = OpenAboutWindow();
        if (!about)
            return;
        exposed = QTest::qWaitForWindowExposed(about);
        aboutFrame = about->frameGeometry();
        // Application modal: the main window takes no input meanwhile.
        modal = about->isModal() && about->windowModality() == Qt::ApplicationModal;
        Child<QPushButton>(*about, "OkButton")->click();
    });
    main.ClickAbout();

    QVERIFY(about); // released later, not inside the click
    QVERIFY(exposed);
    QVERIFY(modal);
    QVERIFY(!about->isVisible());
    QVERIFY(!about->parent());
    const QRect mainFrame = main.form->frameGeometry();
    if (atBottomRight) {
        QCOMPARE(aboutFrame.x() + aboutFrame.width(), screen.x() + screen.width());
        QCOMPARE(aboutFrame.y() + aboutFrame.height(), screen.y() + screen.height());
    } else {
        // Halves drop the remainder, so the centres may differ by one pixel.
        const QPoint offset = (aboutFrame.topLeft() * 2 + QPoint(aboutFrame.width(), aboutFrame.height()))
                              - (mainFrame.topLeft() * 2 + QPoint(mainFrame.width(), mainFrame.height()));
        QVERIFY2(qAbs(offset.x()) <= 2 && qAbs(offset.y()) <= 2,
                 qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
        QVERIFY(screen.contains(aboutFrame));
    }
    QTRY_VERIFY(about.isNull());
    QVERIFY(main.form->isVisible());
}

void TestHelpForm::reportWhileOpen()
{
    FakeSocketCalls calls;
    MainWindow main(calls);
    QString logWhileOpen;
    bool stillOpen = false;
    QTimer::singleShot(0, [&] {
        THelpForm *about = OpenAboutWindow();
        if (!about)
            return;
        calls.Feed(MagicDatagram());
        if (QTest::qWaitFor([&] { return main.Log().contains(QStringLiteral("MAC Address")); }, 5000))
            logWhileOpen = main.Log();
        stillOpen = about->isVisible();
        Child<QPushButton>(*about, "OkButton")->click();
    });
    main.ClickAbout();

    QVERIFY(stillOpen);
    const QStringList lines = logWhileOpen.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 8);
    QCOMPARE(lines.at(0), QStringLiteral("Magic Packet received."));
    QCOMPARE(lines.at(6), QStringLiteral("  MAC Address: 00-11-22-33-44-55"));
}

void TestHelpForm::newWindowEachClick()
{
    FakeSocketCalls calls;
    MainWindow main(calls);
    QList<QPointer<THelpForm>> shown;
    QList<bool> previousGone;
    for (int click = 0; click < 2; ++click) {
        QTimer::singleShot(0, [&] {
            previousGone.append(shown.isEmpty() || shown.last().isNull());
            shown.append(OpenAboutWindow());
            if (shown.last())
                Child<QPushButton>(*shown.last(), "OkButton")->click();
        });
        main.ClickAbout();
        QTRY_VERIFY(shown.last().isNull());
    }
    QCOMPARE(shown.size(), 2);
    QCOMPARE(previousGone, QList<bool>({true, true}));
    const QList<QWidget *> windows = QApplication::topLevelWidgets();
    QVERIFY(std::none_of(windows.cbegin(), windows.cend(),
                         [](const QWidget *window) { return window->objectName() == QLatin1String("HelpForm"); }));
}

int main(int argc, char *argv[])
{
    // Nothing here may start a real browser: the links only ever find an empty PATH.
    QTemporaryDir emptyBin;
    qputenv("PATH", QFile::encodeName(emptyBin.path()));
    QApplication application(argc, argv);
    TestHelpForm test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_helpform.moc"
