/* The estimator's tracker seen from outside, for the check that the training
 * script computes the network's inputs as the estimator does. */
#include <stddef.h>

#include "estimator.h"

size_t probe_size(void) { return sizeof(VxEstimator); }
void probe_init(VxEstimator* e) { vx_estimator_init(e); }
void probe_run(VxEstimator* e, const float* re, const float* im, float* mask) {
    vx_estimator_run(e, re, im, mask);
}
const float* probe_noise(const VxEstimator* e) { return e->noise; }
const float* probe_log_gain(const VxEstimator* e) { return e->gain; }
const float* probe_out_gain(const VxEstimator* e) { return e->out_gain; }
const float* probe_features(const VxEstimator* e) { return e->feat; }
