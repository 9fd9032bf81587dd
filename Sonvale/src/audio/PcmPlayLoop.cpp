#include "audio/PcmPlayLoop.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QMessageBox>
#include <QMetaObject>
#include <QMutexLocker>
#include <algorithm>
#include <cstring>

#include "audio/AudioDevices.h"
#include "audio/AudioThreadPriority.h"
#include "audio/SpeakerFormat.h"
#include "orvo_alg.h"
#include "platform/DriverLink.h"

namespace sonvale {

const char* const PcmPlayLoop::kFormatMessage = "播放设备没有合适的频率声道支持";

namespace {

// Driver data is pushed through the pipeline in slices of 20 ms (3840 bytes of
// stereo), so that the queues before B never hold more than a few blocks.
constexpr std::uint32_t kSliceBytes = 3840;
// Room kept free in queue B for the converters' rounding and the blocks still
// waiting in the queues before it.
constexpr qint64 kQueueSlackBytes = 8192;
// Smallest driver read worth making (10 ms), the largest one (20 ms), and the
// audio waiting for the speaker above which the driver is not read. (Reads of
// a whole 4096-byte FIFO page woke the thread less often but measured 15 to
// 30 ms more delay on the speaker path.)
constexpr std::uint32_t kMinReadBytes = 1920;
constexpr std::uint32_t kPacedReadBytes = 3840;
constexpr std::uint32_t kSpeakerBacklogBytes = 1920;
// Sleep while there is no driver or no speaker, and after an empty driver read
// (the driver read itself may already have waited a little).
constexpr unsigned long kIdleUs = 10000;
constexpr unsigned long kEmptyReadUs = 2000;
// Playback buffer asked of the audio system. It is all delay, but it starts
// at 60 ms, three of the server's 20 ms requests: 30 and 45 ms measured 9 and
// 25 ms less delay on the speaker path but ran dry now and then under the
// test rig's load, and a dry speaker costs the listener more than the delay
// saves. Each underrun (the speaker ran dry while audio
// came in) opens the speaker again with 15 ms more, up to 90 ms, enough to
// ride out a pass made late by a busy machine; after a minute without
// underruns it shrinks by a step again. Every change reopens the speaker (Qt
// sets the buffer only at start): a few tens of milliseconds without output,
// nothing lost. Right after an underrun that is heard anyway; when calm it
// happens at most once a minute.
constexpr int kStartBufferMs = 60;
constexpr int kBufferStepMs = 15;
constexpr int kMaxBufferMs = 90;
constexpr qint64 kCalmMs = 60000;
// A speaker that ran dry and gets audio again later than this was idle (the
// virtual speaker had nothing to play), not starved: not counted.
constexpr qint64 kIdleGapMs = 1000;
// Underruns in the first moments of a speaker are counted but do not grow
// its buffer: a stream that starts (also after a resize) may run dry once
// while the server and the virtual speaker settle, and growing on those
// would reopen the speaker again and again up to the largest buffer.
constexpr qint64 kSettleMs = 2000;
// Nor do underruns after which, by this loop's count, nothing went missing:
// the server reports one whenever a sink takes a block larger than the
// stream holds (a sink nobody listens to runs with a latency of seconds and
// does so all the time) although the audio was there in time. Growing on
// those bought delay and no fewer of them.
constexpr qint64 kAudibleGapMs = 1;

constexpr int kChunkFrames = PcmPlayLoop::kSpeakerChunkBytes / 4;
// Speaker chunks handed over in one write at most. Each write is a round
// through the audio system's lock and wakes its thread, so the chunks that
// fit are written together instead of one by one.
constexpr int kMaxChunksPerWrite = 8;

}  // namespace

PcmPlayLoop::PcmPlayLoop()
    : QThread(nullptr),
      m_bufferMs(kStartBufferMs),
      m_readArea(new char[kReadAreaBytes]()),
      m_scratch(new std::int16_t[kScratchBytes / 2]()) {
    m_clock.start();
    m_suppression = ns_alg_init();
    if (!m_suppression) qWarning() << "PcmPlayLoop: no noise-suppression instance";
}

PcmPlayLoop::~PcmPlayLoop() {
    stopPlayback();
    if (m_suppression) ns_alg_destroy(m_suppression);
}

void PcmPlayLoop::setDriver(DriverDevice* driver) { m_driver.store(driver); }

void PcmPlayLoop::setNoiseCancel(int on) { m_noiseCancel.store(on != 0); }

void PcmPlayLoop::setOutputLostHandler(std::function<void(const QString&)> handler) {
    m_outputLostHandler = std::move(handler);
}

void PcmPlayLoop::setRequestedFormat(const QAudioFormat& format) { m_requestedFormat = format; }

void PcmPlayLoop::setFormatFailureHandler(std::function<void(const QString&)> handler) {
    m_formatFailureHandler = std::move(handler);
}

bool PcmPlayLoop::isOpened() const { return m_opened.load(); }

QString PcmPlayLoop::deviceName() const {
    QMutexLocker lock(&m_nameLock);
    return m_deviceName;
}

QAudioFormat PcmPlayLoop::outputFormat() const { return m_format; }

quint64 PcmPlayLoop::droppedBytes() const { return m_droppedBytes.load(); }

QList<QAudioDeviceInfo> PcmPlayLoop::GetQAudioInputDeviceInfo(QString& name) {
    const QList<QAudioDeviceInfo> devices = endpointDevices(QAudio::AudioOutput);
    if (!devices.isEmpty()) {
        name = devices.first().deviceName();
        qDebug() << name;
    }
    return devices;
}

bool PcmPlayLoop::selectDevice(const QString& name) {
    const QAudioDeviceInfo device = findEndpointDevice(QAudio::AudioOutput, name);
    if (device.isNull()) return false;

    // The play thread uses the output and the converters while the opened
    // flag is set: such a set-up is replaced only with the thread stopped.
    const bool restart = m_opened.load() && isRunning();
    if (restart) stopPlayback();
    releaseOutput();

    m_deviceInfo = device;
    const bool ok =
        m_requestedFormat.isValid() ? openOutput(m_requestedFormat) : initQtAudioForPlay(48000, 2);
    if (restart) startPlayback();
    return ok;
}

bool PcmPlayLoop::initQtAudioForPlay(int rate, int channels) {
    QAudioFormat format;
    format.setSampleRate(rate);
    format.setChannelCount(channels);
    format.setSampleSize(16);
    format.setCodec(QStringLiteral("audio/pcm"));
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);
    return openOutput(format);
}

bool PcmPlayLoop::openOutput(QAudioFormat format, bool keepQueued) {
    if (m_opened.load() && isRunning()) {
        qWarning() << "PcmPlayLoop: set-up while playing refused; stop playback first";
        return false;
    }
    releaseOutput();

    if (!m_deviceInfo.isFormatSupported(format)) format = m_deviceInfo.nearestFormat(format);
    // The loop feeds 16-bit stereo; any other linear PCM is converted to, and
    // what cannot be converted to is refused rather than misinterpreted.
    if (!canConvertFromStereo16(format) || format.sampleRate() < 100) {
        qWarning() << "PcmPlayLoop: speaker format cannot be fed" << format;
        reportFormatFailure();
        return false;
    }
    m_format = format;
    m_outputRate.store(format.sampleRate());
    m_channelCount.store(format.channelCount());
    m_outFrameBytes = frameBytesOf(format);

    m_audioOutput = new QAudioOutput(m_deviceInfo, format);
    m_audioOutput->setBufferSize(format.sampleRate() * m_outFrameBytes * m_bufferMs.load() / 1000);
    m_stream = m_audioOutput->start();
    if (!m_stream) {
        releaseOutput();
        reportFormatFailure();
        return false;
    }

    m_wroteSinceOpen = false;
    // A speaker reopened only for a new buffer size (same device, same
    // format) goes on with what is queued for it: nothing is lost, and the
    // new stream fills at once from the backlog.
    keepQueued = keepQueued && m_converted && format == m_openedFormat;
    m_openedFormat = format;
    if (!keepQueued) {
        m_path.configure(48000, 2, format.sampleRate());
        m_converted.reset(
            new char[static_cast<size_t>(kMaxChunksPerWrite) * kChunkFrames * m_outFrameBytes]());
        m_queueB.clear();
        m_carryBytes = 0;
        m_pendingBytes = 0;
        m_pendingOffset = 0;
    }
    {
        QMutexLocker lock(&m_nameLock);
        m_deviceName = m_deviceInfo.deviceName();
    }
    if (!keepQueued) m_flushDriver.store(true);
    m_setupGeneration.fetch_add(1);
    m_outputFailed.store(false);
    // Last: the idling play thread starts using the pipeline once it sees this.
    m_opened.store(true);
    return true;
}

void PcmPlayLoop::releaseOutput() {
    m_opened.store(false);
    if (m_audioOutput) {
        m_audioOutput->stop();
        delete m_audioOutput;
        m_audioOutput = nullptr;
    }
    m_stream = nullptr;
}

void PcmPlayLoop::reportFormatFailure() {
    // The program's own text, or its translation for the desktop's language.
    const QString text = QCoreApplication::translate("PcmPlayLoop", kFormatMessage);
    if (m_formatFailureHandler) {
        m_formatFailureHandler(text);
    } else if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
        QMessageBox box(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok);
        box.exec();
    } else {
        qWarning() << text;
    }
}

void PcmPlayLoop::startPlayback() {
    // Set before the thread starts: run tests it first.
    m_running.store(true);
    start();
}

void PcmPlayLoop::stopPlayback() {
    m_running.store(false);
    wait();
    releaseOutput();
    QMutexLocker lock(&m_nameLock);
    m_deviceName.clear();
}

void PcmPlayLoop::idle(unsigned long microseconds) const {
    if (m_running.load()) QThread::usleep(microseconds);
}

void PcmPlayLoop::run() {
    raiseAudioThreadPriority("PcmPlayLoop");
    m_calmSinceMs = m_clock.elapsed();
    m_startedAtMs = m_calmSinceMs;
    while (m_running.load()) {
        DriverDevice* driver = m_driver.load();
        if (!driver || !m_opened.load() || m_outputFailed.load()) {
            idle(kIdleUs);
            continue;
        }

        if (m_flushDriver.exchange(false)) {
            // A speaker has just been opened.
            discardStaleDriverAudio(driver);
            m_startedAtMs = m_clock.elapsed();
        }
        const int bufferMs = m_bufferMs.load();
        if (bufferMs > kStartBufferMs && m_clock.elapsed() - m_calmSinceMs >= kCalmMs) {
            m_calmSinceMs = m_clock.elapsed();
            requestBuffer(std::max(kStartBufferMs, bufferMs - kBufferStepMs));
        }

        std::uint32_t moved = feedSpeaker();

        // Read only what queue B can take once converted to the output rate,
        // so that a speaker slower than the driver holds the audio back in the
        // driver instead of overflowing a queue.
        const qint64 room = qint64(m_queueB.freeSpace()) - kQueueSlackBytes;
        const qint64 fits = room > 0 ? room * 48000 / std::max(1, m_outputRate.load()) : 0;
        // Reads are also kept short while the speaker still has audio waiting:
        // the loop then follows the speaker's pace in small steps instead of
        // emptying the driver in bursts of 200 ms.
        const qint64 cap = m_queueB.size() >= qint32(kSpeakerBacklogBytes) ? 0 : kPacedReadBytes;
        std::uint32_t limit = static_cast<std::uint32_t>(std::min<qint64>(fits, cap));
        limit -= limit % 4;
        std::uint32_t got = 0;
        bool ok = true;
        bool mayWait = false;
        const std::uint32_t carry = m_carryBytes;
        if (limit >= kMinReadBytes) {
            // While the speaker still holds two periods, an empty driver is
            // not waited for: the pass ends in the one-period sleep below and
            // reads then. What the virtual speaker renders meanwhile plays no
            // later for that (the speaker's backlog ahead of it is the same),
            // and the thread wakes once a period instead of also for every
            // page the driver renders.
            mayWait = !speakerHoldsTwoPeriods();
            std::memset(m_readArea.get() + carry, 0, limit - carry);
            ok = driver->readPcm(m_readArea.get() + carry, limit - carry, &got, mayWait);
            got = std::min(got, limit - carry);
        }
        if (got > 0) {
            // Whole stereo frames only; a partial one waits for the next read.
            const std::uint32_t total = carry + got;
            const std::uint32_t whole = total - total % 4;
            for (std::uint32_t offset = 0; offset < whole;) {
                const std::uint32_t bytes = std::min(kSliceBytes, whole - offset);
                processDriverData(m_readArea.get() + offset, bytes);
                offset += bytes;
            }
            m_carryBytes = total - whole;
            if (m_carryBytes)
                std::memmove(m_readArea.get(), m_readArea.get() + whole, m_carryBytes);
            moved += got;
        }
        moved += feedSpeaker();

        if (moved == 0) {
            // Nothing came and nothing could be played. A read that was let
            // wait has already waited a little for data; otherwise the
            // speaker is full or holds enough, and one period is when it has
            // room for a whole one again: a pass then writes 20 ms at once.
            // (Waking every half period cost 50 wakeups a second more and
            // kept no less delay.)
            idle(!ok ? kIdleUs : (mayWait ? kEmptyReadUs : speakerWaitUs()));
            // With nothing to play the writes do not notice a failed output.
            if (m_audioOutput->bytesFree() < 0) noteOutputFailed();
        }
    }
}

void PcmPlayLoop::discardStaleDriverAudio(DriverDevice* driver) {
    // What the driver holds when a speaker has just been opened was played
    // before there was anywhere to play it; playing it now would only put
    // that much delay in front of everything that follows.
    quint64 discarded = 0;
    for (int i = 0; i < 32 && m_running.load(); ++i) {
        std::uint32_t got = 0;
        driver->readPcm(m_readArea.get(), kReadAreaBytes, &got);
        discarded += got;
        if (got < kReadAreaBytes) break;
    }
    m_carryBytes = 0;
    if (discarded)
        qDebug() << "PcmPlayLoop: skipped" << discarded << "bytes queued before the speaker opened";
}

int PcmPlayLoop::speakerPeriodBytes() const {
    return std::max(m_audioOutput->periodSize(), m_outFrameBytes);
}

bool PcmPlayLoop::speakerHoldsTwoPeriods() const {
    const int held = m_audioOutput->bufferSize() - m_audioOutput->bytesFree();
    return held >= 2 * speakerPeriodBytes();
}

unsigned long PcmPlayLoop::speakerWaitUs() const {
    const qint64 bytesPerSecond = static_cast<qint64>(m_format.sampleRate()) * m_outFrameBytes;
    const int period = speakerPeriodBytes();
    const qint64 us = bytesPerSecond > 0 ? qint64(period) * 1000000 / bytesPerSecond : 5000;
    return static_cast<unsigned long>(std::clamp<qint64>(us, 1000, 20000));
}

void PcmPlayLoop::processDriverData(const char* data, std::uint32_t bytes) {
    const std::uint64_t lostBefore = m_path.droppedBytes();
    m_path.process(data, bytes, m_noiseCancel.load(), m_suppression, m_queueB);
    const std::uint64_t lost = m_path.droppedBytes() - lostBefore;
    if (lost) countDrop(lost);
}

void PcmPlayLoop::countDrop(std::uint64_t bytes) {
    m_droppedBytes.fetch_add(bytes);
    const double bytesPerMs = m_format.sampleRate() * 4 / 1000.0;
    m_dropLog.record(bytesPerMs > 0 ? double(bytes) / bytesPerMs : 0.0);
}

void PcmPlayLoop::noteWrite(bool wasDry, int heldBytes) {
    const qint64 now = m_clock.elapsed();
    // The speaker runs dry when what it held after the last write has played.
    const qint64 dryFrom = m_dryAtMs;
    const double bytesPerMs = m_format.sampleRate() * m_outFrameBytes / 1000.0;
    m_dryAtMs = now + (bytesPerMs > 0 ? qint64(std::max(0, heldBytes) / bytesPerMs) : 0);
    m_wroteSinceOpen = true;
    if (!wasDry) return;
    const qint64 gapMs = std::max<qint64>(0, now - dryFrom);
    if (gapMs > kIdleGapMs) return;
    m_underrunLog.record(double(gapMs));
    if (now - m_startedAtMs < kSettleMs || gapMs < kAudibleGapMs) return;
    m_calmSinceMs = now;
    // A bigger buffer from now on; reopening drops what is queued, which
    // also takes back the delay the gap added.
    const int bufferMs = m_bufferMs.load();
    if (bufferMs < kMaxBufferMs) requestBuffer(std::min(kMaxBufferMs, bufferMs + kBufferStepMs));
}

void PcmPlayLoop::requestBuffer(int ms) {
    if (m_bufferRequestPending.exchange(true)) return;
    const QString device = deviceName();
    // The speaker is reopened on the thread that owns it, like any set-up;
    // meanwhile the audio goes on with the buffer it has.
    QMetaObject::invokeMethod(
        this,
        [this, ms, device] {
            m_bufferRequestPending.store(false);
            if (!m_opened.load() || !isRunning() || deviceName() != device) return;
            qInfo() << "PcmPlayLoop: speaker buffer" << m_bufferMs.load() << "->" << ms << "ms";
            m_bufferMs.store(ms);
            stopPlayback();
            m_deviceInfo = findEndpointDevice(QAudio::AudioOutput, device);
            if (m_deviceInfo.isNull()) return;
            QAudioFormat format = m_requestedFormat;
            if (!format.isValid()) {
                format.setSampleRate(48000);
                format.setChannelCount(2);
                format.setSampleSize(16);
                format.setCodec(QStringLiteral("audio/pcm"));
                format.setByteOrder(QAudioFormat::LittleEndian);
                format.setSampleType(QAudioFormat::SignedInt);
            }
            if (openOutput(format, true)) startPlayback();
        },
        Qt::QueuedConnection);
}

std::uint32_t PcmPlayLoop::feedSpeaker() {
    std::uint32_t written = 0;
    // Room in the speaker's buffer, asked of the audio system only when there
    // is something to write and then counted down locally: every question is
    // a round through the audio system's locks.
    int room = -1;
    while (m_running.load()) {
        if (m_pendingOffset >= m_pendingBytes) {
            if (m_queueB.size() < qint32(kSpeakerChunkBytes)) break;
            if (room < 0) room = m_audioOutput->bytesFree();
            if (room < 0) {
                noteOutputFailed();
                break;
            }
            // The next speaker chunks, as many whole ones as fit (at least
            // one), converted to the speaker's format.
            const int chunkOutBytes = kChunkFrames * m_outFrameBytes;
            const int chunks = std::clamp(
                std::min<int>(room / chunkOutBytes, m_queueB.size() / int(kSpeakerChunkBytes)), 1,
                kMaxChunksPerWrite);
            const std::uint32_t take = std::uint32_t(chunks) * kSpeakerChunkBytes;
            std::uint32_t count = 0;
            const char* p = m_queueB.peek(take, count);
            if (!p) break;
            if (isStereo16(m_format)) {
                std::memcpy(m_converted.get(), p, take);
                m_pendingBytes = static_cast<int>(take);
            } else {
                m_pendingBytes =
                    convertFromStereo16(reinterpret_cast<const std::int16_t*>(p),
                                        chunks * kChunkFrames, m_format, m_converted.get());
            }
            m_pendingOffset = 0;
            m_queueB.consume(take);
        }
        // Whatever fits is written, even less than a period: the audio system
        // starts playing only once its buffer is full, so holding back a
        // partial period could keep it from ever starting.
        if (room < 0) room = m_audioOutput->bytesFree();
        if (room < 0) {
            noteOutputFailed();
            break;
        }
        int n = std::min(m_pendingBytes - m_pendingOffset, room);
        n -= n % m_outFrameBytes;
        if (n <= 0) break;
        // Qt's output goes idle when the speaker ran dry; it is active again
        // from the next write on.
        const bool wasDry = m_wroteSinceOpen && m_audioOutput->state() == QAudio::IdleState;
        const qint64 w = m_stream->write(m_converted.get() + m_pendingOffset, n);
        if (w < 0) {
            countDrop(static_cast<quint64>(m_pendingBytes - m_pendingOffset));
            m_pendingOffset = m_pendingBytes;
            continue;
        }
        if (w == 0) break;
        room -= static_cast<int>(w);
        noteWrite(wasDry, m_audioOutput->bufferSize() - room);
        m_pendingOffset += static_cast<int>(w);
        written += static_cast<std::uint32_t>(w);
    }
    return written;
}

// ---- a failed output ------------------------------------------------------
//
// Qt 5's PulseAudio output keeps its state when the server ends its stream
// (the stream killed, its sink failing): it only logs "Stream error", and
// from then on reports no free space as -1. The play thread notices that and
// stops using the output; the GUI thread, which owns it, opens the speaker
// again, or, when the speaker is gone, reports it.

// Opening the same speaker again this soon after the last reopen counts as
// failing again: the speaker is reported instead of reopened in a loop.
constexpr qint64 kReopenSpacingMs = 1000;

void PcmPlayLoop::noteOutputFailed() {
    if (m_outputFailed.exchange(true)) return;
    const quint64 generation = m_setupGeneration.load();
    QMetaObject::invokeMethod(
        this, [this, generation] { handleOutputFailure(generation); }, Qt::QueuedConnection);
}

void PcmPlayLoop::handleOutputFailure(quint64 generation) {
    // A set-up made since the failure has replaced the failed output; a loop
    // stopped since (the window closed its paths) has nothing to reopen.
    if (generation != m_setupGeneration.load() || !m_outputFailed.load() || !isRunning()) return;
    const QString name = m_deviceInfo.deviceName();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const bool listed = !findEndpointDevice(QAudio::AudioOutput, name).isNull();
    if (listed && now - m_lastReopenMs >= kReopenSpacingMs) {
        m_lastReopenMs = now;
        const quint64 count = m_outputReopens.fetch_add(1) + 1;
        qWarning().noquote() << "PcmPlayLoop: the output to" << name << "failed; reopening it ("
                             << count << "reopens in all)";
        stopPlayback();
        // A reopen that fails is not the playback-format message's case: the
        // speaker is reported gone below instead.
        auto formatFailure = std::move(m_formatFailureHandler);
        m_formatFailureHandler = [](const QString&) {};
        const bool ok = selectDevice(name);
        m_formatFailureHandler = std::move(formatFailure);
        startPlayback();
        if (ok) return;
    }
    qWarning().noquote() << "PcmPlayLoop: the output to" << name
                         << "failed and the speaker cannot be opened again";
    if (m_outputLostHandler) m_outputLostHandler(name);
}

}  // namespace sonvale
