/* Band-gain network of the default estimator: a dense layer, two GRUs and a
 * dense sigmoid layer that turn per-band features of one spectrum into one
 * gain per band. Weights are fixed data (mask_weights.c, trained by
 * tools/train/train_mask.py). */
#ifndef VARDIX_MASK_NET_H
#define VARDIX_MASK_NET_H

#define VX_NB 25 /* bands */
/* Per band: log energy, log SNR and the share of the energy on the pitch's
 * harmonic comb; and the voicing strength of the whole spectrum. */
#define VX_NFEAT (3 * VX_NB + 1)
#define VX_DENSE 32
#define VX_HIDDEN 64

typedef struct VxNet {
    float h1[VX_HIDDEN];
    float h2[VX_HIDDEN];
} VxNet;

/* Band centres in bins; the gain of a bin is interpolated linearly between
 * the two centres around it. */
extern const int vx_band_points[VX_NB];

void vx_net_init(VxNet* n);
/* feat: VX_NFEAT raw features; gains: VX_NB values in (0, 1). */
void vx_net_run(VxNet* n, const float* feat, float* gains);

extern const float vx_feat_mean[VX_NFEAT];
extern const float vx_feat_scale[VX_NFEAT];
extern const float vx_in_w[VX_DENSE * VX_NFEAT];
extern const float vx_in_b[VX_DENSE];
extern const float vx_gru1_wi[3 * VX_HIDDEN * VX_DENSE];
extern const float vx_gru1_wh[3 * VX_HIDDEN * VX_HIDDEN];
extern const float vx_gru1_bi[3 * VX_HIDDEN];
extern const float vx_gru1_bh[3 * VX_HIDDEN];
extern const float vx_gru2_wi[3 * VX_HIDDEN * VX_HIDDEN];
extern const float vx_gru2_wh[3 * VX_HIDDEN * VX_HIDDEN];
extern const float vx_gru2_bi[3 * VX_HIDDEN];
extern const float vx_gru2_bh[3 * VX_HIDDEN];
extern const float vx_out_w[VX_NB * VX_HIDDEN];
extern const float vx_out_b[VX_NB];

#endif
