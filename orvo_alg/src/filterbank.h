/* Weighted-overlap-add filter bank: 1024-tap prototype, 512-point FFT, hop
 * 256, 257 retained bins. The frames are real and the spectra Hermitian, so
 * kissfft's real transforms compute the 512-point DFT and its inverse
 * (unnormalised) at half the cost of the complex ones. Analysis turns each 512-sample block into
 * two spectra; synthesis turns two spectra back into 512 samples. Analysis then synthesis with
 * unchanged spectra delays by 1023 samples. */
#ifndef ORVO_FILTERBANK_H
#define ORVO_FILTERBANK_H

#include <stdalign.h>
#include <stdint.h>

#include "kiss_fft.h"
#include "kiss_fftr.h"
#include "orvo_const.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct WolaAnalysis {
    int32_t channels;
    int32_t history_len;
    kiss_fftr_cfg plan;   /* forward plan, lives in plan_mem */
    float work[ORVO_FFT]; /* folded frame */
    kiss_fft_cpx fft_out[ORVO_BINS];
    /* Per channel: positions 0..1534 hold the last 1535 input samples,
     * newest at 1534; position 1535 is never written. */
    float history[ORVO_CHANNELS * ORVO_IN_HIST];
    alignas(16) unsigned char plan_mem[ORVO_PLAN_BYTES];
} WolaAnalysis;

typedef struct WolaSynthesis {
    int32_t channels;
    int32_t history_len;
    int32_t overlap;
    kiss_fftr_cfg plan; /* inverse plan, lives in plan_mem */
    kiss_fft_cpx work[ORVO_BINS];
    float fft_out[ORVO_FFT];
    float frame[ORVO_WIN]; /* windowed frame of the current hop */
    /* Per channel, stored backwards in time: the top quarter leaves next. */
    float history[ORVO_CHANNELS * ORVO_OUT_HIST];
    alignas(16) unsigned char plan_mem[ORVO_PLAN_BYTES];
} WolaSynthesis;

/* Both expect zero-filled state; they return 0, or -1 when the FFT plan does
 * not fit (the state is then unusable). */
int wola_analysis_init(WolaAnalysis* a);
int wola_synthesis_init(WolaSynthesis* s);

/* in: ORVO_BLOCK samples per channel; spectra: ORVO_HOPS * channels spectra
 * of ORVO_SPEC floats, hop j of channel i at (j * channels + i) * ORVO_SPEC. */
void wola_analysis_run(WolaAnalysis* a, const float* in, float* spectra);
/* spectra as above; out: ORVO_BLOCK samples per channel. */
void wola_synthesis_run(WolaSynthesis* s, const float* spectra, float* out);

#ifdef __cplusplus
}
#endif

#endif
