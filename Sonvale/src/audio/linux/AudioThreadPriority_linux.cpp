#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QByteArray>
#include <QDebug>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "audio/AudioThreadPriority.h"

#ifdef SONVALE_RTKIT
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QVariant>
#endif

namespace sonvale {

namespace {

// Real-time priority asked for: above every ordinary thread, below the sound
// servers' own real-time threads (PulseAudio's default is 5, PipeWire's data
// loop 20 or more), so that the server mixing what the loops hand it is never
// kept waiting by them.
constexpr int kRealtimePriority = 4;
// CPU time a real-time thread may take without sleeping before the kernel
// stops the process (RLIMIT_RTTIME). RealtimeKit grants nothing without such
// a limit and allows at most 200 ms by default; the loops' threads sleep every
// few milliseconds, so only a runaway thread, which would otherwise hold a
// core for good, ever reaches it.
constexpr rlim_t kRtTimeLimitUs = 200000;
// Nice level asked of RealtimeKit when it grants no real-time class: the
// level it allows by default.
constexpr int kHighPriorityNice = -11;
// Longest wait for RealtimeKit's answer: the thread is about to carry audio.
constexpr int kDbusTimeoutMs = 200;

// Lowers the process's real-time CPU limit to `maxUs` unless it is lower.
bool limitRealtimeCpu(rlim_t maxUs) {
    rlimit rl{};
    if (getrlimit(RLIMIT_RTTIME, &rl) != 0) return false;
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max <= maxUs) return true;
    rl.rlim_cur = maxUs;
    rl.rlim_max = maxUs;
    return setrlimit(RLIMIT_RTTIME, &rl) == 0;
}

#ifdef SONVALE_RTKIT
const QString kRtkitService = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString kRtkitPath = QStringLiteral("/org/freedesktop/RealtimeKit1");

QVariant rtkitProperty(QDBusConnection& bus, const char* name) {
    QDBusMessage get = QDBusMessage::createMethodCall(
        kRtkitService, kRtkitPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << kRtkitService << QString::fromLatin1(name);
    const QDBusMessage reply = bus.call(get, QDBus::Block, kDbusTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return QVariant();
    return reply.arguments().first().value<QDBusVariant>().variant();
}

// Asks RealtimeKit; `why` receives the reason when it grants nothing.
AudioThreadPriority askRealtimeKit(QString* detail) {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        *detail = QStringLiteral("no system D-Bus for RealtimeKit");
        return AudioThreadPriority::Normal;
    }
    const QVariant maxPriority = rtkitProperty(bus, "MaxRealtimePriority");
    if (!maxPriority.isValid()) {
        *detail = QStringLiteral("RealtimeKit does not answer");
        return AudioThreadPriority::Normal;
    }
    const QVariant maxRtTime = rtkitProperty(bus, "RTTimeUSecMax");
    const rlim_t limit =
        maxRtTime.isValid() && maxRtTime.toLongLong() > 0
            ? std::min<rlim_t>(kRtTimeLimitUs, static_cast<rlim_t>(maxRtTime.toLongLong()))
            : kRtTimeLimitUs;
    limitRealtimeCpu(limit);

    const quint64 tid = static_cast<quint64>(::syscall(SYS_gettid));
    const quint32 priority =
        static_cast<quint32>(std::clamp(kRealtimePriority, 1, std::max(1, maxPriority.toInt())));
    QDBusMessage call = QDBusMessage::createMethodCall(kRtkitService, kRtkitPath, kRtkitService,
                                                       QStringLiteral("MakeThreadRealtime"));
    call << QVariant::fromValue(tid) << QVariant::fromValue(priority);
    QDBusMessage reply = bus.call(call, QDBus::Block, kDbusTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        *detail = QStringLiteral("SCHED_RR %1 from RealtimeKit").arg(priority);
        return AudioThreadPriority::Realtime;
    }
    const QString refused = reply.errorMessage();
    QDBusMessage nice = QDBusMessage::createMethodCall(kRtkitService, kRtkitPath, kRtkitService,
                                                       QStringLiteral("MakeThreadHighPriority"));
    const QVariant minNice = rtkitProperty(bus, "MinNiceLevel");
    const qint32 level = std::max(kHighPriorityNice, minNice.isValid() ? minNice.toInt() : 0);
    nice << QVariant::fromValue(tid) << QVariant::fromValue(level);
    reply = bus.call(nice, QDBus::Block, kDbusTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        *detail = QStringLiteral("nice %1 from RealtimeKit (real-time refused: %2)")
                      .arg(level)
                      .arg(refused);
        return AudioThreadPriority::Raised;
    }
    *detail = QStringLiteral("RealtimeKit refused: %1").arg(refused);
    return AudioThreadPriority::Normal;
}
#endif

void logOutcome(const char* who, AudioThreadPriority outcome, const QString& detail) {
    static QMutex lock;
    static QHash<QByteArray, int> last;
    QMutexLocker locker(&lock);
    const QByteArray key(who);
    const int value = static_cast<int>(outcome);
    if (last.value(key, -1) == value) return;
    last.insert(key, value);
    switch (outcome) {
        case AudioThreadPriority::Realtime:
            qInfo().noquote() << who << "audio thread: real-time," << detail;
            break;
        case AudioThreadPriority::Raised:
            qInfo().noquote() << who << "audio thread: no real-time scheduling;" << detail;
            break;
        case AudioThreadPriority::Normal:
            qWarning().noquote()
                << who << "audio thread: no real-time scheduling, runs at normal priority;"
                << detail;
            break;
    }
}

}  // namespace

AudioThreadPriority raiseAudioThreadPriority(const char* who) {
    // Straight away where the process may: a real-time limit or the capability.
    limitRealtimeCpu(kRtTimeLimitUs);
    sched_param param{};
    param.sched_priority = std::clamp(kRealtimePriority, sched_get_priority_min(SCHED_FIFO),
                                      sched_get_priority_max(SCHED_FIFO));
    // Pid 0 is the calling thread; children of a fork start at normal priority.
    if (sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) {
        logOutcome(who, AudioThreadPriority::Realtime,
                   QStringLiteral("SCHED_FIFO %1").arg(param.sched_priority));
        return AudioThreadPriority::Realtime;
    }
    QString detail =
        QStringLiteral("SCHED_FIFO refused (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
#ifdef SONVALE_RTKIT
    QString rtkit;
    const AudioThreadPriority outcome = askRealtimeKit(&rtkit);
    detail += QStringLiteral("; ") + rtkit;
#else
    const AudioThreadPriority outcome = AudioThreadPriority::Normal;
    detail += QStringLiteral("; built without RealtimeKit support");
#endif
    logOutcome(who, outcome, detail);
    return outcome;
}

}  // namespace sonvale
