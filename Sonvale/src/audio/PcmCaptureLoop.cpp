#include "audio/PcmCaptureLoop.h"

#include <QDebug>
#include <QMetaObject>
#include <QMutexLocker>
#include <algorithm>
#include <cstring>

#include "audio/AudioDevices.h"
#include "audio/AudioThreadPriority.h"
#include "audio/DeviceWatch.h"
#include "orvo_alg.h"
#include "platform/DriverLink.h"

namespace sonvale {

namespace {

// Input is pushed through the pipeline in slices of 20 ms, so that no queue
// ever holds more than a few blocks, whatever the read size and capture rate.
constexpr int kSlicesPerSecond = 50;
// Input buffer asked of the audio system: short, for a short path.
constexpr int kInputBufferMs = 20;
// Bytes of one millisecond of the driver's stereo at 48000 Hz.
constexpr double kDriverBytesPerMs = 48000 * 4 / 1000.0;
// How long the set-up waits for the device watch to say whether the
// microphone is there; a server that answers later than this is not waited for.
constexpr int kWatchAnswerMs = 3000;

}  // namespace

PcmCaptureLoop::PcmCaptureLoop()
    : QThread(nullptr),
      m_readArea(new char[kReadAreaBytes]()),
      m_scratch(new std::int16_t[kScratchBytes / 2]()) {
    m_suppression = ns_alg_init();
    if (!m_suppression) qWarning() << "PcmCaptureLoop: no noise-suppression instance";
}

PcmCaptureLoop::~PcmCaptureLoop() {
    stopCapture();
    if (m_suppression) ns_alg_destroy(m_suppression);
}

void PcmCaptureLoop::setOwner(CaptureLoopOwner* owner) { m_owner = owner; }

void PcmCaptureLoop::setDriver(DriverDevice* driver) { m_driver.store(driver); }

void PcmCaptureLoop::setNoiseCancel(int on) { m_noiseCancel.store(on != 0); }

void PcmCaptureLoop::setRequestedFormat(int rate, int channels) {
    m_captureRate.store(rate);
    m_channelCount.store(channels);
}

bool PcmCaptureLoop::isOpened() const { return m_opened.load(); }

QString PcmCaptureLoop::deviceName() const {
    QMutexLocker lock(&m_nameLock);
    return m_deviceName;
}

int PcmCaptureLoop::captureRate() const { return m_captureRate.load(); }

int PcmCaptureLoop::channelCount() const { return m_channelCount.load(); }

quint64 PcmCaptureLoop::droppedBytes() const { return m_droppedBytes.load(); }

void PcmCaptureLoop::requestStop() { m_stopRequest.store(true); }

QList<QAudioDeviceInfo> PcmCaptureLoop::GetQAudioOutDeviceInfo(QString& name) {
    const QList<QAudioDeviceInfo> devices = endpointDevices(QAudio::AudioInput);
    if (!devices.isEmpty()) {
        name = devices.first().deviceName();
        qDebug() << name;
    }
    return devices;
}

bool PcmCaptureLoop::startCapture(const QString& name) {
    const QAudioDeviceInfo device = findEndpointDevice(QAudio::AudioInput, name);
    if (device.isNull()) return false;
    // A capture still running (started without a stop) is ended first: the
    // thread can only be set up anew once it has finished.
    if (isRunning()) stopCapture();
    m_deviceInfo = device;
    m_stopRequest.store(false);
    m_inputFailed.store(false);
    m_quitRequested.store(false);
    m_stopPosted.store(false);
    start();
    return true;
}

void PcmCaptureLoop::stopCapture() {
    // Every notification queued until now belongs to the capture being ended.
    m_generation.fetch_add(1);
    m_quitRequested.store(true);
    // A quit() that arrives before the thread has entered its event loop is
    // forgotten by exec(), so it is repeated until the thread has finished.
    quit();
    while (!wait(20)) quit();
    m_stream = nullptr;
}

void PcmCaptureLoop::closeCapture() {
    stopCapture();
    m_opened.store(false);
}

void PcmCaptureLoop::run() {
    raiseAudioThreadPriority("PcmCaptureLoop");
    const quint64 generation = m_generation.load();
    // The watch starts before the input and its first answer is awaited: a
    // microphone that disappears while Qt's PulseAudio input connects to it
    // leaves that input waiting for ever for a stream that failed, and this
    // thread with it. One that is already gone is reported by the watch (the
    // stop path) and not opened at all.
    m_watch = DeviceWatch::forCaptureDevice(m_deviceInfo.deviceName(),
                                            [this, generation] { postInputFailure(generation); });
    const bool present = !m_watch || m_watch->waitUntilKnown(kWatchAnswerMs);
    const bool opened = present && initQtAudioForCapture(m_deviceInfo);
    if (opened) {
        // The stream lives in this thread, so every readyRead is handled
        // here at once: the microphone's audio never waits for the window's
        // thread. The generation recognises calls of an ended capture.
        connect(m_stream, &QIODevice::readyRead, m_stream, [this, generation] {
            if (generation == m_generation.load()) onReadyRead();
        });
        QAudioInput* input = m_audioInput;
        connect(input, &QAudioInput::stateChanged, input,
                [this, input, generation](QAudio::State s) {
                    if (s == QAudio::StoppedState && input->error() != QAudio::NoError) {
                        qWarning() << "PcmCaptureLoop: input failed, error" << input->error();
                        postInputFailure(generation);
                    }
                });
    } else if (!present) {
        qWarning() << "PcmCaptureLoop: microphone gone before it could be opened"
                   << m_deviceInfo.deviceName();
    }
    emit setupFinished(opened);
    if (opened && m_stream->isOpen() && !m_quitRequested.load()) exec();
    releaseInput();
}

bool PcmCaptureLoop::initQtAudioForCapture(QAudioDeviceInfo& device) {
    m_stream = nullptr;

    QAudioFormat format;
    format.setSampleRate(m_captureRate.load());
    format.setChannelCount(m_channelCount.load());
    format.setSampleSize(16);
    format.setCodec(QStringLiteral("audio/pcm"));
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);
    // The format is checked with the device that is opened, not the default one.
    if (!device.isFormatSupported(format)) format = device.nearestFormat(format);

    const int rate = format.sampleRate();
    const int channels = format.channelCount();
    if (format.codec() != QLatin1String("audio/pcm") || format.sampleSize() != 16 ||
        format.sampleType() != QAudioFormat::SignedInt ||
        format.byteOrder() != QAudioFormat::LittleEndian || (channels != 1 && channels != 2) ||
        rate < 100) {
        qWarning() << "PcmCaptureLoop: microphone offers no 16-bit mono or stereo format"
                   << device.deviceName() << format;
        m_opened.store(false);
        return false;
    }
    m_format = format;

    m_path.configure(rate, channels, 48000);
    m_queueE.clear();
    m_carryBytes = 0;

    m_audioInput = new QAudioInput(device, format);
    m_audioInput->setBufferSize(rate * channels * 2 * kInputBufferMs / 1000);
    m_stream = m_audioInput->start();
    if (!m_stream) {
        delete m_audioInput;
        m_audioInput = nullptr;
        // A failed set-up leaves nothing open, so the same microphone can be
        // chosen again.
        m_opened.store(false);
        return false;
    }

    qDebug() << "device available";
    {
        QMutexLocker lock(&m_nameLock);
        m_deviceName = device.deviceName();
    }
    m_captureRate.store(rate);
    m_channelCount.store(channels);
    m_opened.store(true);
    return true;
}

void PcmCaptureLoop::releaseInput() {
    m_watch.reset();
    if (m_audioInput) {
        m_audioInput->disconnect();
        if (m_stream) m_stream->disconnect();
        m_audioInput->stop();
        delete m_audioInput;
        m_audioInput = nullptr;
    }
    m_stream = nullptr;
}

void PcmCaptureLoop::postInputFailure(quint64 generation) {
    m_inputFailed.store(true);
    postStopPath(generation);
}

void PcmCaptureLoop::postStopPath(quint64 generation) {
    // Once per capture: every later readyRead finds the flag and does nothing.
    if (m_stopPosted.exchange(true)) return;
    // The stop path joins the capture thread and reports to the owner, so it
    // runs on the thread the loop object belongs to.
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation == m_generation.load()) takeStopPath();
        },
        Qt::QueuedConnection);
}

void PcmCaptureLoop::takeStopPath() {
    m_stopRequest.store(false);
    m_inputFailed.store(false);
    m_generation.fetch_add(1);
    // The input lives in the capture thread and is released there when its
    // event loop ends.
    m_quitRequested.store(true);
    quit();
    while (!wait(20)) quit();
    m_stream = nullptr;
    const QString name = deviceName();
    if (m_owner) m_owner->NotifyRemoveMicroppone(kStateUnplugged, name);
}

void PcmCaptureLoop::onReadyRead() {
    if (m_stopPosted.load()) return;
    if (!m_stream || m_stopRequest.load() || m_inputFailed.load()) {
        postStopPath(m_generation.load());
        return;
    }

    const std::uint32_t carry = m_carryBytes;
    std::memset(m_readArea.get() + carry, 0, kReadAreaBytes - carry);
    const qint64 n = m_stream->read(m_readArea.get() + carry, kReadAreaBytes - carry);
    if (n < 0) {
        postStopPath(m_generation.load());
        return;
    }

    // Only whole frames enter the pipeline; a partial one waits for the next read.
    const std::uint32_t frameBytes = static_cast<std::uint32_t>(m_channelCount.load()) * 2;
    const std::uint32_t total = carry + static_cast<std::uint32_t>(n);
    const std::uint32_t whole = total - total % frameBytes;

    const std::uint32_t sliceFrames = std::max(1, m_captureRate.load() / kSlicesPerSecond);
    const std::uint32_t sliceBytes = sliceFrames * frameBytes;
    std::uint32_t offset = 0;
    do {
        const std::uint32_t bytes = std::min(sliceBytes, whole - offset);
        processInput(m_readArea.get() + offset, bytes);
        offset += bytes;
    } while (offset < whole);

    m_carryBytes = total - whole;
    if (m_carryBytes) std::memmove(m_readArea.get(), m_readArea.get() + whole, m_carryBytes);
}

void PcmCaptureLoop::processInput(const char* data, std::uint32_t bytes) {
    const std::uint64_t lostBefore = m_path.droppedBytes();
    m_path.process(data, bytes, m_noiseCancel.load(), m_suppression, m_queueE);
    const std::uint64_t lost = m_path.droppedBytes() - lostBefore;
    if (lost) {
        m_droppedBytes.fetch_add(lost);
        m_dropLog.record(double(lost) / kDriverBytesPerMs);
    }
    handOverToDriver();
}

void PcmCaptureLoop::handOverToDriver() {
    DriverDevice* driver = m_driver.load();
    std::uint32_t count = 0;
    while (const char* p = m_queueE.peek(kDriverChunkBytes, count)) {
        if (driver) {
            std::uint32_t returned = 0;
            if (!driver->writePcm(p, kDriverChunkBytes, &returned) &&
                returned < kDriverChunkBytes) {
                // The virtual microphone had no room (nobody records it, or
                // its reader is late): what it did not take is lost.
                const std::uint32_t lost = kDriverChunkBytes - returned;
                m_refusedBytes.fetch_add(lost);
                m_refusedLog.record(double(lost) / kDriverBytesPerMs);
            }
        }
        m_queueE.consume(kDriverChunkBytes);
    }
}

}  // namespace sonvale
