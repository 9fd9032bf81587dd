#include "audio/PcmPath.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/PcmStages.h"

namespace sonvale {

namespace {

constexpr std::uint32_t kStereoFrameBytes = 4;

}  // namespace

PcmPath::PcmPath() = default;
PcmPath::~PcmPath() = default;

bool PcmPath::configure(int inRate, int inChannels, int outRate) {
    m_inRate = inRate;
    m_inChannels = inChannels;
    m_outRate = outRate;
    m_leftToOut.reset();
    m_rightToOut.reset();
    m_monoTo32k.reset();
    m_32kToOut.reset();
    for (PcmQueue* q : {&m_directIn, &m_directOut, &m_monoIn, &m_toSuppress, &m_suppressedOut})
        q->clear();
    m_mode = Mode::Direct;
    m_directRunning = true;
    m_suppressedRunning = false;
    m_fresh = true;
    m_warmUpLeft = 0;
    m_fadeWaits = 0;
    m_ready = (inChannels == 1 || inChannels == 2) && inRate >= 100 && outRate >= 100;
    if (!m_ready) return false;
    if (inRate != outRate) {
        m_leftToOut = std::make_unique<PcmResampler>(1, inRate, outRate);
        m_rightToOut = std::make_unique<PcmResampler>(1, inRate, outRate);
    }
    m_monoTo32k = std::make_unique<PcmResampler>(1, inRate, kSuppressionRate);
    m_32kToOut = std::make_unique<PcmResampler>(1, kSuppressionRate, outRate);
    return true;
}

bool PcmPath::append(PcmQueue& queue, const void* data, std::uint32_t bytes) {
    if (bytes == 0 || queue.append(data, bytes)) return true;
    m_dropped += bytes;
    return false;
}

std::uint32_t PcmPath::moveAll(PcmQueue& from, PcmQueue& out) {
    const std::uint32_t bytes = static_cast<std::uint32_t>(from.size());
    std::uint32_t count = 0;
    const char* p = from.peek(bytes, count);
    std::uint32_t moved = 0;
    if (p && append(out, p, bytes)) moved = bytes;
    from.clear();
    return moved;
}

void PcmPath::startDirect() {
    m_directIn.clear();
    m_directOut.clear();
    if (m_leftToOut) m_leftToOut->reset();
    if (m_rightToOut) m_rightToOut->reset();
    m_directRunning = true;
    m_fadeWaits = 0;
}

void PcmPath::startSuppressed() {
    m_monoIn.clear();
    m_toSuppress.clear();
    m_suppressedOut.clear();
    if (m_monoTo32k) m_monoTo32k->reset();
    if (m_32kToOut) m_32kToOut->reset();
    m_warmUpLeft = kWarmUpFrames;
    m_suppressedRunning = true;
    m_fadeWaits = 0;
}

std::uint32_t PcmPath::process(const char* data, std::uint32_t bytes, bool suppress, void* ns,
                               PcmQueue& out) {
    if (!m_ready) return 0;
    bytes -= bytes % static_cast<std::uint32_t>(inFrameBytes());
    const bool want = suppress && ns != nullptr;
    const std::uint32_t fadeBytes =
        static_cast<std::uint32_t>(std::max(1, m_outRate * kCrossfadeMs / 1000)) *
        kStereoFrameBytes;

    if (m_fresh) {
        // Nothing has been played yet: the chosen chain simply starts.
        m_fresh = false;
        if (want) {
            m_mode = Mode::Suppressed;
            m_directRunning = false;
            startSuppressed();
        }
    }

    if (m_mode == Mode::Suppressed && ns == nullptr) {
        // The suppressor is gone: nothing to fade from.
        m_mode = Mode::Direct;
        m_suppressedRunning = false;
        startDirect();
    }

    std::uint32_t appended = 0;
    if (m_mode == Mode::Direct) {
        if (want && !m_suppressedRunning) startSuppressed();
        if (!want) m_suppressedRunning = false;
        runDirect(data, bytes);
        if (m_suppressedRunning) {
            runSuppressed(data, bytes, ns);
            const std::uint32_t ready = static_cast<std::uint32_t>(m_suppressedOut.size());
            if (m_warmUpLeft == 0 && ready > 0 &&
                (ready >= fadeBytes || ++m_fadeWaits > kMaxFadeWaits)) {
                // Direct fades out at the start of what it has just produced,
                // suppressed fades in from its first sample: the suppressed
                // chain lags, so its audio repeats what direct has just played
                // rather than leaving anything out.
                const std::uint32_t frames =
                    std::min({ready, static_cast<std::uint32_t>(m_directOut.size()), fadeBytes}) /
                    kStereoFrameBytes;
                appended += crossfade(m_directOut, 0, m_suppressedOut, 0, frames, out);
                m_directOut.clear();
                appended += moveAll(m_suppressedOut, out);
                m_mode = Mode::Suppressed;
                m_directRunning = false;
                return appended;
            }
            // Until then the suppressed chain's output waits (or, while it
            // warms up, is not kept at all) and direct goes on playing.
        }
        return appended + moveAll(m_directOut, out);
    }

    if (!want && !m_directRunning) startDirect();
    if (want) m_directRunning = false;
    runSuppressed(data, bytes, ns);
    if (m_directRunning) {
        runDirect(data, bytes);
        const std::uint32_t ready = static_cast<std::uint32_t>(m_suppressedOut.size());
        const std::uint32_t direct = static_cast<std::uint32_t>(m_directOut.size());
        if (ready >= fadeBytes || ++m_fadeWaits > kMaxFadeWaits) {
            // Suppressed fades out from where it stands; direct fades in so
            // that its fade ends with the newest audio it has: what lay in
            // between (at most the suppressed chain's delay) is skipped, and
            // no backlog is left behind to add delay from now on.
            const std::uint32_t frames = std::min({ready, direct, fadeBytes}) / kStereoFrameBytes;
            const std::uint32_t skip = direct - frames * kStereoFrameBytes;
            if (frames > 0) {
                appended += crossfade(m_suppressedOut, 0, m_directOut, skip, frames, out);
            } else {
                // The suppressed chain had nothing at all to fade out: direct
                // fades in from silence over what it has.
                appended += crossfade(m_suppressedOut, 0, m_directOut, 0,
                                      std::min(direct, fadeBytes) / kStereoFrameBytes, out);
                m_directOut.consume(std::min(direct, fadeBytes));
                appended += moveAll(m_directOut, out);
            }
            m_directOut.clear();
            m_suppressedOut.clear();
            m_mode = Mode::Direct;
            m_suppressedRunning = false;
            return appended;
        }
        // Direct is ahead of the suppressed chain: what it gives while the
        // fade waits is part of what the change skips.
        m_directOut.clear();
    }
    return appended + moveAll(m_suppressedOut, out);
}

void PcmPath::runDirect(const char* data, std::uint32_t bytes) {
    const std::uint32_t inFrames = bytes / static_cast<std::uint32_t>(inFrameBytes());
    const auto* in = reinterpret_cast<const std::int16_t*>(data);
    // Stereo at the input rate goes to `sink`: as it is, or with mono
    // duplicated into both channels.
    const auto stereoIn = [&](PcmQueue& sink) {
        if (m_inChannels == 2) {
            append(sink, data, inFrames * kStereoFrameBytes);
            return;
        }
        for (std::uint32_t done = 0; done < inFrames;) {
            const std::uint32_t n = std::min<std::uint32_t>(inFrames - done, kScratchSamples);
            for (std::uint32_t i = 0; i < n; ++i) {
                m_stereo[2 * i] = in[done + i];
                m_stereo[2 * i + 1] = in[done + i];
            }
            append(sink, m_stereo.data(), n * kStereoFrameBytes);
            done += n;
        }
    };
    if (!m_leftToOut) {
        stereoIn(m_directOut);
        return;
    }
    stereoIn(m_directIn);
    // Each channel through its own converter, a block at a time; the two are
    // fed alike and so give the same number of samples.
    const std::uint32_t block = static_cast<std::uint32_t>(m_leftToOut->inBlockSamples());
    if (block == 0 || block > kScratchSamples) {
        m_directIn.clear();
        return;
    }
    std::uint32_t count = 0;
    while (const char* p = m_directIn.peek(block * kStereoFrameBytes, count)) {
        const auto* s = reinterpret_cast<const std::int16_t*>(p);
        for (std::uint32_t i = 0; i < block; ++i) {
            m_left[i] = s[2 * i];
            m_right[i] = s[2 * i + 1];
        }
        const int l = m_leftToOut->process(m_left.data(), m_outLeft.data());
        const int r = m_rightToOut->process(m_right.data(), m_outRight.data());
        const int n = std::min({l, r, static_cast<int>(kScratchSamples)});
        for (int i = 0; i < n; ++i) {
            m_stereo[2 * i] = m_outLeft[i];
            m_stereo[2 * i + 1] = m_outRight[i];
        }
        if (n > 0) append(m_directOut, m_stereo.data(), static_cast<std::uint32_t>(n) * 4);
        m_directIn.consume(block * kStereoFrameBytes);
    }
}

void PcmPath::runSuppressed(const char* data, std::uint32_t bytes, void* ns) {
    const std::uint32_t inFrames = bytes / static_cast<std::uint32_t>(inFrameBytes());
    const auto* in = reinterpret_cast<const std::int16_t*>(data);
    if (m_inChannels == 1) {
        append(m_monoIn, data, inFrames * 2);
    } else {
        // The suppressor hears both channels: their mean.
        for (std::uint32_t done = 0; done < inFrames;) {
            const std::uint32_t n = std::min<std::uint32_t>(inFrames - done, kScratchSamples);
            for (std::uint32_t i = 0; i < n; ++i) {
                const int l = in[2 * (done + i)];
                const int r = in[2 * (done + i) + 1];
                m_left[i] = static_cast<std::int16_t>((l + r) / 2);
            }
            append(m_monoIn, m_left.data(), n * 2);
            done += n;
        }
    }

    resampleStage(m_monoIn, m_monoTo32k.get(), m_outLeft.data(), kScratchSamples * 2,
                  [this](const std::int16_t* s, std::uint32_t b) { append(m_toSuppress, s, b); });

    // Each cleaned frame is converted to the output rate at once, not in
    // blocks of 10 ms: a frame of 512 samples does not divide into them, and
    // what waited for the next frame added 5 ms to the path on average.
    suppressionStage(
        m_toSuppress, ns, m_outLeft.data(), [this](const std::int16_t* s, std::uint32_t b) {
            if (m_warmUpLeft > 0) {
                --m_warmUpLeft;
                return;
            }
            const int produced = m_32kToOut->processSamples(
                s, b / 2, m_outRight.data(), static_cast<std::uint32_t>(kScratchSamples));
            const std::uint32_t n = static_cast<std::uint32_t>(std::max(0, produced));
            for (std::uint32_t i = 0; i < n; ++i) {
                m_stereo[2 * i] = m_outRight[i];
                m_stereo[2 * i + 1] = m_outRight[i];
            }
            append(m_suppressedOut, m_stereo.data(), n * kStereoFrameBytes);
        });
}

std::uint32_t PcmPath::crossfade(PcmQueue& from, std::uint32_t fromOffset, PcmQueue& to,
                                 std::uint32_t toOffset, std::uint32_t frames, PcmQueue& out) {
    if (frames == 0) return 0;
    std::uint32_t count = 0;
    const std::uint32_t bytes = frames * kStereoFrameBytes;
    // `from` may hold less than the fade (a fade-in from silence).
    const std::uint32_t fromBytes = static_cast<std::uint32_t>(
        std::max<std::int32_t>(0, from.size() - std::int32_t(fromOffset)));
    const std::uint32_t fromFrames = std::min(frames, fromBytes / kStereoFrameBytes);
    const char* f =
        fromFrames ? from.peek(fromOffset + fromFrames * kStereoFrameBytes, count) : nullptr;
    const char* t = to.peek(toOffset + bytes, count);
    if (!t) return 0;
    const auto* fs = f ? reinterpret_cast<const std::int16_t*>(f + fromOffset) : nullptr;
    const auto* ts = reinterpret_cast<const std::int16_t*>(t + toOffset);
    std::uint32_t appended = 0;
    // Raised-cosine gains that add up to one.
    constexpr double kPi = 3.14159265358979323846;
    for (std::uint32_t done = 0; done < frames;) {
        const std::uint32_t n = std::min<std::uint32_t>(frames - done, kScratchSamples);
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint32_t k = done + i;
            const double in = 0.5 - 0.5 * std::cos(kPi * (k + 0.5) / frames);
            for (int c = 0; c < 2; ++c) {
                const double a = (fs && k < fromFrames) ? fs[2 * k + c] : 0.0;
                const double b = ts[2 * k + c];
                const long v = std::lround(a * (1.0 - in) + b * in);
                m_stereo[2 * i + c] = static_cast<std::int16_t>(std::clamp(v, -32768L, 32767L));
            }
        }
        if (append(out, m_stereo.data(), n * kStereoFrameBytes)) appended += n * kStereoFrameBytes;
        done += n;
    }
    return appended;
}

}  // namespace sonvale
