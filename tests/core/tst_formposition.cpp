#include "formposition.h"

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QTest>

class TestFormPosition final : public QObject
{
    Q_OBJECT
private slots:
    void placement_data();
    void placement();
    void workAreaBesideTaskbar_data();
    void workAreaBesideTaskbar();
};

namespace {

const QRect kScreen(0, 0, 1024, 768);
const QSize kAbout(420, 360);

ScreenRect ToScreenRect(const QRect &rect)
{
    return {rect.x(), rect.y(), rect.x() + rect.width(), rect.y() + rect.height()};
}

} // namespace

void TestFormPosition::placement_data()
{
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QRect>("workArea");
    QTest::addColumn<QRect>("reference");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QPoint>("expected");

    // A 30-pixel panel along the bottom leaves 0, 0 to 1024, 738.
    const QRect belowBottomPanel(0, 0, 1024, 738);
    QTest::newRow("centred over the main window")
        << kScreen << belowBottomPanel << QRect(100, 100, 300, 340) << kAbout << QPoint(40, 90);
    QTest::newRow("main window near the right edge")
        << kScreen << belowBottomPanel << QRect(900, 100, 300, 340) << kAbout << QPoint(604, 90);
    QTest::newRow("main window past the left edge")
        << kScreen << belowBottomPanel << QRect(-50, 100, 300, 340) << kAbout << QPoint(0, 90);
    QTest::newRow("bottom half under the bottom panel")
        << kScreen << belowBottomPanel << QRect(100, 600, 300, 340) << kAbout << QPoint(40, 738 - 360);
    QTest::newRow("main window above the top edge")
        << kScreen << belowBottomPanel << QRect(100, -300, 300, 340) << kAbout << QPoint(40, 0);

    QTest::newRow("auto-hiding panel leaves the whole screen")
        << kScreen << kScreen << QRect(100, 600, 300, 340) << kAbout << QPoint(40, 768 - 360);
    QTest::newRow("no work area known")
        << kScreen << QRect() << QRect(100, 600, 300, 340) << kAbout << QPoint(40, 768 - 360);
    QTest::newRow("work area off the screen")
        << kScreen << QRect(2000, 0, 500, 500) << QRect(900, 600, 300, 340) << kAbout << QPoint(604, 408);
    QTest::newRow("work area reaching past the screen")
        << kScreen << QRect(0, 0, 3000, 738) << QRect(900, 100, 300, 340) << kAbout << QPoint(604, 90);

    QTest::newRow("left panel")
        << kScreen << QRect(48, 0, 976, 768) << QRect(-50, 100, 300, 340) << kAbout << QPoint(48, 90);
    QTest::newRow("left panel, window inside")
        << kScreen << QRect(48, 0, 976, 768) << QRect(300, 200, 300, 340) << kAbout << QPoint(240, 190);
    QTest::newRow("top panel")
        << kScreen << QRect(0, 24, 1024, 744) << QRect(100, -100, 300, 340) << kAbout << QPoint(40, 24);
    QTest::newRow("right panel")
        << kScreen << QRect(0, 0, 976, 768) << QRect(900, 100, 300, 340) << kAbout << QPoint(556, 90);
    QTest::newRow("panels on top and bottom")
        << kScreen << QRect(0, 27, 1024, 701) << QRect(100, 700, 300, 340) << kAbout << QPoint(40, 728 - 360);

    // The upper bound comes last and wins over the lower one.
    QTest::newRow("work area narrower than the window")
        << kScreen << QRect(700, 0, 324, 768) << QRect(600, 100, 300, 340) << kAbout << QPoint(1024 - 420, 90);
    QTest::newRow("work area lower than the window")
        << kScreen << QRect(0, 500, 1024, 268) << QRect(100, 550, 300, 340) << kAbout << QPoint(40, 768 - 360);

    // Halves drop the remainder: 301 / 2 = 150 and 419 / 2 = 209.
    QTest::newRow("odd sizes")
        << kScreen << kScreen << QRect(101, 51, 301, 343) << QSize(419, 335) << QPoint(42, 55);
    // Each size is halved on its own: 301 / 2 - 418 / 2 = -59, where (301 - 418) / 2 would be -58.
    QTest::newRow("odd and even sizes")
        << kScreen << kScreen << QRect(101, 51, 301, 344) << QSize(418, 335) << QPoint(42, 56);
    QTest::newRow("odd sizes, negative start")
        << QRect(-400, -400, 2000, 2000) << QRect(-400, -400, 2000, 2000) << QRect(-51, -31, 301, 343)
        << QSize(419, 335) << QPoint(-110, -27);

    QTest::newRow("screen not at the origin")
        << QRect(1920, 0, 1280, 1024) << QRect(1920, 0, 1280, 1000) << QRect(1800, 900, 300, 340) << kAbout
        << QPoint(1920, 1000 - 360);
}

void TestFormPosition::placement()
{
    QFETCH(QRect, screen);
    QFETCH(QRect, workArea);
    QFETCH(QRect, reference);
    QFETCH(QSize, size);
    QFETCH(QPoint, expected);

    const ScreenPoint position =
        FormPosition(ToScreenRect(screen), ToScreenRect(workArea), ToScreenRect(reference), size.width(), size.height());
    QCOMPARE(QPoint(position.x, position.y), expected);
}

void TestFormPosition::workAreaBesideTaskbar_data()
{
    QTest::addColumn<QRect>("taskbar"); // a null rectangle: hidden, not always on top, or unknown
    QTest::addColumn<QRect>("expected");

    QTest::newRow("bottom") << QRect(0, 738, 1024, 30) << QRect(0, 0, 1024, 738);
    QTest::newRow("bottom, reaching past the screen") << QRect(-2, 736, 1028, 34) << QRect(0, 0, 1024, 736);
    QTest::newRow("left") << QRect(0, 0, 48, 768) << QRect(48, 0, 976, 768);
    QTest::newRow("top") << QRect(0, 0, 1024, 24) << QRect(0, 24, 1024, 744);
    QTest::newRow("right") << QRect(976, 0, 48, 768) << QRect(0, 0, 976, 768);
    QTest::newRow("none") << QRect() << kScreen;
}

void TestFormPosition::workAreaBesideTaskbar()
{
    QFETCH(QRect, taskbar);
    QFETCH(QRect, expected);
    const std::optional<ScreenRect> shown = taskbar.isNull() ? std::nullopt : std::optional(ToScreenRect(taskbar));
    QCOMPARE(WorkAreaBesideTaskbar(1024, 768, shown), ToScreenRect(expected));
}

QTEST_APPLESS_MAIN(TestFormPosition)
#include "tst_formposition.moc"
