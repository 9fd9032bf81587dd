/* Model of orvo_alg's post-filter gain; see pf_model.h. The steps and
 * constants are those of orvo_alg's noise tracker and post-filter. */
#include "pf_model.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

/* Exponential and logarithms as orvo_alg's post-filter computes them. */
#include "vec_math.h"

/* Noise tracker. */
#define MS_STARTUP_HOPS 30
#define MS_EPS 1e-35f
#define MS_ALPHA_MAX 0.98f
#define MS_ALPHA_MIN_CAP 0.7f
#define MS_BETA_MAX 0.8f
#define MS_TRACKED_BINS 250
#define MS_STORE_INIT 1000.0f
#define MS_MIN_START 10000.0f
#define MS_SILENCE_POWER 1.67e-12f
#define MS_JUMP_RELEASE_HOPS 125
/* Post-filter. */
#define PF_EPS 1e-15f
#define PF_ALPHA 0.9f
#define PF_BETA 0.7f
#define PF_ZETA_HIGH 10.0f
#define PF_ZMAX 0.3162f
#define PF_ZMIN 0.1259f
#define PF_Q_MAX 0.95f
#define PF_G_MIN 0.1f
#define PF_HIGH_GAIN 0.1778f
#define PF_SPEECH_RATIO 0.1778f
#define PF_SMOOTHED_RATIO 0.1995f
#define PF_REV_SMOOTH 0.9f
#define PF_REV_SPECTRA_SMOOTH 0.95f
#define PF_REV_DELTA (0.1105f / 0.6f)
#define PF_REV_SCALE 1e10f
#define PF_REV_CAP 5e-11f
#define PF_ZERO_FROM 250

/* Critical bands processed by the consolidation: first and last bin. */
static const int kBandFirst[22] = {0,  1,  3,  4,  6,  8,  10, 12, 14, 17,  20,
                                   23, 27, 32, 37, 43, 50, 59, 70, 84, 102, 123};
static const int kBandLast[22] = {1,  3,  4,  6,  8,  10, 12, 14, 17,  20,  23,
                                  27, 32, 37, 43, 50, 59, 70, 84, 102, 123, 152};

/* exp(E1(v)/2) on the post-filter's four grids, filled once. */
static const float kGridLow[4] = {1e-05f, 0.00496f, 0.04996f, 0.49996f};
static const float kGridStep[4] = {5e-05f, 0.001f, 0.01f, 0.1f};
static const int kGridLast[4] = {99, 45, 45, 45};
static float g_table[4][100];
static int g_table_ready;

static double e1(double x) {
    if (x <= 1.0) {
        double sum = 0, term = 1;
        for (int k = 1; k < 60; ++k) {
            term *= -x / k;
            sum += term / k;
        }
        return -0.5772156649015329 - log(x) - sum;
    }
    /* Continued fraction (modified Lentz). */
    double b = x + 1, c = 1e300, d = 1 / b, h = d;
    for (int i = 1; i < 200; ++i) {
        double a = -(double)i * i;
        b += 2;
        d = 1 / (a * d + b);
        c = b + a / c;
        double del = c * d;
        h *= del;
        if (fabs(del - 1) < 1e-15) break;
    }
    return h * exp(-x);
}

static void fill_table(void) {
    /* Idempotent: concurrent first calls write the same values. */
    if (g_table_ready) return;
    for (int r = 0; r < 4; ++r)
        for (int n = 0; n <= kGridLast[r]; ++n)
            g_table[r][n] = (float)exp(0.5 * e1((double)kGridLow[r] + (double)kGridStep[r] * n));
    g_table_ready = 1;
}

/* expint_gain for PFM_BINS values at once: the grid is chosen by selects
 * rather than branches, so the positions are computed four at a time; only
 * the table reads remain one by one. */
static void expint_gains(const float* v, float* out) {
    float base[4], inv[4];
    for (int r = 0; r < 4; ++r) {
        base[r] = kGridLow[r] - 0.5f * kGridStep[r];
        inv[r] = 1.0f / kGridStep[r];
    }
    int32_t pos[PFM_BINS];
    for (int k = 0; k < PFM_BINS; ++k) {
        float x = v[k] >= 1e-05f ? v[k] : 1e-05f; /* also catches NaN */
        x = x > 4.99996f ? 4.99996f : x;
        const int r2 = x >= kGridLow[1], r3 = x >= kGridLow[2], r4 = x >= kGridLow[3];
        const float b = r4 ? base[3] : r3 ? base[2] : r2 ? base[1] : base[0];
        const float s = r4 ? inv[3] : r3 ? inv[2] : r2 ? inv[1] : inv[0];
        const int32_t row = r4 ? 300 : r3 ? 200 : r2 ? 100 : 0;
        const int32_t last = r2 ? 45 : 99;
        int32_t idx = (int32_t)((x - b) * s);
        idx = idx > last ? last : idx;
        idx = idx < 0 ? 0 : idx;
        pos[k] = row + idx;
    }
    const float* t = &g_table[0][0];
    for (int k = 0; k < PFM_BINS; ++k) out[k] = t[pos[k]];
}

static float log_presence(float x, float lo, float hi, float span) {
    if (x <= lo) return 0.0f;
    if (x >= hi) return 1.0f;
    return log10f(x / lo) / span;
}

void vx_pf_init(VxPfModel* m) {
    fill_table();
    memset(m, 0, sizeof *m);
    m->ms_alpha_c = 0.9f;
    m->ms_v = PFM_V - 1;
    for (int r = 0; r < PFM_V; ++r)
        for (int k = 0; k < PFM_BINS; ++k) m->sub_store[r][k] = MS_STORE_INIT;
    for (int r = 0; r < PFM_U; ++r)
        for (int k = 0; k < PFM_BINS; ++k) m->win_store[r][k] = MS_STORE_INIT;
    m->speech_flag = 1;
    m->ratio_smoothed = 1.0f;
    m->zeta_frame_prev = 1.0f;
    m->zeta_peak = 1.0f;
    for (int k = 0; k < PFM_BINS; ++k) {
        m->G_H1[k] = 0.1f;
        m->gamma_prev[k] = 0.001f;
        m->zeta[k] = 0.001f;
    }
}

static void minstats(VxPfModel* m, const float* re, const float* im) {
    float total = 0.0f;
    for (int k = 0; k < PFM_BINS; ++k) {
        m->P[k] = re[k] * re[k] + im[k] * im[k];
        total += m->P[k];
    }
    if (total < MS_SILENCE_POWER * (float)PFM_BINS) return;
    if (!m->ms_started) {
        m->ms_count++;
        if (m->ms_count <= 2) {
            memcpy(m->S, m->P, sizeof m->S);
            memcpy(m->lambda, m->P, sizeof m->lambda);
        } else {
            for (int k = 0; k < PFM_BINS; ++k) {
                m->S[k] = 0.9f * m->S[k] + 0.1f * m->P[k];
                m->lambda[k] = 0.95f * m->lambda[k] + 0.05f * m->P[k];
            }
        }
        if (m->ms_count < MS_STARTUP_HOPS) return;
        for (int k = 0; k < PFM_BINS; ++k) {
            m->M1[k] = m->S[k];
            m->M2[k] = m->S[k] * m->S[k];
        }
        m->ms_started = 1;
    }
    double sum_s = 0.0, sum_p = 0.0, sum_l = 0.0;
    for (int k = 0; k < PFM_BINS; ++k) {
        sum_s += m->S[k];
        sum_p += m->P[k];
        sum_l += m->lambda[k];
    }
    float snr = (float)(sum_p / (sum_l + MS_EPS)) - 1.0f;
    if (!(snr > 0.001f)) snr = 0.001f;
    float alpha_min = powf(snr, -0.125f);
    if (alpha_min > MS_ALPHA_MIN_CAP) alpha_min = MS_ALPHA_MIN_CAP;
    float c = (float)(sum_s / (sum_p + MS_EPS)) - 1.0f;
    float corr = 1.0f / (1.0f + c * c);
    if (corr < 0.7f) corr = 0.7f;
    m->ms_alpha_c = 0.7f * m->ms_alpha_c + 0.3f * corr;
    const float A = m->ms_alpha_c * MS_ALPHA_MAX;
    /* Branch-free, so that the bins are processed four at a time; the sum
     * of the variances follows in bin order. */
    float q[PFM_BINS];
    for (int k = 0; k < PFM_BINS; ++k) {
        const float r = m->S[k] / (m->lambda[k] + MS_EPS) - 1.0f;
        float a = A / (1.0f + r * r);
        a = a < alpha_min ? alpha_min : a;
        a = a > MS_ALPHA_MAX ? MS_ALPHA_MAX : a;
        const float s = a * m->S[k] + (1.0f - a) * m->P[k];
        m->S[k] = s;
        float b = a * a;
        b = b > MS_BETA_MAX ? MS_BETA_MAX : b;
        const float m1 = b * m->M1[k] + (1.0f - b) * s;
        const float m2 = b * m->M2[k] + (1.0f - b) * s * s;
        m->M1[k] = m1;
        m->M2[k] = m2;
        const float v = fabsf(m2 - m1 * m1) / (2.0f * m->lambda[k] * m->lambda[k] + MS_EPS);
        q[k] = v < 0.5f ? v : 0.5f;
    }
    float sum_q = 0.0f;
    for (int k = 0; k < PFM_BINS; ++k) sum_q += q[k];
    const float q_mean = sum_q / (float)PFM_BINS;
    memcpy(m->sub_store[m->ms_v], m->S, sizeof m->S);
    /* Row by row, so the minimum runs over contiguous memory. */
    for (int k = 0; k < PFM_BINS; ++k) m->act_min[k] = MS_MIN_START;
    for (int r = 0; r < PFM_V; ++r) {
        const float* row = m->sub_store[r];
        for (int k = 0; k < PFM_BINS; ++k)
            m->act_min[k] = row[k] < m->act_min[k] ? row[k] : m->act_min[k];
    }
    if (++m->ms_v == PFM_V) {
        m->ms_v = 0;
        memcpy(m->win_store[m->ms_u], m->act_min, sizeof m->act_min);
        if (++m->ms_u == PFM_U) m->ms_u = 0;
        float slope = q_mean < 0.03f ? 8.0f : q_mean < 0.05f ? 4.0f : q_mean < 0.06f ? 2.0f : 1.2f;
        for (int k = 0; k < PFM_BINS; ++k) m->win_min[k] = MS_MIN_START;
        for (int r = 0; r < PFM_U; ++r) {
            const float* row = m->win_store[r];
            for (int k = 0; k < PFM_BINS; ++k)
                m->win_min[k] = row[k] < m->win_min[k] ? row[k] : m->win_min[k];
        }
        for (int k = 0; k < PFM_BINS; ++k) {
            const float v = m->win_min[k];
            if (v < m->act_min[k] && m->act_min[k] < slope * v) {
                m->win_min[k] = m->act_min[k];
                for (int r = 0; r < PFM_U; ++r) m->win_store[r][k] = m->act_min[k];
            }
        }
        return;
    }
    const float kappa = m->speech_flag ? 0.9999f : 0.95f;
    m->lambda[0] = m->P[0];
    for (int k = 1; k < MS_TRACKED_BINS; ++k) {
        const float v = m->act_min[k] < m->win_min[k] ? m->act_min[k] : m->win_min[k];
        const float l = m->lambda[k];
        const int held = m->jump_hops[k];
        const int jumped = !(v <= 6.3019f * l);
        m->jump_hops[k] = jumped ? (held < MS_JUMP_RELEASE_HOPS ? held + 1 : held) : 0;
        const float kk = held >= MS_JUMP_RELEASE_HOPS ? 0.95f : kappa;
        const float slow = 0.95f * l + 0.05f * v, fast = kk * l + (1.0f - kk) * v;
        m->lambda[k] = jumped ? fast : slow;
    }
    for (int k = MS_TRACKED_BINS; k < PFM_BINS; ++k) m->lambda[k] = m->P[k];
}

/* Energy ratio of the masked spectrum kept by the per-bin gains. */
static float kept_ratio(const VxPfModel* m, const float* re, const float* im, const float* mask) {
    double e_in = 0.0, e_out = 0.0;
    for (int k = 0; k < PFM_BINS; ++k) {
        float yr = re[k] * mask[k], yi = im[k] * mask[k];
        double m2 = (double)yr * yr + (double)yi * yi;
        e_in += m2;
        e_out += m2 * m->G_b[k] * m->G_b[k];
    }
    return (float)(e_out / (e_in + PF_EPS));
}

/* A-posteriori SNR gamma, a-priori SNR xi and its smoothed, clamped zeta
 * for bins lo..hi-1, num the numerator power. */
static void snr_bins(VxPfModel* m, const float* num, int lo, int hi) {
    for (int k = lo; k < hi; ++k) {
        const float g = (num[k] + PF_EPS) / (m->lambda[k] + m->lambda_rev[k] + PF_EPS);
        m->gamma[k] = g;
        float post = g - 1.0f;
        post = post > PF_EPS ? post : PF_EPS;
        const float xi =
            PF_ALPHA * m->G_H1[k] * m->G_H1[k] * m->gamma_prev[k] + (1.0f - PF_ALPHA) * post;
        m->xi[k] = xi;
        float z = PF_BETA * m->zeta[k] + (1.0f - PF_BETA) * xi;
        z = z < 1.0f ? 1.0f : z;
        z = z > PF_ZETA_HIGH ? PF_ZETA_HIGH : z;
        m->zeta[k] = z;
    }
}

void vx_pf_predict(VxPfModel* m, const float* re, const float* im) {
    const float span = log10f(PF_ZMAX / PF_ZMIN);
    minstats(m, re, im);

    /* SNRs, frame and local presence, per-bin gains; the lowest bins take
     * the smoothed power as their numerator. */
    snr_bins(m, m->S, 0, 8);
    snr_bins(m, m->P, 8, PFM_BINS);
    float zeta_sum = 0.0f;
    for (int k = 0; k < PFM_BINS; ++k) zeta_sum += m->zeta[k];
    const float zf = zeta_sum / (float)PFM_BINS;
    float p_frame;
    if (zf < 1.0f) {
        p_frame = 0.0f;
    } else if (zf > m->zeta_frame_prev) {
        p_frame = 1.0f;
        m->zeta_peak = zf > 10.0f ? 10.0f : zf;
    } else {
        p_frame = log_presence(zf, m->zeta_peak * PF_ZMIN, m->zeta_peak * PF_ZMAX, span);
    }
    m->zeta_frame_prev = zf;
    /* In three passes, so that the two without the table lookup run four
     * (two) bins at a time. */
    float v[PFM_BINS], pi[PFM_BINS], g[PFM_BINS];
    for (int k = 0; k < PFM_BINS; ++k) {
        const float l = m->zeta[k] / PF_ZETA_HIGH;
        const float lp = vm_log10f(l / PF_ZMIN) / span;
        const float pl = l <= PF_ZMIN ? 0.0f : l >= PF_ZMAX ? 1.0f : lp;
        float q = 1.0f - pl * p_frame;
        q = q > PF_Q_MAX ? PF_Q_MAX : q;
        const float xi = m->xi[k];
        const float vk = xi * m->gamma[k] / (1.0f + xi);
        v[k] = vk;
        pi[k] = 1.0f / (q / (1.0f - q) * (1.0f + xi) * vm_expf(-vk) + 1.0f);
    }
    float t[PFM_BINS];
    expint_gains(v, t);
    for (int k = 0; k < PFM_BINS; ++k) {
        const float xi = m->xi[k];
        float gh = xi / (1.0f + xi) * t[k];
        gh = gh < PF_G_MIN ? PF_G_MIN : gh;
        gh = gh > 1.0f ? 1.0f : gh;
        m->G_H1[k] = gh;
    }
    for (int k = 0; k < PFM_BINS; ++k) /* gh^pi * 0.1^(1-pi) */
        g[k] = vm_expf(pi[k] * vm_logf(m->G_H1[k]) + (1.0f - pi[k]) * -2.30258509f);
    /* The lowest bins follow slowly (about 100 hops), in double precision;
     * the halving average of the rest is exact in single precision. */
    const double a = 0.99;
    for (int k = 0; k < 3; ++k)
        m->G_s[k] = (float)(a * (double)m->G_s[k] + (1.0 - a) * (double)g[k]);
    for (int k = 3; k < PFM_BINS; ++k) m->G_s[k] = 0.5f * m->G_s[k] + 0.5f * g[k];
    memcpy(m->G_b, m->G_s, sizeof m->G_b);
}

/* The smoothed energy ratio a kept-energy ratio leads to, as the post-filter
 * computes it, and the regime it falls in. */
static float smoothed_ratio(const VxPfModel* m, float kept) {
    return 0.95f * m->ratio_smoothed + 0.05f * kept;
}

static int regime_of(float rs) {
    return rs < PF_SPEECH_RATIO     ? VX_PF_QUIET
           : rs < PF_SMOOTHED_RATIO ? VX_PF_SPEECH
                                    : VX_PF_SPEECH_SMOOTHED;
}

void vx_pf_regimes(const VxPfModel* m, int* lo, int* hi) {
    /* The kept ratio lies in [0, 1]: the per-bin gains are at most 1. */
    *lo = regime_of(smoothed_ratio(m, 0.0f));
    *hi = regime_of(smoothed_ratio(m, 1.0f));
}

int vx_pf_regime(const VxPfModel* m, const float* re, const float* im, const float* mask) {
    return regime_of(smoothed_ratio(m, kept_ratio(m, re, im, mask)));
}

void vx_pf_gain(const VxPfModel* m, int regime, float* gain) {
    const int speech = regime != VX_PF_QUIET;
    float gb[PFM_BINS];
    memcpy(gb, m->G_b, sizeof gb);
    for (int b = speech ? 5 : 0; b < 22; ++b) {
        const int lo = kBandFirst[b], hi = kBandLast[b], n = hi - lo + 1;
        /* Without branches: adding 0 to a sum leaves it unchanged. */
        float low_sum = 0.0f, high_sum = 0.0f;
        int count = 0;
        for (int k = lo; k <= hi; ++k) {
            const int high = gb[k] > PF_HIGH_GAIN;
            count += high;
            high_sum += high ? gb[k] : 0.0f;
            low_sum += high ? 0.0f : gb[k];
        }
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
        float bg;
        if ((float)count > 0.7f * (float)n) {
            bg = high_mean;
        } else if ((float)count < 0.3f * (float)n) {
            bg = low_mean;
        } else {
            const float f = (float)count / (float)n;
            bg = f * high_mean + (1.0f - f) * low_mean;
        }
        for (int k = lo; k <= hi; ++k) gb[k] = bg;
    }
    float low = 0.0f;
    for (int k = 1; k < 64; ++k) low += gb[k];
    low /= 63.0f;
    if (low < 0.1778f) {
        const float keep = speech ? 0.95f : 0.0f;
        for (int k = 0; k < PFM_BINS; ++k) gb[k] = keep * gb[k] + (1.0f - keep) * low;
    }
    const float w = regime == VX_PF_SPEECH_SMOOTHED ? 0.5f : 0.0f;
    gain[0] = 0.1f;
    for (int k = 1; k < PF_ZERO_FROM; ++k) {
        const float v = w * m->G_s[k] + (1.0f - w) * gb[k];
        gain[k] = v > 0.1f ? v : 0.1f;
    }
    for (int k = PF_ZERO_FROM; k < PFM_BINS; ++k) gain[k] = 0.0f;
}

void vx_pf_commit(VxPfModel* m, const float* re, const float* im, const float* mask) {
    m->ratio_smoothed = 0.95f * m->ratio_smoothed + 0.05f * kept_ratio(m, re, im, mask);
    m->speech_flag = m->ratio_smoothed >= PF_SPEECH_RATIO;

    /* Late reverberation from the masked spectrum, which goes straight into
     * the ring of past spectra. */
    const float ps = PF_REV_SPECTRA_SMOOTH;
    float* yr = m->ring_re[m->ring_pos];
    float* yi = m->ring_im[m->ring_pos];
    float R[PFM_BINS];
    for (int k = 0; k < PFM_BINS; ++k) {
        yr[k] = re[k] * mask[k];
        yi[k] = im[k] * mask[k];
        const float y2 = yr[k] * yr[k] + yi[k] * yi[k];
        m->phi_cur[k] = ps * m->phi_cur[k] + (1.0f - ps) * y2 * PF_REV_SCALE;
        R[k] = 0.0f;
    }
    for (int t = 0; t < PFM_REV_TAPS; ++t) {
        const int d = PFM_REV_FIRST + t;
        const float decay = expf(-PF_REV_DELTA * (float)d);
        /* The spectrum of d hops before (zero before the stream began). */
        const int row = (m->ring_pos - d) & (PFM_RING - 1);
        const float* hr = m->ring_re[row];
        const float* hi = m->ring_im[row];
        float* cr = m->cross_re[t];
        float* ci = m->cross_im[t];
        float* pp = m->past_power[t];
        for (int k = 0; k < PFM_BINS; ++k) {
            const float pd = (hr[k] * hr[k] + hi[k] * hi[k]) * PF_REV_SCALE;
            pp[k] = ps * pp[k] + (1.0f - ps) * pd;
            /* Y * conj(H) */
            cr[k] = ps * cr[k] + (1.0f - ps) * (yr[k] * hr[k] + yi[k] * hi[k]) * PF_REV_SCALE;
            ci[k] = ps * ci[k] + (1.0f - ps) * (yi[k] * hr[k] - yr[k] * hi[k]) * PF_REV_SCALE;
            float c = (cr[k] * cr[k] + ci[k] * ci[k]) / (m->phi_cur[k] * pp[k] + PF_EPS);
            c = c > 0.0f ? c : 0.0f;
            c = c > 0.99f ? 0.99f : c;
            R[k] += c * m->G_H1[k] * m->G_H1[k] * pd * (1.0f / PF_REV_SCALE) * decay;
        }
    }
    for (int k = 0; k < PFM_BINS; ++k) {
        float r = R[k];
        const float cap = m->phi_cur[k] * PF_REV_CAP;
        r = r > cap ? cap : r;
        m->lambda_rev[k] = PF_REV_SMOOTH * m->lambda_rev[k] + (1.0f - PF_REV_SMOOTH) * r;
    }
    m->ring_pos = (m->ring_pos + 1) & (PFM_RING - 1);
    memcpy(m->gamma_prev, m->gamma, sizeof m->gamma);
}
