#include "imageswitch.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>

ImageSwitch::ImageSwitch(QWidget* parent) : QWidget(parent) {}

ImageSwitch::~ImageSwitch() = default;

QSize ImageSwitch::sizeHint() const { return QSize(87, 28); }

QSize ImageSwitch::minimumSizeHint() const { return QSize(87, 28); }

void ImageSwitch::mousePressEvent(QMouseEvent* /*event*/) {
    // Any button anywhere toggles; the event is not passed on.
    imgFile = isChecked ? imgOffFile : imgOnFile;
    isChecked = !isChecked;
    emit checkedChanged(isChecked);
    update();
}

void ImageSwitch::mouseDoubleClickEvent(QMouseEvent* /*event*/) {}

void ImageSwitch::setChecked(bool isChecked) {
    if (this->isChecked == isChecked) return;
    this->isChecked = isChecked;
    imgFile = isChecked ? imgOnFile : imgOffFile;
    update();
}

void ImageSwitch::setButtonStyle(ImageSwitch::ButtonStyle buttonStyle) {
    if (this->buttonStyle == buttonStyle) return;
    this->buttonStyle = buttonStyle;

    switch (buttonStyle) {
        case ButtonStyle_1:
            imgOffFile = QStringLiteral(":/image/imageswitch/btncheckoff1.png");
            imgOnFile = QStringLiteral(":/image/imageswitch/btncheckon1.png");
            resize(87, 28);
            break;
        case ButtonStyle_2:
            imgOffFile = QStringLiteral(":/image/imageswitch/btncheckoff2.png");
            imgOnFile = QStringLiteral(":/image/imageswitch/btncheckon2.png");
            resize(87, 28);
            break;
        case ButtonStyle_3:
            imgOffFile = QStringLiteral(":/image/imageswitch/btncheckoff3.png");
            imgOnFile = QStringLiteral(":/image/imageswitch/btncheckon3.png");
            resize(96, 38);
            break;
    }

    imgFile = isChecked ? imgOnFile : imgOffFile;
    update();
    updateGeometry();
}

void ImageSwitch::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);

    // Reloaded on every paint, so a changed path takes effect at once. A path
    // that does not load gives a null pixmap and nothing is drawn.
    QPixmap img(imgFile);
    if (img.isNull()) return;

    // Scale to the device pixels of the widget, so the image stays sharp on
    // high-density screens; the logical size is the widget's size.
    const qreal dpr = devicePixelRatioF();
    img = img.scaled(size() * dpr, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    img.setDevicePixelRatio(dpr);
    const QSize logical = (QSizeF(img.size()) / dpr).toSize();

    const QPoint centre = rect().center();
    painter.drawPixmap(centre.x() - logical.width() / 2, centre.y() - logical.height() / 2, img);
}
