// ComboxList: popup placement and focus hand-back to the owner window.

#include <QFrame>
#include <QListView>
#include <QSignalSpy>
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

bool popupOpen(ComboxList& combo) {
    QFrame* c = container(combo);
    return c && c->isVisible();
}

}  // namespace

class TestComboxList : public QObject {
    Q_OBJECT

private slots:
    void popupOpensShiftedUpwards_data();
    void popupOpensShiftedUpwards();
    void everyWayOfClosingHandsFocusBack_data();
    void everyWayOfClosingHandsFocusBack();
    void ownerWithoutHookIsActivatedAndFocused();
    void withoutOwnerItBehavesLikeAComboBox();
    void ownerThatIsGoneIsIgnored();
};

void TestComboxList::popupOpensShiftedUpwards_data() {
    QTest::addColumn<int>("comboHeight");
    QTest::addColumn<int>("items");
    QTest::newRow("40 high, 3 entries") << 40 << 3;
    QTest::newRow("40 high, 1 entry") << 40 << 1;
    QTest::newRow("27 high, 2 entries") << 27 << 2;
}

void TestComboxList::popupOpensShiftedUpwards() {
    QFETCH(int, comboHeight);
    QFETCH(int, items);

    QWidget window;
    window.setGeometry(100, 300, 300, 100);
    ComboxList combo(&window);
    combo.setGeometry(20, 20, 221, comboHeight);
    auto* view = new QListView;
    combo.setView(view);
    // Items 20 pixels high, so three entries make a list of about 60 pixels.
    combo.setStyleSheet(QStringLiteral("QAbstractItemView::item{height:20px;}"));
    for (int i = 0; i < items; ++i) combo.addItem(QStringLiteral("Device %1").arg(i));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Where the plain combo box puts its popup.
    combo.QComboBox::showPopup();
    QFrame* frame = container(combo);
    QVERIFY(frame);
    QVERIFY(frame->isWindow());
    const QRect base = frame->geometry();
    combo.QComboBox::hidePopup();

    combo.showPopup();
    QCOMPARE(container(combo), frame);
    const QRect shifted = frame->geometry();
    QCOMPARE(shifted.size(), base.size());
    QCOMPARE(shifted.x(), base.x());
    QCOMPARE(base.y() - shifted.y(), comboHeight + base.height() / 2);
    if (items == 3 && base.height() == 60) QCOMPARE(base.y() - shifted.y(), 70);
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
    owner.setGeometry(100, 300, 300, 100);
    ComboxList combo(&owner);
    combo.setGeometry(20, 20, 221, 40);
    combo.setView(new QListView);
    combo.addItems({QStringLiteral("Microphone A"), QStringLiteral("Microphone B"),
                    QStringLiteral("Microphone C")});
    combo.owner = &owner;
    owner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&owner));

    combo.showPopup();
    QVERIFY(popupOpen(combo));
    QCOMPARE(owner.calls, 0);

    QAbstractItemView* view = combo.view();
    if (how == "choose") {
        QTest::keyClick(view, Qt::Key_Down);
        QTest::keyClick(view, Qt::Key_Return);
        QCOMPARE(combo.currentIndex(), 1);
    } else if (how == "escape") {
        QTest::keyClick(view, Qt::Key_Escape);
        QCOMPARE(combo.currentIndex(), 0);
    } else {
        QFrame* frame = container(combo);
        QTest::mousePress(frame, Qt::LeftButton, {}, QPoint(-30, frame->height() + 30));
    }

    QVERIFY(!popupOpen(combo));
    QCOMPARE(owner.calls, 1);
}

void TestComboxList::ownerWithoutHookIsActivatedAndFocused() {
    QWidget owner;
    owner.setGeometry(100, 300, 300, 100);
    ComboxList combo(&owner);
    combo.setGeometry(20, 20, 221, 40);
    combo.addItem(QStringLiteral("Speaker"));
    combo.owner = &owner;
    owner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&owner));

    combo.showPopup();
    QVERIFY(popupOpen(combo));
    combo.hidePopup();
    QVERIFY(!popupOpen(combo));
    QVERIFY(QTest::qWaitForWindowActive(&owner));
    QCOMPARE(QApplication::focusWidget(), &owner);
}

void TestComboxList::withoutOwnerItBehavesLikeAComboBox() {
    QWidget window;
    ComboxList combo(&window);
    combo.setGeometry(20, 20, 221, 40);
    combo.addItems({QStringLiteral("One"), QStringLiteral("Two")});
    QSignalSpy activated(&combo, QOverload<int>::of(&QComboBox::activated));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QVERIFY(!combo.owner);
    combo.showPopup();
    QVERIFY(popupOpen(combo));
    QTest::keyClick(combo.view(), Qt::Key_Down);
    QTest::keyClick(combo.view(), Qt::Key_Return);
    QVERIFY(!popupOpen(combo));
    QCOMPARE(combo.currentText(), QStringLiteral("Two"));
    QCOMPARE(activated.count(), 1);
}

void TestComboxList::ownerThatIsGoneIsIgnored() {
    QWidget window;
    ComboxList combo(&window);
    combo.setGeometry(20, 20, 221, 40);
    combo.addItem(QStringLiteral("One"));
    auto* owner = new FocusOwner;
    combo.owner = owner;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    delete owner;
    QVERIFY(!combo.owner);
    combo.showPopup();
    combo.hidePopup();
    QVERIFY(!popupOpen(combo));
}

QTEST_MAIN(TestComboxList)
#include "test_widgets_comboxlist.moc"
