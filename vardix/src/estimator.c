/* Speech-spectrum estimator: a noise power tracker driven by the speech-
 * presence probability of each bin, and a small recurrent network that reads
 * per-band energies and band SNRs against that tracker and gives one gain per
 * band, interpolated to the 257 bins.
 *
 * Noise tracking follows the unbiased MMSE approach: in every bin the noise
 * power is smoothed towards E[|N|^2 | Y] = (1 - p)·|Y|^2 + p·noise, where p is
 * the a-posteriori probability that speech is present, computed for a fixed
 * a-priori SNR. It follows rising noise within a few hundred milliseconds
 * and falls as fast as the noise does, without the fixed lag of a minimum
 * search; a bin whose probability stays near one is still updated a little,
 * so the tracker cannot lock up on a step in the noise floor.
 *
 * The tracker makes the network's inputs largely independent of the noise's
 * level and colour, so the network's work is to tell speech from what is
 * not steady noise (clicks, babble, clatter), which the tracker alone cannot.
 * A log-spectral-amplitude gain with decision-directed a-priori SNR can be
 * mixed in (VX_LSA_WEIGHT). The mask multiplies the spectrum that orvo_alg's
 * own post-filter processes afterwards. */
#include "estimator.h"

#include <math.h>
#include <string.h>

#include "vec_math.h"

/* The constants below were chosen on the corpus with tools/train (each can
 * be overridden at compile time for such a search). */

/* Hops of the start-up phase, in which the noise estimate is the running
 * mean of the input power (125 hops per second). */
#ifndef VX_STARTUP_HOPS
#define VX_STARTUP_HOPS 12
#endif
/* Fixed a-priori SNR of speech for the presence probability (7 dB). */
#ifndef VX_XI_H1
#define VX_XI_H1 5.0f
#endif
/* Weight of the old noise estimate per hop. */
#ifndef VX_NOISE_SMOOTH
#define VX_NOISE_SMOOTH 0.9f
#endif
/* Smoothing of the presence probability and its lock-up limit. */
#ifndef VX_SPP_SMOOTH
#define VX_SPP_SMOOTH 0.9f
#endif
#ifndef VX_SPP_LOCK
#define VX_SPP_LOCK 0.99f
#endif
/* Decision-directed weight of the previous spectrum's clean estimate. */
#ifndef VX_DD_WEIGHT
#define VX_DD_WEIGHT 0.96f
#endif
/* Lowest a-priori SNR (-25 dB) and the gain floor where speech is absent. */
#ifndef VX_XI_MIN
#define VX_XI_MIN 0.00316f
#endif
#define VX_LOG_GAIN_MIN logf(VX_GAIN_MIN)
#ifndef VX_GAIN_MIN
#define VX_GAIN_MIN 0.18f
#endif
/* The analysis-synthesis chain passes speech at about 0.857 and the gains
 * below sit a little under 1 on clean speech; the make-up gain brings the
 * level back (orvo_alg saturates, so a rare overshoot clips, not wraps). */
#ifndef VX_MAKEUP
#define VX_MAKEUP 1.16f
#endif
/* Lowest gain the network's mask may take (-30 dB). */
#ifndef VX_NET_FLOOR
#define VX_NET_FLOOR 0.0316f
#endif
/* Exponent of the statistical gain in the mask (0: network alone). */
#ifndef VX_LSA_WEIGHT
#define VX_LSA_WEIGHT 0.4f
#endif
/* Non-zero: the exponent shrinks as the network's gain approaches 1. */
#ifndef VX_LSA_ADAPT
#define VX_LSA_ADAPT 0
#endif
/* Non-zero: the mask divides out orvo_alg's post-filter gain (pf_model.h),
 * lifting a bin by at most VX_MAX_BOOST. */
#ifndef VX_PF_COMPENSATE
#define VX_PF_COMPENSATE 1
#endif
/* Share of the post-filter's own gain kept in the product (0: none). */
#ifndef VX_PF_WEIGHT
#define VX_PF_WEIGHT 0.0f
#endif
#ifndef VX_MAX_BOOST
#define VX_MAX_BOOST 10.0f
#endif
/* Mean power per bin below which a spectrum is taken for silence (a muted
 * microphone, a stream of zeros or of a dithered last bit): white noise at
 * -90 dBFS, one step of 16-bit audio RMS, through the analysis window (sum of
 * squares 0.00167). Every real microphone's noise floor lies above it. */
#ifndef VX_SILENCE_POWER
#define VX_SILENCE_POWER 1.67e-12f
#endif
/* Spectra of real audio after a stream's opening silence (a microphone
 * unmuted as someone starts to speak) that pass unchanged: the start-up
 * phase has nothing but them to take for noise, and they may be the attack
 * of the first syllable (its first 50 ms; 125 spectra per second). Noise
 * after the silence passes as long, and is taken down from then on. */
#ifndef VX_MUTED_START_PASS_HOPS
#define VX_MUTED_START_PASS_HOPS 6
#endif
/* Offset of the logarithms of the band features, as in training. */
#ifndef VX_LOG_EPS
#define VX_LOG_EPS 1e-12f
#endif
/* Power added to every divisor: far below any audible spectrum. */
#ifndef VX_EPS
#define VX_EPS 1e-20f
#endif

void vx_estimator_init(VxEstimator* e) {
    memset(e, 0, sizeof *e);
    vx_net_init(&e->net);
    vx_harmonic_init(&e->harm);
    vx_pf_init(&e->pf);
    for (int k = 0; k < VX_BINS; ++k) {
        e->prev_gain[k] = 1.0f;
        e->prev_gamma[k] = 1.0f;
        e->gain[k] = 0.0f;
    }
}

/* E1(v) in single precision, for v > 0. Both approximations are computed
 * and one is selected, so that the per-bin loop has no branches. */
static inline float e1f(float v) {
    const float x = v < 1e-7f ? 1e-7f : v;
    /* Abramowitz & Stegun 5.1.53 below 1, |error| < 2e-7. */
    const float xs = x < 1.0f ? x : 1.0f;
    const float small =
        -vm_logf(x) - 0.57721566f +
        xs * (0.99999193f +
              xs * (-0.24991055f + xs * (0.05519968f + xs * (-0.00976004f + xs * 0.00107857f))));
    /* Abramowitz & Stegun 5.1.56 above, relative error < 5e-5; past 40 the
     * value is below 1e-19 and taken as 0. */
    const float xl = x > 40.0f ? 40.0f : x;
    const float num = xl * xl + 2.334733f * xl + 0.250621f;
    const float den = xl * xl + 3.330657f * xl + 1.681534f;
    const float large = vm_expf(-xl) / xl * (num / den);
    return x < 1.0f ? small : x > 40.0f ? 0.0f : large;
}

float vx_lsa_factor(float v) { return vm_expf(0.5f * e1f(v)); }

/* mask = meant / divisor per bin, by at most VX_MAX_BOOST; bins the
 * post-filter zeroes (divisor 0) keep the meant gain. */
static void divide_out(const float* meant, const float* divisor, float* mask) {
    for (int k = 0; k < VX_BINS; ++k) {
        float g = meant[k];
        if (divisor[k] > 0.0f) {
            g /= VX_PF_WEIGHT > 0.0f ? powf(divisor[k], 1.0f - VX_PF_WEIGHT) : divisor[k];
            if (g > VX_MAX_BOOST) g = VX_MAX_BOOST;
        }
        mask[k] = g;
    }
}

/* The mask that, times the post-filter's gain, gives out_gain. Which gain the
 * post-filter applies depends on the mask itself (through its energy ratio,
 * one of three regimes), so each regime the hop can reach is tried and the
 * first whose mask leads to that same regime is taken: the product is then
 * the meant gain. Should none agree with itself, the mask is divided by the
 * largest gain of all regimes, so that no bin comes out above the meant
 * gain whichever regime the post-filter ends in. */
static void compensate(VxEstimator* e, const float* re, const float* im, float* mask) {
    int lo, hi;
    vx_pf_regimes(&e->pf, &lo, &hi);
    for (int r = lo; r <= hi; ++r) {
        vx_pf_gain(&e->pf, r, e->pf_gain);
        divide_out(e->out_gain, e->pf_gain, mask);
        if (vx_pf_regime(&e->pf, re, im, mask) == r) {
            e->pf_exact = 1;
            return;
        }
    }
    e->pf_exact = 0;
    float g[VX_BINS];
    vx_pf_gain(&e->pf, lo, e->pf_gain);
    for (int r = lo + 1; r <= hi; ++r) {
        vx_pf_gain(&e->pf, r, g);
        for (int k = 0; k < VX_BINS; ++k)
            e->pf_gain[k] = g[k] > e->pf_gain[k] ? g[k] : e->pf_gain[k];
    }
    divide_out(e->out_gain, e->pf_gain, mask);
}

void vx_estimator_run(VxEstimator* e, const float* re, const float* im, float* mask) {
    float power[VX_BINS];
    float total = 0.0f;
    for (int k = 0; k < VX_BINS; ++k) {
        power[k] = re[k] * re[k] + im[k] * im[k];
        total += power[k];
    }

    /* Silence says nothing about the noise: the tracker, the statistical
     * gain and the network all keep their state, so the noise that resumes
     * after a muted stretch meets the estimate it left, and a stream that
     * opens with silence starts its start-up phase at its first real audio.
     * The mask repeats the last one (it multiplies next to nothing). */
    const int silent = total < VX_SILENCE_POWER * (float)VX_BINS;
    if (silent && e->hops == 0) e->muted_start = 1;
    if (!silent && e->hops < VX_STARTUP_HOPS) {
        /* Start-up: no history yet, so the noise is taken as the mean power
         * seen so far. A stream that starts with speech overestimates the
         * noise here; the tracker falls back to the true floor within the
         * first pause, and the network is trained to expect this. */
        float w = 1.0f / (float)(e->hops + 1);
        for (int k = 0; k < VX_BINS; ++k) {
            e->noise[k] += w * (power[k] - e->noise[k]);
            e->gain[k] = 0.0f;
        }
        e->hops++;
    } else if (!silent) {
        const float xi_ratio = VX_XI_H1 / (1.0f + VX_XI_H1);
        for (int k = 0; k < VX_BINS; ++k) {
            float noise = e->noise[k] + VX_EPS;
            float gamma = power[k] / noise;

            /* Speech-presence probability for a fixed a-priori SNR. */
            float arg = gamma * xi_ratio;
            float p = arg > 60.0f ? 1.0f : 1.0f / (1.0f + (1.0f + VX_XI_H1) * vm_expf(-arg));
            e->spp_avg[k] = VX_SPP_SMOOTH * e->spp_avg[k] + (1.0f - VX_SPP_SMOOTH) * p;
            /* Two selects rather than one on a combined condition, which
             * GCC does not vectorize. */
            const float capped = p > VX_SPP_LOCK ? VX_SPP_LOCK : p;
            p = e->spp_avg[k] > VX_SPP_LOCK ? capped : p;

            if (VX_LSA_WEIGHT > 0.0f) {
                /* Decision-directed a-priori SNR and log-spectral-amplitude
                 * gain, pulled to the floor where speech is likely absent. */
                float ml = gamma > 1.0f ? gamma - 1.0f : 0.0f;
                float xi = VX_DD_WEIGHT * e->prev_gain[k] * e->prev_gain[k] * e->prev_gamma[k] +
                           (1.0f - VX_DD_WEIGHT) * ml;
                xi = xi < VX_XI_MIN ? VX_XI_MIN : xi;
                /* In the log domain: one exponential per bin instead of powers. */
                float lg = vm_logf(xi / (1.0f + xi)) + 0.5f * e1f(xi * gamma / (1.0f + xi));
                lg = lg > 0.0f ? 0.0f : lg;
                e->gain[k] = p * lg + (1.0f - p) * VX_LOG_GAIN_MIN; /* log of the gain */
                e->prev_gain[k] = vm_expf(lg);
                e->prev_gamma[k] = gamma;
            } else {
                e->gain[k] = 0.0f;
            }

            /* Noise update with the posterior noise power. */
            float post = (1.0f - p) * power[k] + p * e->noise[k];
            e->noise[k] = VX_NOISE_SMOOTH * e->noise[k] + (1.0f - VX_NOISE_SMOOTH) * post;
        }
    }

    /* Band features: log energy, log ratio to the noise estimate and the
     * share of the energy on the harmonic comb of the spectrum's pitch lag,
     * on triangular bands between the band centres; and the voicing
     * strength. The bands are too wide to resolve harmonics, the comb is
     * not: it tells a voiced band from noise of the same level. */
    float* band_gain = e->band_gain;
    if (!silent) {
        float energy[VX_NB] = {0}, noise[VX_NB] = {0}, harm[VX_NB] = {0};
        float voicing;
        const float* comb = e->harm.comb[vx_harmonic_lag(&e->harm, power, &voicing)];
        for (int b = 0; b + 1 < VX_NB; ++b) {
            int lo = vx_band_points[b], hi = vx_band_points[b + 1];
            float inv = 1.0f / (float)(hi - lo);
            for (int k = lo; k < hi; ++k) {
                float f = (float)(k - lo) * inv;
                energy[b] += (1.0f - f) * power[k];
                energy[b + 1] += f * power[k];
                noise[b] += (1.0f - f) * e->noise[k];
                noise[b + 1] += f * e->noise[k];
                harm[b] += (1.0f - f) * power[k] * comb[k];
                harm[b + 1] += f * power[k] * comb[k];
            }
        }
        energy[VX_NB - 1] += power[VX_BINS - 1];
        noise[VX_NB - 1] += e->noise[VX_BINS - 1];
        harm[VX_NB - 1] += power[VX_BINS - 1] * comb[VX_BINS - 1];
        float* feat = e->feat;
        for (int b = 0; b < VX_NB; ++b) {
            feat[b] = vm_log10f(energy[b] + VX_LOG_EPS);
            feat[VX_NB + b] = vm_log10f((energy[b] + VX_LOG_EPS) / (noise[b] + VX_LOG_EPS));
            feat[2 * VX_NB + b] = harm[b] / (energy[b] + VX_LOG_EPS);
        }
        feat[3 * VX_NB] = voicing;
        vx_net_run(&e->net, feat, band_gain);
    }

    /* Bin gains interpolated between band centres, floored, combined with
     * the statistical gain and lifted by the make-up gain. */
    for (int b = 0; b + 1 < VX_NB; ++b) {
        int lo = vx_band_points[b], hi = vx_band_points[b + 1];
        float inv = 1.0f / (float)(hi - lo);
        for (int k = lo; k < hi; ++k) {
            float f = (float)(k - lo) * inv;
            mask[k] = (1.0f - f) * band_gain[b] + f * band_gain[b + 1];
        }
    }
    mask[VX_BINS - 1] = band_gain[VX_NB - 1];
    for (int k = 0; k < VX_BINS; ++k) {
        float g = mask[k] > VX_NET_FLOOR ? mask[k] : VX_NET_FLOOR;
        if (VX_LSA_WEIGHT > 0.0f) {
            /* The statistical gain counts less where the network is sure of
             * speech, so it cannot thin out what the network keeps. */
            float w = VX_LSA_ADAPT ? VX_LSA_WEIGHT * (1.0f - mask[k]) : VX_LSA_WEIGHT;
            g *= vm_expf(w * e->gain[k]);
        }
        e->out_gain[k] = g * VX_MAKEUP;
    }
    if (e->muted_start && e->hops <= VX_MUTED_START_PASS_HOPS)
        for (int k = 0; k < VX_BINS; ++k) e->out_gain[k] = VX_MAKEUP;
    if (VX_PF_COMPENSATE) {
        vx_pf_predict(&e->pf, re, im);
        compensate(e, re, im, mask);
        vx_pf_commit(&e->pf, re, im, mask);
    } else {
        memcpy(mask, e->out_gain, sizeof e->out_gain);
    }
}
