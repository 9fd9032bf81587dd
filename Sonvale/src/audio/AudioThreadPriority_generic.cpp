#include <QDebug>
#include <QThread>

#include "audio/AudioThreadPriority.h"

namespace sonvale {

AudioThreadPriority raiseAudioThreadPriority(const char* who) {
    QThread::currentThread()->setPriority(QThread::TimeCriticalPriority);
    static bool logged = false;
    if (!logged) qInfo() << who << ": audio thread at time-critical priority";
    logged = true;
    return AudioThreadPriority::Raised;
}

}  // namespace sonvale
