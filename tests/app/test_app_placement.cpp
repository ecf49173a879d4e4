// Where the main window first shows: at its initial place where it fits, else moved whole onto the
// screen's free area. The window runs on a 1280 x 800 screen at QT_SCALE_FACTOR=2 (640 x 400 in the
// window's own pixels), where the initial place would put its right and bottom edges off-screen.

#include "GuiTest.h"
#include "MainWindow.h"
#include "ScriptedPrompts.h"
#include "WindowPlacement.h"

#include <QApplication>
#include <QScreen>
#include <QTest>

using plombar::app::MainWindow;
using plombar::app::placeOnScreen;
using plombar::app::test::ScriptedPrompts;

class TestPlacement : public QObject {
    Q_OBJECT

private slots:
    void placement_data() {
        QTest::addColumn<QRect>("frame");
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QPoint>("expected");
        const QRect window(192, 124, 625, 343);
        QTest::newRow("fits: stays") << window << QRect(0, 0, 1280, 800) << QPoint(192, 124);
        QTest::newRow("fits exactly: stays") << window << QRect(0, 0, 817, 467) << QPoint(192, 124);
        QTest::newRow("scale 2 on 1280x800") << window << QRect(0, 0, 640, 400) << QPoint(15, 57);
        QTest::newRow("one pixel too far right") << window << QRect(0, 0, 816, 800) << QPoint(191, 124);
        QTest::newRow("panel at the top") << window << QRect(0, 150, 1280, 650) << QPoint(192, 150);
        QTest::newRow("panel on the left") << window << QRect(200, 0, 1080, 800) << QPoint(200, 124);
        QTest::newRow("second screen on the right")
            << window << QRect(1280, 0, 1920, 1080) << QPoint(1280, 124);
        QTest::newRow("screen smaller than the window: top left kept on it")
            << window << QRect(0, 0, 600, 300) << QPoint(0, 0);
        QTest::newRow("off the top left: moved back")
            << QRect(-50, -20, 625, 343) << QRect(0, 0, 1280, 800) << QPoint(0, 0);
        QTest::newRow("no screen area: stays") << window << QRect() << QPoint(192, 124);
    }

    void placement() {
        QFETCH(QRect, frame);
        QFETCH(QRect, available);
        QFETCH(QPoint, expected);
        QCOMPARE(placeOnScreen(frame, available), expected);
    }

    // The close button must stay reachable: the whole frame lies on the screen's free area.
    void windowShowsWholeOnAScaledSmallScreen() {
        const QScreen* screen = QGuiApplication::primaryScreen();
        QCOMPARE(screen->devicePixelRatio(), 2.0);
        QCOMPARE(screen->geometry().size(), QSize(640, 400));
        ScriptedPrompts prompts;
        MainWindow window(prompts);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(625, 343));
        QVERIFY2(screen->availableGeometry().contains(window.frameGeometry()),
                 qPrintable(QStringLiteral("frame %1,%2 %3x%4")
                                .arg(window.frameGeometry().x())
                                .arg(window.frameGeometry().y())
                                .arg(window.frameGeometry().width())
                                .arg(window.frameGeometry().height())));
        // Moved no further than needed: its right and bottom edges meet the screen's.
        QCOMPARE(window.frameGeometry().right(), screen->availableGeometry().right());
        QCOMPARE(window.frameGeometry().bottom(), screen->availableGeometry().bottom());

        // Shown again after hiding, it stays where the user left it.
        window.move(3, 4);
        window.hide();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.pos(), QPoint(3, 4));
    }
};

int main(int argc, char** argv) {
    plombar::app::test::useOffscreenScreen(1280, 800, 2);
    QApplication app(argc, argv);
    TestPlacement test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_placement.moc"
