// ComboxList: popup placement and focus hand-back to the owner window.

#include <QFrame>
#include <QListView>
#include <QtTest>

#include "comboxlist.h"

namespace {

// An owner window with the hook the main window offers.
class FocusOwner : public QWidget {
    Q_OBJECT
public:
    int calls = 0;
    Q_INVOKABLE void activateAndFocus() { ++calls; }
};

QFrame* container(ComboxList& combo) { return combo.findChild<QFrame*>(); }

bool popupOpen(ComboxList& combo) { return container(combo) && container(combo)->isVisible(); }

// A combo box in a shown window at a fixed place on the screen.
void place(QWidget& window, ComboxList& combo, int height, int items) {
    window.setGeometry(100, 300, 300, 100);
    combo.setGeometry(20, 20, 221, height);
    combo.setView(new QListView);
    for (int i = 0; i < items; ++i) combo.addItem(QStringLiteral("Device %1").arg(i));
    window.show();
}

}  // namespace

class TestComboxList : public QObject {
    Q_OBJECT

private slots:
    void popupOpensShiftedUpwards_data();
    void popupOpensShiftedUpwards();
    void everyWayOfClosingHandsFocusBack_data();
    void everyWayOfClosingHandsFocusBack();
    void ownersWithoutTheHook();
};

void TestComboxList::popupOpensShiftedUpwards_data() {
    QTest::addColumn<int>("comboHeight");
    QTest::addColumn<int>("items");
    QTest::newRow("40 high, 3 entries of 20") << 40 << 3;
    QTest::newRow("27 high, 1 entry") << 27 << 1;
}

void TestComboxList::popupOpensShiftedUpwards() {
    QFETCH(int, comboHeight);
    QFETCH(int, items);
    QWidget window;
    ComboxList combo(&window);
    combo.setStyleSheet(QStringLiteral("QAbstractItemView::item{height:20px;}"));
    place(window, combo, comboHeight, items);
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Where the plain combo box puts its popup, then where this one does.
    combo.QComboBox::showPopup();
    QFrame* frame = container(combo);
    QVERIFY(frame && frame->isWindow());
    const QRect base = frame->geometry();
    combo.QComboBox::hidePopup();
    combo.showPopup();
    const QRect shifted = frame->geometry();

    QCOMPARE(shifted.size(), base.size());
    QCOMPARE(shifted.x(), base.x());
    QCOMPARE(base.y() - shifted.y(), comboHeight + base.height() / 2);
    if (base.height() == 60) QCOMPARE(base.y() - shifted.y(), 70);
    combo.hidePopup();
}

void TestComboxList::everyWayOfClosingHandsFocusBack_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("choosing an entry") << "choose";
    QTest::newRow("pressing Escape") << "escape";
    QTest::newRow("clicking outside the popup") << "outside";
}

void TestComboxList::everyWayOfClosingHandsFocusBack() {
    QFETCH(QString, how);
    FocusOwner owner;
    ComboxList combo(&owner);
    place(owner, combo, 40, 3);
    combo.owner = &owner;
    QVERIFY(QTest::qWaitForWindowExposed(&owner));

    combo.showPopup();
    QVERIFY(popupOpen(combo));
    QCOMPARE(owner.calls, 0);
    if (how == "choose") {
        QTest::keyClick(combo.view(), Qt::Key_Down);
        QTest::keyClick(combo.view(), Qt::Key_Return);
        QCOMPARE(combo.currentIndex(), 1);
    } else if (how == "escape") {
        QTest::keyClick(combo.view(), Qt::Key_Escape);
        QCOMPARE(combo.currentIndex(), 0);
    } else {
        QTest::mousePress(container(combo), Qt::LeftButton, {}, QPoint(-30, -30));
    }
    QVERIFY(!popupOpen(combo));
    QCOMPARE(owner.calls, 1);
}

void TestComboxList::ownersWithoutTheHook() {
    // A plain owner is activated and given the focus.
    QWidget owner;
    ComboxList combo(&owner);
    place(owner, combo, 40, 2);
    combo.owner = &owner;
    QVERIFY(QTest::qWaitForWindowExposed(&owner));
    combo.showPopup();
    combo.hidePopup();
    QVERIFY(!popupOpen(combo));
    QVERIFY(QTest::qWaitForWindowActive(&owner));
    QCOMPARE(QApplication::focusWidget(), &owner);

    // No owner, or one that is gone: an ordinary combo box.
    auto* gone = new FocusOwner;
    combo.owner = gone;
    delete gone;
    QVERIFY(!combo.owner);
    combo.showPopup();
    QTest::keyClick(combo.view(), Qt::Key_Down);
    QTest::keyClick(combo.view(), Qt::Key_Return);
    QVERIFY(!popupOpen(combo));
    QCOMPARE(combo.currentIndex(), 1);
}

QTEST_MAIN(TestComboxList)
#include "test_widgets_comboxlist.moc"
