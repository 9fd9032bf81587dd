/* Estimator handle and dispatch: vardix_init picks an estimator by mode and
 * every later call goes to that estimator's state behind the handle. */
#include "vardix.h"

#include <stdlib.h>

#include "estimator.h"

typedef struct VardixInstance {
    int mode;
    VxEstimator est; /* mode 1 only */
} VardixInstance;

void* vardix_init(int mode) {
    if (mode != VARDIX_MODE_UNITY && mode != VARDIX_MODE_DEFAULT) return NULL;
    VardixInstance* v = (VardixInstance*)calloc(1, sizeof(VardixInstance));
    if (!v) return NULL;
    v->mode = mode;
    if (mode == VARDIX_MODE_DEFAULT) vx_estimator_init(&v->est);
    return v;
}

int vardix_processf(void* handle, const float* re, const float* im, float* mask_re,
                    float* mask_im) {
    if (!handle || !re || !im || !mask_re || !mask_im) return -1;
    VardixInstance* v = (VardixInstance*)handle;
    if (v->mode == VARDIX_MODE_DEFAULT) {
        /* A real mask: magnitude from the estimator, phase 0. */
        vx_estimator_run(&v->est, re, im, mask_re);
        for (int k = 0; k < VARDIX_BINS; ++k) mask_im[k] = 0.0f;
        return 0;
    }
    /* Unity mask: magnitude 1, phase 0, in every bin. */
    for (int k = 0; k < VARDIX_BINS; ++k) {
        mask_re[k] = 1.0f;
        mask_im[k] = 0.0f;
    }
    return 0;
}

void vardix_destroy(void* handle) { free(handle); }
