/* OMLSA post-filter with speech-presence probability and a late
 * reverberation estimate. Per hop it turns the masked spectrum into the
 * output spectrum and leaves the speech flag for the noise tracker. */
#ifndef ORVO_POSTFILTER_H
#define ORVO_POSTFILTER_H

#include <stdint.h>

#include "orvo_const.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct OmlsaParams {
    float grid_step[4];       /* 0..3: gain table grid steps */
    float gain_floor;         /* 4 */
    float alpha;              /* 5: weight of the previous hop in xi */
    float beta;               /* 6: smoothing of zeta */
    float zeta_low;           /* 7 */
    float zeta_high;          /* 8: upper clamp and normaliser */
    float zeta_frame_prev;    /* 9: rewritten every hop */
    float zeta_peak_high;     /* 10 */
    float zeta_frame_low;     /* 11 */
    float zeta_peak;          /* 12: rewritten when zeta_frame rises */
    float zeta_max_ratio;     /* 13 */
    float zeta_min_ratio;     /* 14 */
    float q_max;              /* 15 */
    float band_high_gain;     /* 16 */
    float band_low_fraction;  /* 17 */
    float band_high_fraction; /* 18 */
    int32_t low_band_first;   /* 19 */
    int32_t low_band_end;     /* 20 */
    float override_keep;      /* 21: rewritten every hop */
    float override_threshold; /* 22 */
    float rev_smooth;         /* 23 */
    float rev_spectra_smooth; /* 24 */
    int32_t rev_first_delay;  /* 25 */
    int32_t rev_enabled;      /* 26 */
    float rev_t60;            /* 27 */
    float smoothed_weight;    /* 28 */
    float g_min;              /* 29 */
} OmlsaParams;

typedef struct OmlsaBands {
    float low_mean[PF_BANDS];
    float high_mean[PF_BANDS];
    float high_count[PF_BANDS];
    float gain[PF_BANDS];
} OmlsaBands;

typedef struct OmlsaState {
    OmlsaParams* p;
    int32_t speech_flag;
    float ratio_smoothed;
    float gamma[ORVO_BINS];
    float xi[ORVO_BINS];
    float G_H1[ORVO_BINS];
    float gamma_prev[ORVO_BINS];
    float zeta[ORVO_BINS];
    float P_local[ORVO_BINS];
    float G_s[ORVO_BINS];
    float G_b[ORVO_BINS];
    OmlsaBands bands;
    float lambda_rev[ORVO_BINS];
    /* Masked spectra of past hops, split into real and imaginary parts: the
     * one of hop t sits in row t % PF_RING; ring_pos is the row the next
     * hop writes. */
    int32_t ring_pos;
    float ring_re[PF_RING][ORVO_BINS];
    float ring_im[PF_RING][ORVO_BINS];
    /* Smoothed cross spectra and powers against the spectrum of d hops
     * before, in row d (rows from rev_first_delay on are used). */
    float cross_re[PF_HISTORY_SLOTS][ORVO_BINS];
    float cross_im[PF_HISTORY_SLOTS][ORVO_BINS];
    float past_power[PF_HISTORY_SLOTS][ORVO_BINS];
    float phi_cur[ORVO_BINS];
    float R[ORVO_BINS];
} OmlsaState;

void omlsa_params_init(OmlsaParams* p);
void omlsa_init(OmlsaState* s, OmlsaParams* p);
/* P, S, lambda: power, smoothed power and noise of the unmasked spectrum;
 * Y: masked spectrum; Z: output spectrum (interleaved, may not alias Y). */
void omlsa_process(OmlsaState* s, const float* P, const float* S, const float* lambda,
                   const float* Y, float* Z);

/* exp(E1(v) / 2) from the four-grid table, v clamped to its range. */
float omlsa_expint_gain(const OmlsaParams* p, float v);
/* The same for ORVO_BINS values at once, as the gains use it. */
void omlsa_expint_gains(const OmlsaParams* p, const float* v, float* out);

#ifdef __cplusplus
}
#endif

#endif
