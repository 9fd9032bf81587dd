#include "QtAudioConnection.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEvent>
#include <cstring>

namespace {

// The plugin's connection object, and its slot that connects (both are the
// plugin's own names; the plugin calls the slot itself on a timer).
constexpr char kEngineClass[] = "QPulseAudioEngine";
constexpr char kConnectSlot[] = "prepare";
// The plugin retries 3 s after a loss; a little more lets its own attempt
// finish first.
constexpr qint64 kPluginRetryMs = 3500;

}  // namespace

QtAudioConnection::QtAudioConnection(QObject* parent, std::function<void()> lost)
    : QObject(parent), lost_(std::move(lost)) {
    QCoreApplication::instance()->installEventFilter(this);
}

QtAudioConnection::~QtAudioConnection() {
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeEventFilter(this);
}

bool QtAudioConnection::eventFilter(QObject* watched, QEvent* event) {
    // The plugin learns of a lost connection on its own thread and posts the
    // news to its object here: the only queued call that object receives
    // besides the one reconnect() makes.
    if (event->type() == QEvent::MetaCall && watched &&
        std::strcmp(watched->metaObject()->className(), kEngineClass) == 0) {
        if (ownCallQueued_) {
            ownCallQueued_ = false;
            return false;
        }
        engine_ = watched;
        lastAttempt_.start();
        qDebug().noquote() << "Qt's connection to the audio server lost";
        if (lost_) lost_();
    }
    return false;
}

bool QtAudioConnection::reconnect() {
    if (!engine_) return false;
    if (lastAttempt_.isValid() && lastAttempt_.elapsed() < kPluginRetryMs) return false;
    lastAttempt_.start();
    qDebug().noquote() << "asking Qt to connect to the audio server again";
    ownCallQueued_ = QMetaObject::invokeMethod(engine_, kConnectSlot, Qt::QueuedConnection);
    return ownCallQueued_;
}
