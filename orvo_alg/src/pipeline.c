/* The library's entry points: conversion, analysis, mask, noise tracker,
 * post-filter, synthesis. */
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include "filterbank.h"
#include "noise_tracker.h"
#include "orvo_alg.h"
#include "orvo_const.h"
#include "orvo_pcm.h"
#include "postfilter.h"
#include "vardix.h"

typedef struct NsInstance {
    void* mask;
    MinStatsState noise;
    MinStatsParams noise_params;
    OmlsaState post;
    OmlsaParams post_params;
    WolaAnalysis analysis;
    WolaSynthesis synthesis;
    float out_block[ORVO_BLOCK];
    float in_spectra[ORVO_HOPS * ORVO_SPEC];
    float in_block[ORVO_BLOCK];
    float out_spectra[ORVO_HOPS * ORVO_SPEC];
} NsInstance;

void* ns_alg_init(void) {
    NsInstance* st = (NsInstance*)calloc(1, sizeof(NsInstance));
    if (!st) return NULL;
    minstats_params_init(&st->noise_params);
    minstats_init(&st->noise, &st->noise_params);
    omlsa_params_init(&st->post_params);
    omlsa_init(&st->post, &st->post_params);
    if (wola_analysis_init(&st->analysis) != 0 || wola_synthesis_init(&st->synthesis) != 0) {
        free(st);
        return NULL;
    }
    st->mask = vardix_init(VARDIX_MODE_DEFAULT);
    if (!st->mask) {
        free(st);
        return NULL;
    }
    return st;
}

void ns_alg_process(void* handle, const int16_t* in, int16_t* out) {
    NsInstance* st = (NsInstance*)handle;
    if (!st || !in || !out) return;

    float in_f32[ORVO_BLOCK];
    float sp_re[ORVO_BINS] = {0}, sp_im[ORVO_BINS] = {0};
    float mask_re[ORVO_BINS] = {0}, mask_im[ORVO_BINS] = {0};
    float mask_abs[ORVO_BINS] = {0};
    float masked[ORVO_SPEC] = {0};

    for (int n = 0; n < ORVO_BLOCK; ++n) in_f32[n] = (float)in[n] * ORVO_IN_SCALE;
    memcpy(st->in_block, in_f32, sizeof in_f32);

    wola_analysis_run(&st->analysis, st->in_block, st->in_spectra);

    for (int h = 0; h < ORVO_HOPS; ++h) {
        const float* x = st->in_spectra + h * ORVO_SPEC;
        float* z = st->out_spectra + h * ORVO_SPEC;
        for (int k = 0; k < ORVO_BINS; ++k) {
            sp_re[k] = x[2 * k];
            sp_im[k] = x[2 * k + 1];
        }
        vardix_processf(st->mask, sp_re, sp_im, mask_re, mask_im);
        for (int k = 0; k < ORVO_BINS; ++k) {
            float m = sqrtf(mask_re[k] * mask_re[k] + mask_im[k] * mask_im[k]);
            /* One bad value from the estimator must not reach the histories. */
            mask_abs[k] = isfinite(m) ? m : 1.0f;
            masked[2 * k] = x[2 * k] * mask_abs[k];
            masked[2 * k + 1] = x[2 * k + 1] * mask_abs[k];
        }
        minstats_update(&st->noise, x, st->post.speech_flag);
        omlsa_process(&st->post, st->noise.P, st->noise.S, st->noise.lambda, masked, z);
    }

    wola_synthesis_run(&st->synthesis, st->out_spectra, st->out_block);

    for (int n = 0; n < ORVO_BLOCK; ++n) out[n] = orvo_to_pcm(st->out_block[n]);
}

void ns_alg_destroy(void* handle) {
    NsInstance* st = (NsInstance*)handle;
    if (!st) return;
    vardix_destroy(st->mask);
    free(st);
}
