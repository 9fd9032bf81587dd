#pragma once

#include <QString>
#include <QWidget>

class QMouseEvent;
class QPaintEvent;

// An on/off toggle drawn entirely from two images, one per state. A mouse
// press toggles it and emits checkedChanged; setChecked changes it silently.
class ImageSwitch : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool isChecked READ getChecked WRITE setChecked)
    Q_PROPERTY(ButtonStyle buttonStyle READ getButtonStyle WRITE setButtonStyle)

public:
    // A fixed underlying type: any int is a valid value, and values outside
    // the three styles are stored as they are.
    enum ButtonStyle : int {
        ButtonStyle_1 = 0,  // slim pill, 87x28
        ButtonStyle_2 = 1,  // pill with power marks, 87x28
        ButtonStyle_3 = 2,  // rounded box, 96x38
    };
    Q_ENUM(ButtonStyle)

    explicit ImageSwitch(QWidget* parent = nullptr);
    ~ImageSwitch() override;

    bool getChecked() const { return isChecked; }
    ButtonStyle getButtonStyle() const { return buttonStyle; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    void checkedChanged(bool checked);

public slots:
    void setChecked(bool isChecked);
    void setButtonStyle(ImageSwitch::ButtonStyle buttonStyle);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    // Swallowed: the press that precedes every double click has already
    // toggled the switch (QWidget would treat it as one more press).
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool isChecked = false;
    ButtonStyle buttonStyle = ButtonStyle_2;
    QString imgOffFile = QStringLiteral(":/switch-off.png");
    QString imgOnFile = QStringLiteral(":/switch-on.png");
    QString imgFile = QStringLiteral(":/switch-off.png");
};
