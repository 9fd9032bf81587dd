// PcmPlayLoop: the speaker path. Fetches from the companion driver what other
// applications play to its virtual speaker, optionally removes background
// noise, and plays the result on the speaker the user chose.
//
//   driver (stereo, 48000 Hz, 16-bit)
//     -> [noise cancel on]  -> mean of both channels -> 32000 Hz
//                           -> orvo_alg, 512 samples a frame
//                           -> output rate -> both channels
//     -> [noise cancel off] -> both channels as they are, at the output rate
//     (a change crossfades the two over 10 ms; see PcmPath)
//     -> speaker, 480 frames a write, converted to the format the speaker
//        accepted when that is not 16-bit stereo
//
// Threads and ownership
//   - The object belongs to the thread that creates it (the GUI thread);
//     selectDevice, startPlayback, stopPlayback and the setters run there, and
//     the QAudioOutput is created there.
//   - The play thread (run) polls: driver read, conversion, suppression and
//     the writes to the speaker. With nothing to read it waits in the driver
//     read or sleeps a few milliseconds; while the speaker is full it sleeps
//     about one period. It never blocks on the speaker: audio the speaker
//     cannot take yet waits in queue B, and the driver is read only as far as
//     B has room. Every wait is short, so stopPlayback returns promptly.
//   - The loop owns its queues, converters, QAudioOutput and its own
//     noise-suppression instance; the DriverDevice is borrowed.
//
// Lifecycle: Stopped -> startPlayback() -> Idling (no driver, or no speaker
// opened yet) / Playing -> stopPlayback() -> Stopped. selectDevice may run
// while the thread idles; the pipeline becomes visible to it only once ready.
#pragma once

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QAudioOutput>
#include <QElapsedTimer>
#include <QIODevice>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "audio/PcmPath.h"
#include "audio/StreamFaultLog.h"
#include "pcm/PcmQueue.h"

namespace sonvale {

class DriverDevice;

class PcmPlayLoop : public QThread {
public:
    static constexpr std::uint32_t kReadAreaBytes = 38400;
    static constexpr std::uint32_t kDirectBlockBytes = 1920;   // 960 mono samples
    static constexpr std::uint32_t kSpeakerChunkBytes = 1920;  // 480 stereo frames
    static constexpr std::uint32_t kScratchBytes = 8192;
    static constexpr int kSuppressionRate = 32000;
    // Text of the message shown when the speaker accepts no usable format.
    static const char* const kFormatMessage;

    PcmPlayLoop();
    // Stops playback (joining the thread) and releases everything it owns.
    ~PcmPlayLoop() override;

    PcmPlayLoop(const PcmPlayLoop&) = delete;
    PcmPlayLoop& operator=(const PcmPlayLoop&) = delete;

    // The opened driver; null makes the loop idle. Safe while running.
    void setDriver(DriverDevice* driver);
    // Non-zero chooses the suppression path; off until turned on.
    void setNoiseCancel(int on);
    // Format asked of the speaker by selectDevice: 48000 Hz stereo signed
    // 16-bit unless changed. Any linear PCM the speaker grants is fed correctly.
    void setRequestedFormat(const QAudioFormat& format);
    // Called, on the GUI thread, with the text of the playback-format message
    // when the speaker cannot be opened; by default a modal message box (a
    // warning in the log when there is no widget application).
    void setFormatFailureHandler(std::function<void(const QString&)> handler);
    // Called, on the GUI thread, with the speaker's name when its output
    // failed and the speaker is no longer there to reopen it on (the usual
    // notification of a speaker that is gone). Without a handler the loop
    // only logs it and idles.
    void setOutputLostHandler(std::function<void(const QString&)> handler);
    // Times a failed output was reopened (each is logged).
    quint64 outputReopens() const { return m_outputReopens.load(); }

    // The audio output was started and the pipeline is ready.
    bool isOpened() const;
    // Name of the speaker in use; empty when stopped.
    QString deviceName() const;
    // Format of the running output.
    QAudioFormat outputFormat() const;
    // Bytes of audio ever dropped (a queue without room, a failed write);
    // 0 in normal operation, every drop is logged.
    quint64 droppedBytes() const;
    // Times the speaker ran dry while audio was coming in, and their length
    // in all (until the next write); each is logged.
    quint64 underruns() const { return m_underrunLog.count(); }
    double underrunMs() const { return m_underrunLog.totalMs(); }
    // Playback buffer the speaker is (or will next be) opened with.
    int speakerBufferMs() const { return m_bufferMs.load(); }

    // Finds the endpoint speaker named exactly `name` and opens it; false when
    // there is none or it cannot be opened. A loop that is playing is stopped
    // first and restarted afterwards.
    bool selectDevice(const QString& name);
    // Opens the selected speaker for the format asked; see selectDevice.
    bool initQtAudioForPlay(int rate, int channels);
    // Starts the play thread (idling until a speaker and a driver exist).
    void startPlayback();
    // Ends the play thread, then releases the audio output; the opened flag
    // and the device name are cleared. Returns promptly even when the speaker
    // stopped taking data.
    void stopPlayback();

    // All endpoint speakers; `name` becomes the first one's name.
    static QList<QAudioDeviceInfo> GetQAudioInputDeviceInfo(QString& name);

protected:
    void run() override;

private:
    bool openOutput(QAudioFormat format, bool keepQueued = false);
    void releaseOutput();
    void reportFormatFailure();
    void processDriverData(const char* data, std::uint32_t bytes);
    std::uint32_t feedSpeaker();
    void discardStaleDriverAudio(DriverDevice* driver);
    int speakerPeriodBytes() const;
    bool speakerHoldsTwoPeriods() const;
    unsigned long speakerWaitUs() const;
    void idle(unsigned long microseconds) const;
    // A failed output (the play thread saw it) is reopened on the GUI thread.
    void noteOutputFailed();
    void handleOutputFailure(quint64 generation);
    void countDrop(std::uint64_t bytes);
    void noteWrite(bool wasDry, int heldBytes);
    void requestBuffer(int ms);

    QAudioOutput* m_audioOutput = nullptr;
    QAudioFormat m_format;
    QIODevice* m_stream = nullptr;  // owned by m_audioOutput
    QAudioDeviceInfo m_deviceInfo;
    std::atomic<int> m_outputRate{48000};
    std::atomic<int> m_channelCount{2};
    std::atomic<DriverDevice*> m_driver{nullptr};
    std::atomic<bool> m_noiseCancel{false};
    std::atomic<bool> m_opened{false};
    mutable QMutex m_nameLock;
    QString m_deviceName;  // guarded by m_nameLock
    std::atomic<bool> m_running{false};
    void* m_suppression = nullptr;
    PcmPath m_path;     // driver stereo at 48000 Hz -> stereo at the output rate
    PcmQueue m_queueB;  // stereo 16-bit at the output rate, waiting for the speaker

    QAudioFormat m_requestedFormat;
    QAudioFormat m_openedFormat;  // asked of the speaker at the last open
    std::function<void(const QString&)> m_formatFailureHandler;
    int m_outFrameBytes = 4;
    int m_pendingBytes = 0;   // converted chunk in m_converted ...
    int m_pendingOffset = 0;  // ... of which this much is written
    std::atomic<quint64> m_droppedBytes{0};
    StreamFaultLog m_dropLog{"PcmPlayLoop: audio dropped"};
    StreamFaultLog m_underrunLog{"PcmPlayLoop: speaker underrun"};
    QElapsedTimer m_clock;          // started at construction
    bool m_wroteSinceOpen = false;  // play thread, from here on
    qint64 m_dryAtMs = 0;           // on m_clock: when the speaker runs out
    std::atomic<int> m_bufferMs;
    std::atomic<bool> m_bufferRequestPending{false};
    qint64 m_calmSinceMs = 0;                // play thread
    qint64 m_startedAtMs = 0;                // play thread: when the speaker last opened
    std::atomic<bool> m_flushDriver{false};  // set by a set-up, acted on by run
    std::unique_ptr<char[]> m_readArea;
    std::uint32_t m_carryBytes = 0;
    std::unique_ptr<std::int16_t[]> m_scratch;
    std::unique_ptr<char[]> m_converted;

    // Failed output: seen by the play thread (bytesFree() < 0, or the output
    // stopped with an error), handled once per set-up on the GUI thread.
    std::function<void(const QString&)> m_outputLostHandler;
    std::atomic<bool> m_outputFailed{false};
    std::atomic<quint64> m_setupGeneration{0};
    std::atomic<quint64> m_outputReopens{0};
    qint64 m_lastReopenMs = 0;  // GUI thread
};

}  // namespace sonvale
