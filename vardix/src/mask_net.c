/* Inference of the band-gain network, one spectrum at a time. The GRU
 * follows the usual gate order (reset, update, candidate) with separate
 * input and recurrent biases; weights are stored row-major, one row per
 * output unit. */
#include "mask_net.h"

#include <string.h>

#include "vec_math.h"

const int vx_band_points[VX_NB] = {0,  2,  4,  6,  8,  10, 12,  14,  16,  20,  24,  28, 32,
                                   40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256};

/* The activations through the call-free exponential, so that the loops
 * over the units vectorize; both are within a few 1e-8 of libm's (tanh as
 * 1 - 2 / (e^2x + 1), exact in its limits). */
static inline float sigmoid(float x) { return 1.0f / (1.0f + vm_expf(-x)); }
static inline float tanh_fast(float x) { return 1.0f - 2.0f / (vm_expf(2.0f * x) + 1.0f); }

/* y[r] = b[r] + sum_c w[r][c] x[c] for r < rows. Eight partial sums per
 * row let the compiler use vector instructions without reordering a single
 * float sum. */
static void affine(const float* w, const float* b, const float* x, int rows, int cols, float* y) {
    const int cols8 = cols & ~7;
    for (int r = 0; r < rows; ++r) {
        const float* row = w + r * cols;
        float acc[8] = {0};
        for (int c = 0; c < cols8; c += 8)
            for (int j = 0; j < 8; ++j) acc[j] += row[c + j] * x[c + j];
        float sum = b[r];
        for (int c = cols8; c < cols; ++c) sum += row[c] * x[c];
        for (int j = 0; j < 8; ++j) sum += acc[j];
        y[r] = sum;
    }
}

static void gru(const float* wi, const float* wh, const float* bi, const float* bh, const float* x,
                int in, float* h) {
    float gi[3 * VX_HIDDEN], gh[3 * VX_HIDDEN];
    affine(wi, bi, x, 3 * VX_HIDDEN, in, gi);
    affine(wh, bh, h, 3 * VX_HIDDEN, VX_HIDDEN, gh);
    for (int j = 0; j < VX_HIDDEN; ++j) {
        float r = sigmoid(gi[j] + gh[j]);
        float z = sigmoid(gi[VX_HIDDEN + j] + gh[VX_HIDDEN + j]);
        float c = tanh_fast(gi[2 * VX_HIDDEN + j] + r * gh[2 * VX_HIDDEN + j]);
        h[j] = (1.0f - z) * c + z * h[j];
    }
}

void vx_net_init(VxNet* n) { memset(n, 0, sizeof *n); }

void vx_net_run(VxNet* n, const float* feat, float* gains) {
    float x[VX_NFEAT], d[VX_DENSE];
    for (int i = 0; i < VX_NFEAT; ++i) x[i] = (feat[i] - vx_feat_mean[i]) * vx_feat_scale[i];
    affine(vx_in_w, vx_in_b, x, VX_DENSE, VX_NFEAT, d);
    for (int i = 0; i < VX_DENSE; ++i) d[i] = tanh_fast(d[i]);
    gru(vx_gru1_wi, vx_gru1_wh, vx_gru1_bi, vx_gru1_bh, d, VX_DENSE, n->h1);
    gru(vx_gru2_wi, vx_gru2_wh, vx_gru2_bi, vx_gru2_bh, n->h1, VX_HIDDEN, n->h2);
    affine(vx_out_w, vx_out_b, n->h2, VX_NB, VX_HIDDEN, gains);
    for (int b = 0; b < VX_NB; ++b) gains[b] = sigmoid(gains[b]);
}
