/* Harmonicity of a spectrum: the pitch lag at which its autocorrelation
 * peaks, and how much of each band's energy lies on that lag's harmonic
 * comb. Voiced speech puts its energy on the comb of its pitch; steady noise
 * and most clatter spread theirs over it evenly. */
#ifndef VARDIX_HARMONIC_H
#define VARDIX_HARMONIC_H

#define VX_HARM_BINS 257
/* Lags searched, in samples at 32 kHz: 500 Hz down to 125 Hz. The folded
 * analysis frame is 512 samples long, so its circular autocorrelation holds
 * no lag above half of it; lower voices show at twice their pitch. */
#define VX_HARM_LAG_MIN 64
#define VX_HARM_LAG_MAX 256
#define VX_HARM_LAGS (VX_HARM_LAG_MAX - VX_HARM_LAG_MIN + 1)
/* Bins the pitch search reads: from 94 Hz (below lie rumble and mains hum)
 * up to 4 kHz, where voiced speech keeps its harmonics apart; above, noise
 * would outweigh them. */
#define VX_HARM_SEARCH_FIRST 2
#define VX_HARM_SEARCH_BINS 128

typedef struct VxHarmonic {
    /* cos(pi k L / 256) for every lag L searched and bin k: the comb of
     * lag L, and the kernel of the autocorrelation at L. */
    float comb[VX_HARM_LAGS][VX_HARM_BINS];
} VxHarmonic;

void vx_harmonic_init(VxHarmonic* h);
/* power: the spectrum's power per bin. The search runs on the magnitudes,
 * so that weak harmonics count and a noise whose energy sits low (which
 * correlates at every short lag) does not take over. Returns the lag (an
 * index into comb) of the largest autocorrelation, and in *voicing that
 * autocorrelation against the one at lag 0 (1: a perfect periodicity). */
int vx_harmonic_lag(const VxHarmonic* h, const float* power, float* voicing);

#endif
