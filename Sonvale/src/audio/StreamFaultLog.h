// Count and log of one kind of fault on one stream the loops own (speaker
// underruns, audio dropped before the driver or the speaker), each with its
// length. The first fault is logged at once; after that at most one line per
// kLogIntervalMs sums up those that came since, so a stream that keeps
// failing cannot flood the log or slow its own thread.
//
// Threads: record() and flush() on the stream's own thread; the counts may be
// read on any thread.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <atomic>
#include <cstdint>

namespace sonvale {

class StreamFaultLog {
public:
    // Long enough that a stream failing all the time writes a few lines a
    // minute, short enough that a burst shows up while it is going on.
    static constexpr qint64 kLogIntervalMs = 10000;

    // `what` names stream and fault in the log, e.g. "PcmPlayLoop: speaker underrun".
    explicit StreamFaultLog(const char* what);

    // One fault of `ms` milliseconds of audio.
    void record(double ms);
    // Logs the faults not logged yet, if any.
    void flush();

    std::uint64_t count() const { return m_count.load(); }
    double totalMs() const { return double(m_totalUs.load()) / 1000.0; }

private:
    void log();

    const char* m_what;
    std::atomic<std::uint64_t> m_count{0};
    std::atomic<std::uint64_t> m_totalUs{0};
    std::uint64_t m_pending = 0;
    double m_pendingMs = 0;
    double m_pendingLongestMs = 0;
    QElapsedTimer m_sinceLog;
};

}  // namespace sonvale
