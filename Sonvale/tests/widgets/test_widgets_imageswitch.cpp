// ImageSwitch: toggling, signals, image swap, placement of the scaled image.

#include <QApplication>
#include <QMetaEnum>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QtTest>

#include "imageswitch.h"

namespace {

// Pixels of the accent colour family (the "on" track).
bool isAccent(QRgb c) {
    return qAlpha(c) > 200 && qRed(c) > 150 && qGreen(c) < 110 && qBlue(c) > 120;
}

int accentPixels(const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) n += isAccent(img.pixel(x, y));
    return n;
}

// Renders the switch alone on a fully transparent background.
QImage render(ImageSwitch& sw) {
    QImage img(sw.size(), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    sw.render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    return img;
}

// Bounding box of the pixels that were painted.
QRect paintedBox(const QImage& img) {
    QRect box;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (qAlpha(img.pixel(x, y)) > 0) box |= QRect(x, y, 1, 1);
    return box;
}

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) ++paints;
        return false;
    }
};

}  // namespace

class TestImageSwitch : public QObject {
    Q_OBJECT

private slots:
    void startsOffInStyleTwoWithDefaultImages();
    void pressTogglesAndEmitsOncePerPress();
    void otherInputDoesNothing();
    void setCheckedIsSilentAndIdempotent();
    void propertiesGoThroughTheSetters();
    void pressSwapsTheImages();
    void imageKeepsAspectRatioAndIsCentred_data();
    void imageKeepsAspectRatioAndIsCentred();
    void buttonStylesChangeImagesAndSize();
};

void TestImageSwitch::startsOffInStyleTwoWithDefaultImages() {
    ImageSwitch sw;
    QCOMPARE(sw.getChecked(), false);
    QCOMPARE(sw.getButtonStyle(), ImageSwitch::ButtonStyle_2);
    QCOMPARE(sw.sizeHint(), QSize(87, 28));
    QCOMPARE(sw.minimumSizeHint(), QSize(87, 28));
    QCOMPARE(sw.metaObject()->className(), "ImageSwitch");

    const QMetaEnum e = QMetaEnum::fromType<ImageSwitch::ButtonStyle>();
    QCOMPARE(e.keyCount(), 3);
    QCOMPARE(e.keyToValue("ButtonStyle_1"), 0);
    QCOMPARE(e.keyToValue("ButtonStyle_3"), 2);

    // Style 2 is only reported: the switch draws the default images at the
    // size its parent gives it, here the default grey "off" track.
    sw.resize(51, 51);
    const QImage off = render(sw);
    QVERIFY(!paintedBox(off).isEmpty());
    QCOMPARE(accentPixels(off), 0);
}

void TestImageSwitch::pressTogglesAndEmitsOncePerPress() {
    ImageSwitch sw;
    sw.resize(51, 51);
    QSignalSpy spy(&sw, &ImageSwitch::checkedChanged);

    QTest::mousePress(&sw, Qt::LeftButton, {}, QPoint(25, 25));
    QCOMPARE(sw.getChecked(), true);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), true);

    // Any button, anywhere in the widget.
    QTest::mousePress(&sw, Qt::RightButton, {}, QPoint(1, 50));
    QCOMPARE(sw.getChecked(), false);
    QTest::mousePress(&sw, Qt::MiddleButton, {}, QPoint(50, 1));
    QCOMPARE(sw.getChecked(), true);
    QCOMPARE(spy.count(), 3);
    QCOMPARE(spy.at(1).at(0).toBool(), false);
    QCOMPARE(spy.at(2).at(0).toBool(), true);
}

void TestImageSwitch::otherInputDoesNothing() {
    ImageSwitch sw;
    sw.resize(51, 51);
    QSignalSpy spy(&sw, &ImageSwitch::checkedChanged);

    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(25, 25), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(&sw, &release);
    // QWidget would turn a double click into one more press.
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(25, 25), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
    QApplication::sendEvent(&sw, &dbl);
    QTest::keyClick(&sw, Qt::Key_Space);
    QTest::keyClick(&sw, Qt::Key_Return);

    QCOMPARE(sw.getChecked(), false);
    QCOMPARE(spy.count(), 0);
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

    sw.setChecked(false);  // the current value
    QCoreApplication::processEvents();
    QCOMPARE(counter.paints, 0);

    sw.setChecked(true);
    QCoreApplication::processEvents();
    QVERIFY(counter.paints > 0);
    QCOMPARE(sw.getChecked(), true);

    counter.paints = 0;
    sw.setChecked(true);
    QCoreApplication::processEvents();
    QCOMPARE(counter.paints, 0);

    sw.setChecked(false);
    QCOMPARE(sw.getChecked(), false);
    QCOMPARE(spy.count(), 0);
}

void TestImageSwitch::propertiesGoThroughTheSetters() {
    ImageSwitch sw;
    QSignalSpy spy(&sw, &ImageSwitch::checkedChanged);
    QVERIFY(sw.setProperty("isChecked", true));
    QCOMPARE(sw.getChecked(), true);
    QCOMPARE(spy.count(), 0);

    QVERIFY(sw.setProperty("buttonStyle", ImageSwitch::ButtonStyle_3));
    QCOMPARE(sw.getButtonStyle(), ImageSwitch::ButtonStyle_3);
    QCOMPARE(sw.size(), QSize(96, 38));
    QCOMPARE(sw.property("buttonStyle").value<ImageSwitch::ButtonStyle>(),
             ImageSwitch::ButtonStyle_3);
}

void TestImageSwitch::pressSwapsTheImages() {
    ImageSwitch sw;
    sw.resize(51, 51);
    const QImage off = render(sw);

    QTest::mousePress(&sw, Qt::LeftButton);
    const QImage on = render(sw);
    QVERIFY(accentPixels(on) > 51 * 51 / 5);
    QCOMPARE(accentPixels(off), 0);

    // Pressing again brings back exactly the first picture.
    QTest::mousePress(&sw, Qt::LeftButton);
    QCOMPARE(render(sw), off);

    // setChecked draws the same picture as a press into that state.
    sw.setChecked(true);
    QCOMPARE(render(sw), on);
}

void TestImageSwitch::imageKeepsAspectRatioAndIsCentred_data() {
    QTest::addColumn<QSize>("widget");
    QTest::addColumn<QRect>("image");  // where the square image must fall
    QTest::newRow("square 51x51") << QSize(51, 51) << QRect(0, 0, 51, 51);
    // Centre (99, 25); 51/2 = 25, so the image starts at x = 74.
    QTest::newRow("wide 200x51") << QSize(200, 51) << QRect(74, 0, 51, 51);
    QTest::newRow("tall 51x200") << QSize(51, 200) << QRect(0, 74, 51, 51);
    // Even sizes: the centre of a 40-pixel side is 19, so the image starts
    // one pixel above the top.
    QTest::newRow("wide 100x40") << QSize(100, 40) << QRect(29, -1, 40, 40);
}

void TestImageSwitch::imageKeepsAspectRatioAndIsCentred() {
    QFETCH(QSize, widget);
    QFETCH(QRect, image);
    ImageSwitch sw;
    sw.resize(widget);
    sw.setChecked(true);
    const QRect box = paintedBox(render(sw));
    QVERIFY(!box.isEmpty());
    QVERIFY2(image.contains(box), qPrintable(QStringLiteral("painted %1,%2 %3x%4")
                                                 .arg(box.x())
                                                 .arg(box.y())
                                                 .arg(box.width())
                                                 .arg(box.height())));
    // The track spans most of the image's width, so a stretched or
    // misplaced image would fall outside the expected square.
    QVERIFY(box.width() > image.width() * 3 / 4);
    QVERIFY(qAbs((box.left() - image.left()) - (image.right() - box.right())) <= 1);
}

void TestImageSwitch::buttonStylesChangeImagesAndSize() {
    ImageSwitch sw;
    sw.resize(51, 51);

    // The current style: nothing changes, not even the size.
    sw.setButtonStyle(ImageSwitch::ButtonStyle_2);
    QCOMPARE(sw.size(), QSize(51, 51));

    sw.setChecked(true);
    sw.setButtonStyle(ImageSwitch::ButtonStyle_3);
    QCOMPARE(sw.size(), QSize(96, 38));
    QCOMPARE(sw.sizeHint(), QSize(87, 28));
    QImage on3 = render(sw);
    // Style 3 fills its whole box; its "on" picture is mostly accent colour.
    QVERIFY(accentPixels(on3) > 96 * 38 / 2);
    QVERIFY(QRect(0, 0, 96, 38).contains(paintedBox(on3)));
    QVERIFY(paintedBox(on3).width() >= 94 && paintedBox(on3).height() >= 36);

    sw.setButtonStyle(ImageSwitch::ButtonStyle_1);
    QCOMPARE(sw.size(), QSize(87, 28));
    QVERIFY(accentPixels(render(sw)) > 87 * 28 / 2);
    sw.setChecked(false);
    QCOMPARE(accentPixels(render(sw)), 0);

    sw.setButtonStyle(ImageSwitch::ButtonStyle_2);
    QCOMPARE(sw.size(), QSize(87, 28));
    const QImage off2 = render(sw);
    QVERIFY(!paintedBox(off2).isEmpty());

    // A value outside the table is stored, and changes neither images nor size.
    sw.setButtonStyle(static_cast<ImageSwitch::ButtonStyle>(7));
    QCOMPARE(int(sw.getButtonStyle()), 7);
    QCOMPARE(sw.size(), QSize(87, 28));
    QCOMPARE(render(sw), off2);
}

QTEST_MAIN(TestImageSwitch)
#include "test_widgets_imageswitch.moc"
