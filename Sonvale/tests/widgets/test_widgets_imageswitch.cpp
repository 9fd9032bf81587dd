// ImageSwitch: toggling and its signal, the image swap, and where the scaled
// image lands.

#include <QMouseEvent>
#include <QSignalSpy>
#include <QtTest>

#include "imageswitch.h"

namespace {

bool isAccent(QRgb c) {
    return qAlpha(c) > 200 && qRed(c) > 150 && qGreen(c) < 110 && qBlue(c) > 120;
}

// The switch rendered alone on a transparent background.
QImage render(ImageSwitch& sw) {
    QImage img(sw.size(), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    sw.render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    return img;
}

int accentPixels(const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) n += isAccent(img.pixel(x, y));
    return n;
}

QRect paintedBox(const QImage& img) {
    QRect box;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (qAlpha(img.pixel(x, y)) > 0) box |= QRect(x, y, 1, 1);
    return box;
}

struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        paints += e->type() == QEvent::Paint;
        return false;
    }
};

}  // namespace

class TestImageSwitch : public QObject {
    Q_OBJECT

private slots:
    void pressTogglesAndOnlyPressDoes();
    void setCheckedIsSilentAndIdempotent();
    void stateSwapsTheImages();
    void imageKeepsAspectRatioAndIsCentred_data();
    void imageKeepsAspectRatioAndIsCentred();
    void buttonStyles();
};

void TestImageSwitch::pressTogglesAndOnlyPressDoes() {
    ImageSwitch sw;
    sw.resize(51, 51);
    QCOMPARE(sw.getChecked(), false);
    QCOMPARE(sw.sizeHint(), QSize(87, 28));
    QSignalSpy spy(&sw, &ImageSwitch::checkedChanged);

    // Any button, anywhere; one signal per press carrying the new state.
    QTest::mousePress(&sw, Qt::LeftButton, {}, QPoint(25, 25));
    QTest::mousePress(&sw, Qt::RightButton, {}, QPoint(1, 50));
    QTest::mousePress(&sw, Qt::MiddleButton, {}, QPoint(50, 1));
    QCOMPARE(sw.getChecked(), true);
    QCOMPARE(spy.count(), 3);
    QCOMPARE(spy.at(0).at(0).toBool(), true);
    QCOMPARE(spy.at(1).at(0).toBool(), false);

    // Release, double click (QWidget would treat it as a press) and keys.
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(25, 25), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(&sw, &release);
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(25, 25), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(&sw, &dbl);
    QTest::keyClick(&sw, Qt::Key_Space);
    QCOMPARE(sw.getChecked(), true);
    QCOMPARE(spy.count(), 3);
}

void TestImageSwitch::setCheckedIsSilentAndIdempotent() {
    ImageSwitch sw;
    sw.resize(51, 51);
    sw.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sw));
    QCoreApplication::processEvents();
    PaintCounter counter;
    sw.installEventFilter(&counter);
    QSignalSpy spy(&sw, &ImageSwitch::checkedChanged);

    sw.setChecked(false);  // the current value: no repaint
    QCoreApplication::processEvents();
    QCOMPARE(counter.paints, 0);
    sw.setChecked(true);
    QCoreApplication::processEvents();
    QVERIFY(counter.paints > 0);
    QVERIFY(sw.setProperty("isChecked", false));
    QCOMPARE(sw.getChecked(), false);
    QCOMPARE(spy.count(), 0);
}

void TestImageSwitch::stateSwapsTheImages() {
    ImageSwitch sw;
    sw.resize(51, 51);
    const QImage off = render(sw);
    QVERIFY(!paintedBox(off).isEmpty());
    QCOMPARE(accentPixels(off), 0);  // grey track

    QTest::mousePress(&sw, Qt::LeftButton);
    const QImage on = render(sw);
    QVERIFY(accentPixels(on) > 51 * 51 / 5);  // accent track

    QTest::mousePress(&sw, Qt::LeftButton);
    QCOMPARE(render(sw), off);
    sw.setChecked(true);
    QCOMPARE(render(sw), on);
}

void TestImageSwitch::imageKeepsAspectRatioAndIsCentred_data() {
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QRect>("image");  // where the square image must fall
    QTest::newRow("square 51x51") << QSize(51, 51) << QRect(0, 0, 51, 51);
    QTest::newRow("wide 200x51") << QSize(200, 51) << QRect(74, 0, 51, 51);  // 99 - 25
    QTest::newRow("tall 51x200") << QSize(51, 200) << QRect(0, 74, 51, 51);
    // The centre of a 40-pixel side is 19: the image starts one pixel above.
    QTest::newRow("wide 100x40") << QSize(100, 40) << QRect(29, -1, 40, 40);
}

void TestImageSwitch::imageKeepsAspectRatioAndIsCentred() {
    QFETCH(QSize, widget);
    QFETCH(QRect, image);
    ImageSwitch sw;
    sw.resize(widget);
    sw.setChecked(true);
    const QRect box = paintedBox(render(sw));
    // The track spans most of the image's width, so a stretched or shifted
    // image falls outside the expected square.
    QVERIFY(image.contains(box));
    QVERIFY(box.width() > image.width() * 3 / 4);
    QVERIFY(qAbs((box.left() - image.left()) - (image.right() - box.right())) <= 1);
}

void TestImageSwitch::buttonStyles() {
    ImageSwitch sw;
    sw.resize(51, 51);
    QCOMPARE(sw.getButtonStyle(), ImageSwitch::ButtonStyle_2);
    sw.setButtonStyle(ImageSwitch::ButtonStyle_2);  // current style: nothing at all
    QCOMPARE(sw.size(), QSize(51, 51));

    sw.setChecked(true);
    sw.setButtonStyle(ImageSwitch::ButtonStyle_3);
    QCOMPARE(sw.size(), QSize(96, 38));
    QCOMPARE(sw.sizeHint(), QSize(87, 28));
    const QImage on3 = render(sw);
    QVERIFY(paintedBox(on3).width() >= 94);  // drawn at the style's own size
    QVERIFY(accentPixels(on3) > 96 * 38 / 2);

    QVERIFY(sw.setProperty("buttonStyle", ImageSwitch::ButtonStyle_1));
    QCOMPARE(sw.size(), QSize(87, 28));
    sw.setChecked(false);
    const QImage off1 = render(sw);
    QCOMPARE(accentPixels(off1), 0);
    QVERIFY(!paintedBox(off1).isEmpty());

    // A value outside the table is stored; images and size stay.
    sw.setButtonStyle(static_cast<ImageSwitch::ButtonStyle>(7));
    QCOMPARE(int(sw.getButtonStyle()), 7);
    QCOMPARE(sw.size(), QSize(87, 28));
    QCOMPARE(render(sw), off1);
}

QTEST_MAIN(TestImageSwitch)
#include "test_widgets_imageswitch.moc"
