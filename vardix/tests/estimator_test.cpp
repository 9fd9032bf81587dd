// Behaviour of the default estimator on synthetic spectra: the amplitude
// factor against a numerical exponential integral, suppression of steady
// noise (also after the noise floor rises and across digital silence), and
// pass-through of recorded speech; the band-gain network against a
// double-precision evaluation with libm's activations. Gains are the ones
// meant to reach the output, i.e. with orvo_alg's post-filter already
// accounted for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include "estimator.h"
#include "noise_tracker.h"
#include "postfilter.h"
}

namespace {

// E1(v) = integral from v to infinity of exp(-t)/t dt, by Simpson's rule on
// t = v·exp(u), which makes the integrand smooth: integral of exp(-v·e^u) du.
double e1Reference(double v) {
    const int n = 20000;
    const double hi = std::log(60.0 / v + 1.0) + 1.0, h = hi / n;
    double sum = 0;
    for (int i = 0; i <= n; ++i) {
        double f = std::exp(-v * std::exp(i * h));
        sum += f * (i == 0 || i == n ? 1 : (i % 2 ? 4 : 2));
    }
    return sum * h / 3;
}

TEST(Estimator, LsaFactorMatchesExponentialIntegral) {
    for (double v : {1e-5, 1e-3, 0.05, 0.3, 0.99, 1.0, 1.7, 4.0, 12.0}) {
        double want = std::exp(0.5 * e1Reference(v));
        EXPECT_NEAR(vx_lsa_factor(static_cast<float>(v)) / want, 1.0, 2e-4) << "v = " << v;
    }
    // Large v: the factor tends to 1 (high SNR leaves the Wiener part alone).
    EXPECT_NEAR(vx_lsa_factor(50.0f), 1.0f, 1e-6f);
}

struct Feeder {
    VxEstimator est;
    std::mt19937 rng{7};
    float re[VX_BINS], im[VX_BINS], mask[VX_BINS];
    Feeder() { vx_estimator_init(&est); }

    // One spectrum of white noise of power `noise` per bin.
    void hop(float noise) {
        std::normal_distribution<float> n(0.0f, std::sqrt(noise / 2));
        for (int k = 0; k < VX_BINS; ++k) {
            re[k] = n(rng);
            im[k] = k ? n(rng) : 0.0f;
        }
        vx_estimator_run(&est, re, im, mask);
    }
    // One spectrum of digital silence (a muted microphone).
    void silentHop() {
        for (int k = 0; k < VX_BINS; ++k) re[k] = im[k] = 0.0f;
        vx_estimator_run(&est, re, im, mask);
    }
    // Mean of meanGain(1, 250) over n spectra of noise of power `noise`.
    float meanGainOver(int n, float noise) {
        double sum = 0;
        for (int i = 0; i < n; ++i) {
            hop(noise);
            sum += meanGain(1, 250);
        }
        return static_cast<float>(sum / n);
    }
    // Mean over bins lo..hi-1 of the gain meant to reach the output.
    float meanGain(int lo, int hi) const {
        double s = 0;
        for (int k = lo; k < hi; ++k) s += est.out_gain[k];
        return static_cast<float>(s / (hi - lo));
    }
};

TEST(Estimator, SuppressesSteadyNoiseAndFollowsARisingFloor) {
    Feeder f;
    double sum = 0;
    for (int i = 0; i < 250; ++i) {  // 2 s
        f.hop(1e-6f);
        if (i >= 125) sum += f.meanGain(1, 250);
    }
    EXPECT_LT(sum / 125, 0.3);
    for (int i = 0; i < 250; ++i) f.hop(1e-5f);  // 10 dB more noise, 2 s
    sum = 0;
    for (int i = 0; i < 125; ++i) {
        f.hop(1e-5f);
        sum += f.meanGain(1, 250);
    }
    EXPECT_LT(sum / 125, 0.3);
}

// A muted stretch says nothing about the noise: the noise estimate survives
// it, the same noise coming back is suppressed as much as before from the
// first spectrum on, and the mask on the silent spectra is finite.
TEST(Estimator, DigitalSilenceLeavesTheNoiseEstimateAlone) {
    Feeder f;
    f.meanGainOver(250, 1e-6f);
    float before = f.meanGainOver(63, 1e-6f);
    ASSERT_LT(before, 0.3f);
    for (float noise : {1e-6f, 1e-4f, 1e-8f}) {
        Feeder g;
        g.meanGainOver(313, noise);
        float steady = g.meanGainOver(63, noise);
        for (int i = 0; i < 125; ++i) {  // 1 s of exact zeros
            g.silentHop();
            for (int k = 0; k < VX_BINS; ++k) ASSERT_TRUE(std::isfinite(g.mask[k]));
        }
        // The tracked noise power is where it was (within 3 dB).
        double tracked = 0;
        for (int k = 1; k < 250; ++k) tracked += g.est.noise[k];
        tracked /= 249;
        EXPECT_GT(tracked, 0.5 * noise) << "noise " << noise;
        EXPECT_LT(tracked, 2.0 * noise) << "noise " << noise;
        float first = g.meanGainOver(8, noise);   // 64 ms after the silence
        float after = g.meanGainOver(55, noise);  // the rest of the first 0.5 s
        EXPECT_LT(first, steady * 1.41f + 0.01f) << "noise " << noise;  // within 3 dB
        EXPECT_LT(after, steady * 1.41f + 0.01f) << "noise " << noise;
    }
}

// A stream that opens with silence (exact zeros, or a dithered last bit far
// below any microphone's noise floor: a microphone unmuted later) starts its
// tracking at its first real audio, so noise after 0.35 s, 1 s or 5 s of it
// is taken down at least 20 dB from 300 ms on, as from a cold start.
TEST(Estimator, NoiseAfterSilenceAtTheStartIsSuppressedFrom300Ms) {
    const float noise = 1e-6f;
    const float lsb = 1.0f / 32768.0f;
    for (int silent_hops : {0, 44, 125, 625}) {
        for (bool dither : {false, true}) {
            SCOPED_TRACE(testing::Message() << silent_hops << " silent hops, dither " << dither);
            Feeder f;
            std::uniform_int_distribution<int> bit(-1, 1);
            for (int i = 0; i < silent_hops; ++i) {
                if (!dither) {
                    f.silentHop();
                    continue;
                }
                // A last bit toggling at random, through a 512-point transform
                // at the filter bank's level (power per bin ~ 0.00167 lsb^2).
                std::normal_distribution<float> n(0.0f, std::sqrt(0.3f * 0.00167f / 2) * lsb);
                for (int k = 0; k < VX_BINS; ++k) {
                    f.re[k] = n(f.rng);
                    f.im[k] = k ? n(f.rng) : 0.0f;
                }
                vx_estimator_run(&f.est, f.re, f.im, f.mask);
            }
            f.meanGainOver(38, noise);  // the first 300 ms
            double energy = 0;
            for (int i = 0; i < 250; ++i) {
                f.hop(noise);
                for (int k = 1; k < 250; ++k) energy += f.est.out_gain[k] * f.est.out_gain[k];
            }
            const double db = 10 * std::log10(energy / (250.0 * 249.0));
            EXPECT_LT(db, -20.0);
        }
    }
}

// Reads a mono 16-bit PCM WAV file (as the corpus holds) into [-1, 1).
std::vector<float> readWav(const std::string& path, int* rate) {
    std::ifstream f(path, std::ios::binary);
    std::vector<char> d((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<float> out;
    auto u32 = [&](size_t i) {
        return static_cast<uint32_t>(
            static_cast<unsigned char>(d[i]) | static_cast<unsigned char>(d[i + 1]) << 8 |
            static_cast<unsigned char>(d[i + 2]) << 16 |
            static_cast<uint32_t>(static_cast<unsigned char>(d[i + 3])) << 24);
    };
    for (size_t i = 12; i + 8 <= d.size();) {
        uint32_t len = u32(i + 4);
        if (std::memcmp(&d[i], "fmt ", 4) == 0) *rate = static_cast<int>(u32(i + 12));
        if (std::memcmp(&d[i], "data", 4) == 0) {
            for (size_t n = 0; n + 1 < len && i + 8 + n + 1 < d.size(); n += 2) {
                int16_t v;
                std::memcpy(&v, &d[i + 8 + n], 2);
                out.push_back(v / 32768.0f);
            }
            break;
        }
        i += 8 + len + (len & 1);
    }
    return out;
}

// Real speech: a corpus utterance at 32 kHz after one second of a white
// noise floor 45 dB below the speech, analysed with a Hann-windowed 512-point
// transform at the filter bank's level. The gain must stay high where the
// speech is and fall low in the noise before it.
TEST(Estimator, KeepsRealSpeechAndCutsTheNoiseBeforeIt) {
    if (!std::ifstream(SONVALE_CORPUS_DIR
                       "/mixtures/007_vctk_p232_013_M__fanhum_01__snr10_clean.wav"))
        GTEST_SKIP() << "no corpus at " SONVALE_CORPUS_DIR;
    int rate = 0;
    std::vector<float> s = readWav(std::string(SONVALE_CORPUS_DIR) +
                                       "/mixtures/"
                                       "007_vctk_p232_013_M__fanhum_01__snr10_clean.wav",
                                   &rate);
    ASSERT_EQ(rate, 48000);
    std::vector<float> x;  // 48 kHz -> 32 kHz by linear interpolation: enough here
    for (double t = 0; t + 1 < s.size(); t += 1.5) {
        size_t i = static_cast<size_t>(t);
        double f = t - i;
        x.push_back(static_cast<float>((1 - f) * s[i] + f * s[i + 1]));
    }
    double ps = 0;
    for (float v : x) ps += v * v;
    ps /= x.size();
    std::mt19937 rng(11);
    std::normal_distribution<float> n(0.0f, static_cast<float>(std::sqrt(ps * 3.2e-5)));
    x.insert(x.begin(), 32000, 0.0f);
    for (float& v : x) v += n(rng);

    // Hann window scaled to the prototype's sum (0.936), so spectra have the
    // filter bank's level.
    std::vector<double> w(512), cs(512), sn(512);
    double wsum = 0;
    for (int i = 0; i < 512; ++i) {
        w[i] = 0.5 - 0.5 * std::cos(2 * M_PI * (i + 0.5) / 512);
        wsum += w[i];
        cs[i] = std::cos(2 * M_PI * i / 512);
        sn[i] = std::sin(2 * M_PI * i / 512);
    }
    for (double& v : w) v *= 0.936 / wsum;

    VxEstimator est;
    vx_estimator_init(&est);
    float re[VX_BINS], im[VX_BINS], mask[VX_BINS], frame[512];
    double speech_w = 0, speech_g = 0, noise_g = 0;
    int noise_n = 0;
    for (size_t start = 0; start + 512 <= x.size(); start += 256) {
        double e = 0;
        for (int i = 0; i < 512; ++i) {
            frame[i] = static_cast<float>(x[start + i] * w[i]);
            e += x[start + i] * x[start + i];
        }
        for (int k = 0; k < VX_BINS; ++k) {
            double r = 0, q = 0;
            for (int i = 0; i < 512; ++i) {
                int idx = (k * i) & 511;
                r += frame[i] * cs[idx];
                q -= frame[i] * sn[idx];
            }
            re[k] = static_cast<float>(r);
            im[k] = k ? static_cast<float>(q) : 0.0f;
        }
        vx_estimator_run(&est, re, im, mask);
        double g = 0;
        for (int k = 1; k < 128; ++k) g += est.out_gain[k];
        g /= 127;
        if (start >= 16000 && start + 512 <= 32000) {
            noise_g += g;
            ++noise_n;
        } else if (start > 32000) {
            speech_g += g * e;  // weighted by the speech's energy
            speech_w += e;
        }
    }
    EXPECT_GT(speech_g / speech_w, 0.75);
    EXPECT_LT(noise_g / noise_n, 0.1);
}

// The network's call-free activations must not change what it computes:
// the same weights evaluated in double with libm's tanh and exp, over a run
// of spectra whose features range from typical to far outside training
// (where the activations saturate).
// The post-filter model against orvo_alg's own noise tracker and post-filter,
// run on the same spectra as in the library: real speech in a coloured
// noise, after and between stretches of digital silence. The model must give
// the post-filter's gain, and the mask divided by it must never lift a bin
// more than 1 dB above the gain the estimator meant.
TEST(Estimator, PostFilterModelMatchesThePostFilter) {
    if (!std::ifstream(SONVALE_CORPUS_DIR
                       "/mixtures/002_vctk_p225_010_F__typing_02__snr05_clean.wav"))
        GTEST_SKIP() << "no corpus at " SONVALE_CORPUS_DIR;
    int rate = 0;
    std::vector<float> s = readWav(std::string(SONVALE_CORPUS_DIR) +
                                       "/mixtures/"
                                       "002_vctk_p225_010_F__typing_02__snr05_clean.wav",
                                   &rate);
    ASSERT_EQ(rate, 48000);
    std::vector<float> speech;  // 48 kHz -> 32 kHz by linear interpolation
    for (double t = 0; t + 1 < s.size(); t += 1.5) {
        size_t i = static_cast<size_t>(t);
        double f = t - i;
        speech.push_back(static_cast<float>((1 - f) * s[i] + f * s[i + 1]));
    }
    double ps = 0;
    for (float v : speech) ps += v * v;
    ps /= speech.size();
    // Zeros, noise, speech in noise, zeros, speech in noise again.
    std::vector<float> x(12800, 0.0f);
    const size_t noise_from = x.size();
    x.resize(x.size() + 32000, 0.0f);
    const size_t half = speech.size() / 2;
    x.insert(x.end(), speech.begin(), speech.begin() + half);
    const size_t zeros_from = x.size();
    x.resize(x.size() + 12800, 0.0f);
    const size_t zeros_to = x.size();
    x.insert(x.end(), speech.begin() + half, speech.end());
    std::mt19937 rng(21);
    std::normal_distribution<double> n(0.0, 1.0);
    double lp = 0;
    const double noise_amp = std::sqrt(ps * 0.3) * std::sqrt(1 - 0.7 * 0.7);  // +5 dB SNR
    for (size_t i = noise_from; i < x.size(); ++i) {
        lp = 0.7 * lp + n(rng);
        if (i < zeros_from || i >= zeros_to) x[i] += static_cast<float>(noise_amp * lp);
    }

    std::vector<double> w(512), cs(512), sn(512);
    double wsum = 0;
    for (int i = 0; i < 512; ++i) {
        w[i] = 0.5 - 0.5 * std::cos(2 * M_PI * (i + 0.5) / 512);
        wsum += w[i];
        cs[i] = std::cos(2 * M_PI * i / 512);
        sn[i] = std::sin(2 * M_PI * i / 512);
    }
    for (double& v : w) v *= 0.936 / wsum;

    auto est = std::make_unique<VxEstimator>();
    vx_estimator_init(est.get());
    auto ms = std::make_unique<MinStatsState>();
    auto msp = std::make_unique<MinStatsParams>();
    minstats_params_init(msp.get());
    minstats_init(ms.get(), msp.get());
    auto pf = std::make_unique<OmlsaState>();
    auto pfp = std::make_unique<OmlsaParams>();
    omlsa_params_init(pfp.get());
    omlsa_init(pf.get(), pfp.get());

    float re[VX_BINS], im[VX_BINS], mask[VX_BINS], frame[512];
    float spec[ORVO_SPEC], masked[ORVO_SPEC], z[ORVO_SPEC];
    double worst_model = 0, worst_lift = 0;
    long compared = 0, off = 0, hops = 0, bounded = 0;
    for (size_t start = 0; start + 512 <= x.size(); start += 256) {
        for (int i = 0; i < 512; ++i) frame[i] = static_cast<float>(x[start + i] * w[i]);
        for (int k = 0; k < VX_BINS; ++k) {
            double r = 0, q = 0;
            for (int i = 0; i < 512; ++i) {
                int idx = (k * i) & 511;
                r += frame[i] * cs[idx];
                q -= frame[i] * sn[idx];
            }
            re[k] = static_cast<float>(r);
            im[k] = k ? static_cast<float>(q) : 0.0f;
            spec[2 * k] = re[k];
            spec[2 * k + 1] = im[k];
        }
        vx_estimator_run(est.get(), re, im, mask);
        for (int k = 0; k < VX_BINS; ++k) {
            masked[2 * k] = spec[2 * k] * mask[k];
            masked[2 * k + 1] = spec[2 * k + 1] * mask[k];
        }
        minstats_update(ms.get(), spec, pf->speech_flag);
        omlsa_process(pf.get(), ms->P, ms->S, ms->lambda, masked, z);
        ++hops;
        bounded += !est->pf_exact;
        for (int k = 1; k < 250; ++k) {
            const double m2 = (double)masked[2 * k] * masked[2 * k] +
                              (double)masked[2 * k + 1] * masked[2 * k + 1];
            if (m2 < 1e-24) continue;
            const double actual =
                std::sqrt(((double)z[2 * k] * z[2 * k] + (double)z[2 * k + 1] * z[2 * k + 1]) / m2);
            // The lift bound holds on every hop; on the rare hop where no
            // regime agrees with its own mask the model gives the largest
            // gain the post-filter may apply, not the one it applies.
            worst_lift = std::max(worst_lift, 20 * std::log10(mask[k] * actual / est->out_gain[k]));
            if (!est->pf_exact) continue;
            const double model = std::fabs(20 * std::log10(est->pf_gain[k] / actual));
            worst_model = std::max(worst_model, model);
            off += model > 0.01;
            ++compared;
        }
    }
    ASSERT_GT(compared, 100000);
    EXPECT_LT(bounded, hops / 100);
    EXPECT_LT(off, compared / 1000) << "worst " << worst_model << " dB";
    EXPECT_LT(worst_model, 1.0);
    EXPECT_LT(worst_lift, 1.0);
}

TEST(Estimator, NetworkMatchesDoublePrecisionReference) {
    auto affine = [](const float* w, const float* b, const std::vector<double>& x, int rows) {
        std::vector<double> y(rows);
        for (int r = 0; r < rows; ++r) {
            double sum = b[r];
            for (size_t c = 0; c < x.size(); ++c) sum += (double)w[r * x.size() + c] * x[c];
            y[r] = sum;
        }
        return y;
    };
    auto sigmoid = [](double v) { return 1.0 / (1.0 + std::exp(-v)); };
    auto gru = [&](const float* wi, const float* wh, const float* bi, const float* bh,
                   const std::vector<double>& x, std::vector<double>& h) {
        auto gi = affine(wi, bi, x, 3 * VX_HIDDEN), gh = affine(wh, bh, h, 3 * VX_HIDDEN);
        for (int j = 0; j < VX_HIDDEN; ++j) {
            double r = sigmoid(gi[j] + gh[j]);
            double z = sigmoid(gi[VX_HIDDEN + j] + gh[VX_HIDDEN + j]);
            double c = std::tanh(gi[2 * VX_HIDDEN + j] + r * gh[2 * VX_HIDDEN + j]);
            h[j] = (1 - z) * c + z * h[j];
        }
    };
    VxNet net;
    vx_net_init(&net);
    std::vector<double> h1(VX_HIDDEN, 0.0), h2(VX_HIDDEN, 0.0);
    std::mt19937 rng(7);
    std::normal_distribution<float> jitter(0.0f, 1.0f);
    double worst = 0;
    for (int hop = 0; hop < 400; ++hop) {
        // Log energies around -6, band SNRs around 1 (log10 units) and
        // harmonic shares around 0, wider
        // and wider; the last hops are wildly out of range.
        const float spread = hop < 300 ? 1.0f + hop / 60.0f : 200.0f;
        float feat[VX_NFEAT];
        for (int b = 0; b < VX_NB; ++b) {
            feat[b] = -6.0f + spread * jitter(rng);
            feat[VX_NB + b] = 1.0f + spread * jitter(rng);
            feat[2 * VX_NB + b] = 0.2f * spread * jitter(rng);
        }
        feat[3 * VX_NB] = 0.3f + 0.2f * spread * jitter(rng);
        float gains[VX_NB];
        vx_net_run(&net, feat, gains);
        std::vector<double> x(VX_NFEAT);
        for (int i = 0; i < VX_NFEAT; ++i)
            x[i] = ((double)feat[i] - vx_feat_mean[i]) * vx_feat_scale[i];
        auto d = affine(vx_in_w, vx_in_b, x, VX_DENSE);
        for (auto& v : d) v = std::tanh(v);
        gru(vx_gru1_wi, vx_gru1_wh, vx_gru1_bi, vx_gru1_bh, d, h1);
        gru(vx_gru2_wi, vx_gru2_wh, vx_gru2_bi, vx_gru2_bh, h1, h2);
        auto o = affine(vx_out_w, vx_out_b, h2, VX_NB);
        for (int b = 0; b < VX_NB; ++b) {
            ASSERT_TRUE(std::isfinite(gains[b])) << "hop " << hop << " band " << b;
            worst = std::max(worst, std::fabs(gains[b] - sigmoid(o[b])));
        }
    }
    // Single precision through two recurrent layers over 400 steps.
    EXPECT_LT(worst, 1e-4);
}

}  // namespace
