#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

class QMenu;
class QWidget;

// The program's notification-area icon, one per process. Clicking it brings
// the main window back; its menu offers "主界面" (show the window) and "退出"
// (exit). Every exit chosen from the menu first emits trayIconExit(), so the
// window can run its own quit path; with exitDirect (the default) the icon
// then removes itself and ends the application with code 0.
//
// Create it on the GUI thread (the window's constructor does); later calls
// of instance() from any thread return that same object.
class TrayIcon : public QObject {
    Q_OBJECT

public:
    static TrayIcon* instance();
    ~TrayIcon() override;

    // The context menu; empty until setMainWidget.
    QMenu* contextMenu() const { return menu; }
    bool isExitDirect() const { return exitDirect; }

signals:
    void trayIconExit();

public slots:
    void setExitDirect(bool exitDirect);
    void setMainWidget(QWidget* mainWidget);
    void showMessage(const QString& title, const QString& msg,
                     QSystemTrayIcon::MessageIcon icon = QSystemTrayIcon::Information,
                     int msecs = 5000);
    void setIcon(const QString& strIcon);
    void setToolTip(const QString& tip);
    void setVisible(bool visible);
    void closeAll();

private slots:
    void iconIsActived(QSystemTrayIcon::ActivationReason reason);

private:
    TrayIcon();

    QPointer<QWidget> mainWidget;
    QPointer<QSystemTrayIcon> trayIcon;
    QMenu* menu = nullptr;
    bool exitDirect = true;
};
