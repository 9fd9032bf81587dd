// PcmCaptureLoop: the microphone path. Records the microphone the user chose,
// optionally removes background noise, and hands the result to the companion
// driver, which offers it to other applications as its virtual microphone.
//
//   microphone (16-bit, the rate and channels the device accepted; 48000 Hz
//   mono requested)
//     -> [noise cancel on]  -> mean of the channels -> 32000 Hz
//                           -> orvo_alg, 512 samples a frame
//                           -> 48000 Hz -> both channels
//     -> [noise cancel off] -> both channels as they are (mono into both)
//                              at 48000 Hz
//     (a change crossfades the two over 10 ms; see PcmPath)
//     -> driver, 1920-byte chunks (480 stereo frames, 10 ms)
//
// Threads and ownership
//   - The object belongs to the thread that creates it (the GUI thread); all
//     public functions except onReadyRead are called there.
//   - The capture thread (run) creates the QAudioInput and services it with
//     its event loop; every readyRead of the input runs onReadyRead there at
//     once: reading, conversion, suppression and driver writes, one call at a
//     time, so a busy window never holds up the virtual microphone.
//   - Only the end of capture (the stop path) goes to the object's thread, as
//     a queued call: it joins the capture thread and reports to the owner.
//   - The loop owns its queues, converters, QAudioInput and its own
//     noise-suppression instance. The DriverDevice and the owner are borrowed
//     and must outlive the loop (or be replaced before they die).
//
// Lifecycle: Idle -> startCapture(name) -> Running -> stopCapture() / the
// stop path -> Idle. The stop path (requestStop(), a failing input, or the
// microphone disappearing) releases the input and reports
// NotifyRemoveMicroppone(8, name) to the owner, which then normally calls
// closeCapture(). Restarting after any stop is supported.
#pragma once

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QAudioInput>
#include <QIODevice>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/CaptureLoopOwner.h"
#include "audio/PcmPath.h"
#include "audio/StreamFaultLog.h"
#include "pcm/PcmQueue.h"

namespace sonvale {

class DeviceWatch;
class DriverDevice;

class PcmCaptureLoop : public QThread {
    Q_OBJECT

public:
    static constexpr int kSuppressionRate = 32000;
    static constexpr std::uint32_t kReadAreaBytes = 38400;
    static constexpr std::uint32_t kDirectChunkBytes = 1920;  // 960 mono samples, 20 ms
    static constexpr std::uint32_t kDriverChunkBytes = 1920;  // 480 stereo frames, 10 ms
    static constexpr std::uint32_t kScratchBytes = 8192;
    static constexpr int kStateUnplugged = 8;

    PcmCaptureLoop();
    // Stops capture (joining the thread) and releases everything it owns.
    ~PcmCaptureLoop() override;

    PcmCaptureLoop(const PcmCaptureLoop&) = delete;
    PcmCaptureLoop& operator=(const PcmCaptureLoop&) = delete;

    // Receiver of NotifyRemoveMicroppone; may be null (nothing is reported).
    void setOwner(CaptureLoopOwner* owner);
    // The opened driver; null discards every finished chunk. Safe while running.
    void setDriver(DriverDevice* driver);
    // Non-zero chooses the suppression path; takes effect at the next read.
    void setNoiseCancel(int on);
    // Format asked of the microphone at the next set-up (48000 Hz mono unless
    // changed). The device may grant another; the loop converts 16-bit mono or
    // stereo at any rate and refuses other formats.
    void setRequestedFormat(int rate, int channels);

    // The audio input was started by the last set-up.
    bool isOpened() const;
    // Name of the microphone in use (the last one opened).
    QString deviceName() const;
    // Rate and channel count of the running input.
    int captureRate() const;
    int channelCount() const;
    // Bytes of audio ever dropped because a queue had no room (0 in normal
    // operation; every drop is also logged).
    quint64 droppedBytes() const;
    // Bytes the virtual microphone did not take (nobody recording it, or a
    // reader that fell behind); counted and logged.
    quint64 refusedBytes() const { return m_refusedBytes.load(); }

    // Asks for the stop path at the next read.
    void requestStop();
    // Finds the endpoint microphone named exactly `name` and starts the
    // capture thread on it; false (nothing started) when there is none. The
    // set-up itself finishes asynchronously and reports setupFinished().
    bool startCapture(const QString& name);
    // Ends the capture thread (which releases the input) and the converters;
    // returns once the thread has finished. Keeps the opened flag and name.
    void stopCapture();
    // stopCapture(), then the opened flag becomes false.
    void closeCapture();

    // All endpoint microphones; `name` becomes the first one's name.
    static QList<QAudioDeviceInfo> GetQAudioOutDeviceInfo(QString& name);

signals:
    // Emitted from the capture thread when a set-up started by startCapture
    // has finished: whether the input is running.
    void setupFinished(bool opened);

public slots:
    // Reads what the input holds and moves it through the pipeline to the
    // driver; runs on the capture thread. When a stop was requested, the input
    // failed or there is no input, it sends the stop path to the object's
    // thread instead.
    void onReadyRead();

protected:
    void run() override;

private:
    bool initQtAudioForCapture(QAudioDeviceInfo& device);
    void releaseInput();
    void postInputFailure(quint64 generation);
    void postStopPath(quint64 generation);
    void takeStopPath();
    void processInput(const char* data, std::uint32_t bytes);
    void handOverToDriver();

    std::atomic<int> m_captureRate{48000};
    std::atomic<int> m_channelCount{1};
    std::atomic<bool> m_noiseCancel{false};
    std::atomic<bool> m_opened{false};
    mutable QMutex m_nameLock;
    QString m_deviceName;                 // guarded by m_nameLock
    QIODevice* m_stream = nullptr;        // owned by m_audioInput
    QAudioInput* m_audioInput = nullptr;  // lives in the capture thread
    QAudioDeviceInfo m_deviceInfo;
    QAudioFormat m_format;
    PcmPath m_path;     // microphone -> stereo at 48000 Hz
    PcmQueue m_queueE;  // stereo, 48000 Hz, waiting for the driver
    void* m_suppression = nullptr;
    std::atomic<DriverDevice*> m_driver{nullptr};
    CaptureLoopOwner* m_owner = nullptr;
    std::atomic<bool> m_stopRequest{false};

    // A readyRead queued before a stop carries an older generation and is
    // ignored, so it can neither touch a released input nor end a later capture.
    std::atomic<quint64> m_generation{0};
    std::atomic<bool> m_inputFailed{false};
    std::atomic<bool> m_stopPosted{false};  // the stop path is on its way
    std::atomic<bool> m_quitRequested{false};
    std::unique_ptr<DeviceWatch> m_watch;  // capture thread
    std::atomic<quint64> m_droppedBytes{0};
    std::atomic<quint64> m_refusedBytes{0};
    StreamFaultLog m_dropLog{"PcmCaptureLoop: audio dropped"};
    StreamFaultLog m_refusedLog{"PcmCaptureLoop: virtual microphone refused audio"};
    std::unique_ptr<char[]> m_readArea;
    std::uint32_t m_carryBytes = 0;  // partial frame kept at the start of m_readArea
    std::unique_ptr<std::int16_t[]> m_scratch;
};

}  // namespace sonvale
