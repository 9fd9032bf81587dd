/* Conversion of the synthesis output back to 16-bit samples. */
#ifndef ORVO_PCM_H
#define ORVO_PCM_H

#include <stdint.h>

#include "orvo_const.h"

/* Scales to 16 bits and truncates toward zero. Values at or beyond full
 * scale saturate (+1.0 gives 32767) rather than wrap around; NaN gives 0. */
static inline int16_t orvo_to_pcm(float v) {
    const float s = v * ORVO_OUT_SCALE;
    if (!(s == s)) return 0;
    if (s >= 32767.0f) return 32767;
    if (s <= -32768.0f) return -32768;
    return (int16_t)(int32_t)s;
}

#endif
