/* Speech-spectrum estimator: a noise power tracker driven by the speech-
 * presence probability of each bin, and a log-spectral-amplitude gain with
 * decision-directed a-priori SNR, soft-weighted by that probability.
 *
 * Noise tracking follows the unbiased MMSE approach: in every bin the noise
 * power is smoothed towards E[|N|^2 | Y] = (1 - p)·|Y|^2 + p·noise, where p is
 * the a-posteriori probability that speech is present, computed for a fixed
 * a-priori SNR. It follows rising noise within a few hundred milliseconds
 * and falls as fast as the noise does, without the fixed lag of a minimum
 * search; a bin whose probability stays near one is still updated a little,
 * so the tracker cannot lock up on a step in the noise floor.
 *
 * The gain multiplies the spectrum that orvo_alg's own post-filter processes
 * afterwards; it stays at full level wherever speech dominates, so the two
 * stages together do not thin out speech, and it goes down to a floor that
 * leaves a little natural-sounding residual noise where speech is absent. */
#include "estimator.h"

#include <math.h>
#include <string.h>

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
#ifndef VX_GAIN_MIN
#define VX_GAIN_MIN 0.18f
#endif
/* The analysis-synthesis chain passes speech at about 0.857; the mask makes
 * up most of that, staying below 1 / 0.909 (the chain's peak gain) so a
 * full-scale tone does not come out above full scale. */
#ifndef VX_MAKEUP
#define VX_MAKEUP 1.08f
#endif
/* Power added to every divisor: far below any audible spectrum. */
#ifndef VX_EPS
#define VX_EPS 1e-20f
#endif

void vx_estimator_init(VxEstimator* e) {
    memset(e, 0, sizeof *e);
    for (int k = 0; k < VX_BINS; ++k) {
        e->prev_gain[k] = 1.0f;
        e->prev_gamma[k] = 1.0f;
        e->gain[k] = 1.0f;
    }
}

float vx_lsa_factor(float v) {
    double x = v < 1e-7f ? 1e-7 : (double)v;
    double e1;
    if (x < 1.0) {
        /* Abramowitz & Stegun 5.1.53, |error| < 2e-7. */
        e1 = -log(x) - 0.57721566 +
             x * (0.99999193 +
                  x * (-0.24991055 + x * (0.05519968 + x * (-0.00976004 + x * 0.00107857))));
    } else {
        /* Abramowitz & Stegun 5.1.56, relative error < 5e-5. */
        double num = x * x + 2.334733 * x + 0.250621;
        double den = x * x + 3.330657 * x + 1.681534;
        e1 = exp(-x) / x * (num / den);
    }
    return (float)exp(0.5 * e1);
}

void vx_estimator_run(VxEstimator* e, const float* re, const float* im, float* mask) {
    float power[VX_BINS];
    for (int k = 0; k < VX_BINS; ++k) power[k] = re[k] * re[k] + im[k] * im[k];

    if (e->hops < VX_STARTUP_HOPS) {
        /* Start-up: no history yet, so the noise is taken as the mean power
         * seen so far and the mask stays at full level. A stream that starts
         * with speech overestimates the noise here; the tracker below falls
         * back to the true floor within the first pause. */
        float w = 1.0f / (float)(e->hops + 1);
        for (int k = 0; k < VX_BINS; ++k) {
            e->noise[k] += w * (power[k] - e->noise[k]);
            mask[k] = VX_MAKEUP;
        }
        e->hops++;
        return;
    }

    const float xi_ratio = VX_XI_H1 / (1.0f + VX_XI_H1);
    for (int k = 0; k < VX_BINS; ++k) {
        float noise = e->noise[k] + VX_EPS;
        float gamma = power[k] / noise;

        /* Speech-presence probability for a fixed a-priori SNR. */
        float arg = gamma * xi_ratio;
        float p = arg > 60.0f ? 1.0f : 1.0f / (1.0f + (1.0f + VX_XI_H1) * expf(-arg));
        e->spp_avg[k] = VX_SPP_SMOOTH * e->spp_avg[k] + (1.0f - VX_SPP_SMOOTH) * p;
        if (e->spp_avg[k] > VX_SPP_LOCK && p > VX_SPP_LOCK) p = VX_SPP_LOCK;

        /* Decision-directed a-priori SNR and log-spectral-amplitude gain. */
        float ml = gamma - 1.0f;
        if (ml < 0.0f) ml = 0.0f;
        float xi = VX_DD_WEIGHT * e->prev_gain[k] * e->prev_gain[k] * e->prev_gamma[k] +
                   (1.0f - VX_DD_WEIGHT) * ml;
        if (xi < VX_XI_MIN) xi = VX_XI_MIN;
        float v = xi * gamma / (1.0f + xi);
        float g = xi / (1.0f + xi) * vx_lsa_factor(v);
        if (g > 1.0f) g = 1.0f;

        /* Where speech is likely absent the gain tends to the floor. */
        float gmix = powf(g, p) * powf(VX_GAIN_MIN, 1.0f - p);
        e->gain[k] = gmix;
        e->prev_gain[k] = g;
        e->prev_gamma[k] = gamma;

        /* Noise update with the posterior noise power. */
        float post = (1.0f - p) * power[k] + p * e->noise[k];
        e->noise[k] = VX_NOISE_SMOOTH * e->noise[k] + (1.0f - VX_NOISE_SMOOTH) * post;
    }

    for (int k = 0; k < VX_BINS; ++k) mask[k] = VX_MAKEUP * e->gain[k];
}
