// SonvaleMain: the program's only window, a small frameless panel beside the
// taskbar. It owns the two audio loops, the endpoint directory, the
// notification client and the driver device; routes the two "Cancel Noise"
// switches to the loops; keeps the two device lists current (showing each
// device's description, keyed by its name); remembers the person's choices;
// hides when the user clicks elsewhere where a tray icon can bring it back;
// and puts the user's default audio devices back on every way out of the
// program. Only "Quit Sonvale", the tray's "退出", the end of the session and
// a signal end it: Esc and the window manager's close only put it away.
#pragma once

#include <QDialog>
#include <QHash>
#include <QModelIndex>
#include <QString>
#include <memory>

#include "DriverLink.h"
#include "EndpointDirectory.h"
#include "OwnStreamGuard.h"
#include "audio/CaptureLoopOwner.h"

namespace Ui {
class SonvaleMain;
}
namespace sonvale {
class SingleInstance;
class PcmPlayLoop;
class PcmCaptureLoop;
}  // namespace sonvale
class QMenu;
class QLabel;
class QAction;
class QComboBox;
class QSocketNotifier;
class QSessionManager;
class CMMNotificationClient;

// Where the taskbar lies on the default screen.
enum TASK_BAR_POS {
    TASK_BAR_BOTTOM = 1,
    TASK_BAR_TOP = 2,
    TASK_BAR_LEFT = 3,
    TASK_BAR_RIGHT = 4,
    TASK_BAR_NONE = -1,
};

class SonvaleMain : public QDialog, public sonvale::CaptureLoopOwner {
    Q_OBJECT

public:
    explicit SonvaleMain(QWidget* parent = nullptr);
    ~SonvaleMain() override;

    // -1 when the window was built and should be shown; otherwise the process
    // should end with this status at once (second instance, no driver). The
    // message box explaining why has already been shown and closed.
    int startupExitCode() const { return startupExitCode_; }

    // Answers false for a known capture endpoint, true otherwise. Safe from
    // the notification thread: the directory guards its own maps.
    bool IsSpeakerEndpoint(const QString& name, const QString& id) const;

    // Devices made the defaults again on exit; empty until the virtual
    // devices were made the defaults.
    QString savedSpeakerName() const { return savedSpeaker; }
    QString savedMicrophoneName() const { return savedMicrophone; }

    sonvale::PcmCaptureLoop* captureLoopForTest() const { return captureLoop; }
    sonvale::PcmPlayLoop* playLoopForTest() const { return playLoop; }

    // Whether focus loss hides the panel: only where a tray icon can bring
    // it back. Tests may decide instead of the desktop (1 tray, 0 none, -1
    // ask the desktop) before a window is built.
    bool hidesOnFocusLoss() const { return trayAvailable_; }
    static void setSystemTrayAvailableForTest(int available);

    // Role of the combo box items that holds the device's name.
    static constexpr int kDeviceNameRole = Qt::UserRole;

    bool eventFilter(QObject* watched, QEvent* event) override;

public slots:
    void slotShowTip();
    void QuitMain();
    void slotListViewEntered(QModelIndex index);
    void slotListViewSpeakerEntered(QModelIndex index);
    void NotifyRemoveMicroppone(int nkindStat, const QString& strName) override;
    void NotifyRemoveSpeaker(int nkindStat, QString strName);
    void NotifySetStat(int nkindStat, QString strName);
    // The audio server went away (0: both paths close, the lists empty) or
    // a server is there again (1: the paths reopen once the companion
    // devices are there too). strName is empty.
    void NotifyAudioServer(int nkindStat, QString strName);
    void activateAndFocus();
    // Puts back the default speaker and microphone saved at start-up. Runs
    // once; every later call does nothing. Called on every exit path.
    void restoreSavedDefaults();
    // Brings the panel to the front: a second start of the program asks so.
    void showFromSecondStart();
    // Esc: puts the panel away (hidden where the tray brings it back,
    // minimised to its taskbar entry otherwise). Never ends the program.
    void reject() override;

private slots:
    void on_comboBox_Microphone_currentTextChanged(const QString& arg1);
    void on_comboBox_Speaker_currentTextChanged(const QString& arg1);
    void on_pushButton_showWeight_clicked();
    void on_pushButton_arrow_clicked();
    void on_pushButton_arrow_speaker_clicked();
    void on_pushButton_Upgrade_clicked();
    void on_comboBox_Microphone_highlighted(int index);
    void on_comboBox_Microphone_activated(int index);
    void on_comboBox_Speaker_activated(int index);
    void onCommitDataRequest(QSessionManager& manager);
    void onShowRequest();
    void onStartAtLoginToggled(bool enabled);

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    bool checkSingleInstance();
    void hideSpareWidgets();
    void initTrayIcon();
    void moveNearTaskbar();
    void GetTaskbarInfo(int& width, int& height, TASK_BAR_POS& pos);
    QString wrapTextToWidth(QLabel* label, QString text, int maxWidth);
    void RefreshDeviceLists();
    void showDriverMissingMessage(const QString& detail = QString());
    void addDevice(QComboBox* box, int flow, const QString& name);
    void relabelDevices(QComboBox* box);
    QString describe(int flow, const QString& name);
    static int indexOfDevice(QComboBox* box, const QString& name);
    static QString currentDevice(QComboBox* box);
    void restoreRememberedChoices();
    void remember(const QString& key, const QVariant& value);
    void updateTrayToolTip();
    void logDeviceLists();
    void highlightCurrentRow(class QComboBox* box, const QModelIndex& index);
    void shutdownLoops();

    Ui::SonvaleMain* ui = nullptr;
    QMenu* menu = nullptr;
    bool widgetShown = false;
    CMMNotificationClient* notificationClient = nullptr;
    sonvale::EndpointDirectory endpoints;
    sonvale::PcmPlayLoop* playLoop = nullptr;
    sonvale::PcmCaptureLoop* captureLoop = nullptr;
    sonvale::DriverDevice driverDevice;
    QString savedMicrophone;
    QString savedSpeaker;

    // Audio server and companion devices coming and going (SonvaleMainRecovery.cpp).
    void startStreamGuard();
    void noteCompanionDevice(int nkindStat, const QString& name);
    void closeAudioPaths(bool clearLists);
    void scheduleAudioReopen(bool soon);
    void tryAudioReopen();
    void settleDeviceList(class QComboBox* box, int flow, const QString& chosen);
    std::unique_ptr<sonvale::OwnStreamGuard> streamGuard_;
    class QTimer* reopenTimer_ = nullptr;
    class QtAudioConnection* qtAudio_ = nullptr;
    int reopenDelayMs_ = 0;
    bool audioPathsClosed_ = false;  // waiting for a server or the companion devices
    qint64 waitingSinceMs_ = -1;     // when the server and devices were first seen, waiting for Qt
    QString waitingFor_;             // what the last wait was for (logged once per kind)
    QString chosenMicrophone_;       // the devices in use when the paths closed
    QString chosenSpeaker_;
    int audioReopens_ = 0;   // times both paths were reopened
    int serverReturns_ = 0;  // times a server came back

    std::unique_ptr<sonvale::SingleInstance> instanceGuard_;
    QSocketNotifier* showRequests_ = nullptr;  // a second start asks to show the panel
    QAction* startAtLoginAction_ = nullptr;
    QHash<QString, QString> descriptions_[2];  // by flow: device name -> description
    bool trayAvailable_ = false;
    bool quitting_ = false;  // "Quit Sonvale" is closing the window
    int startupExitCode_ = -1;
    bool defaultsSwitched_ = false;  // the virtual devices were made the defaults
};
