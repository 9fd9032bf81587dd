#include "comboxlist.h"

#include <QFrame>
#include <QMetaObject>

ComboxList::ComboxList(QWidget* parent) : QComboBox(parent) {}

ComboxList::~ComboxList() = default;

void ComboxList::showPopup() {
    QComboBox::showPopup();

    // The popup container is a top-level frame, so its position is in screen
    // coordinates. Lift it by the combo box's height and half its own height.
    QFrame* container = findChild<QFrame*>();
    if (!container) return;
    container->move(container->x(), container->y() - height() - container->height() / 2);
}

void ComboxList::hidePopup() {
    if (owner) {
        const QMetaObject* meta = owner->metaObject();
        if (meta->indexOfMethod("activateAndFocus()") >= 0) {
            QMetaObject::invokeMethod(owner, "activateAndFocus", Qt::DirectConnection);
        } else {
            owner->activateWindow();
            owner->setFocus(Qt::PopupFocusReason);
        }
    }
    QComboBox::hidePopup();
}
