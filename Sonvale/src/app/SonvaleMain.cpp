#include "SonvaleMain.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QDebug>
#include <QDesktopWidget>
#include <QFile>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSettings>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QStandardItemModel>
#include <QStyleOption>
#include <QSystemTrayIcon>
#include <QToolTip>

#include "Autostart.h"
#include "CMMNotificationClient.h"
#include "DefaultDevices.h"
#include "SingleInstance.h"
#include "audio/AudioDevices.h"
#include "audio/PcmCaptureLoop.h"
#include "audio/PcmPlayLoop.h"
#include "comboxlist.h"
#include "imageswitch.h"
#include "trayicon.h"
#include "ui_sonvalemain.h"

namespace {

std::wstring Wide(const QString& s) { return s.toStdWString(); }
QString FromWide(const std::wstring& s) { return QString::fromStdWString(s); }

// Devices that never belong in a list: the program's own virtual devices
// (capturing the virtual microphone, or playing into the virtual speaker,
// would feed the program its own output), the "Krisp" virtual devices, and
// the monitor sources PulseAudio offers for every sink, which are not
// microphones.
bool IsExcludedDevice(const QString& name) {
    return name.contains(QLatin1String("Krisp")) || name.contains(QLatin1String("Sonvale")) ||
           name.endsWith(QLatin1String(".monitor"));
}

bool IsVirtualDevice(const QString& name) { return name.contains(QLatin1String("Sonvale")); }

using sonvale::PcmCaptureLoop;
using sonvale::PcmPlayLoop;

// Tests decide whether there is a tray (1, 0); -1 asks the desktop.
int trayAvailableOverride = -1;

// Role of the combo box items that holds the device's description.
constexpr int kDescriptionRole = Qt::UserRole + 1;

// The remembered choices, in the user's config folder
// (~/.config/Sonvale/Sonvale.conf on Linux).
constexpr char kMicrophoneKey[] = "devices/microphone";
constexpr char kSpeakerKey[] = "devices/speaker";
constexpr char kMicrophoneNoiseKey[] = "noiseCancel/microphone";
constexpr char kSpeakerNoiseKey[] = "noiseCancel/speaker";

QSettings& Settings() {
    static QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                              QStringLiteral("Sonvale"), QStringLiteral("Sonvale"));
    return settings;
}

}  // namespace

void SonvaleMain::setSystemTrayAvailableForTest(int available) {
    trayAvailableOverride = available;
}

SonvaleMain::SonvaleMain(QWidget* parent) : QDialog(parent), ui(new Ui::SonvaleMain) {
    // 1-2. The endpoint directory is filled as a member. The single-instance
    //      check comes first; a second instance changes nothing, not even the
    //      virtual microphone's volume, and ends here.
    if (!checkSingleInstance()) return;
    sonvale::SetCaptureEndpointVolume(false, sonvale::kVirtualMicrophonePercent, L"Sonvale");
    trayAvailable_ = trayAvailableOverride >= 0 ? trayAvailableOverride != 0
                                                : QSystemTrayIcon::isSystemTrayAvailable();
    qDebug().noquote() << "system tray:" << (trayAvailable_ ? "available" : "none");

    // 3-4.
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/main.ico")));
    hideSpareWidgets();

    // 5.
    captureLoop = new PcmCaptureLoop();
    captureLoop->setOwner(this);
    playLoop = new PcmPlayLoop();

    // 6-7.
    setWindowFlags(Qt::FramelessWindowHint);
    setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
    activateAndFocus();
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(245, 244, 248, 255));
    setPalette(pal);

    // 8-10.
    initTrayIcon();
    moveNearTaskbar();
    ui->label_refresh->installEventFilter(this);
    ui->label_menu->installEventFilter(this);
    ui->label_Accountname->installEventFilter(this);
    ui->widget_switchspeaker->installEventFilter(this);
    ui->widget_micrpphone->installEventFilter(this);

    // 11-13.
    setStyleSheet(QStringLiteral("#SonvaleMain{background-color:#F5F4F8}"));
    ui->label_refresh->setObjectName(QStringLiteral("titlerefresh"));
    ui->label_refresh->setStyleSheet(
        QStringLiteral("#titlerefresh{border-image:url(:/refresh.png);}"));
    ui->label_menu->setObjectName(QStringLiteral("titlemenu"));
    ui->label_menu->setStyleSheet(QStringLiteral("#titlemenu{border-image:url(:/select.png);}"));
    ui->pushButton_showWeight->move(188, 45);
    widgetShown = true;

    // 14. The title menu.
    menu = new QMenu(this);
    menu->setStyleSheet(QStringLiteral(
        "QMenu{ background-color: rgb(255, 255, 255); border: 1px solid rgb(125, 125, 125);"
        "                     border-radius: 5px; }QMenu::item { background-color: transparent;"
        "                       padding:3px 20px;                      margin:3px 5px;"
        "                     }QMenu::item:selected { background-color: #CE37A8}"));
    menu->setMinimumWidth(150);
    auto* quitAction = new QAction(menu);
    quitAction->setIconVisibleInMenu(false);
    quitAction->setText(tr("Quit Sonvale"));
    quitAction->setObjectName(QStringLiteral("actionQuitSonvale"));
    connect(quitAction, &QAction::triggered, this, &SonvaleMain::QuitMain);
    menu->addAction(quitAction);
    // Second, so that "Quit Sonvale" keeps its place at the top.
    startAtLoginAction_ = new QAction(menu);
    startAtLoginAction_->setIconVisibleInMenu(false);
    startAtLoginAction_->setText(tr("Start at login"));
    startAtLoginAction_->setObjectName(QStringLiteral("actionStartAtLogin"));
    startAtLoginAction_->setCheckable(true);
    startAtLoginAction_->setChecked(sonvale::AutostartEnabled());
    connect(startAtLoginAction_, &QAction::toggled, this, &SonvaleMain::onStartAtLoginToggled);
    menu->addAction(startAtLoginAction_);

    // 15-16. Plain list views so that the style sheet's item height applies.
    for (ComboxList* box : {ui->comboBox_Microphone, ui->comboBox_Speaker}) {
        auto* view = new QListView(box);
        box->setView(view);
        view->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
        box->setMaxVisibleItems(3);
        box->owner = this;
    }
    connect(ui->comboBox_Microphone->view(), &QAbstractItemView::entered, this,
            &SonvaleMain::slotListViewEntered);
    connect(ui->comboBox_Speaker->view(), &QAbstractItemView::entered, this,
            &SonvaleMain::slotListViewSpeakerEntered);

    // 17.
    ui->label_UpdateText->setText(
        wrapTextToWidth(ui->label_UpdateText, ui->label_UpdateText->text(), 166));

    // 18.
    notificationClient = new CMMNotificationClient(&endpoints);
    notificationClient->setMainWindow(this);

    // 19. May end start-up with the driver-missing message. The program's own
    //     streams are watched before the first one opens.
    startStreamGuard();
    RefreshDeviceLists();
    if (startupExitCode_ >= 0) return;

    // 20. The switches as the person left them; at first the microphone's
    //     on and the speaker's off.
    const bool micNoise = Settings().value(QLatin1String(kMicrophoneNoiseKey), true).toBool();
    const bool speakerNoise = Settings().value(QLatin1String(kSpeakerNoiseKey), false).toBool();
    ui->widget_micrpphone->setChecked(micNoise);
    captureLoop->setNoiseCancel(micNoise);
    ui->widget_switchspeaker->setChecked(speakerNoise);
    playLoop->setNoiseCancel(speakerNoise);
    qDebug().noquote() << "noise cancellation at start: microphone" << (micNoise ? "on" : "off")
                       << "| speaker" << (speakerNoise ? "on" : "off");
    updateTrayToolTip();

    // The end of the desktop session is an exit path too.
    connect(qApp, &QGuiApplication::commitDataRequest, this, &SonvaleMain::onCommitDataRequest,
            Qt::DirectConnection);
}

SonvaleMain::~SonvaleMain() {
    restoreSavedDefaults();
    // The notification client reads the directory; it goes first. The loops
    // are stopped and released before the driver device they write to.
    delete notificationClient;
    notificationClient = nullptr;
    shutdownLoops();
    delete ui;
}

void SonvaleMain::shutdownLoops() {
    if (captureLoop) {
        captureLoop->setOwner(nullptr);
        captureLoop->stopCapture();
        delete captureLoop;
        captureLoop = nullptr;
    }
    if (playLoop) {
        playLoop->stopPlayback();
        delete playLoop;
        playLoop = nullptr;
    }
}

bool SonvaleMain::checkSingleInstance() {
    const std::string name = sonvale::SingleInstanceName();
    instanceGuard_ = std::make_unique<sonvale::SingleInstance>(name);
    if (instanceGuard_->acquired()) {
        const int fd = instanceGuard_->showRequestDescriptor();
        if (fd >= 0) {
            showRequests_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
            connect(showRequests_, &QSocketNotifier::activated, this, &SonvaleMain::onShowRequest);
        }
        return true;
    }
    qDebug() << "single instance: last error" << instanceGuard_->lastError();
    // The running program shows its panel; nothing else is needed here.
    if (instanceGuard_->lastError() == sonvale::SingleInstanceAlreadyExistsError() &&
        sonvale::AskHolderToShow(name)) {
        qDebug().noquote() << "single instance: the running Sonvale was brought to the front";
        startupExitCode_ = 0;
        return false;
    }
    QMessageBox box(QMessageBox::Information, tr("错误"), tr("程序已经被打开"), QMessageBox::Ok,
                    this);
    box.setDefaultButton(static_cast<QPushButton*>(nullptr));
    box.setObjectName(QStringLiteral("secondInstanceBox"));
    qDebug().noquote() << "message box:" << box.windowTitle() << box.text();
    box.exec();
    startupExitCode_ = 0;
    return false;
}

bool SonvaleMain::IsSpeakerEndpoint(const QString& name, const QString& id) const {
    return endpoints.Classify(Wide(name), Wide(id)) != sonvale::kClassCapture;
}

void SonvaleMain::hideSpareWidgets() {
    ui->label_Image->hide();
    ui->label_Accountname->hide();
    ui->pushButton_showWeight->hide();
    ui->label_refresh->hide();
    ui->label_MicroUsestatus->hide();
    ui->label_UpdateText->hide();
    ui->pushButton_Upgrade->hide();
    ui->label_imagestat->hide();
    ui->label_MicroUsestatus_speaker->hide();
    ui->frame_updateInfo->hide();
    ui->label_NoiseCancel->hide();
}

void SonvaleMain::onShowRequest() {
    if (instanceGuard_ && instanceGuard_->takeShowRequests() > 0) showFromSecondStart();
}

void SonvaleMain::showFromSecondStart() {
    qDebug().noquote() << "shown: another start asked for the panel";
    showNormal();
    raise();
    activateAndFocus();
}

void SonvaleMain::reject() {
    if (quitting_) {
        QDialog::reject();
        return;
    }
    if (trayAvailable_) {
        qDebug().noquote() << "put away: hidden (the tray icon brings it back)";
        hide();
    } else {
        qDebug().noquote() << "put away: minimised (its taskbar entry brings it back)";
        showMinimized();
    }
}

void SonvaleMain::closeEvent(QCloseEvent* event) {
    if (quitting_) {
        QDialog::closeEvent(event);
        return;
    }
    // The window manager's close (Alt+F4, the taskbar's menu) only puts the
    // panel away: noise cancelling goes on for every program.
    event->ignore();
    reject();
}

void SonvaleMain::onStartAtLoginToggled(bool enabled) {
    QString error;
    if (!sonvale::SetAutostartEnabled(enabled, QCoreApplication::applicationFilePath(), &error)) {
        qWarning().noquote() << "start at login:" << error;
        QSignalBlocker block(startAtLoginAction_);
        startAtLoginAction_->setChecked(!enabled);
        return;
    }
    qDebug().noquote() << "start at login:" << (enabled ? "on" : "off")
                       << sonvale::AutostartEntryPath();
}

void SonvaleMain::updateTrayToolTip() {
    const bool mic = ui->widget_micrpphone->getChecked();
    const bool speaker = ui->widget_switchspeaker->getChecked();
    QString tip;
    if (mic && speaker)
        tip = tr("Sonvale: noise cancelling on for the microphone and the speaker");
    else if (mic)
        tip = tr("Sonvale: noise cancelling on for the microphone");
    else if (speaker)
        tip = tr("Sonvale: noise cancelling on for the speaker");
    else
        tip = tr("Sonvale: noise cancelling off");
    TrayIcon::instance()->setToolTip(tip);
    qDebug().noquote() << "tray tooltip:" << tip;
}

void SonvaleMain::remember(const QString& key, const QVariant& value) {
    Settings().setValue(key, value);
    Settings().sync();
}

void SonvaleMain::initTrayIcon() {
    TrayIcon* tray = TrayIcon::instance();
    tray->setIcon(QStringLiteral(":/main.ico"));
    tray->setMainWidget(this);
}

void SonvaleMain::GetTaskbarInfo(int& width, int& height, TASK_BAR_POS& pos) {
    width = 0;
    height = 0;
    pos = TASK_BAR_NONE;
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect avail = screen->availableGeometry();
    const QRect full = screen->geometry();
    qDebug() << avail.width();
    qDebug() << avail.height();
    qDebug() << full.width();
    qDebug() << full.height();
    if (avail.bottom() != full.bottom()) {
        width = full.width();
        height = full.height() - avail.height();
        pos = TASK_BAR_BOTTOM;
    } else if (avail.top() != full.top()) {
        width = full.width();
        height = full.height() - avail.height();
        pos = TASK_BAR_TOP;
    } else if (avail.left() != full.left()) {
        // A side panel: report its thickness, which the placement uses as
        // the horizontal offset.
        width = full.width() - avail.width();
        pos = TASK_BAR_LEFT;
    } else if (avail.right() != full.right()) {
        width = full.width() - avail.width();
        pos = TASK_BAR_RIGHT;
    } else {
        pos = TASK_BAR_NONE;
    }
}

void SonvaleMain::moveNearTaskbar() {
    int width = 0;
    int height = 0;
    TASK_BAR_POS pos = TASK_BAR_NONE;
    GetTaskbarInfo(width, height, pos);
    // The whole desktop: the union of all screens.
    QRect desktop;
    for (QScreen* s : QGuiApplication::screens()) desktop = desktop.united(s->geometry());
    const QSize w = size();
    switch (pos) {
        case TASK_BAR_BOTTOM:
            move(desktop.width() - w.width() - 70, desktop.height() - w.height() - height);
            break;
        case TASK_BAR_TOP:
            move(desktop.width() - w.width(), height);
            break;
        case TASK_BAR_LEFT:
            move(width, 0);
            break;
        case TASK_BAR_RIGHT:
            move(desktop.width() - w.width() - width, height);
            break;
        case TASK_BAR_NONE:
            // No panel to stand beside (a bare X server, a desktop without a
            // panel): bottom right, where a panel usually is, so the window
            // is not left at the origin.
            move(desktop.width() - w.width() - 70, desktop.height() - w.height());
            break;
    }
}

QString SonvaleMain::wrapTextToWidth(QLabel* label, QString text, int maxWidth) {
    if (text.isEmpty()) return text;
    const QFontMetrics metrics(label->font());
    int k = 1;
    for (int i = 1; i <= text.length(); ++i) {
        if (metrics.horizontalAdvance(text.left(i)) > maxWidth * k) {
            ++k;
            text.insert(i - 1, QStringLiteral("\r\n"));
            i += 2;
        }
    }
    return text;
}

void SonvaleMain::activateAndFocus() {
    activateWindow();
    setFocus();
}

bool SonvaleMain::eventFilter(QObject* watched, QEvent* event) {
    QWidget* refresh = ui->label_refresh;
    QWidget* menuLabel = ui->label_menu;
    const QEvent::Type type = event->type();
    if (watched == refresh) {
        if (type == QEvent::MouseButtonRelease) return true;
        if (type == QEvent::Enter) {
            refresh->setObjectName(QStringLiteral("titlerefresh"));
            refresh->setStyleSheet(QStringLiteral(
                "#titlerefresh{background-color:#C4C9EE;border-image:url(:/refresh.png);}"
                "QToolTip{border:1px solid #999999; background-color: #000000; color:#ffffff; "
                "font-size:14px;border-radius:5px;}"));
            slotShowTip();
            return true;
        }
        if (type == QEvent::Leave) {
            refresh->setObjectName(QStringLiteral("titlerefresh"));
            refresh->setStyleSheet(
                QStringLiteral("#titlerefresh{border-image:url(:/refresh.png);}"));
            activateAndFocus();
            return true;
        }
    }
    if (watched == menuLabel) {
        if (type == QEvent::MouseButtonPress) {
            QPoint p = menuLabel->geometry().topLeft() + pos();
            p.setX(p.x() - 160);
            qDebug() << p;
            menu->popup(p);
            return true;
        }
        if (type == QEvent::Enter) {
            setCursor(Qt::PointingHandCursor);
            return true;
        }
        if (type == QEvent::Leave) {
            setCursor(Qt::ArrowCursor);
            return true;
        }
    }
    if (watched == ui->label_Accountname) {
        if (type == QEvent::Enter) {
            setCursor(Qt::PointingHandCursor);
            return true;
        }
        if (type == QEvent::Leave) {
            setCursor(Qt::ArrowCursor);
            return true;
        }
    }
    if (watched == ui->widget_switchspeaker && type == QEvent::MouseButtonRelease) {
        const bool on = ui->widget_switchspeaker->getChecked();
        if (playLoop) playLoop->setNoiseCancel(on);
        qDebug().noquote() << "speaker noise cancellation:" << (on ? "on" : "off");
        remember(QLatin1String(kSpeakerNoiseKey), on);
        updateTrayToolTip();
        activateAndFocus();
    }
    if (watched == ui->widget_micrpphone && type == QEvent::MouseButtonRelease) {
        const bool on = ui->widget_micrpphone->getChecked();
        if (captureLoop) captureLoop->setNoiseCancel(on);
        qDebug().noquote() << "microphone noise cancellation:" << (on ? "on" : "off");
        remember(QLatin1String(kMicrophoneNoiseKey), on);
        updateTrayToolTip();
        activateAndFocus();
    }
    return QDialog::eventFilter(watched, event);
}

void SonvaleMain::slotShowTip() {
    QToolTip::showText(ui->label_refresh->mapToGlobal(QPoint(0, 0)) + QPoint(10, 20),
                       tr("Sync account data"), ui->label_refresh);
}

void SonvaleMain::QuitMain() {
    restoreSavedDefaults();
    quitting_ = true;
    close();
}

void SonvaleMain::restoreSavedDefaults() {
    if (!defaultsSwitched_) return;
    defaultsSwitched_ = false;
    sonvale::RestoreArmedDefaults();
}

void SonvaleMain::onCommitDataRequest(QSessionManager&) {
    // The session is ending: the program will not get another chance.
    restoreSavedDefaults();
}

void SonvaleMain::focusInEvent(QFocusEvent* event) {
    Q_UNUSED(event);
    // Re-applying the flags of a visible window would hide it; the flag is
    // set once in the constructor and only re-asserted when it went missing.
    if (!(windowFlags() & Qt::WindowStaysOnTopHint)) {
        setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
        show();
    }
}

void SonvaleMain::focusOutEvent(QFocusEvent* event) {
    Q_UNUSED(event);
    const QPoint cursor = QCursor::pos();
    const QRect g = geometry();
    qDebug() << cursor;
    qDebug() << g.left() << g.right() << g.top() << g.bottom();
    TrayIcon::instance()->setVisible(true);
    const bool inside = g.left() < cursor.x() && cursor.x() < g.right() && g.top() < cursor.y() &&
                        cursor.y() < g.bottom();
    // Without a tray nothing could bring a hidden panel back: it stays, and
    // its taskbar entry is the way back to it.
    if (!inside && trayAvailable_) hide();
}

void SonvaleMain::paintEvent(QPaintEvent* event) {
    Q_UNUSED(event);
    QStyleOption opt;
    opt.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &opt, &painter, this);
}

void SonvaleMain::showEvent(QShowEvent* event) {
    Q_UNUSED(event);
    activateAndFocus();
}

void SonvaleMain::hideEvent(QHideEvent* event) { Q_UNUSED(event); }

// ---- device lists -------------------------------------------------------

QString SonvaleMain::describe(int flow, const QString& name) {
    QHash<QString, QString>& known = descriptions_[flow == sonvale::kRenderFlow ? 0 : 1];
    if (!known.contains(name)) {
        // A device not seen before: ask the system once more.
        for (const sonvale::EndpointInfo& e : sonvale::ListActiveEndpoints(flow))
            known.insert(FromWide(e.name), FromWide(e.description));
    }
    const QString description = known.value(name);
    return description.isEmpty() ? name : description;
}

int SonvaleMain::indexOfDevice(QComboBox* box, const QString& name) {
    return box->findData(name, kDeviceNameRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
}

QString SonvaleMain::currentDevice(QComboBox* box) {
    return box->currentData(kDeviceNameRole).toString();
}

void SonvaleMain::addDevice(QComboBox* box, int flow, const QString& name) {
    const QString description = describe(flow, name);
    box->addItem(description, name);
    box->setItemData(box->count() - 1, description, kDescriptionRole);
    relabelDevices(box);
}

void SonvaleMain::relabelDevices(QComboBox* box) {
    // Devices that share a description are told apart by their names.
    QHash<QString, int> uses;
    for (int i = 0; i < box->count(); ++i) ++uses[box->itemData(i, kDescriptionRole).toString()];
    for (int i = 0; i < box->count(); ++i) {
        const QString description = box->itemData(i, kDescriptionRole).toString();
        const QString name = box->itemData(i, kDeviceNameRole).toString();
        const QString label = uses.value(description) > 1 && description != name
                                  ? description + QStringLiteral(" (") + name + QLatin1Char(')')
                                  : description;
        if (box->itemText(i) != label) box->setItemText(i, label);
        box->setItemData(i, name, Qt::ToolTipRole);
    }
}

void SonvaleMain::RefreshDeviceLists() {
    // The loops start only after the defaults have been switched: PulseAudio
    // moves the streams of the old default device to the new one, so a
    // capture started on the user's default microphone would end up
    // recording the virtual microphone (the program's own output), and the
    // playback would end up feeding the virtual speaker.
    QSignalBlocker blockMicrophones(ui->comboBox_Microphone);
    QSignalBlocker blockSpeakers(ui->comboBox_Speaker);
    ui->comboBox_Microphone->clear();
    ui->comboBox_Speaker->clear();
    descriptions_[0].clear();
    descriptions_[1].clear();

    QString micCandidate;
    QString virtualMic;
    bool haveVirtualMic = false;
    const QList<QAudioDeviceInfo> inputs = PcmCaptureLoop::GetQAudioOutDeviceInfo(micCandidate);
    for (const QAudioDeviceInfo& info : inputs) {
        if (!sonvale::isEndpointDevice(info, QAudio::AudioInput)) continue;
        const QString n = info.deviceName();
        if (!IsExcludedDevice(n)) addDevice(ui->comboBox_Microphone, sonvale::kCaptureFlow, n);
        // The virtual speaker's monitor is not the virtual microphone.
        if (IsVirtualDevice(n) && !n.endsWith(QLatin1String(".monitor"))) {
            virtualMic = n;
            haveVirtualMic = true;
        }
    }

    QString speakerCandidate;
    QString virtualSpeaker;
    bool haveVirtualSpeaker = false;
    const QList<QAudioDeviceInfo> outputs = PcmPlayLoop::GetQAudioInputDeviceInfo(speakerCandidate);
    for (const QAudioDeviceInfo& info : outputs) {
        if (!sonvale::isEndpointDevice(info, QAudio::AudioOutput)) continue;
        const QString n = info.deviceName();
        if (!IsExcludedDevice(n)) addDevice(ui->comboBox_Speaker, sonvale::kRenderFlow, n);
        if (IsVirtualDevice(n)) {
            virtualSpeaker = n;
            haveVirtualSpeaker = true;
        }
    }

    if (!(haveVirtualMic && haveVirtualSpeaker)) {
        showDriverMissingMessage(
            tr("Sonvale_Microphone and Sonvale_Speaker are missing. Load "
               "them with sonvale-driver up, or once for every login with "
               "sonvale-driver install."));
        return;
    }

    // The link comes before any default is switched: with the devices there
    // but no link, nothing would feed the virtual microphone or drain the
    // virtual speaker, and every program would go silent.
    wchar_t path[sonvale::kDriverPathCapacity] = {};
    if (!sonvale::findDriverInterface(path, 0)) {
        showDriverMissingMessage(
            tr("The companion devices are there, but their link cannot be "
               "found. Load them again (sonvale-driver up)."));
        return;
    }
    if (!driverDevice.open(path)) {
        showDriverMissingMessage(tr("The companion devices are there, but their link %1 cannot "
                                    "be opened. Load them again (sonvale-driver up).")
                                     .arg(QString::fromWCharArray(path)));
        return;
    }

    // What to put back on exit: the defaults as they are now. Should they
    // already be the virtual devices (left by a program that died), the
    // first real devices of the lists are restored instead, so the system
    // never stays on virtual devices that nothing feeds.
    sonvale::DefaultDevices before = sonvale::QueryDefaultDevices();
    if (before.speaker.empty() || IsVirtualDevice(FromWide(before.speaker)))
        before.speaker = Wide(ui->comboBox_Speaker->count() > 0
                                  ? ui->comboBox_Speaker->itemData(0, kDeviceNameRole).toString()
                                  : speakerCandidate);
    if (before.microphone.empty() || IsVirtualDevice(FromWide(before.microphone)))
        before.microphone =
            Wide(ui->comboBox_Microphone->count() > 0
                     ? ui->comboBox_Microphone->itemData(0, kDeviceNameRole).toString()
                     : micCandidate);
    savedSpeaker = FromWide(before.speaker);
    savedMicrophone = FromWide(before.microphone);
    sonvale::ArmDefaultsRestore(before);
    defaultsSwitched_ = true;

    endpoints.SetDefaultByName(Wide(virtualSpeaker), sonvale::kRenderFlow);
    endpoints.SetDefaultByName(Wide(virtualMic), sonvale::kCaptureFlow);
    captureLoop->setDriver(&driverDevice);
    playLoop->setDriver(&driverDevice);

    restoreRememberedChoices();

    // Now start both loops on the chosen devices, as selecting them would
    // have.
    blockMicrophones.unblock();
    blockSpeakers.unblock();
    on_comboBox_Microphone_currentTextChanged(ui->comboBox_Microphone->currentText());
    on_comboBox_Speaker_currentTextChanged(ui->comboBox_Speaker->currentText());
    logDeviceLists();
}

void SonvaleMain::restoreRememberedChoices() {
    // The devices chosen last time, when they are there; otherwise the
    // first of each list.
    const QString mic = Settings().value(QLatin1String(kMicrophoneKey)).toString();
    const QString speaker = Settings().value(QLatin1String(kSpeakerKey)).toString();
    const int micIndex = mic.isEmpty() ? -1 : indexOfDevice(ui->comboBox_Microphone, mic);
    const int speakerIndex = speaker.isEmpty() ? -1 : indexOfDevice(ui->comboBox_Speaker, speaker);
    if (micIndex >= 0) ui->comboBox_Microphone->setCurrentIndex(micIndex);
    if (speakerIndex >= 0) ui->comboBox_Speaker->setCurrentIndex(speakerIndex);
    qDebug().noquote() << "remembered microphone:" << (mic.isEmpty() ? QStringLiteral("-") : mic)
                       << (micIndex >= 0 ? "(present)" : "(not used)")
                       << "| speaker:" << (speaker.isEmpty() ? QStringLiteral("-") : speaker)
                       << (speakerIndex >= 0 ? "(present)" : "(not used)");
}

void SonvaleMain::logDeviceLists() {
    QStringList mics, speakers;
    for (int i = 0; i < ui->comboBox_Microphone->count(); ++i)
        mics << ui->comboBox_Microphone->itemData(i, kDeviceNameRole).toString();
    for (int i = 0; i < ui->comboBox_Speaker->count(); ++i)
        speakers << ui->comboBox_Speaker->itemData(i, kDeviceNameRole).toString();
    qDebug().noquote() << "microphones:" << mics.join(QLatin1String(", "))
                       << "| current:" << currentDevice(ui->comboBox_Microphone);
    qDebug().noquote() << "speakers:" << speakers.join(QLatin1String(", "))
                       << "| current:" << currentDevice(ui->comboBox_Speaker);
}

void SonvaleMain::showDriverMissingMessage(const QString& detail) {
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect avail = screen ? screen->availableGeometry() : QRect(0, 0, 0, 0);
    QMessageBox box(this);
    box.setObjectName(QStringLiteral("driverMissingBox"));
    const int halfW = box.rect().width() / 2;
    const int halfH = box.rect().height() / 2;
    QFile qss(QStringLiteral(":/qss/messagebox.qss"));
    QString sheet;
    if (qss.open(QIODevice::ReadOnly)) sheet = QString::fromUtf8(qss.readAll());
    box.setStyleSheet(sheet);
    box.setText(tr("请先安装相关驱动程序"));
    if (!detail.isEmpty()) box.setInformativeText(detail);
    box.setWindowTitle(QStringLiteral("Sonvale"));
    box.move(avail.width() / 2 - halfW, avail.height() / 2 - halfH);
    qDebug().noquote() << "message box:" << box.windowTitle() << box.text();
    if (!detail.isEmpty()) qDebug().noquote() << "message box detail:" << detail;
    box.exec();
    qss.close();
    startupExitCode_ = 0;
}

void SonvaleMain::on_comboBox_Microphone_currentTextChanged(const QString& arg1) {
    // The text is the device's description; the item's name is the key.
    const QString name = currentDevice(ui->comboBox_Microphone);
    if (arg1.isEmpty() || name.isEmpty() || !captureLoop || audioPathsClosed_) return;
    if (captureLoop->isOpened()) {
        if (captureLoop->deviceName() != name) {
            captureLoop->stopCapture();
            captureLoop->startCapture(name);
        }
    } else {
        captureLoop->startCapture(name);
    }
}

void SonvaleMain::on_comboBox_Speaker_currentTextChanged(const QString& arg1) {
    const QString name = currentDevice(ui->comboBox_Speaker);
    if (arg1.isEmpty() || name.isEmpty() || !playLoop || audioPathsClosed_) return;
    if (playLoop->isOpened() && playLoop->deviceName() == name) return;
    if (playLoop->isOpened()) playLoop->stopPlayback();
    playLoop->selectDevice(name);
    playLoop->startPlayback();
}

void SonvaleMain::on_comboBox_Microphone_activated(int index) {
    // Only the person's own picks are remembered, not the moves the program
    // makes when a device goes away.
    remember(QLatin1String(kMicrophoneKey),
             ui->comboBox_Microphone->itemData(index, kDeviceNameRole));
}

void SonvaleMain::on_comboBox_Speaker_activated(int index) {
    remember(QLatin1String(kSpeakerKey), ui->comboBox_Speaker->itemData(index, kDeviceNameRole));
}

void SonvaleMain::NotifyRemoveMicroppone(int nkindStat, const QString& strName) {
    qDebug().noquote() << __func__ << nkindStat << strName;
    noteCompanionDevice(nkindStat, strName);
    struct LogOnExit {
        SonvaleMain* window;
        ~LogOnExit() { window->logDeviceLists(); }
    } logOnExit{this};

    ComboxList* box = ui->comboBox_Microphone;
    if (nkindStat == sonvale::kStateActive) {
        // A device coming back is listed again, unless it is one that never
        // belongs in the list (the virtual microphone above all).
        if (!IsExcludedDevice(strName)) addDevice(box, sonvale::kCaptureFlow, strName);
        return;
    }
    if (strName == currentDevice(box) && captureLoop) captureLoop->closeCapture();
    const int index = indexOfDevice(box, strName);
    if (index >= 0) box->removeItem(index);
    relabelDevices(box);
}

void SonvaleMain::NotifyRemoveSpeaker(int nkindStat, QString strName) {
    qDebug().noquote() << __func__ << nkindStat << strName;
    noteCompanionDevice(nkindStat, strName);
    struct LogOnExit {
        SonvaleMain* window;
        ~LogOnExit() { window->logDeviceLists(); }
    } logOnExit{this};

    ComboxList* box = ui->comboBox_Speaker;
    if (nkindStat == sonvale::kStateActive) {
        if (!IsExcludedDevice(strName)) addDevice(box, sonvale::kRenderFlow, strName);
        return;
    }
    const int index = indexOfDevice(box, strName);
    if (index >= 0) box->removeItem(index);
    relabelDevices(box);
}

void SonvaleMain::NotifySetStat(int nkindStat, QString strName) {
    qDebug().noquote() << __func__ << nkindStat << strName;
    noteCompanionDevice(nkindStat, strName);
    struct LogOnExit {
        SonvaleMain* window;
        ~LogOnExit() { window->logDeviceLists(); }
    } logOnExit{this};

    Q_UNUSED(nkindStat);
    ComboxList* box = ui->comboBox_Microphone;
    if (strName != currentDevice(box)) {
        const int index = indexOfDevice(box, strName);
        if (index >= 0) box->removeItem(index);
        relabelDevices(box);
        return;
    }
    if (captureLoop) captureLoop->requestStop();
}

void SonvaleMain::highlightCurrentRow(QComboBox* box, const QModelIndex& index) {
    box->view()->setToolTip(index.data(Qt::DisplayRole).toString());
    if (box->currentIndex() == -1) return;
    auto* model = qobject_cast<QStandardItemModel*>(box->model());
    if (!model) return;
    for (int row = 0; row < model->rowCount(); ++row) {
        if (QStandardItem* item = model->item(row)) {
            item->setBackground(QBrush(Qt::white));
            item->setForeground(QBrush(Qt::black));
        }
    }
    if (box->currentIndex() < model->rowCount()) {
        if (QStandardItem* item = model->item(box->currentIndex())) {
            item->setBackground(QBrush(QColor(206, 55, 168, 255)));
            item->setForeground(QBrush(Qt::white));
        }
    }
    activateAndFocus();
}

void SonvaleMain::slotListViewEntered(QModelIndex index) {
    highlightCurrentRow(ui->comboBox_Microphone, index);
}

void SonvaleMain::slotListViewSpeakerEntered(QModelIndex index) {
    highlightCurrentRow(ui->comboBox_Speaker, index);
}

void SonvaleMain::on_pushButton_showWeight_clicked() {
    if (widgetShown) {
        ui->pushButton_showWeight->setText(tr("Hide Widght"));
        widgetShown = false;
    } else {
        ui->pushButton_showWeight->setText(tr("Show Widght"));
        widgetShown = true;
    }
    activateAndFocus();
}

void SonvaleMain::on_pushButton_arrow_clicked() { ui->comboBox_Microphone->showPopup(); }

void SonvaleMain::on_pushButton_arrow_speaker_clicked() { ui->comboBox_Speaker->showPopup(); }

void SonvaleMain::on_pushButton_Upgrade_clicked() { activateAndFocus(); }

void SonvaleMain::on_comboBox_Microphone_highlighted(int index) {
    Q_UNUSED(index);
    activateAndFocus();
}
