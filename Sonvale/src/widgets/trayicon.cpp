#include "trayicon.h"

#include <QAction>
#include <QCoreApplication>
#include <QIcon>
#include <QKeySequence>
#include <QMenu>
#include <QWidget>
#include <atomic>
#include <memory>
#include <mutex>

namespace {

// The process-wide holder. The instance is normally deleted by a post
// routine while the application object still exists (its menu is a widget
// and must go before the application); the holder deletes it at process exit
// if there never was an application.
std::unique_ptr<TrayIcon> holder;
std::atomic<TrayIcon*> current{nullptr};
std::mutex creation;

void destroyInstance() {
    std::lock_guard<std::mutex> lock(creation);
    current.store(nullptr);
    holder.reset();
}

}  // namespace

TrayIcon* TrayIcon::instance() {
    TrayIcon* tray = current.load(std::memory_order_acquire);
    if (tray) return tray;

    std::lock_guard<std::mutex> lock(creation);
    tray = current.load(std::memory_order_relaxed);
    if (!tray) {
        holder.reset(new TrayIcon);
        tray = holder.get();
        current.store(tray, std::memory_order_release);
        if (QCoreApplication::instance()) qAddPostRoutine(destroyInstance);
    }
    return tray;
}

TrayIcon::TrayIcon() : QObject(nullptr) {
    trayIcon = new QSystemTrayIcon(this);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &TrayIcon::iconIsActived);
    // A widget cannot be the child of a plain object, so the destructor
    // deletes the menu.
    menu = new QMenu;
    // The look of the window's own title menu: white, thin grey border,
    // accent-coloured selection.
    menu->setStyleSheet(
        QStringLiteral("QMenu{background-color:rgb(255,255,255);border:1px solid rgb(125,125,125);"
                       "border-radius:5px;}"
                       "QMenu::item{background-color:transparent;padding:3px 20px;margin:3px 5px;}"
                       "QMenu::item:selected{background-color:#CE37A8;color:#FFFFFF;}"));
}

TrayIcon::~TrayIcon() { delete menu; }

void TrayIcon::setExitDirect(bool exitDirect) {
    if (this->exitDirect != exitDirect) this->exitDirect = exitDirect;
}

void TrayIcon::setMainWidget(QWidget* mainWidget) {
    this->mainWidget = mainWidget;

    // Rebuilt from scratch, so a second call does not duplicate the entries.
    menu->clear();

    QAction* show = menu->addAction(tr("主界面"));
    show->setShortcut(QKeySequence());
    if (mainWidget) connect(show, &QAction::triggered, mainWidget, &QWidget::showNormal);

    // The exit flag is taken as it stands now: it affects only menus built
    // from here on.
    QAction* exit = menu->addAction(tr("退出"));
    exit->setShortcut(QKeySequence());
    const bool direct = exitDirect;
    connect(exit, &QAction::triggered, this, [this, direct] {
        emit trayIconExit();
        if (direct) closeAll();
    });

    if (trayIcon) trayIcon->setContextMenu(menu);
}

void TrayIcon::showMessage(const QString& title, const QString& msg,
                           QSystemTrayIcon::MessageIcon icon, int msecs) {
    if (trayIcon) trayIcon->showMessage(title, msg, icon, msecs);
}

void TrayIcon::setIcon(const QString& strIcon) {
    if (trayIcon) trayIcon->setIcon(QIcon(strIcon));
}

void TrayIcon::setToolTip(const QString& tip) {
    if (trayIcon) trayIcon->setToolTip(tip);
}

void TrayIcon::setVisible(bool visible) {
    if (trayIcon) trayIcon->setVisible(visible);
}

void TrayIcon::closeAll() {
    if (trayIcon) {
        trayIcon->hide();
        trayIcon->deleteLater();
    }
    QCoreApplication::exit(0);
}

void TrayIcon::iconIsActived(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::Context:
        case QSystemTrayIcon::DoubleClick:
        case QSystemTrayIcon::Trigger:
            if (mainWidget) mainWidget->showNormal();
            break;
        case QSystemTrayIcon::Unknown:
        case QSystemTrayIcon::MiddleClick:
            break;
    }
}
