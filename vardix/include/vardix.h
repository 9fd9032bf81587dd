/*
 * vardix: spectral-mask estimator used by orvo_alg.
 *
 * It is fed one 257-bin spectrum (bin 0 = DC .. bin 256 = Nyquist, 62.5 Hz
 * apart at 32 kHz, 125 spectra per second, consecutive hops of one stream)
 * per call and returns a complex mask of 257 bins; orvo_alg uses only the
 * mask's magnitude per bin.
 *
 * Ownership
 *   vardix_init     returns an estimator owned by the caller, released by
 *                   vardix_destroy exactly once; NULL when it cannot be made
 *                   or `mode` is unknown.
 *                   mode 0: unity mask (magnitude 1 in every bin).
 *                   mode 1: the default estimator.
 *   vardix_processf borrows the four arrays for the call: it reads 257 floats
 *                   from each of `re` and `im` and writes all 257 entries of
 *                   `mask_re` and `mask_im`. Returns 0, or -1 for a NULL
 *                   argument (nothing is written then).
 *   vardix_destroy  releases the estimator; NULL is ignored.
 *
 * Threads
 *   All state lives behind the handle: separate estimators may run on
 *   separate threads at once; one estimator is used by one thread at a time.
 *   vardix_processf allocates nothing and takes no lock.
 */
#ifndef VARDIX_H
#define VARDIX_H

#if defined(_WIN32)
#if defined(VARDIX_BUILD)
#define VARDIX_API __declspec(dllexport)
#else
#define VARDIX_API __declspec(dllimport)
#endif
#else
#define VARDIX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define VARDIX_BINS 257

#define VARDIX_MODE_UNITY 0
#define VARDIX_MODE_DEFAULT 1

VARDIX_API void* vardix_init(int mode);
VARDIX_API int vardix_processf(void* handle, const float* re, const float* im, float* mask_re,
                               float* mask_im);
VARDIX_API void vardix_destroy(void* handle);

#ifdef __cplusplus
}
#endif

#endif /* VARDIX_H */
