// Stand-in real devices on the private PulseAudio daemon of a test (see
// with-pulse): a microphone fed from a FIFO, a speaker recorded from its
// monitor, players and recorders on any device, and the signal measures the
// audio tests share.
#pragma once

#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sonvale::test {

using Samples = std::vector<std::int16_t>;

// Directory of this test's daemon ($SONVALE_TEST_DIR).
QString testDir();
// Runs pactl with `args`; its standard output, trimmed. Fails the test on error.
QString pactl(const QStringList& args);
// Loads a module and returns its index.
int loadModule(const QString& module, const QStringList& args);
void unloadModule(int index);

// Runs the Qt event loop until `done` holds or `timeout` passes; returns `done()`.
bool waitFor(const std::function<bool()>& done,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));
// Waits until Qt lists an endpoint named `name` (output when `output`).
bool waitForDevice(const QString& name, bool output);
// Waits until Qt no longer lists it.
bool waitForDeviceGone(const QString& name, bool output);

// Mono 16-bit samples of a WAV file (the first channel).
Samples readWav(const std::string& path, int* rate = nullptr);
std::string corpusPath(const std::string& relative);
// Writes `interleaved` to $SONVALE_TEST_DUMP/<name>.wav when that variable is
// set (for listening to what a test heard); does nothing otherwise.
void dumpWav(const std::string& name, const Samples& interleaved, int rate, int channels);

// A stand-in microphone: module-pipe-source fed, at real-time pace, by a
// thread writing `samples` (interleaved, `channels`) to its FIFO, followed by
// silence for as long as the microphone exists.
// Names the calling thread; the rig's own threads start with "rig-", so that
// a measurement of the program's CPU can leave them out.
void nameRigThread(const char* name);

class FifoMicrophone {
public:
    FifoMicrophone(const QString& name, int rate, int channels);
    ~FifoMicrophone();
    void play(const Samples& interleaved);       // queued after what is still playing
    void remove();                               // unloads the module (the device disappears)
    void setFeeding(bool on) { feeding_ = on; }  // off: nothing at all reaches the FIFO
    QString name() const { return name_; }

private:
    void feed();

    QString name_;
    std::string fifo_;
    int rate_, channels_;
    int module_ = -1;
    int fd_ = -1;
    std::mutex lock_;
    Samples pending_;
    size_t pendingAt_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> feeding_{true};
    std::thread thread_;
};

// A recording of a device (a source, or a sink's ".monitor") through the
// server, in 16-bit at `rate` and `channels`, with the arrival time of every
// piece.
class Recorder {
public:
    Recorder(const QString& source, int rate, int channels);
    ~Recorder();
    Samples take();  // everything recorded so far (interleaved), and keeps recording
    Samples samples() const;
    // Time at which the sample frame `frame` (counted from the start) arrived.
    std::chrono::steady_clock::time_point arrival(std::size_t frame) const;
    void stop();

private:
    void run();

    QString source_;
    int rate_, channels_;
    void* stream_ = nullptr;
    mutable std::mutex lock_;
    Samples data_;
    std::vector<std::pair<std::size_t, std::chrono::steady_clock::time_point>> arrivals_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Plays interleaved 16-bit audio to a sink through the server, paced by it.
class Player {
public:
    Player(const QString& sink, int rate, int channels);
    ~Player();
    void play(const Samples& interleaved);  // queued after what is still playing
    // Time at which the first frame of the last play() was handed to the server.
    std::chrono::steady_clock::time_point lastStart() const;

private:
    void run();

    QString sink_;
    int rate_, channels_;
    void* stream_ = nullptr;
    mutable std::mutex lock_;
    Samples pending_;
    size_t pendingAt_ = 0;
    bool markNext_ = false;
    std::chrono::steady_clock::time_point lastStart_{};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Channel `channel` of interleaved audio.
Samples channel(const Samples& interleaved, int channels, int channel);
// Interleaves mono into `channels` (left = the signal, the others `other`
// when given, else copies).
Samples interleave(const Samples& left, const Samples* right = nullptr);
// Offset of the first place where `needle` occurs exactly in `haystack`, or -1.
long findExact(const Samples& haystack, const Samples& needle);
// Number of samples from `offset` on in `haystack` equal to `reference`
// from its start, until the first difference (or the end of either).
std::size_t matchingRun(const Samples& haystack, long offset, const Samples& reference);
// Lag of `reference` in `haystack` with the largest normalised correlation
// over `length` samples, searched within center +- radius, and that correlation.
long bestLag(const Samples& haystack, const Samples& reference, long center, long radius,
             std::size_t length, double* corr = nullptr);
// `reference` found in `haystack` from about `center` on, aligned every
// half second on its own, so that a gap the speaker inserts (an underrun
// plays silence and makes everything after it later) shifts what follows
// instead of spoiling the whole match. Windows much quieter than the
// reference as a whole (pauses, noise) take the lag of the window before.
struct Alignment {
    long firstLag = -1;  // where reference[0] lies in `haystack`
    double corr = 0;     // correlation of the windows, weighted by their energy
    int slips = 0;       // windows that came later than the one before by > 1 ms
};
Alignment alignInWindows(const Samples& haystack, const Samples& reference, long center,
                         long radius, int rate = 48000);
// Index of the first sample that is not zero, or -1.
long firstNonZero(const Samples& s);
// Normalised correlation of a[offset..] with b over `length` samples.
double correlation(const Samples& a, long offset, const Samples& b, std::size_t length);
// Energy in dB of samples [begin, end).
double energyDb(const Samples& s, std::size_t begin, std::size_t end);
// Length of the longest run of exact zeros in [begin, end).
std::size_t longestZeroRun(const Samples& s, std::size_t begin, std::size_t end);
// Sine tone of `frequency` Hz, `amplitude`, `count` samples at `rate`.
Samples tone(double frequency, int rate, std::size_t count, double amplitude = 8000);

}  // namespace sonvale::test
