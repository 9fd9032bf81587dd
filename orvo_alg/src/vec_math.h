/* Exponential and logarithms of single-precision values, evaluated in
 * double precision and rounded once. Written without calls and branches so
 * that GCC vectorizes the per-bin loops that use them (two doubles per SSE2
 * register, no special target needed). The results are the correctly
 * rounded ones for all but a vanishing share of inputs (the double-precision
 * error is below 1e-13), and, being plain arithmetic, the same on every
 * x86-64 machine and C library, which the libm functions are not. */
#ifndef ORVO_VEC_MATH_H
#define ORVO_VEC_MATH_H

#include <stdint.h>
#include <string.h>

#define VM_LN2 0x1.62e42fefa39efp-1

/* e^x; below -150 the result is 0 and above 90 infinity in single
 * precision, so x is clamped there. */
static inline double vm_exp_d(double x) {
    x = x < -150.0 ? -150.0 : x;
    x = x > 90.0 ? 90.0 : x;
    /* x = n ln 2 + r with n rounded to the nearest integer, |r| <= ln 2 / 2. */
    const double shift = 0x1.8p52;
    const double kd = x * 1.4426950408889634 + shift;
    int64_t ki;
    memcpy(&ki, &kd, sizeof ki);
    const double n = kd - shift;
    const double r = x - n * VM_LN2;
    /* Taylor series to r^11 / 11!: relative error below 3e-13. */
    double p = 1.0 / 39916800.0;
    p = p * r + 1.0 / 3628800.0;
    p = p * r + 1.0 / 362880.0;
    p = p * r + 1.0 / 40320.0;
    p = p * r + 1.0 / 5040.0;
    p = p * r + 1.0 / 720.0;
    p = p * r + 1.0 / 120.0;
    p = p * r + 1.0 / 24.0;
    p = p * r + 1.0 / 6.0;
    p = p * r + 0.5;
    p = p * r + 1.0;
    p = p * r + 1.0;
    /* 2^n from the low bits of ki, which hold n. */
    const uint64_t sb = (uint64_t)(ki + 1023) << 52;
    double scale;
    memcpy(&scale, &sb, sizeof scale);
    return p * scale;
}

/* ln x for positive, finite, normal x. */
static inline double vm_log_d(double x) {
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    /* x = 2^e m with m in [sqrt(1/2), sqrt(2)). The exponent field goes
     * into the mantissa of 2^52 to become a double without an integer
     * conversion, which SSE2 lacks for 64-bit lanes. */
    const uint64_t eb = (b >> 52) | 0x4330000000000000ULL;
    double e;
    memcpy(&e, &eb, sizeof e);
    e -= 0x1p52 + 1023.0;
    const uint64_t mb = (b & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL;
    double m;
    memcpy(&m, &mb, sizeof m);
    const int big = m > 1.4142135623730951;
    m = big ? 0.5 * m : m;
    e = big ? e + 1.0 : e;
    /* ln m = 2 atanh(s), s = (m - 1) / (m + 1), |s| < 0.172: series to s^15. */
    const double s = (m - 1.0) / (m + 1.0), s2 = s * s;
    double p = 1.0 / 15.0;
    p = p * s2 + 1.0 / 13.0;
    p = p * s2 + 1.0 / 11.0;
    p = p * s2 + 1.0 / 9.0;
    p = p * s2 + 1.0 / 7.0;
    p = p * s2 + 1.0 / 5.0;
    p = p * s2 + 1.0 / 3.0;
    p = p * s2 + 1.0;
    return e * VM_LN2 + 2.0 * s * p;
}

static inline float vm_expf(float x) { return (float)vm_exp_d((double)x); }
/* x positive, finite. */
static inline float vm_logf(float x) { return (float)vm_log_d((double)x); }
static inline float vm_log10f(float x) {
    return (float)(vm_log_d((double)x) * 0.43429448190325176);
}

#endif
