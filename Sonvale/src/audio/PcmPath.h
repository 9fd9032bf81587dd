// PcmPath: the processing between a device and the driver that both loops
// share. 16-bit mono or interleaved stereo comes in at one rate and leaves as
// interleaved stereo 16-bit at another, by one of two chains:
//
//   direct      both channels as they are, each converted to the output rate
//               by its own converter (bit-exact when the rates are equal);
//   suppressed  the mean of the two channels -> 32000 Hz -> orvo_alg, 512
//               samples a frame -> output rate -> the same in both channels.
//
// A change of chain crossfades the two over at most 10 ms of output. The chain
// that takes over starts from cleared queues and converters, so nothing it
// held from the last time it ran is heard; the suppressor's first frames after
// such a start are run but not played, as they still carry audio from before.
// Going from suppressed to direct skips at most the suppressed chain's own
// delay; going the other way repeats as much, since that chain lags.
//
// Threads: one thread at a time (the loop's audio thread); configure() is
// called before that thread uses the path or while it is stopped.
// Memory: configure() allocates; process() allocates nothing.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "orvo_alg.h"
#include "pcm/PcmQueue.h"
#include "pcm/PcmResampler.h"

namespace sonvale {

class PcmPath {
public:
    static constexpr int kSuppressionRate = NS_ALG_SAMPLE_RATE;
    // Crossfade between the chains: long enough that the change makes no
    // click, short enough to be over before a listener hears two signals.
    static constexpr int kCrossfadeMs = 10;
    // Frames of the suppressor run after a start whose output is not played:
    // its output lags by 1023 samples and each output sample is built from a
    // window that reaches 1024 samples further back, so after four frames
    // (2048 samples) nothing from before the start is left in what it gives.
    static constexpr int kWarmUpFrames = 4;
    // Passes a change of chain may wait for the incoming (or outgoing)
    // suppressed chain to have a whole crossfade ready; after that the fade
    // is as long as what there is. The suppressor gives 512 samples at a time,
    // so one or two passes of 10 to 20 ms always bring a whole fade.
    static constexpr int kMaxFadeWaits = 3;

    PcmPath();
    ~PcmPath();
    PcmPath(const PcmPath&) = delete;
    PcmPath& operator=(const PcmPath&) = delete;

    // Sets the path up for `inChannels` (1 or 2) at `inRate` in and stereo at
    // `outRate` out, direct chain first; forgets everything queued. False (the
    // path passes nothing) for a channel count other than 1 or 2 or a rate
    // below 100 Hz.
    bool configure(int inRate, int inChannels, int outRate);

    // Moves `bytes` of whole input frames through the chain chosen by
    // `suppress` (the suppressed chain needs `ns`, an orvo_alg instance this
    // path alone uses; without it the direct chain runs) and appends the
    // stereo output to `out`. Any amount works; 10 to 20 ms at a time keeps
    // the queues short. Returns the bytes appended.
    std::uint32_t process(const char* data, std::uint32_t bytes, bool suppress, void* ns,
                          PcmQueue& out);

    // Whether the output comes from the suppressed chain now (after any
    // crossfade that was under way).
    bool suppressing() const { return m_mode == Mode::Suppressed; }
    // Bytes of output ever lost because `out` had no room.
    std::uint64_t droppedBytes() const { return m_dropped; }
    int inFrameBytes() const { return m_inChannels * 2; }

private:
    enum class Mode { Direct, Suppressed };

    void startDirect();
    void startSuppressed();
    void runDirect(const char* data, std::uint32_t bytes);
    void runSuppressed(const char* data, std::uint32_t bytes, void* ns);
    std::uint32_t moveAll(PcmQueue& from, PcmQueue& out);
    // Appends `frames` stereo frames that fade from `from` (from byte
    // `fromOffset`; silence where it holds less) to `to` (from `toOffset`,
    // which must hold them). Consumes nothing.
    std::uint32_t crossfade(PcmQueue& from, std::uint32_t fromOffset, PcmQueue& to,
                            std::uint32_t toOffset, std::uint32_t frames, PcmQueue& out);
    bool append(PcmQueue& queue, const void* data, std::uint32_t bytes);

    int m_inRate = 48000;
    int m_inChannels = 2;
    int m_outRate = 48000;
    Mode m_mode = Mode::Direct;
    bool m_ready = false;
    bool m_fresh = true;  // nothing processed since configure()
    bool m_directRunning = true;
    bool m_suppressedRunning = false;
    int m_warmUpLeft = 0;
    int m_fadeWaits = 0;
    std::uint64_t m_dropped = 0;

    // Direct chain: stereo at the input rate (only when it is converted),
    // then stereo at the output rate.
    PcmQueue m_directIn;
    PcmQueue m_directOut;
    std::unique_ptr<PcmResampler> m_leftToOut;
    std::unique_ptr<PcmResampler> m_rightToOut;
    // Suppressed chain: mono at the input rate, mono at 32000 Hz before the
    // suppressor, stereo at the output rate.
    PcmQueue m_monoIn;
    PcmQueue m_toSuppress;
    PcmQueue m_suppressedOut;
    std::unique_ptr<PcmResampler> m_monoTo32k;
    std::unique_ptr<PcmResampler> m_32kToOut;

    // Scratch for one converter block or one slice of conversion, in samples.
    static constexpr std::size_t kScratchSamples = 4096;
    std::array<std::int16_t, kScratchSamples> m_left{};
    std::array<std::int16_t, kScratchSamples> m_right{};
    std::array<std::int16_t, kScratchSamples> m_outLeft{};
    std::array<std::int16_t, kScratchSamples> m_outRight{};
    std::array<std::int16_t, 2 * kScratchSamples> m_stereo{};
};

}  // namespace sonvale
