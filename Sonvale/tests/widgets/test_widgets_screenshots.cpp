// Screenshots on a real X server: the laid-out window, its open device list
// and the open tray menu, written as PNG files to the build folder (with an
// "@2x" suffix when run at 200 %). They also check what the user must see.

#include <QAbstractItemView>
#include <QFrame>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QtTest>

#include "imageswitch.h"
#include "layoutharness.h"
#include "trayicon.h"

namespace {

QString outputPath(const QString& name, qreal dpr) {
    const QString suffix = dpr > 1.5 ? QStringLiteral("@2x") : QString();
    return QStringLiteral(SONVALE_SCREENSHOT_DIR "/%1%2.png").arg(name, suffix);
}

// Stands in for the desktop behind the panel: wallpaper, and a taskbar at
// the bottom with the program's icon in its notification area.
class Desktop : public QWidget {
public:
    static constexpr int kTaskbar = 40;

    Desktop() { setWindowFlags(Qt::FramelessWindowHint); }

    QRect trayIconRect() const {
        return QRect(width() - 80, height() - kTaskbar + (kTaskbar - 20) / 2, 20, 20);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        QLinearGradient g(0, 0, 0, height());
        g.setColorAt(0, QColor(0x4b, 0x5d, 0x7a));
        g.setColorAt(1, QColor(0x9a, 0x8c, 0xa8));
        p.fillRect(rect(), g);
        p.fillRect(QRect(0, height() - kTaskbar, width(), kTaskbar), QColor(0x20, 0x22, 0x2c));
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        QIcon(QStringLiteral(":/main.ico")).paint(&p, trayIconRect());
    }
};

bool isAccent(QRgb c) { return qRed(c) > 150 && qGreen(c) < 110 && qBlue(c) > 120; }

}  // namespace

class TestScreenshots : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void window();
    void deviceList();
    void trayMenu();
    void cleanupTestCase();

private:
    Desktop* desktop = nullptr;
    LayoutHarness* harness = nullptr;
    qreal dpr = 1;
};

void TestScreenshots::initTestCase() {
    QVERIFY(QGuiApplication::platformName() == QLatin1String("xcb"));
    desktop = new Desktop;
    desktop->setGeometry(QGuiApplication::primaryScreen()->geometry());
    desktop->show();
    QVERIFY(QTest::qWaitForWindowExposed(desktop));

    harness = new LayoutHarness;
    harness->ui.comboBox_Microphone->addItems(
        {QStringLiteral("Microphone (USB Audio Device)"),
         QStringLiteral("Headset Microphone (Jabra Evolve 40)"),
         QStringLiteral("Internal Microphone Array")});
    harness->ui.comboBox_Speaker->addItems({QStringLiteral("Speakers (Realtek(R) Audio)"),
                                            QStringLiteral("Headphones (Jabra Evolve 40)")});
    harness->ui.widget_micrpphone->setChecked(true);
    // Beside the taskbar, as the window places itself.
    const QSize d = desktop->size();
    harness->move(d.width() - 310 - 70, d.height() - 380 - Desktop::kTaskbar);
    harness->show();
    QVERIFY(QTest::qWaitForWindowExposed(harness));
    harness->raise();
    dpr = harness->devicePixelRatioF();
}

void TestScreenshots::window() {
    const QPixmap shot = harness->grab();
    QVERIFY(shot.save(outputPath(QStringLiteral("sonvale-window"), dpr)));
    const QImage img = shot.toImage();
    QCOMPARE(img.size(), QSize(310, 380) * dpr);

    auto at = [&](int x, int y) { return img.pixel(int(x * dpr), int(y * dpr)); };
    // Light panel background and near-white frames.
    QCOMPARE(QColor(at(5, 200)), QColor(0xF5, 0xF4, 0xF8));
    QVERIFY(qRed(at(150, 140)) > 0xF8 && qGreen(at(150, 140)) > 0xF8);
    // The microphone switch is on (accent track); the speaker switch is off.
    const QPoint mic = harness->ui.widget_micrpphone->mapTo(harness, QPoint(25, 25));
    const QPoint spk = harness->ui.widget_switchspeaker->mapTo(harness, QPoint(25, 25));
    QVERIFY(isAccent(at(mic.x() - 10, mic.y())));
    QVERIFY(!isAccent(at(spk.x() - 10, spk.y())));
    // The microphone icon is drawn in its cap.
    const QPoint icon = harness->ui.label_microphoneicon->mapTo(harness, QPoint(12, 10));
    QVERIFY(isAccent(at(icon.x(), icon.y())));
}

void TestScreenshots::deviceList() {
    ComboxList* combo = harness->ui.comboBox_Microphone;
    combo->showPopup();
    QFrame* popup = combo->findChild<QFrame*>();
    QVERIFY(popup);
    QVERIFY(QTest::qWaitForWindowExposed(popup));
    combo->view()->setCurrentIndex(combo->model()->index(1, 0));
    popup->repaint();  // painted and sent to the server before the screen is read
    QCoreApplication::processEvents();

    const QRect area =
        harness->frameGeometry().united(popup->frameGeometry()).adjusted(-20, -20, 20, 20);
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(),
                                                                      area.width(), area.height());
    QVERIFY(shot.save(outputPath(QStringLiteral("sonvale-device-list"), dpr)));
    // Entries are 40 pixels high (the list view honours the style sheet).
    QCOMPARE(combo->view()->visualRect(combo->model()->index(0, 0)).height(), 40);
    combo->hidePopup();
    QVERIFY(!popup->isVisible());
}

void TestScreenshots::trayMenu() {
    TrayIcon* tray = TrayIcon::instance();
    tray->setIcon(QStringLiteral(":/main.ico"));
    tray->setMainWidget(harness);
    QMenu* menu = tray->contextMenu();

    // Opened where a tray menu opens: at the icon, above the taskbar.
    const QRect icon = desktop->trayIconRect();
    menu->popup(QPoint(icon.center().x(), icon.top() - menu->sizeHint().height() - 4));
    QVERIFY(QTest::qWaitForWindowExposed(menu));
    menu->setActiveAction(menu->actions().value(0));
    menu->repaint();  // painted and sent to the server before the screen is read
    QCoreApplication::processEvents();

    const QRect area = harness->frameGeometry()
                           .united(menu->frameGeometry())
                           .united(icon)
                           .adjusted(-20, -20, 20, 20)
                           .intersected(desktop->geometry());
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(),
                                                                      area.width(), area.height());
    QVERIFY(shot.save(outputPath(QStringLiteral("sonvale-tray-menu"), dpr)));
    QVERIFY(menu->grab().save(outputPath(QStringLiteral("sonvale-tray-menu-only"), dpr)));
    QCOMPARE(menu->actions().size(), 2);
    menu->hide();
}

void TestScreenshots::cleanupTestCase() {
    delete harness;
    delete desktop;
}

QTEST_MAIN(TestScreenshots)
#include "test_widgets_screenshots.moc"
