/*
 * orvo_alg: real-time background-noise removal for one mono stream.
 *
 * Stream format: signed 16-bit native-endian samples, mono, 32 000 Hz, in
 * blocks of exactly 512 samples (16 ms). Output lags input by 1023 samples.
 *
 * Ownership
 *   ns_alg_init     returns an instance owned by the caller; release it with
 *                   ns_alg_destroy exactly once. Returns NULL when the instance
 *                   or its mask estimator cannot be created.
 *   ns_alg_process  borrows both buffers for the duration of the call; `in`
 *                   must hold 512 readable samples and `out` 512 writable
 *                   ones. They may be the same buffer: all input is read
 *                   before any output is written.
 *   ns_alg_destroy  releases the instance; NULL is ignored.
 *
 * Threads
 *   An instance is used by one thread at a time and takes no locks; separate
 *   instances may run on separate threads at once. ns_alg_process allocates
 *   nothing and never blocks, so it is safe on a real-time audio thread.
 *   ns_alg_init and ns_alg_destroy allocate and free: call them off the audio
 *   path (e.g. when a loop is built or torn down).
 *
 * Consecutive calls on one instance must carry consecutive blocks of one
 * stream; to start a new stream, destroy the instance and create another.
 */
#ifndef ORVO_ALG_H
#define ORVO_ALG_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(ORVO_ALG_BUILD)
#define ORVO_ALG_API __declspec(dllexport)
#else
#define ORVO_ALG_API __declspec(dllimport)
#endif
#else
#define ORVO_ALG_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Number of samples in every block passed to ns_alg_process. */
#define NS_ALG_BLOCK_SAMPLES 512
/* Sample rate of the stream, in Hz. */
#define NS_ALG_SAMPLE_RATE 32000
/* Samples by which the output lags the input. */
#define NS_ALG_DELAY_SAMPLES 1023

ORVO_ALG_API void* ns_alg_init(void);
ORVO_ALG_API void ns_alg_process(void* handle, const int16_t* in, int16_t* out);
ORVO_ALG_API void ns_alg_destroy(void* handle);

#ifdef __cplusplus
}
#endif

#endif /* ORVO_ALG_H */
