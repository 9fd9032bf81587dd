/* Speech-spectrum estimator behind vardix mode 1. */
#ifndef VARDIX_ESTIMATOR_H
#define VARDIX_ESTIMATOR_H

#include "harmonic.h"
#include "mask_net.h"
#include "pf_model.h"

#define VX_BINS 257

typedef struct VxEstimator {
    int hops;               /* spectra seen so far (saturates) */
    int muted_start;        /* 1: the stream opened with silence */
    float noise[VX_BINS];   /* noise power estimate per bin */
    float spp_avg[VX_BINS]; /* smoothed speech-presence probability */
    float prev_gain[VX_BINS];
    float prev_gamma[VX_BINS];
    float gain[VX_BINS];     /* log of the statistical gain of this spectrum */
    float band_gain[VX_NB];  /* the network's gains for the last spectrum that
                                was not digital silence */
    float out_gain[VX_BINS]; /* gain meant to reach the output (mask times
                                the post-filter's gain) */
    float pf_gain[VX_BINS];  /* the post-filter's gain divided out of the
                                last mask */
    int pf_exact;            /* 1: that is the gain the post-filter applies;
                                0: the largest it may apply (see compensate) */
    float feat[VX_NFEAT];    /* the network's inputs of that spectrum */
    VxNet net;               /* band-gain network state */
    VxHarmonic harm;         /* pitch search and harmonic combs */
    VxPfModel pf;            /* model of orvo_alg's post-filter */
} VxEstimator;

void vx_estimator_init(VxEstimator* e);
/* One spectrum in (257 bins, re/im), the real-valued mask out. */
void vx_estimator_run(VxEstimator* e, const float* re, const float* im, float* mask);

/* exp(E1(v) / 2), E1 the exponential integral, for v > 0 (the log-spectral
 * amplitude factor). */
float vx_lsa_factor(float v);

#endif
