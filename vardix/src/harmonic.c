/* Harmonicity from the power spectrum alone. The autocorrelation of the
 * analysis frame at lag L is the power spectrum's cosine transform,
 * r(L) = sum_k P_k cos(pi k L / 256) (here over the bins the search reads,
 * and on the magnitudes rather than the power: the autocorrelation of a
 * compressed spectrum, which weights the harmonics more evenly); its peak
 * over the pitch lags gives the period. The same
 * cosine, restricted to one band, tells how much of that band's energy sits
 * on the harmonics of the period (+1) or between them (-1). */
#include "harmonic.h"

#include <math.h>

void vx_harmonic_init(VxHarmonic* h) {
    for (int l = 0; l < VX_HARM_LAGS; ++l)
        for (int k = 0; k < VX_HARM_BINS; ++k) {
            /* The phase modulo a full turn, so the table is exact at every lag. */
            const int m = (k * (l + VX_HARM_LAG_MIN)) % 512;
            h->comb[l][k] = (float)cos(M_PI * m / 256.0);
        }
}

int vx_harmonic_lag(const VxHarmonic* h, const float* power, float* voicing) {
    float p[VX_HARM_SEARCH_BINS];
    float r0 = 0.0f;
    for (int k = 0; k < VX_HARM_SEARCH_BINS; ++k) {
        p[k] = k < VX_HARM_SEARCH_FIRST ? 0.0f : sqrtf(power[k]);
        r0 += p[k];
    }
    int best = 0;
    float best_r = -INFINITY;
    for (int l = 0; l < VX_HARM_LAGS; ++l) {
        /* Eight partial sums, as in the network's layers, so the loop
         * vectorizes without reordering a single float sum. */
        const float* c = h->comb[l];
        float acc[8] = {0};
        for (int k = 0; k < VX_HARM_SEARCH_BINS; k += 8)
            for (int j = 0; j < 8; ++j) acc[j] += c[k + j] * p[k + j];
        float r = 0.0f;
        for (int j = 0; j < 8; ++j) r += acc[j];
        if (r > best_r) {
            best_r = r;
            best = l;
        }
    }
    *voicing = best_r / (r0 + 1e-20f);
    return best;
}
