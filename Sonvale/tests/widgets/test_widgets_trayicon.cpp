// TrayIcon: the singleton, its two-entry menu, activation reasons and both
// exit paths. The exit that ends the event loop runs last, since it leaves
// the application quitting.

#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QtTest>
#include <thread>
#include <vector>

#include "trayicon.h"

namespace {

QSystemTrayIcon* systemIcon() { return TrayIcon::instance()->findChild<QSystemTrayIcon*>(); }

QAction* entry(int i) { return TrayIcon::instance()->contextMenu()->actions().value(i); }

// Triggers the exit entry from inside an event loop; if the loop is still
// running on its next pass, ends it with 7. Returns the loop's exit code.
int exitCodeAfterChoosingExit() {
    QEventLoop loop;
    QTimer::singleShot(0, &loop, [&loop] {
        entry(1)->trigger();
        QTimer::singleShot(0, &loop, [&loop] { loop.exit(7); });
    });
    return loop.exec();
}

}  // namespace

class TestTrayIcon : public QObject {
    Q_OBJECT

private slots:
    void instanceIsOneObject();
    void menuHasItsTwoEntries();
    void settingTheWindowAgainRebuildsTheMenu();
    void activationReasons_data();
    void activationReasons();
    void passThroughSlots();
    void exitOnlySignalsWhenNotDirect();
    void directExitSignalsThenEndsTheLoopWithZero();
};

void TestTrayIcon::instanceIsOneObject() {
    TrayIcon* first = TrayIcon::instance();
    QVERIFY(first);
    QCOMPARE(TrayIcon::instance(), first);
    QCOMPARE(QString::fromLatin1(first->metaObject()->className()), QStringLiteral("TrayIcon"));
    QVERIFY(!first->parent());

    std::vector<TrayIcon*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = TrayIcon::instance(); });
    for (std::thread& t : threads) t.join();
    for (TrayIcon* t : seen) QCOMPARE(t, first);

    // Not yet visible, no image, empty menu, exits directly by default.
    QVERIFY(systemIcon());
    QVERIFY(!systemIcon()->isVisible());
    QVERIFY(systemIcon()->icon().isNull());
    QVERIFY(first->contextMenu()->actions().isEmpty());
    QVERIFY(first->isExitDirect());
}

void TestTrayIcon::menuHasItsTwoEntries() {
    QWidget window;
    TrayIcon::instance()->setMainWidget(&window);
    QMenu* menu = TrayIcon::instance()->contextMenu();
    QCOMPARE(menu->actions().size(), 2);
    QCOMPARE(entry(0)->text(), QString::fromUtf8("主界面"));
    QCOMPARE(entry(1)->text(), QString::fromUtf8("退出"));
    QVERIFY(entry(0)->shortcut().isEmpty());
    QVERIFY(entry(1)->shortcut().isEmpty());
    QCOMPARE(systemIcon()->contextMenu(), menu);
}

void TestTrayIcon::settingTheWindowAgainRebuildsTheMenu() {
    QWidget a, b;
    TrayIcon::instance()->setMainWidget(&a);
    TrayIcon::instance()->setMainWidget(&b);
    QCOMPARE(TrayIcon::instance()->contextMenu()->actions().size(), 2);

    // "主界面" restores the window set last, and only that one.
    b.showMinimized();
    entry(0)->trigger();
    QVERIFY(b.isVisible() && !b.isMinimized());
    QVERIFY(!a.isVisible());
}

void TestTrayIcon::activationReasons_data() {
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("shows");
    QTest::newRow("Unknown") << int(QSystemTrayIcon::Unknown) << false;
    QTest::newRow("Context (right click)") << int(QSystemTrayIcon::Context) << true;
    QTest::newRow("DoubleClick") << int(QSystemTrayIcon::DoubleClick) << true;
    QTest::newRow("Trigger (single click)") << int(QSystemTrayIcon::Trigger) << true;
    QTest::newRow("MiddleClick") << int(QSystemTrayIcon::MiddleClick) << false;
}

void TestTrayIcon::activationReasons() {
    QFETCH(int, reason);
    QFETCH(bool, shows);

    QWidget window;
    TrayIcon::instance()->setMainWidget(&window);
    window.showMinimized();
    window.hide();
    emit systemIcon()->activated(static_cast<QSystemTrayIcon::ActivationReason>(reason));
    QCOMPARE(window.isVisible(), shows);
    if (shows) QVERIFY(!window.isMinimized());
}

void TestTrayIcon::passThroughSlots() {
    TrayIcon* tray = TrayIcon::instance();
    tray->setIcon(QStringLiteral(":/main.ico"));
    QVERIFY(!systemIcon()->icon().isNull());
    tray->setToolTip(QStringLiteral("Sonvale"));
    QCOMPARE(systemIcon()->toolTip(), QStringLiteral("Sonvale"));
    // The balloon message can be called with 2, 3 or 4 arguments.
    QVERIFY(tray->metaObject()->indexOfSlot("showMessage(QString,QString)") >= 0);
}

void TestTrayIcon::exitOnlySignalsWhenNotDirect() {
    QWidget window;
    TrayIcon* tray = TrayIcon::instance();
    QSignalSpy exits(tray, &TrayIcon::trayIconExit);

    tray->setExitDirect(false);
    tray->setMainWidget(&window);
    QCOMPARE(exitCodeAfterChoosingExit(), 7);
    QCOMPARE(exits.count(), 1);
    QVERIFY(systemIcon());

    // The flag is read when the menu is built: changing it alone does not
    // change the menu that is there.
    tray->setExitDirect(true);
    QCOMPARE(exitCodeAfterChoosingExit(), 7);
    QCOMPARE(exits.count(), 2);
    QVERIFY(systemIcon());
}

void TestTrayIcon::directExitSignalsThenEndsTheLoopWithZero() {
    QWidget window;  // hidden, as when the panel has lost focus
    TrayIcon* tray = TrayIcon::instance();
    tray->setExitDirect(true);
    tray->setMainWidget(&window);
    tray->setVisible(true);

    // The window's hook runs before the loop ends.
    bool hookRan = false;
    bool iconVisibleInHook = false;
    connect(tray, &TrayIcon::trayIconExit, this, [&] {
        hookRan = true;
        iconVisibleInHook = systemIcon() && systemIcon()->isVisible();
    });

    QCOMPARE(exitCodeAfterChoosingExit(), 0);
    QVERIFY(hookRan);
    QVERIFY(iconVisibleInHook);

    // The icon is hidden and deleted; the other slots stay harmless.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!systemIcon());
    tray->setIcon(QStringLiteral(":/main.ico"));
    tray->setVisible(true);
    tray->setToolTip(QStringLiteral("gone"));
    tray->showMessage(QStringLiteral("a"), QStringLiteral("b"));
    tray->closeAll();
}

QTEST_MAIN(TestTrayIcon)
#include "test_widgets_trayicon.moc"
