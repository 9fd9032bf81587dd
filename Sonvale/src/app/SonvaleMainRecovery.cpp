// SonvaleMain: what the window does when the audio server or the companion
// devices go away and come back.
//
//   server gone        both paths close, the device lists empty (the window
//                      shows the devices as gone), nothing is polled: the
//                      endpoint watcher waits for a server by itself
//   devices gone       both paths close; the lists stay as they are
//   server back /      the paths reopen once the server, Qt's own connection
//   devices back       to it and both companion devices are there: the
//                      directory and the lists are read anew, the defaults
//                      are saved anew and switched again, the driver is
//                      opened again and both loops start on the devices in
//                      use before (or the first ones listed)
//
// Meanwhile the stream guard keeps the loops' streams off the virtual
// devices, which the server makes the defaults again when they come back.
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QSignalBlocker>
#include <QTimer>
#include <algorithm>
#include <set>
#include <string>

#include "AudioServerClients.h"
#include "QtAudioConnection.h"
#include "SonvaleMain.h"
#include "audio/AudioDevices.h"
#include "audio/PcmCaptureLoop.h"
#include "audio/PcmPlayLoop.h"
#include "comboxlist.h"
#include "ui_sonvalemain.h"

namespace {

// The wait before looking again whether the paths can reopen: short after an
// event that may have made them ready, doubling up to the longest while
// nothing happens. Only runs while a server and the companion devices are
// there and Qt is not yet ready for them; while there is no server, or no
// companion devices, nothing is polled: their return is an event.
constexpr int kFirstReopenDelayMs = 50;
constexpr int kLongestReopenDelayMs = 1000;
// Qt's audio plugin connects to a new server up to 3 s after it lost the old
// one. Should neither its connection nor its object ever show up under the
// names it uses (another Qt), the paths reopen this long after everything
// else was there.
constexpr qint64 kQtConnectionWaitMs = 8000;

bool IsCompanionDevice(const QString& name) { return name.contains(QLatin1String("Sonvale")); }

bool DirectoryHasCompanion(const sonvale::EndpointDirectory& endpoints, int flow) {
    for (const auto& e : endpoints.Entries(flow))
        if (IsCompanionDevice(QString::fromStdWString(e.name))) return true;
    return false;
}

bool QtListsCompanion(QAudio::Mode mode) {
    for (const QAudioDeviceInfo& info : sonvale::endpointDevices(mode))
        if (IsCompanionDevice(info.deviceName())) return true;
    return false;
}

}  // namespace

void SonvaleMain::startStreamGuard() {
    sonvale::OwnStreamGuardOptions options;
    options.virtualFragment = "Sonvale";
    options.log = [](const std::string& line) { qDebug().noquote() << line.c_str(); };
    streamGuard_ = sonvale::StartOwnStreamGuard(std::move(options));
    // Bounded: without a server the program stops at the driver message anyway.
    if (streamGuard_ && !streamGuard_->waitUntilWatching(2000))
        qWarning() << "stream guard: not watching a server yet";

    // Qt's connection lost: both paths close before Qt closes their streams
    // under the loops.
    qtAudio_ = new QtAudioConnection(this, [this] {
        if (!audioPathsClosed_) {
            qDebug().noquote() << "audio server gone: both paths closed, waiting for a server";
            closeAudioPaths(true);
        }
    });
    // A failed speaker output that cannot be reopened is a speaker gone.
    playLoop->setOutputLostHandler(
        [this](const QString& name) { NotifyRemoveSpeaker(sonvale::kStateUnplugged, name); });
    reopenTimer_ = new QTimer(this);
    reopenTimer_->setSingleShot(true);
    connect(reopenTimer_, &QTimer::timeout, this, &SonvaleMain::tryAudioReopen);
}

void SonvaleMain::NotifyAudioServer(int nkindStat, QString strName) {
    Q_UNUSED(strName);
    if (nkindStat == 0) {
        if (!audioPathsClosed_) {
            qDebug().noquote() << "audio server gone: both paths closed, waiting for a server";
            closeAudioPaths(true);
        }
        return;
    }
    ++serverReturns_;
    qDebug().noquote() << "audio server back (" << serverReturns_ << "in all)";
    if (audioPathsClosed_) scheduleAudioReopen(true);
}

void SonvaleMain::noteCompanionDevice(int nkindStat, const QString& name) {
    if (!IsCompanionDevice(name)) return;
    if (nkindStat == sonvale::kStateActive) {
        if (audioPathsClosed_) scheduleAudioReopen(true);
        return;
    }
    if (audioPathsClosed_) return;
    qDebug().noquote() << "companion device" << name
                       << "gone: both paths closed until the companion devices are back";
    closeAudioPaths(false);
}

void SonvaleMain::closeAudioPaths(bool clearLists) {
    if (!audioPathsClosed_) {
        chosenMicrophone_ = currentDevice(ui->comboBox_Microphone);
        chosenSpeaker_ = currentDevice(ui->comboBox_Speaker);
    }
    audioPathsClosed_ = true;
    waitingFor_.clear();
    waitingSinceMs_ = -1;
    if (reopenTimer_) reopenTimer_->stop();
    if (captureLoop) {
        captureLoop->closeCapture();
        captureLoop->setDriver(nullptr);
    }
    if (playLoop) {
        playLoop->stopPlayback();
        playLoop->setDriver(nullptr);
    }
    if (clearLists) {
        QSignalBlocker blockMicrophones(ui->comboBox_Microphone);
        QSignalBlocker blockSpeakers(ui->comboBox_Speaker);
        ui->comboBox_Microphone->clear();
        ui->comboBox_Speaker->clear();
    }
    logDeviceLists();
}

void SonvaleMain::scheduleAudioReopen(bool soon) {
    if (!reopenTimer_) return;
    reopenDelayMs_ =
        soon ? kFirstReopenDelayMs
             : std::min(std::max(reopenDelayMs_ * 2, kFirstReopenDelayMs), kLongestReopenDelayMs);
    if (soon || !reopenTimer_->isActive()) reopenTimer_->start(reopenDelayMs_);
}

void SonvaleMain::tryAudioReopen() {
    if (!audioPathsClosed_) return;
    auto wait = [this](const QString& what) {
        if (waitingFor_ != what) qDebug().noquote() << "audio paths: waiting for" << what;
        waitingFor_ = what;
        scheduleAudioReopen(false);
    };

    // The server as it is now: its endpoints, both companion devices among them.
    endpoints.Load(sonvale::kRenderFlow);
    endpoints.Load(sonvale::kCaptureFlow);
    if (!DirectoryHasCompanion(endpoints, sonvale::kRenderFlow) ||
        !DirectoryHasCompanion(endpoints, sonvale::kCaptureFlow)) {
        // Not polled: their arrival is an endpoint change, which looks again.
        waitingSinceMs_ = -1;
        if (waitingFor_ != QLatin1String("devices"))
            qDebug().noquote() << "audio paths: waiting for the companion devices";
        waitingFor_ = QStringLiteral("devices");
        return;
    }
    // Qt's connection to this server, and its lists with the companion devices.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (waitingSinceMs_ < 0) waitingSinceMs_ = now;
    const std::string qtClient =
        "QtPulseAudio:" + std::to_string(QCoreApplication::applicationPid());
    const bool qtConnected = sonvale::AudioServerHasClient(qtClient);
    if (!qtConnected && (qtAudio_->knowsPlugin() || now - waitingSinceMs_ < kQtConnectionWaitMs)) {
        // Qt tries once by itself; later, it is asked again.
        qtAudio_->reconnect();
        return wait(QStringLiteral("Qt's connection to the audio server"));
    }
    if (!QtListsCompanion(QAudio::AudioOutput) || !QtListsCompanion(QAudio::AudioInput))
        return wait(QStringLiteral("Qt's device lists"));

    qDebug().noquote() << "audio server and companion devices there: reopening both paths";
    reopenTimer_->stop();
    audioPathsClosed_ = false;
    waitingFor_.clear();
    waitingSinceMs_ = -1;
    // Reads the lists anew, saves the defaults anew and switches them to the
    // companion devices, opens the driver and starts both loops.
    RefreshDeviceLists();
    settleDeviceList(ui->comboBox_Microphone, sonvale::kCaptureFlow, chosenMicrophone_);
    settleDeviceList(ui->comboBox_Speaker, sonvale::kRenderFlow, chosenSpeaker_);
    ++audioReopens_;
    qDebug().noquote() << "audio paths reopened (" << audioReopens_ << "in all): microphone"
                       << currentDevice(ui->comboBox_Microphone) << "speaker"
                       << currentDevice(ui->comboBox_Speaker) << "| restore" << savedSpeaker
                       << savedMicrophone;
    logDeviceLists();
}

void SonvaleMain::settleDeviceList(QComboBox* box, int flow, const QString& chosen) {
    // Qt's plugin keeps the devices of a lost server in its lists: only the
    // devices the server has now are listed, each once.
    std::set<QString> present, seen;
    for (const auto& e : endpoints.Entries(flow)) present.insert(QString::fromStdWString(e.name));
    // The lists show descriptions; each item's device name is the key.
    QString target = currentDevice(box);
    {
        QSignalBlocker block(box);
        for (int i = 0; i < box->count();) {
            const QString name = box->itemData(i, kDeviceNameRole).toString();
            if (!present.count(name) || !seen.insert(name).second) {
                box->removeItem(i);
            } else {
                ++i;
            }
        }
        relabelDevices(box);
        const int chosenIndex = indexOfDevice(box, chosen);
        if (!chosen.isEmpty() && chosenIndex >= 0) {
            box->setCurrentIndex(chosenIndex);
        } else if (indexOfDevice(box, target) < 0) {
            box->setCurrentIndex(box->count() > 0 ? 0 : -1);
        }
        target = box->currentText();
    }
    // Moves the loop when the device differs from the one RefreshDeviceLists
    // started it on; does nothing otherwise.
    if (box == ui->comboBox_Microphone)
        on_comboBox_Microphone_currentTextChanged(target);
    else
        on_comboBox_Speaker_currentTextChanged(target);
}
