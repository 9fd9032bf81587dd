/* Exponential and logarithms in single precision without calls and
 * branches, so that GCC vectorizes the per-bin loops that use them (four
 * bins per SSE2 register, no special target needed). Range reduction and
 * polynomials follow the classic Cephes single-precision routines: within
 * about one unit in the last place of the libm results, and, being plain
 * arithmetic, the same on every x86-64 machine and C library, which the
 * libm functions are not. */
#ifndef ORVO_VEC_MATH_H
#define ORVO_VEC_MATH_H

#include <stdint.h>
#include <string.h>

/* ln 2 in two parts: n * VM_LN2_HI is exact for the n that occur. */
#define VM_LN2_HI 0.693359375f
#define VM_LN2_LO (-2.12194440e-4f)

/* e^x for x <= 88; below -87.3, where the result would be subnormal, 0. */
static inline float vm_expf(float x) {
    const int tiny = x < -87.3f;
    x = x < -87.3f ? -87.3f : x;
    x = x > 88.0f ? 88.0f : x;
    /* x = n ln 2 + r with n rounded to the nearest integer, |r| <= ln 2 / 2;
     * adding 1.5 * 2^23 rounds and leaves n in the low mantissa bits. */
    const float shift = 12582912.0f;
    const float kf = x * 1.44269504f + shift;
    int32_t ki;
    memcpy(&ki, &kf, sizeof ki);
    const float n = kf - shift;
    float r = x - n * VM_LN2_HI;
    r = r - n * VM_LN2_LO;
    float p = 1.9875691500e-4f;
    p = p * r + 1.3981999507e-3f;
    p = p * r + 8.3334519073e-3f;
    p = p * r + 4.1665795894e-2f;
    p = p * r + 1.6666665459e-1f;
    p = p * r + 5.0000001201e-1f;
    const float y = p * (r * r) + r + 1.0f;
    /* 2^n from the low bits of ki, which hold n (-126..127). */
    const int32_t sb = (int32_t)((uint32_t)(ki + 127) << 23);
    float scale;
    memcpy(&scale, &sb, sizeof scale);
    return tiny ? 0.0f : y * scale;
}

/* ln x for positive, finite, normal x. */
static inline float vm_logf(float x) {
    int32_t b;
    memcpy(&b, &x, sizeof b);
    /* x = 2^e m with m in [sqrt(1/2), sqrt(2)). */
    float e = (float)((b >> 23) - 127);
    const int32_t mb = (b & 0x007fffff) | 0x3f800000;
    float m;
    memcpy(&m, &mb, sizeof m);
    const int big = m > 1.41421356f;
    m = big ? 0.5f * m : m;
    e = big ? e + 1.0f : e;
    const float f = m - 1.0f, f2 = f * f;
    float p = 7.0376836292e-2f;
    p = p * f - 1.1514610310e-1f;
    p = p * f + 1.1676998740e-1f;
    p = p * f - 1.2420140846e-1f;
    p = p * f + 1.4249322787e-1f;
    p = p * f - 1.6668057665e-1f;
    p = p * f + 2.0000714765e-1f;
    p = p * f - 2.4999993993e-1f;
    p = p * f + 3.3333331174e-1f;
    float y = f * f2 * p;
    y = y + e * VM_LN2_LO;
    y = y - 0.5f * f2;
    return (f + y) + e * VM_LN2_HI;
}

/* log10 x for positive, finite, normal x. */
static inline float vm_log10f(float x) { return vm_logf(x) * 0.434294481903f; }

#endif
