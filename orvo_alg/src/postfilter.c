/* OMLSA post-filter: a-priori SNR, speech-presence probability, log-spectral
 * amplitude gain, time smoothing, critical-band consolidation, low-gain
 * override, late reverberation and the final gain. */
#include "postfilter.h"

#include <math.h>
#include <string.h>

#include "orvo_tables.h"
#include "vec_math.h"

void omlsa_params_init(OmlsaParams* p) {
    p->grid_step[0] = PF_GRID_STEP_1;
    p->grid_step[1] = PF_GRID_STEP_2;
    p->grid_step[2] = PF_GRID_STEP_3;
    p->grid_step[3] = PF_GRID_STEP_4;
    p->gain_floor = PF_GAIN_FLOOR;
    p->alpha = PF_ALPHA;
    p->beta = PF_BETA;
    p->zeta_low = PF_ZETA_LOW;
    p->zeta_high = PF_ZETA_HIGH;
    p->zeta_frame_prev = 1.0f;
    p->zeta_peak_high = PF_ZETA_PEAK_HIGH;
    p->zeta_frame_low = PF_ZETA_FRAME_LOW;
    p->zeta_peak = 1.0f;
    p->zeta_max_ratio = PF_ZETA_MAX_RATIO;
    p->zeta_min_ratio = PF_ZETA_MIN_RATIO;
    p->q_max = PF_Q_MAX;
    p->band_high_gain = PF_BAND_HIGH_GAIN;
    p->band_low_fraction = PF_BAND_LOW_FRACTION;
    p->band_high_fraction = PF_BAND_HIGH_FRACTION;
    p->low_band_first = PF_LOW_BAND_FIRST;
    p->low_band_end = PF_LOW_BAND_END;
    p->override_keep = PF_OVERRIDE_KEEP;
    p->override_threshold = PF_OVERRIDE_THRESHOLD;
    p->rev_smooth = PF_REV_SMOOTH;
    p->rev_spectra_smooth = PF_REV_SPECTRA_SMOOTH;
    p->rev_first_delay = PF_REV_FIRST_DELAY;
    p->rev_enabled = PF_REV_ENABLED;
    p->rev_t60 = PF_REV_T60;
    p->smoothed_weight = PF_SMOOTHED_WEIGHT;
    p->g_min = PF_G_MIN;
}

void omlsa_init(OmlsaState* s, OmlsaParams* p) {
    memset(s, 0, sizeof *s);
    s->p = p;
    s->speech_flag = 1;
    s->ratio_smoothed = 1.0f;
    for (int k = 0; k < ORVO_BINS; ++k) {
        s->G_H1[k] = 0.1f;
        s->gamma_prev[k] = 0.001f;
        s->zeta[k] = 0.001f;
    }
}

/* Fraction of the way from lo to hi on a log scale, clipped to [0, 1]. */
static float log_presence(float x, float lo, float hi, float span) {
    if (x <= lo) return 0.0f;
    if (x >= hi) return 1.0f;
    return log10f(x / lo) / span;
}

float omlsa_expint_gain(const OmlsaParams* p, float v) {
    static const float lows[4] = {PF_REGION1_LOW, PF_REGION2_LOW, PF_REGION3_LOW, PF_REGION4_LOW};
    static const int pos[4] = {PF_REGION1_POS, PF_REGION2_POS, PF_REGION3_POS, PF_REGION4_POS};
    if (!(v >= PF_V_MIN)) v = PF_V_MIN; /* also catches NaN */
    if (v > PF_V_MAX) v = PF_V_MAX;
    int r = v < PF_REGION2_LOW ? 0 : v < PF_REGION3_LOW ? 1 : v < PF_REGION4_LOW ? 2 : 3;
    const float step = p->grid_step[r];
    int idx = (int)((v - (lows[r] - 0.5f * step)) * (1.0f / step));
    const int last = r == 0 ? PF_REGION1_LAST : PF_REGIONN_LAST;
    if (idx > last) idx = last;
    if (idx < 0) idx = 0;
    return expint_gain_table[pos[r] + idx];
}

/* A-posteriori SNR gamma, a-priori SNR xi and its smoothed, clamped zeta
 * for bins lo..hi-1, num the numerator power. Branch-free, so that the
 * bins are processed four at a time. */
/* The region is chosen by selects rather than branches, so the positions
 * are computed four at a time; only the table reads remain one by one. */
void omlsa_expint_gains(const OmlsaParams* p, const float* v, float* out) {
    float base[4], inv[4];
    static const float lows[4] = {PF_REGION1_LOW, PF_REGION2_LOW, PF_REGION3_LOW, PF_REGION4_LOW};
    for (int r = 0; r < 4; ++r) {
        base[r] = lows[r] - 0.5f * p->grid_step[r];
        inv[r] = 1.0f / p->grid_step[r];
    }
    int32_t pos[ORVO_BINS];
    for (int k = 0; k < ORVO_BINS; ++k) {
        float x = v[k] >= PF_V_MIN ? v[k] : PF_V_MIN; /* also catches NaN */
        x = x > PF_V_MAX ? PF_V_MAX : x;
        const int r2 = x >= PF_REGION2_LOW, r3 = x >= PF_REGION3_LOW, r4 = x >= PF_REGION4_LOW;
        const float b = r4 ? base[3] : r3 ? base[2] : r2 ? base[1] : base[0];
        const float s = r4 ? inv[3] : r3 ? inv[2] : r2 ? inv[1] : inv[0];
        const int32_t first = r4   ? PF_REGION4_POS
                              : r3 ? PF_REGION3_POS
                              : r2 ? PF_REGION2_POS
                                   : PF_REGION1_POS;
        const int32_t last = r2 ? PF_REGIONN_LAST : PF_REGION1_LAST;
        int32_t idx = (int32_t)((x - b) * s);
        idx = idx > last ? last : idx;
        idx = idx < 0 ? 0 : idx;
        pos[k] = first + idx;
    }
    for (int k = 0; k < ORVO_BINS; ++k) out[k] = expint_gain_table[pos[k]];
}

static void snr_bins(OmlsaState* s, const float* num, const float* lambda, int lo, int hi) {
    const OmlsaParams* p = s->p;
    for (int k = lo; k < hi; ++k) {
        const float g = (num[k] + PF_EPS) / (lambda[k] + s->lambda_rev[k] + PF_EPS);
        s->gamma[k] = g;
        float post = g - 1.0f;
        post = post > PF_EPS ? post : PF_EPS;
        const float xi =
            p->alpha * s->G_H1[k] * s->G_H1[k] * s->gamma_prev[k] + (1.0f - p->alpha) * post;
        s->xi[k] = xi;
        float z = p->beta * s->zeta[k] + (1.0f - p->beta) * xi;
        z = z < p->zeta_low ? p->zeta_low : z;
        z = z > p->zeta_high ? p->zeta_high : z;
        s->zeta[k] = z;
    }
}

static void snr_update(OmlsaState* s, const float* P, const float* S, const float* lambda) {
    /* The lowest bins take the smoothed power as their numerator. */
    snr_bins(s, S, lambda, 0, PF_SNR_NUM_S_BINS);
    snr_bins(s, P, lambda, PF_SNR_NUM_S_BINS, ORVO_BINS);
}

static float frame_presence(OmlsaParams* p, float zeta_frame, float span) {
    const float peak = p->zeta_peak;
    float pf;
    if (zeta_frame < p->zeta_frame_low) {
        pf = 0.0f;
    } else if (zeta_frame > p->zeta_frame_prev) {
        pf = 1.0f;
        float z = zeta_frame < p->zeta_frame_low ? p->zeta_frame_low : zeta_frame;
        p->zeta_peak = z > p->zeta_peak_high ? p->zeta_peak_high : z;
    } else {
        pf = log_presence(zeta_frame, peak * p->zeta_min_ratio, peak * p->zeta_max_ratio, span);
    }
    p->zeta_frame_prev = zeta_frame;
    return pf;
}

static void gains(OmlsaState* s, float p_frame, float span) {
    const OmlsaParams* p = s->p;
    const float g_min = p->g_min;
    const float log_g_min = logf(g_min);
    const float lo = p->zeta_min_ratio, hi = p->zeta_max_ratio, q_max = p->q_max;
    /* In three passes, so that the two without the table lookup run four
     * (two) bins at a time. First the speech presence: local presence on a
     * log scale and the probability pi. */
    float v[ORVO_BINS], pi[ORVO_BINS], g[ORVO_BINS];
    for (int k = 0; k < ORVO_BINS; ++k) {
        const float l = s->zeta[k] / p->zeta_high;
        const float lp = vm_log10f(l / lo) / span;
        const float pl = l <= lo ? 0.0f : l >= hi ? 1.0f : lp;
        s->P_local[k] = pl;
        float q = 1.0f - pl * p_frame;
        q = q > q_max ? q_max : q;
        const float xi = s->xi[k];
        const float vk = xi * s->gamma[k] / (1.0f + xi);
        v[k] = vk;
        /* e^-v underflows to 0 beyond 104. */
        const float ev = vk > 104.0f ? 0.0f : vm_expf(-vk);
        pi[k] = 1.0f / (q / (1.0f - q) * (1.0f + xi) * ev + 1.0f);
    }
    float t[ORVO_BINS];
    omlsa_expint_gains(p, v, t);
    for (int k = 0; k < ORVO_BINS; ++k) {
        const float xi = s->xi[k];
        float gh = xi / (1.0f + xi) * t[k];
        gh = gh < g_min ? g_min : gh;
        gh = gh > 1.0f ? 1.0f : gh;
        s->G_H1[k] = gh;
    }
    for (int k = 0; k < ORVO_BINS; ++k) {
        const float gh = s->G_H1[k];
        /* gh^pi * g_min^(1 - pi) as one exponential; certain presence (the
         * common case at high SNR) keeps gh as it is. */
        const float mix = vm_expf(pi[k] * vm_logf(gh) + (1.0f - pi[k]) * log_g_min);
        g[k] = pi[k] == 1.0f ? gh : mix;
    }
    /* The lowest bins follow slowly (about 100 hops), in double precision;
     * the rest within a few, by a halving average that is exact in single
     * precision. */
    const double a = 0.99;
    for (int k = 0; k < PF_GS_SLOW_BINS; ++k)
        s->G_s[k] = (float)(a * (double)s->G_s[k] + (1.0 - a) * (double)g[k]);
    for (int k = PF_GS_SLOW_BINS; k < ORVO_BINS; ++k) s->G_s[k] = 0.5f * s->G_s[k] + 0.5f * g[k];
    memcpy(s->G_b, s->G_s, sizeof s->G_b);
}

static void consolidate_bands(OmlsaState* s, int first_band) {
    const OmlsaParams* p = s->p;
    OmlsaBands* b = &s->bands;
    for (int m = first_band; m < PF_BANDS; ++m) {
        b->low_mean[m] = b->high_mean[m] = b->high_count[m] = 0.0f;
        if (bark_band_table[m].lower_hz >= PF_BAND_EDGE_LIMIT) continue;
        const int lo = bark_band_table[m].first_bin, hi = bark_band_table[m].last_bin;
        float low_sum = 0.0f, high_sum = 0.0f;
        int count = 0;
        /* Without branches: adding 0 to a sum leaves it unchanged. */
        for (int k = lo; k <= hi; ++k) {
            const int high = s->G_b[k] > p->band_high_gain;
            count += high;
            high_sum += high ? s->G_b[k] : 0.0f;
            low_sum += high ? 0.0f : s->G_b[k];
        }
        const int n = hi - lo + 1;
        float high_mean, low_mean;
        if (count == n) {
            high_mean = high_sum / (float)n;
            low_mean = 0.0f;
        } else if (count == 0) {
            low_mean = low_sum / (float)n;
            high_mean = 0.0f;
        } else {
            high_mean = high_sum / (float)count;
            low_mean = low_sum / (float)(n - count);
        }
        float gain;
        if ((float)count > p->band_high_fraction * (float)n) {
            gain = high_mean;
        } else if ((float)count < p->band_low_fraction * (float)n) {
            gain = low_mean;
        } else {
            const float f = (float)count / (float)n;
            gain = f * high_mean + (1.0f - f) * low_mean;
        }
        b->low_mean[m] = low_mean;
        b->high_mean[m] = high_mean;
        b->high_count[m] = (float)count;
        b->gain[m] = gain;
        for (int k = lo; k <= hi; ++k) s->G_b[k] = gain;
    }
}

static void reverberation(OmlsaState* s, const float* Y) {
    const OmlsaParams* p = s->p;
    const float ps = p->rev_spectra_smooth;
    const float delta = PF_REV_DELTA_NUM / p->rev_t60;
    float yr[ORVO_BINS], yi[ORVO_BINS];
    for (int k = 0; k < ORVO_BINS; ++k) {
        yr[k] = Y[2 * k];
        yi[k] = Y[2 * k + 1];
    }
    for (int k = 0; k < ORVO_BINS; ++k) {
        const float y2 = yr[k] * yr[k] + yi[k] * yi[k];
        s->phi_cur[k] = ps * s->phi_cur[k] + (1.0f - ps) * y2 * PF_REV_SCALE;
        s->R[k] = 0.0f;
    }
    float g2[ORVO_BINS];
    for (int k = 0; k < ORVO_BINS; ++k) g2[k] = s->G_H1[k] * s->G_H1[k];
    const int first = p->rev_first_delay < 0 ? 0 : p->rev_first_delay;
    for (int d = first; d < PF_HISTORY_SLOTS; ++d) {
        const float decay = expf(-delta * (float)d);
        /* The spectrum of d hops before (zero before the stream began);
         * delay 0 stands for the previous hop as well. */
        const int row = (s->ring_pos - (d > 0 ? d : 1)) & (PF_RING - 1);
        const float* hr = s->ring_re[row];
        const float* hi = s->ring_im[row];
        float* cr = s->cross_re[d];
        float* ci = s->cross_im[d];
        float* pp = s->past_power[d];
        for (int k = 0; k < ORVO_BINS; ++k) {
            const float pd = (hr[k] * hr[k] + hi[k] * hi[k]) * PF_REV_SCALE;
            pp[k] = ps * pp[k] + (1.0f - ps) * pd;
            /* Y * conj(H) */
            cr[k] = ps * cr[k] + (1.0f - ps) * (yr[k] * hr[k] + yi[k] * hi[k]) * PF_REV_SCALE;
            ci[k] = ps * ci[k] + (1.0f - ps) * (yi[k] * hr[k] - yr[k] * hi[k]) * PF_REV_SCALE;
            float c = (cr[k] * cr[k] + ci[k] * ci[k]) / (s->phi_cur[k] * pp[k] + PF_EPS);
            c = c > 0.0f ? c : 0.0f;
            c = c > PF_COHERENCE_CAP ? PF_COHERENCE_CAP : c;
            s->R[k] += c * g2[k] * pd * (1.0f / PF_REV_SCALE) * decay;
        }
    }
    for (int k = 0; k < ORVO_BINS; ++k) {
        float r = s->R[k];
        const float cap = s->phi_cur[k] * PF_REV_CAP;
        r = r > cap ? cap : r;
        s->lambda_rev[k] = p->rev_smooth * s->lambda_rev[k] + (1.0f - p->rev_smooth) * r;
    }
    memcpy(s->ring_re[s->ring_pos], yr, sizeof yr);
    memcpy(s->ring_im[s->ring_pos], yi, sizeof yi);
    s->ring_pos = (s->ring_pos + 1) & (PF_RING - 1);
}

void omlsa_process(OmlsaState* s, const float* P, const float* S, const float* lambda,
                   const float* Y, float* Z) {
    OmlsaParams* p = s->p;
    const float span = log10f(p->zeta_max_ratio / p->zeta_min_ratio);

    memcpy(Z, Y, ORVO_SPEC * sizeof(float));
    snr_update(s, P, S, lambda);

    float zeta_sum = 0.0f;
    for (int k = 0; k < ORVO_BINS; ++k) zeta_sum += s->zeta[k];
    const float p_frame = frame_presence(p, zeta_sum / (float)ORVO_BINS, span);

    gains(s, p_frame, span);

    /* Energy kept by the gains decides the speech flag. */
    double e_in = 0.0, e_out = 0.0;
    for (int k = 0; k < ORVO_BINS; ++k) {
        const double m2 = (double)Z[2 * k] * Z[2 * k] + (double)Z[2 * k + 1] * Z[2 * k + 1];
        e_in += m2;
        e_out += m2 * s->G_b[k] * s->G_b[k];
    }
    const float ratio = (float)(e_out / (e_in + PF_EPS));
    s->ratio_smoothed = PF_RATIO_SMOOTH * s->ratio_smoothed + (1.0f - PF_RATIO_SMOOTH) * ratio;
    const int speech = s->ratio_smoothed >= PF_SPEECH_RATIO;
    s->speech_flag = speech ? 1 : 0;
    p->override_keep = speech ? PF_OVERRIDE_KEEP_SPEECH : 0.0f;

    consolidate_bands(s, speech ? PF_FIRST_BAND_SPEECH : 0);

    /* A nearly silent low band pulls every gain towards its mean. */
    float low = 0.0f;
    for (int k = p->low_band_first; k < p->low_band_end; ++k) low += s->G_b[k];
    low /= (float)(p->low_band_end - p->low_band_first);
    if (low < p->override_threshold)
        for (int k = 0; k < ORVO_BINS; ++k)
            s->G_b[k] = p->override_keep * s->G_b[k] + (1.0f - p->override_keep) * low;

    if (p->rev_enabled) reverberation(s, Y);

    const float w = s->ratio_smoothed >= PF_SMOOTHED_GAIN_RATIO ? p->smoothed_weight : 0.0f;
    Z[0] *= PF_DC_GAIN;
    Z[1] *= PF_DC_GAIN;
    for (int k = 1; k < PF_ZERO_FROM_BIN; ++k) {
        float g = w * s->G_s[k] + (1.0f - w) * s->G_b[k];
        g = g > p->gain_floor ? g : p->gain_floor;
        Z[2 * k] *= g;
        Z[2 * k + 1] *= g;
    }
    for (int k = PF_ZERO_FROM_BIN; k < ORVO_BINS; ++k) Z[2 * k] = Z[2 * k + 1] = 0.0f;

    memcpy(s->gamma_prev, s->gamma, sizeof s->gamma);
}
