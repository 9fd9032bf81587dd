/* Minimum-statistics noise tracker: the power spectrum of each hop is
 * smoothed with an adaptive time constant, its minimum is tracked over a
 * sliding window of 6 sub-windows of 10 hops, and the noise estimate is
 * pulled towards that minimum (slowly after an upward jump during speech). */
#ifndef ORVO_NOISE_TRACKER_H
#define ORVO_NOISE_TRACKER_H

#include <stdint.h>

#include "orvo_const.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MinStatsParams {
    int32_t startup_hops;
    float eps;
    float startup_lambda_smooth;
    float startup_s_smooth;
    float alpha_c; /* changes while running */
    float alpha_max;
    float alpha_min_cap;
    float beta_max;
    float alpha_min_exp;
    int32_t D;
    int32_t V;
    int32_t U;
    int32_t u; /* next window row; changes while running */
    int32_t v; /* next sub-window row; changes while running */
    float jump_smooth_nospeech;
    float jump_smooth_speech;
    float lambda_smooth;
    float jump_ratio;
    int32_t tracked_bins;
    float silence_power;       /* mean power per bin of a silent hop */
    int32_t jump_release_hops; /* hops after which a jump is a new floor */
} MinStatsParams;

typedef struct MinStatsState {
    MinStatsParams* p;
    int32_t startup_count;
    int32_t started;
    float snr;
    float P[ORVO_BINS];      /* power of this hop */
    float lambda[ORVO_BINS]; /* noise estimate */
    float S[ORVO_BINS];      /* smoothed power */
    float M1[ORVO_BINS];
    float M2[ORVO_BINS];
    float Q[ORVO_BINS];
    float sub_store[MS_V][ORVO_BINS];
    float win_store[MS_WINDOW_ROWS][ORVO_BINS];
    float act_min[ORVO_BINS];
    float win_min[ORVO_BINS];
    int32_t jump_hops[ORVO_BINS]; /* tracking hops the minimum has stayed above
                                     the jump ratio, up to the release */
} MinStatsState;

void minstats_params_init(MinStatsParams* p);
void minstats_init(MinStatsState* s, MinStatsParams* p);
/* x: the hop's unmasked spectrum, ORVO_BINS interleaved (re, im) pairs.
 * P always holds this hop's power afterwards; a silent hop changes nothing
 * else. */
void minstats_update(MinStatsState* s, const float* x, int32_t speech_flag);

#ifdef __cplusplus
}
#endif

#endif
