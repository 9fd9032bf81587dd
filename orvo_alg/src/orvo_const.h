/* Every fixed number of the library in one place: frame geometry, the
 * filter bank, and the initial parameter values of the noise tracker and the
 * post-filter. */
#ifndef ORVO_CONST_H
#define ORVO_CONST_H

/* Stream and frame geometry. */
#define ORVO_BLOCK 512     /* samples per ns_alg_process call */
#define ORVO_HOP 256       /* samples per analysis hop */
#define ORVO_HOPS 2        /* hops per block */
#define ORVO_FFT 512       /* complex FFT length */
#define ORVO_WIN 1024      /* prototype window taps */
#define ORVO_BINS 257      /* retained bins, DC .. Nyquist */
#define ORVO_SPEC 514      /* floats per interleaved complex spectrum */
#define ORVO_CHANNELS 1    /* channels per instance */
#define ORVO_IN_HIST 1536  /* input history per channel */
#define ORVO_OUT_HIST 1024 /* output history per channel */
#define ORVO_OVERLAP 768   /* part of the output history carried to the next hop */
#define ORVO_IN_SCALE (1.0f / 32768.0f)
#define ORVO_OUT_SCALE 32768.0f
#define ORVO_SYNTH_SCALE 256.0f /* output factor of the synthesis */

/* Room for one kissfft plan of ORVO_FFT points inside the instance. */
#define ORVO_PLAN_BYTES 8192

/* Minimum-statistics noise tracker. */
#define MS_STARTUP_HOPS 30
#define MS_EPS 1e-35f
#define MS_STARTUP_LAMBDA_SMOOTH 0.95f
#define MS_STARTUP_S_SMOOTH 0.9f
#define MS_ALPHA_C 0.9f
#define MS_ALPHA_MAX 0.98f
#define MS_ALPHA_MIN_CAP 0.7f
#define MS_BETA_MAX 0.8f
#define MS_ALPHA_MIN_EXP (-0.125f)
#define MS_D 60
#define MS_V 10
#define MS_U (MS_D / MS_V)
#define MS_WINDOW_ROWS 12
#define MS_JUMP_SMOOTH_NOSPEECH 0.95f
#define MS_JUMP_SMOOTH_SPEECH 0.9999f
#define MS_LAMBDA_SMOOTH 0.95f
#define MS_JUMP_RATIO 6.3019f
#define MS_TRACKED_BINS 250
#define MS_STORE_INIT 1000.0f
#define MS_MIN_START 10000.0f
#define MS_SNR_FLOOR 0.001f
/* Mean power per bin below which a hop is silence (a muted microphone, a
 * stream of zeros or of a dithered last bit): white noise at -90 dBFS, one
 * step of 16-bit audio RMS, through the analysis window (sum of squares
 * 0.00167). Every real microphone's noise floor lies above it. A silent hop
 * leaves the tracker as it was, and start-up begins at the first real audio. */
#define MS_SILENCE_POWER 1.67e-12f
/* Hops of tracking a bin's minimum may stay above the jump ratio before it
 * is taken for a new noise floor even while the post-filter sees speech: 1 s
 * on top of the half second the window needs to see the jump, so 1.5 s in
 * all, the span over which minimum statistics look for a speech pause.
 * Without it an estimate far below the noise (the noise rose by more than
 * +8 dB) makes the post-filter pass everything, which sets its speech flag,
 * which keeps the estimate where it is for minutes. */
#define MS_JUMP_RELEASE_HOPS 125

/* OMLSA post-filter. */
#define PF_EPS 1e-15f
#define PF_GRID_STEP_1 5e-05f
#define PF_GRID_STEP_2 0.001f
#define PF_GRID_STEP_3 0.01f
#define PF_GRID_STEP_4 0.1f
#define PF_GAIN_FLOOR 0.1f
#define PF_ALPHA 0.9f
#define PF_BETA 0.7f
#define PF_ZETA_LOW 1.0f
#define PF_ZETA_HIGH 10.0f
#define PF_ZETA_PEAK_HIGH 10.0f
#define PF_ZETA_FRAME_LOW 1.0f
#define PF_ZETA_MAX_RATIO 0.3162f
#define PF_ZETA_MIN_RATIO 0.1259f
#define PF_Q_MAX 0.95f
#define PF_BAND_HIGH_GAIN 0.1778f
#define PF_BAND_LOW_FRACTION 0.3f
#define PF_BAND_HIGH_FRACTION 0.7f
#define PF_LOW_BAND_FIRST 1
#define PF_LOW_BAND_END 64
#define PF_OVERRIDE_KEEP 0.2f
#define PF_OVERRIDE_THRESHOLD 0.1778f
#define PF_REV_SMOOTH 0.9f
#define PF_REV_SPECTRA_SMOOTH 0.95f
#define PF_REV_FIRST_DELAY 12
#define PF_REV_ENABLED 1
#define PF_REV_T60 0.6f
#define PF_SMOOTHED_WEIGHT 0.5f
#define PF_G_MIN 0.1f

#define PF_SPEECH_RATIO 0.1778f /* -7.5 dB: speech flag and first band */
#define PF_OVERRIDE_KEEP_SPEECH 0.95f
#define PF_FIRST_BAND_SPEECH 5
#define PF_SMOOTHED_GAIN_RATIO 0.1995f /* -7 dB: use of the smoothed gain */
#define PF_RATIO_SMOOTH 0.95f
#define PF_GS_SLOW_BINS 3
#define PF_DC_GAIN 0.1f
#define PF_ZERO_FROM_BIN 250
#define PF_BANDS 24
#define PF_BAND_EDGE_LIMIT 8000.0f
#define PF_HISTORY_SLOTS 15      /* delays up to 14 hops */
#define PF_RING 16               /* past spectra kept, a power of 2 above the delays */
#define PF_REV_DELTA_NUM 0.1105f /* 6 ln 10 * ORVO_HOP / 32000 */
#define PF_REV_SCALE 1e10f
#define PF_REV_CAP 5e-11f
#define PF_COHERENCE_CAP 0.99f
#define PF_SNR_NUM_S_BINS 8 /* bins whose a-posteriori SNR uses the smoothed power */
#define PF_V_MIN 1e-05f
#define PF_V_MAX 4.99996f

/* Gain table regions: lower bound, first table position, entries. */
#define PF_TABLE_SIZE 244
#define PF_REGION1_LOW 1e-05f
#define PF_REGION2_LOW 0.00496f
#define PF_REGION3_LOW 0.04996f
#define PF_REGION4_LOW 0.49996f
#define PF_REGION1_POS 0
#define PF_REGION2_POS 100
#define PF_REGION3_POS 148
#define PF_REGION4_POS 196
#define PF_REGION1_LAST 99
#define PF_REGIONN_LAST 45

#endif
