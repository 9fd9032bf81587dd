#include "audio/StreamFaultLog.h"

#include <QDebug>
#include <algorithm>

namespace sonvale {

StreamFaultLog::StreamFaultLog(const char* what) : m_what(what) {}

void StreamFaultLog::record(double ms) {
    ms = std::max(0.0, ms);
    m_count.fetch_add(1);
    m_totalUs.fetch_add(static_cast<std::uint64_t>(ms * 1000.0));
    ++m_pending;
    m_pendingMs += ms;
    m_pendingLongestMs = std::max(m_pendingLongestMs, ms);
    if (!m_sinceLog.isValid() || m_sinceLog.elapsed() >= kLogIntervalMs) log();
}

void StreamFaultLog::flush() {
    if (m_pending) log();
}

void StreamFaultLog::log() {
    const QString line =
        m_pending == 1
            ? QStringLiteral("%1 of %2 ms")
                  .arg(QString::fromLatin1(m_what))
                  .arg(m_pendingMs, 0, 'f', 1)
            : QStringLiteral("%1: %2 since the last report, %3 ms in all, the longest %4 ms")
                  .arg(QString::fromLatin1(m_what))
                  .arg(m_pending)
                  .arg(m_pendingMs, 0, 'f', 1)
                  .arg(m_pendingLongestMs, 0, 'f', 1);
    qWarning().noquote() << line << QStringLiteral("(%1 in all since start)").arg(count());
    m_pending = 0;
    m_pendingMs = 0;
    m_pendingLongestMs = 0;
    m_sinceLog.start();
}

}  // namespace sonvale
