#pragma once

#include <QComboBox>
#include <QPointer>

// The device drop-down of the main window. Its popup opens shifted upwards,
// and closing the popup hands keyboard focus back to the owner window, so
// that the window does not treat picking a device as leaving it.
class ComboxList : public QComboBox {
public:
    explicit ComboxList(QWidget* parent = nullptr);
    ~ComboxList() override;

    void showPopup() override;
    void hidePopup() override;

    // Window that takes focus back when the popup closes; not owned. Set
    // directly by the window after its layout is built. When the owner has
    // an invokable activateAndFocus() (slot or Q_INVOKABLE), that is called;
    // otherwise the owner is activated and given focus here.
    QPointer<QWidget> owner;
};
