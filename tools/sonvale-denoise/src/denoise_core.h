// Streaming file denoiser: the engine behind the sonvale-denoise command.
//
// StreamDenoiser runs interleaved audio of any rate and channel count through
// one 32 kHz block processor per channel (an orvo_alg instance in the tool),
// converting the rate with speexdsp's resampler on both sides. It removes the
// processor's delay and the resamplers' delays, so output frame n lines up
// with input frame n and the output has exactly as many frames as the input.
// Memory use does not depend on the length of the stream.
//
// denoiseFile wraps the engine around libsndfile: it reads IN, writes a
// temporary file beside OUT and renames it onto OUT only when everything has
// succeeded, so a failure never leaves a partial or clobbered OUT behind.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sonvale::denoise {

// Samples in one processor block, and the rate the processor runs at.
inline constexpr int kBlockSamples = 512;
inline constexpr int kProcessRate = 32000;

// One mono stream of 512-sample blocks of 16-bit samples at 32 kHz.
class BlockProcessor {
public:
    virtual ~BlockProcessor() = default;
    // Consumes 512 samples from `in` and writes 512 to `out`.
    virtual void process(const int16_t* in, int16_t* out) = 0;
    // Samples by which the output lags the input.
    virtual int delay() const = 0;
};

// Creates one processor per channel; returns null when it cannot.
using ProcessorFactory = std::function<std::unique_ptr<BlockProcessor>()>;

// The noise suppressor of orvo_alg (null when ns_alg_init fails).
std::unique_ptr<BlockProcessor> makeOrvoProcessor();

class ChannelChain;

class StreamDenoiser {
public:
    // Returns null and sets *error for an unusable rate or channel count, or
    // when the factory or a resampler fails.
    static std::unique_ptr<StreamDenoiser> create(int rate, int channels,
                                                  const ProcessorFactory& factory,
                                                  std::string* error);
    ~StreamDenoiser();
    StreamDenoiser(const StreamDenoiser&) = delete;
    StreamDenoiser& operator=(const StreamDenoiser&) = delete;

    int rate() const { return rate_; }
    int channels() const { return channels_; }

    // Feeds `frames` interleaved frames (full scale +-1.0) and appends every
    // output frame that is complete to `out` (interleaved). Never emits more
    // frames in total than it has been fed.
    void push(const float* in, size_t frames, std::vector<float>& out);

    // Ends the stream: appends the remaining output, so that the total equals
    // the number of frames fed. Returns false (and emits nothing more) only
    // if the chain fails to drain, which would be a fault of the chain.
    bool finish(std::vector<float>& out);

private:
    StreamDenoiser(int rate, int channels);
    void collect(std::vector<float>& out, size_t limit);
    size_t sliceFrames() const;

    int rate_;
    int channels_;
    std::vector<std::unique_ptr<ChannelChain>> chains_;
    std::vector<float> mono_;  // one channel of the current input chunk
    uint64_t fed_ = 0;         // frames pushed
    uint64_t emitted_ = 0;     // frames handed out
    bool finished_ = false;
};

// Progress of a file job: frames done, the total (negative if unknown) and
// the file's sample rate.
using ProgressFn = std::function<void(int64_t done, int64_t total, int rate)>;

struct FileJob {
    std::string input;
    std::string output;
    ProcessorFactory factory;
    ProgressFn progress;                        // optional
    const std::atomic<bool>* cancel = nullptr;  // optional: set to stop early
    size_t chunk_frames = 4096;                 // frames read per step
};

struct FileResult {
    bool ok = false;
    bool cancelled = false;
    std::string error;  // one line, empty on success
    int64_t frames = 0;
    int rate = 0;
    int channels = 0;
    double audio_seconds = 0.0;
    double wall_seconds = 0.0;  // reading, processing and writing
};

FileResult denoiseFile(const FileJob& job);

// The libsndfile format (major | subtype | endianness) for writing `output`
// from an input of `input_format`: the input's format, or the container
// named by the output's extension with the closest subtype it accepts.
// Returns 0 when no writable format fits.
int chooseOutputFormat(int input_format, const std::string& output, int rate, int channels);

}  // namespace sonvale::denoise
