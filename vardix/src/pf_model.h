/* A model of orvo_alg's post-filter gain, run inside the estimator.
 *
 * orvo_alg multiplies the estimator's mask with the gain of its own
 * minimum-statistics / OMLSA post-filter, which is computed from the
 * unmasked spectrum (and, for its reverberation estimate and speech flag,
 * from the masked one). That gain is deterministic, so the estimator runs
 * the same computation on the same spectra and divides it out of its mask:
 * the product that reaches the output is then the gain the estimator wants,
 * and the post-filter's own habits (its floor of -20 dB, its slow start after
 * silence, its band consolidation) no longer thin out speech onsets.
 *
 * Per spectrum: vx_pf_predict runs all that the mask does not change; the
 * rest depends on the mask through the post-filter's energy ratio of this
 * hop, which picks one of three regimes (vx_pf_gain gives the gain of each,
 * vx_pf_regime tells which one a mask leads to), so the estimator looks for
 * the mask whose regime is the one it was divided by. vx_pf_commit then
 * advances the model with the masked spectrum actually sent. */
#ifndef VARDIX_PF_MODEL_H
#define VARDIX_PF_MODEL_H

#define PFM_BINS 257
#define PFM_SPEC (2 * PFM_BINS)
#define PFM_V 10
#define PFM_U 6
#define PFM_SLOTS 15
#define PFM_BANDS 24
#define PFM_REV_FIRST 12                         /* first delay of the reverberation estimate */
#define PFM_REV_TAPS (PFM_SLOTS - PFM_REV_FIRST) /* delays 12, 13 and 14 */
#define PFM_RING 16                              /* past masked spectra kept, a power of 2 */

typedef struct VxPfModel {
    /* Minimum-statistics noise tracker. */
    int ms_count, ms_started, ms_u, ms_v;
    float ms_alpha_c;
    float P[PFM_BINS], S[PFM_BINS], lambda[PFM_BINS], M1[PFM_BINS], M2[PFM_BINS];
    float sub_store[PFM_V][PFM_BINS], win_store[PFM_U][PFM_BINS];
    float act_min[PFM_BINS], win_min[PFM_BINS];
    int jump_hops[PFM_BINS]; /* hops the minimum has stayed above the jump ratio */
    /* OMLSA post-filter. */
    int speech_flag;
    float ratio_smoothed, zeta_frame_prev, zeta_peak;
    float gamma[PFM_BINS], xi[PFM_BINS], G_H1[PFM_BINS], gamma_prev[PFM_BINS], zeta[PFM_BINS];
    float G_s[PFM_BINS], G_b[PFM_BINS];
    float lambda_rev[PFM_BINS], phi_cur[PFM_BINS];
    /* Masked spectra of the last hops, split into real and imaginary parts:
     * the one of hop t sits in row t % PFM_RING; ring_pos is the row the
     * next commit writes. */
    int ring_pos;
    float ring_re[PFM_RING][PFM_BINS], ring_im[PFM_RING][PFM_BINS];
    /* Smoothed cross spectra and powers against the spectrum of delay
     * PFM_REV_FIRST + t, in row t. */
    float cross_re[PFM_REV_TAPS][PFM_BINS], cross_im[PFM_REV_TAPS][PFM_BINS];
    float past_power[PFM_REV_TAPS][PFM_BINS];
} VxPfModel;

/* The post-filter's smoothed energy ratio, which depends on the mask of the
 * hop, puts each hop in one of three regimes with their own gains: below the
 * speech ratio (no speech: every band consolidated, a quiet low band taken
 * for all), speech, and speech with the smoothed gain mixed in. */
#define VX_PF_QUIET 0
#define VX_PF_SPEECH 1
#define VX_PF_SPEECH_SMOOTHED 2
#define VX_PF_REGIMES 3

void vx_pf_init(VxPfModel* m);
/* re/im: the unmasked spectrum of the hop: advances the model through all
 * that does not depend on the hop's mask. */
void vx_pf_predict(VxPfModel* m, const float* re, const float* im);
/* The lowest and highest regime any mask can give this hop. */
void vx_pf_regimes(const VxPfModel* m, int* lo, int* hi);
/* The regime this hop falls in with `mask`. */
int vx_pf_regime(const VxPfModel* m, const float* re, const float* im, const float* mask);
/* The post-filter's gain per bin for this hop in `regime`. */
void vx_pf_gain(const VxPfModel* m, int regime, float* gain);
/* The mask sent for the spectrum just predicted. */
void vx_pf_commit(VxPfModel* m, const float* re, const float* im, const float* mask);

#endif
