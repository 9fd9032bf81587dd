/* WOLA analysis and synthesis with the fixed prototype window. */
#include "filterbank.h"

#include <string.h>

#include "orvo_tables.h"

/* The plan lives inside the state: created once, never freed, and the
 * transforms themselves allocate nothing. */
static kiss_fftr_cfg make_plan(int inverse, unsigned char* mem) {
    size_t len = 0;
    kiss_fftr_alloc(ORVO_FFT, inverse, NULL, &len);
    if (len == 0 || len > ORVO_PLAN_BYTES) return NULL;
    len = ORVO_PLAN_BYTES;
    return kiss_fftr_alloc(ORVO_FFT, inverse, mem, &len);
}

int wola_analysis_init(WolaAnalysis* a) {
    a->channels = ORVO_CHANNELS;
    a->history_len = ORVO_IN_HIST;
    memset(a->history, 0, sizeof a->history);
    a->plan = make_plan(0, a->plan_mem);
    return a->plan ? 0 : -1;
}

int wola_synthesis_init(WolaSynthesis* s) {
    s->channels = ORVO_CHANNELS;
    s->history_len = ORVO_OUT_HIST;
    s->overlap = ORVO_OVERLAP;
    memset(s->history, 0, sizeof s->history);
    s->plan = make_plan(1, s->plan_mem);
    return s->plan ? 0 : -1;
}

void wola_analysis_run(WolaAnalysis* a, const float* in, float* spectra) {
    const float* w = analysis_window;
    for (int ch = 0; ch < a->channels; ++ch) {
        float* h = a->history + ch * ORVO_IN_HIST;
        /* Keep the last 1023 samples and append the block behind them; the
         * top slot (1535) keeps its zero. */
        memmove(h, h + ORVO_BLOCK, (ORVO_IN_HIST - ORVO_BLOCK) * sizeof(float));
        memcpy(h + ORVO_WIN - 1, in + ch * ORVO_BLOCK, ORVO_BLOCK * sizeof(float));
        for (int j = 0; j < ORVO_HOPS; ++j) {
            const float* seg = h + ORVO_HOP * j;
            /* Fold the 1024-sample segment, read backwards, into 512 points. */
            for (int k = 0; k < ORVO_FFT; ++k) {
                a->work[k] = seg[ORVO_WIN - 1 - k] * w[k] + seg[ORVO_FFT - 1 - k] * w[ORVO_FFT + k];
            }
            kiss_fftr(a->plan, a->work, a->fft_out);
            float* sp = spectra + (j * a->channels + ch) * ORVO_SPEC;
            for (int k = 0; k < ORVO_BINS; ++k) {
                sp[2 * k] = a->fft_out[k].r;
                sp[2 * k + 1] = a->fft_out[k].i;
            }
            sp[1] = 0.0f;
        }
    }
}

void wola_synthesis_run(WolaSynthesis* s, const float* spectra, float* out) {
    const float* w = analysis_window;
    for (int ch = 0; ch < s->channels; ++ch) {
        float* y = s->history + ch * ORVO_OUT_HIST;
        for (int j = 0; j < ORVO_HOPS; ++j) {
            const float* sp = spectra + (j * s->channels + ch) * ORVO_SPEC;
            for (int m = 0; m < ORVO_BINS; ++m) {
                s->work[m].r = sp[2 * m];
                s->work[m].i = sp[2 * m + 1];
            }
            /* Bins 257..511 are the conjugates of 255..1; the real transform
             * assumes them (and ignores the imaginary parts of DC and
             * Nyquist, which reach only the imaginary output). */
            kiss_fftri(s->plan, s->work, s->fft_out);
            /* The 512-point result, repeated twice, windowed by the prototype. */
            for (int l = 0; l < ORVO_FFT; ++l) {
                s->frame[l] = s->fft_out[l] * w[l];
                s->frame[ORVO_FFT + l] = s->fft_out[l] * w[ORVO_FFT + l];
            }
            /* Push the history up one hop and add the fresh frame at the bottom. */
            memmove(y + ORVO_HOP, y, ORVO_OVERLAP * sizeof(float));
            for (int p = ORVO_HOP; p < ORVO_OUT_HIST; ++p) y[p] = s->frame[p] + y[p];
            for (int m = 0; m < ORVO_HOP; ++m) y[m] = s->frame[m];
            /* The top quarter is complete and leaves in reverse order. */
            float* o = out + ch * ORVO_BLOCK + ORVO_HOP * j;
            for (int n = 0; n < ORVO_HOP; ++n) o[n] = ORVO_SYNTH_SCALE * y[ORVO_OUT_HIST - 1 - n];
        }
    }
}
