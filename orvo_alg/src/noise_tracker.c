/* Minimum-statistics noise tracker. */
#include "noise_tracker.h"

#include <math.h>
#include <string.h>

void minstats_params_init(MinStatsParams* p) {
    p->startup_hops = MS_STARTUP_HOPS;
    p->eps = MS_EPS;
    p->startup_lambda_smooth = MS_STARTUP_LAMBDA_SMOOTH;
    p->startup_s_smooth = MS_STARTUP_S_SMOOTH;
    p->alpha_c = MS_ALPHA_C;
    p->alpha_max = MS_ALPHA_MAX;
    p->alpha_min_cap = MS_ALPHA_MIN_CAP;
    p->beta_max = MS_BETA_MAX;
    p->alpha_min_exp = MS_ALPHA_MIN_EXP;
    p->D = MS_D;
    p->V = MS_V;
    p->U = MS_D / MS_V;
    p->u = 0;
    p->v = MS_V - 1;
    p->jump_smooth_nospeech = MS_JUMP_SMOOTH_NOSPEECH;
    p->jump_smooth_speech = MS_JUMP_SMOOTH_SPEECH;
    p->lambda_smooth = MS_LAMBDA_SMOOTH;
    p->jump_ratio = MS_JUMP_RATIO;
    p->tracked_bins = MS_TRACKED_BINS;
    p->silence_power = MS_SILENCE_POWER;
    p->jump_release_hops = MS_JUMP_RELEASE_HOPS;
}

void minstats_init(MinStatsState* s, MinStatsParams* p) {
    memset(s, 0, sizeof *s);
    s->p = p;
    for (int r = 0; r < MS_V; ++r)
        for (int k = 0; k < ORVO_BINS; ++k) s->sub_store[r][k] = MS_STORE_INIT;
    for (int r = 0; r < p->U; ++r)
        for (int k = 0; k < ORVO_BINS; ++k) s->win_store[r][k] = MS_STORE_INIT;
}

/* The first hops only average: S and lambda start at P and follow it
 * recursively. Returns 1 while the update ends there. */
static int startup(MinStatsState* s) {
    MinStatsParams* p = s->p;
    const float as = p->startup_s_smooth, al = p->startup_lambda_smooth;
    s->startup_count++;
    if (s->startup_count <= 2) {
        memcpy(s->S, s->P, sizeof s->S);
        memcpy(s->lambda, s->P, sizeof s->lambda);
    } else {
        for (int k = 0; k < ORVO_BINS; ++k) {
            s->S[k] = as * s->S[k] + (1.0f - as) * s->P[k];
            s->lambda[k] = al * s->lambda[k] + (1.0f - al) * s->P[k];
        }
    }
    if (s->startup_count < p->startup_hops) return 1;
    for (int k = 0; k < ORVO_BINS; ++k) {
        s->M1[k] = s->S[k];
        s->M2[k] = s->S[k] * s->S[k];
    }
    s->started = 1;
    return 0;
}

void minstats_update(MinStatsState* s, const float* x, int32_t speech_flag) {
    MinStatsParams* p = s->p;
    const float eps = p->eps;

    float total = 0.0f;
    for (int k = 0; k < ORVO_BINS; ++k) {
        s->P[k] = x[2 * k] * x[2 * k] + x[2 * k + 1] * x[2 * k + 1];
        total += s->P[k];
    }
    /* Silence says nothing about the noise: the estimate waits for the
     * noise to come back, and start-up waits for the first real audio. */
    if (total < p->silence_power * (float)ORVO_BINS) return;
    if (!s->started && startup(s)) return;

    /* Global terms from S before this hop's smoothing. */
    double sum_s = 0.0, sum_p = 0.0, sum_l = 0.0;
    for (int k = 0; k < ORVO_BINS; ++k) {
        sum_s += s->S[k];
        sum_p += s->P[k];
        sum_l += s->lambda[k];
    }
    float snr = (float)(sum_p / (sum_l + eps)) - 1.0f;
    if (!(snr > MS_SNR_FLOOR)) snr = MS_SNR_FLOOR;
    s->snr = snr;
    float alpha_min = powf(snr, p->alpha_min_exp);
    if (alpha_min > p->alpha_min_cap) alpha_min = p->alpha_min_cap;
    float c = (float)(sum_s / (sum_p + eps)) - 1.0f;
    float corr = 1.0f / (1.0f + c * c);
    if (corr < 0.7f) corr = 0.7f;
    p->alpha_c = 0.7f * p->alpha_c + 0.3f * corr;
    const float A = p->alpha_c * p->alpha_max;

    /* Adaptive smoothing, moments and normalised variance; branch-free, so
     * that the bins are processed four at a time, then summed in bin order. */
    const float alpha_max = p->alpha_max, beta_max = p->beta_max;
    for (int k = 0; k < ORVO_BINS; ++k) {
        const float r = s->S[k] / (s->lambda[k] + eps) - 1.0f;
        float a = A / (1.0f + r * r);
        a = a < alpha_min ? alpha_min : a;
        a = a > alpha_max ? alpha_max : a;
        const float sk = a * s->S[k] + (1.0f - a) * s->P[k];
        s->S[k] = sk;
        float b = a * a;
        b = b > beta_max ? beta_max : b;
        const float m1 = b * s->M1[k] + (1.0f - b) * sk;
        const float m2 = b * s->M2[k] + (1.0f - b) * sk * sk;
        s->M1[k] = m1;
        s->M2[k] = m2;
        const float q = fabsf(m2 - m1 * m1) / (2.0f * s->lambda[k] * s->lambda[k] + eps);
        s->Q[k] = q < 0.5f ? q : 0.5f;
    }
    float sum_q = 0.0f;
    for (int k = 0; k < ORVO_BINS; ++k) sum_q += s->Q[k];
    const float q_mean = sum_q / (float)ORVO_BINS;

    /* Minimum over the last V hops. */
    memcpy(s->sub_store[p->v], s->S, sizeof s->S);
    for (int k = 0; k < ORVO_BINS; ++k) s->act_min[k] = MS_MIN_START;
    for (int r = 0; r < p->V; ++r)
        for (int k = 0; k < ORVO_BINS; ++k)
            s->act_min[k] = s->sub_store[r][k] < s->act_min[k] ? s->sub_store[r][k] : s->act_min[k];
    p->v++;

    if (p->v == p->V) {
        /* A sub-window is complete: it enters the window store. */
        p->v = 0;
        memcpy(s->win_store[p->u], s->act_min, sizeof s->act_min);
        if (++p->u == p->U) p->u = 0;
        float slope = q_mean < 0.03f ? 8.0f : q_mean < 0.05f ? 4.0f : q_mean < 0.06f ? 2.0f : 1.2f;
        for (int k = 0; k < ORVO_BINS; ++k) s->win_min[k] = MS_MIN_START;
        for (int r = 0; r < p->U; ++r)
            for (int k = 0; k < ORVO_BINS; ++k)
                s->win_min[k] =
                    s->win_store[r][k] < s->win_min[k] ? s->win_store[r][k] : s->win_min[k];
        for (int k = 0; k < ORVO_BINS; ++k) {
            const float m = s->win_min[k];
            /* A minimum rising slowly enough is taken at once. */
            if (m < s->act_min[k] && s->act_min[k] < slope * m) {
                s->win_min[k] = s->act_min[k];
                for (int r = 0; r < p->U; ++r) s->win_store[r][k] = s->act_min[k];
            }
        }
        return;
    }

    const float kappa = speech_flag ? p->jump_smooth_speech : p->jump_smooth_nospeech;
    const float ls = p->lambda_smooth;
    const float jump = p->jump_ratio;
    const int tracked = p->tracked_bins;
    const int32_t release = p->jump_release_hops;
    s->lambda[0] = s->P[0];
    for (int k = 1; k < tracked; ++k) {
        const float m = s->act_min[k] < s->win_min[k] ? s->act_min[k] : s->win_min[k];
        const float l = s->lambda[k];
        const int32_t held = s->jump_hops[k];
        /* A jump that outlasts the release is a new floor, speech or not. */
        const int jumped = !(m <= jump * l);
        s->jump_hops[k] = jumped ? (held < release ? held + 1 : release) : 0;
        const float kk = held >= release ? p->jump_smooth_nospeech : kappa;
        const float slow = ls * l + (1.0f - ls) * m, fast = kk * l + (1.0f - kk) * m;
        s->lambda[k] = jumped ? fast : slow;
    }
    for (int k = p->tracked_bins; k < ORVO_BINS; ++k) s->lambda[k] = s->P[k];
}
