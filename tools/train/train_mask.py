#!/usr/bin/python3
"""Trains the band-gain network of vardix's default estimator and writes its
weights as C source (vardix/src/mask_weights.c).

Data: only the training corpus, ../shared/corpus-train (speech/, noise/,
rir/; see its README for sources and licences); ../shared/corpus is the test
set and is never read here. Training sequences are mixed from it: utterances
(or none) at random places, sometimes through a room response (the target is
then the direct sound and early reflections), sometimes band-limited to
8 kHz, with a gentle random colouring; one to three noises at once, each a
noise recording, babble of several corpus speakers, or a stationary fan (a
coloured noise, often with mains hum); SNR -5..20 dB (a fifth of them
20..50 dB: a quiet room), speech level -45..-10
dBFS, 16-bit steps, and now and then a stretch of digital silence or of a
dithered last bit (a muted microphone), at the start or inside.

Validation holds out whole speakers (every sixth of each data set, so
Mandarin speakers too), whole noise recordings (every sixth) and some room
responses; the epoch written is the one with the lowest validation loss.

Features are computed exactly as the C estimator computes them from the
analysis spectra of orvo_alg's filter bank (same prototype window, read from
orvo_alg/src/analysis_window.c; the tracker's constants read from
vardix/src/estimator.c): per band, the log energy and the log ratio of the
energy to the estimator's statistical noise estimate. The network (dense,
two GRUs, dense) gives one gain per band; the target is the band's ideal
amplitude ratio sqrt(E_clean / E_noisy). The loss is the error of compressed
gains plus the amplitude error weighted by band energy, as the output's
distortion is dominated by the loud bands, minus a share of each sequence's
signal-to-distortion ratio in dB, computed exactly from the bin-level error
energy of the masked spectra against the clean ones. Like the estimator, the
network skips spectra of silence.

Usage: tools/train/train_mask.py [--sequences N] [--epochs N] [--out FILE]
The committed weights are the defaults (CPU, one thread, fixed seed).
Needs python3-numpy, python3-scipy, python3-soundfile and python3-torch
(Debian's, run with /usr/bin/python3).
"""
import argparse
import os
import re
import sys
import time
from math import gcd

import numpy as np
import soundfile as sf
from scipy.signal import lfilter, resample_poly
from scipy.special import exp1

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CORPUS = os.path.abspath(os.path.join(ROOT, "..", "shared", "corpus-train"))
FS = 32000
HOP = 256
FFT = 512
BINS = 257
# Band centres in bins (62.5 Hz apart); gains are interpolated between them.
BAND_POINTS = [0, 2, 4, 6, 8, 10, 12, 14, 16, 20, 24, 28, 32, 40, 48, 56, 64, 80, 96, 112,
               128, 160, 192, 224, 256]
NB = len(BAND_POINTS)
# Per band: log energy, log SNR, share on the harmonic comb; and voicing.
NFEAT = 3 * NB + 1
HIDDEN = 64
DENSE = 32



def estimator_constants():
    """The numeric #defines of vardix/src/estimator.c, whose tracker and
    statistical gain the features must reproduce."""
    text = open(os.path.join(ROOT, "vardix", "src", "estimator.c")).read()
    out = {}
    for name, value in re.findall(r"#define (VX_\w+) ([-+0-9.eE]+)f?\s*$", text, re.M):
        out[name] = float(value)
    return out


_C = estimator_constants()
# Pitch lags searched (samples at 32 kHz), as vardix/src/harmonic.h has them.
_H = dict((n, int(v)) for n, v in re.findall(
    r"#define (VX_HARM_\w+) (\d+)\s*$", open(os.path.join(ROOT, "vardix", "src", "harmonic.h")).read(), re.M))
HARM_LAG_MIN = _H["VX_HARM_LAG_MIN"]
HARM_LAG_MAX = _H["VX_HARM_LAG_MAX"]
HARM_SEARCH_FIRST = _H["VX_HARM_SEARCH_FIRST"]
HARM_SEARCH_BINS = _H["VX_HARM_SEARCH_BINS"]
# Noise tracker constants.
STARTUP_HOPS = int(_C["VX_STARTUP_HOPS"])
XI_H1 = _C["VX_XI_H1"]
NOISE_SMOOTH = _C["VX_NOISE_SMOOTH"]
SPP_SMOOTH = _C["VX_SPP_SMOOTH"]
SPP_LOCK = _C["VX_SPP_LOCK"]
EPS = _C["VX_EPS"]
LOG_EPS = _C["VX_LOG_EPS"]
SILENCE_POWER = _C["VX_SILENCE_POWER"]
# Statistical gain, as in vardix/src/estimator.c: decision-directed weight,
# lowest a-priori SNR, gain floor where speech is absent, and the exponent
# with which the gain enters the mask.
DD_WEIGHT = _C["VX_DD_WEIGHT"]
XI_MIN = _C["VX_XI_MIN"]
GAIN_MIN = _C["VX_GAIN_MIN"]
LSA_WEIGHT = _C["VX_LSA_WEIGHT"]
# Extra loss weight on gains below their target (speech taken for noise).
UNDER_WEIGHT = 0.5
# Weight of the energy-weighted amplitude error in the loss, and the largest
# weight one band of one spectrum may take in it.
LOUD_WEIGHT = 0.3
LOUD_CLIP = 30.0
# Weight of each sequence's signal-to-distortion ratio (per dB) in the loss;
# the term stops rewarding a sequence 30 dB above its reference.
SDR_WEIGHT = 0.01
SDR_FLOOR = 1e-3
# A sequence whose clean energy is below this share of its noisy energy is
# scored against its noise energy (how far the noise is taken down).
SPEECH_SHARE_MIN = 1e-3
# Shares of speech and noise clips played at another speed.
SPEECH_SPEED_SHARE = 0.3
NOISE_SPEED_SHARE = 0.3
# Share of sequences with a stretch of digital silence (or of a dithered
# last bit), and the share of those where it opens the sequence.
MUTE_SHARE = 0.15
MUTE_AT_START = 0.4
# Share of speech sent through a room response, and the part of the
# response kept in the target (direct sound and early reflections).
REVERB_SHARE = 0.3
EARLY_S = 0.05
# Share of speech band-limited to 8 kHz (wide-band files only).
BANDLIMIT_SHARE = 0.2
# Most files are band-limited (16 kHz sources), but a microphone hears
# speech up to 16 kHz: this share of the utterances is drawn from the
# wide-band files, so that the network does not learn that whatever lies
# above 8 kHz is noise.
WIDE_SHARE = 0.6
# A sequence whose speech is all band-limited is, with this share, a
# band-limited stream as a whole (noise too), as from a 16 kHz call.
NARROW_STREAM_SHARE = 0.7
# Share of training sequences recorded in a quiet room: noise 20 to 50 dB
# below the speech instead of -5 to 20 dB. Without them the network never
# sees speech rise out of a near-silent floor (a good microphone in a quiet
# room, or clean speech), and it opens only 30 to 50 ms into each word,
# taking the sudden rise for a click.
QUIET_SHARE = 0.2
QUIET_SNR = (20.0, 50.0)
# Kinds of the noise sources of a sequence, by share: a noise recording,
# babble of several speakers, a stationary fan with or without hum.
NOISE_KINDS = (("recording", 0.6), ("babble", 0.2), ("fan", 0.2))
# Held out for validation: every HOLD_EVERY-th speaker of each data set,
# noise recording and room response, from HOLD_FIRST on, in name order.
HOLD_EVERY = 6
HOLD_FIRST = 1

def load_window():
    text = open(os.path.join(ROOT, "orvo_alg", "src", "analysis_window.c")).read()
    body = text[text.index("{") + 1:text.rindex("}")]
    vals = [float(v) for v in re.findall(r"[-+]?\d+\.\d+(?:[eE][-+]?\d+)?", body)]
    assert len(vals) == 1024, len(vals)
    return np.array(vals, dtype=np.float64)


WINDOW = load_window()


def band_matrix():
    """Triangular band weights (NB x BINS) and the bin-gain interpolation (BINS x NB)."""
    m = np.zeros((NB, BINS))
    for i in range(NB - 1):
        a, b = BAND_POINTS[i], BAND_POINTS[i + 1]
        for k in range(a, b):
            f = (k - a) / (b - a)
            m[i, k] += 1 - f
            m[i + 1, k] += f
    m[NB - 1, BINS - 1] += 1
    return m


BANDS = band_matrix()
INTERP = BANDS.T.copy()  # bin k takes (1-f) of its lower and f of its upper point


def analysis_spectra(x):
    """Complex spectra (hops x 257) of orvo_alg's WOLA analysis of x (32 kHz)."""
    n = (len(x) - 1024) // HOP + 1
    idx = np.arange(1024)[None, :] + HOP * np.arange(n)[:, None]
    seg = x[idx][:, ::-1]
    f = seg[:, :512] * WINDOW[None, :512] + seg[:, 512:] * WINDOW[None, 512:]
    return np.fft.rfft(f, axis=1)


def silent_hops(power):
    """Spectra of digital silence (batch x hops), as the estimator tells them."""
    return power.sum(axis=-1) < SILENCE_POWER * BINS


def track_noise(power, lsa_weight=LSA_WEIGHT):
    """The estimator's noise tracker and statistical gain over power spectra
    (batch x hops x bins): the noise estimate each spectrum meets after its
    update, and the factor the log-spectral-amplitude gain applies to each
    bin of the mask. Spectra of silence leave the state as it was, also
    before the start-up phase is over (which begins at the first real audio)."""
    b, t, k = power.shape
    noise = np.zeros((b, k))
    spp = np.zeros((b, k))
    prev_gain = np.ones((b, k))
    prev_gamma = np.ones((b, k))
    log_gain = np.zeros((b, k))
    seen = np.zeros(b, dtype=np.int64)
    out = np.zeros_like(power)
    lsa = np.ones_like(power)
    ratio = XI_H1 / (1 + XI_H1)
    silent = silent_hops(power)
    for h in range(t):
        p = power[:, h]
        live = ~silent[:, h]
        start = live & (seen < STARTUP_HOPS)
        run = live & (seen >= STARTUP_HOPS)
        if start.any():
            w = 1.0 / (seen[start] + 1)
            noise[start] += (p[start] - noise[start]) * w[:, None]
            log_gain[start] = 0.0
        if run.any():
            pr_, nz, sp = p[run], noise[run], spp[run]
            gamma = pr_ / (nz + EPS)
            arg = np.minimum(gamma * ratio, 60.0)
            pr = 1.0 / (1.0 + (1 + XI_H1) * np.exp(-arg))
            pr[gamma * ratio > 60.0] = 1.0
            sp = SPP_SMOOTH * sp + (1 - SPP_SMOOTH) * pr
            pr = np.where((sp > SPP_LOCK) & (pr > SPP_LOCK), SPP_LOCK, pr)
            # Decision-directed a-priori SNR and log-spectral-amplitude gain.
            ml = np.maximum(gamma - 1.0, 0.0)
            xi = DD_WEIGHT * prev_gain[run] ** 2 * prev_gamma[run] + (1 - DD_WEIGHT) * ml
            xi = np.maximum(xi, XI_MIN)
            v = np.maximum(xi * gamma / (1 + xi), 1e-7)
            lg = np.minimum(np.log(xi / (1 + xi)) + 0.5 * exp1(v), 0.0)
            log_gain[run] = pr * lg + (1 - pr) * np.log(GAIN_MIN)
            prev_gain[run] = np.exp(lg)
            prev_gamma[run] = gamma
            post = (1 - pr) * pr_ + pr * nz
            noise[run] = NOISE_SMOOTH * nz + (1 - NOISE_SMOOTH) * post
            spp[run] = sp
        seen += live
        out[:, h] = noise
        lsa[:, h] = np.exp(lsa_weight * log_gain)
    return out, lsa


def skip_silence(silent, *arrays):
    """The estimator does not run its network on digital silence, so its
    state carries over the muted stretch: per sequence, the other hops are
    moved to the front in order and the silent ones to the back (where the
    loss weight is zero), which a causal network treats the same way."""
    out = [a.copy() for a in arrays]
    for i in range(silent.shape[0]):
        order = np.concatenate([np.flatnonzero(~silent[i]), np.flatnonzero(silent[i])])
        for a, o in zip(arrays, out):
            o[i] = a[i][order]
    return out


def harmonic_combs():
    """cos(pi k L / 256) per pitch lag L and bin k, as vardix/src/harmonic.c
    tabulates it."""
    lags = np.arange(HARM_LAG_MIN, HARM_LAG_MAX + 1)
    m = (np.arange(BINS)[None, :] * lags[:, None]) % 512
    return np.cos(np.pi * m / 256.0).astype(np.float32).astype(np.float64)


COMBS = harmonic_combs()


def harmonicity(power):
    """Per spectrum (batch x hops x bins): the comb of the lag whose
    autocorrelation (the cosine transform of the magnitude spectrum from bin
    HARM_SEARCH_FIRST to HARM_SEARCH_BINS) is largest, and that
    autocorrelation against the one at lag 0."""
    p = np.sqrt(power[..., :HARM_SEARCH_BINS])
    p[..., :HARM_SEARCH_FIRST] = 0.0
    r = p @ COMBS[:, :HARM_SEARCH_BINS].T
    best = np.argmax(r, axis=-1)
    voicing = np.take_along_axis(r, best[..., None], axis=-1)[..., 0] / (p.sum(axis=-1) + 1e-20)
    return COMBS[best], voicing


def features(power_noisy, noise):
    """Network inputs (batch x hops x NFEAT) from noisy power spectra and the
    tracker's noise estimates."""
    e = power_noisy @ BANDS.T
    n = noise @ BANDS.T
    comb, voicing = harmonicity(power_noisy)
    h = ((power_noisy * comb) @ BANDS.T) / (e + LOG_EPS)
    return np.concatenate([np.log10(e + LOG_EPS), np.log10((e + LOG_EPS) / (n + LOG_EPS)), h,
                           voicing[..., None]], axis=2).astype(np.float32)


def load(path):
    x, fs = sf.read(path, dtype="float64", always_2d=True)
    x = x[:, 0]
    if fs != FS:
        g = gcd(int(fs), FS)
        x = resample_poly(x, FS // g, int(fs) // g)
    return x


def tilt(x, rng):
    """Random gentle spectral colouring: first-order shelving in both ends."""
    a = rng.uniform(-0.5, 0.5)
    b = rng.uniform(-0.5, 0.5)
    y = lfilter([1, a], [1], x)
    return lfilter([1], [1, b], y) * np.sqrt((1 - b * b) / (1 + a * a))


# Speed factors (as up/down sampling ratios) for perturbing clips: speech at
# another speed has another pitch and tempo, which stands in for speakers
# and noise sources the corpus does not have.
SPEEDS = [(9, 10), (19, 20), (1, 1), (21, 20), (11, 10)]


def perturb(x, rng, share):
    """x at a random speed from SPEEDS, for `share` of the calls."""
    if share <= 0 or rng.random() >= share:
        return x
    up, down = SPEEDS[rng.integers(len(SPEEDS))]
    return resample_poly(x, up, down) if up != down else x


def corpus_split():
    """The training corpus split into training and validation parts: whole
    speakers (every HOLD_EVERY-th of each data set), whole noise recordings
    and whole room responses. Returns {"speech"|"noise"|"rir": (train, held)}
    with lists of paths; speech entries are manifest rows (dicts) with the
    path added."""
    import csv
    with open(os.path.join(CORPUS, "speech", "manifest.tsv")) as fh:
        rows = list(csv.DictReader(fh, delimiter="\t"))
    speakers = {}
    for r in rows:
        speakers.setdefault(r["dataset"], set()).add(r["speaker"])
    held = set()
    for ds, names in speakers.items():
        held |= {(ds, n) for i, n in enumerate(sorted(names)) if i % HOLD_EVERY == HOLD_FIRST}
    speech = ([], [])
    for r in sorted(rows, key=lambda r: r["file"]):
        r = dict(r, path=os.path.join(CORPUS, "speech", r["file"]))
        speech[(r["dataset"], r["speaker"]) in held].append(r)

    def files(kind):
        names = sorted(f for f in os.listdir(os.path.join(CORPUS, kind)) if f.endswith(".flac"))
        paths = [os.path.join(CORPUS, kind, f) for f in names]
        return ([p for i, p in enumerate(paths) if i % HOLD_EVERY != HOLD_FIRST],
                [p for i, p in enumerate(paths) if i % HOLD_EVERY == HOLD_FIRST])
    return {"speech": speech, "noise": files("noise"), "rir": files("rir")}


class Pool:
    """The recordings one set of sequences is mixed from, at 32 kHz: speech
    (with whether it reaches above 8 kHz), noise recordings and room
    responses (each cut to its direct sound onwards, at most 1 s)."""

    def __init__(self, speech_rows, noise_paths, rir_paths):
        self.speech = []
        for r in speech_rows:
            x = load(r["path"])
            x = x / max(np.sqrt(active_power(x)), 1e-6)
            self.speech.append((x, int(r["rate"]) > 2 * 8000))
        self.wide = [i for i, (_, w) in enumerate(self.speech) if w]
        self.narrow = [i for i, (_, w) in enumerate(self.speech) if not w]
        if not self.narrow:
            self.narrow = self.wide
        self.noise = [load(p) for p in noise_paths]
        self.rir = []
        for p in rir_paths:
            h = load(p)
            peak = int(np.argmax(np.abs(h)))
            h = h[max(0, peak - 32):][:FS]
            self.rir.append(h / np.sqrt(np.sum(h ** 2)))


# An 8 kHz low-pass (band-limited speech, as from a 16 kHz source).
_LP8K = None


def bandlimit(x):
    global _LP8K
    if _LP8K is None:
        from scipy.signal import firwin
        _LP8K = firwin(127, 7600, fs=FS)
    return np.convolve(x, _LP8K, mode="same")


def active_power(x):
    """Mean power of the 20 ms frames within 40 dB of the loudest one."""
    f = 640
    n = len(x) // f
    if n == 0:
        return 0.0
    e = np.mean(x[:n * f].reshape(n, f) ** 2, axis=1)
    a = e > 1e-4 * e.max()
    return float(np.mean(e[a])) if e.max() > 0 else 0.0


def fan_noise(rng, n):
    """A stationary fan or air conditioner: coloured noise, often with
    mains hum (50 or 60 Hz and its harmonics)."""
    v = rng.standard_normal(n)
    v = lfilter([1.0], [1.0, -rng.uniform(0.3, 0.97)], v)
    v = tilt(v, rng)
    v /= np.sqrt(np.mean(v ** 2)) + 1e-12
    if rng.random() < 0.6:
        f0 = (50.0 if rng.random() < 0.5 else 60.0) * rng.uniform(0.99, 1.01)
        t = np.arange(n) / FS
        hum = np.zeros(n)
        for h in range(1, 11):
            hum += rng.uniform(0, 1) / h * np.sin(2 * np.pi * f0 * h * t + rng.uniform(0, 6.3))
        hum /= np.sqrt(np.mean(hum ** 2)) + 1e-12
        v += hum * 10 ** (rng.uniform(-15, 10) / 20)
    return v


def babble(rng, pool, n):
    """Several speakers talking at once, each looped over the sequence."""
    v = np.zeros(n)
    for _ in range(rng.integers(3, 8)):
        u = pool.speech[rng.integers(len(pool.speech))][0]
        u = np.concatenate([u, np.zeros(int(rng.uniform(0.05, 0.5) * FS))])
        while len(u) < 2 * n:
            u = np.concatenate([u, u])
        off = rng.integers(len(u) - n)
        v += u[off:off + n] * 10 ** (rng.uniform(-4, 4) / 20)
    return v


def noise_source(rng, pool, n):
    r, kind = rng.random(), NOISE_KINDS[-1][0]
    for name, share in NOISE_KINDS:
        if r < share:
            kind = name
            break
        r -= share
    if kind == "fan":
        v = fan_noise(rng, n)
    elif kind == "babble":
        v = babble(rng, pool, n)
    else:
        c = perturb(pool.noise[rng.integers(len(pool.noise))], rng, NOISE_SPEED_SHARE)
        while len(c) < n + 1:
            c = np.concatenate([c, c])
        off = rng.integers(len(c) - n)
        v = c[off:off + n]
    v = tilt(v, rng)
    return v / (np.sqrt(np.mean(v ** 2)) + 1e-12)


def make_sequence(rng, pool, n, quiet_share=0.0):
    """One training sequence of n samples: (clean target, noisy input). With
    probability quiet_share the noise lies QUIET_SNR below the speech (no
    draw is made for it at 0, so the validation mixtures stay the same)."""
    from scipy.signal import fftconvolve
    s = np.zeros(n)
    narrow = True
    if rng.random() > 0.08:
        pos = int(rng.uniform(0, 0.4) * n)
        while pos < n:
            group = pool.wide if rng.random() < WIDE_SHARE and pool.wide else pool.narrow
            u, wide = pool.speech[group[rng.integers(len(group))]]
            u = perturb(u, rng, SPEECH_SPEED_SHARE)
            if wide and rng.random() < BANDLIMIT_SHARE:
                u = bandlimit(u)
                wide = False
            narrow = narrow and not wide
            u = tilt(u, rng) * 10 ** (rng.uniform(-4, 4) / 20)
            take = min(len(u), n - pos)
            s[pos:pos + take] += u[:take]
            pos += take + int(rng.uniform(0.1, 1.5) * FS)
            if rng.random() < 0.5:
                break
    clean = s
    if s.any() and rng.random() < REVERB_SHARE:
        h = pool.rir[rng.integers(len(pool.rir))]
        e = int(EARLY_S * FS)
        s = fftconvolve(s, h)[:n]
        clean = fftconvolve(clean, h[:e])[:n]
    v = np.zeros(n)
    if rng.random() > 0.04:
        count = 1 if rng.random() < 0.6 else 2 if rng.random() < 0.75 else 3
        for _ in range(count):
            v += noise_source(rng, pool, n) * 10 ** (rng.uniform(-8, 8) / 20)
    ps = active_power(s)
    pn = np.mean(v ** 2)
    if ps > 0:
        g = 10 ** (rng.uniform(-45, -10) / 20) / np.sqrt(ps)
        if pn > 0:
            quiet = quiet_share > 0 and rng.random() < quiet_share
            snr = rng.uniform(*QUIET_SNR) if quiet else rng.uniform(-5, 20)
            v *= np.sqrt(ps / (pn * 10 ** (snr / 10)))
    else:
        g = 10 ** (rng.uniform(-65, -20) / 20) / np.sqrt(pn) if pn > 0 else 1.0
    if narrow and s.any() and rng.random() < NARROW_STREAM_SHARE:
        v = bandlimit(v)
    mix = (s + v) * g
    clean = clean * g
    peak = np.max(np.abs(mix))
    if peak > 0.98:
        mix *= 0.98 / peak
        clean *= 0.98 / peak
    # 16-bit steps, as the library receives.
    mix = np.round(mix * 32768.0) / 32768.0
    if rng.random() < MUTE_SHARE:
        # A muted stretch, as from a microphone switched off: exact zeros or
        # a dithered last bit.
        a = 0 if rng.random() < MUTE_AT_START else int(rng.uniform(0.2, 0.8) * n)
        b = min(n, a + int(rng.uniform(0.1, 1.5) * FS))
        clean[a:b] = 0.0
        mix[a:b] = 0.0 if rng.random() < 0.7 else rng.integers(-1, 2, b - a) / 32768.0
    return clean, mix


def build_set(rng, count, seconds, pool, lsa_weight):
    n = int(seconds * FS) + 1024
    feats, targets, plain, weights, loud, dist, mixes = [], [], [], [], [], [], []
    batch = 100
    for start in range(0, count, batch):
        ps, pm, pc = [], [], []
        for _ in range(min(batch, count - start)):
            s, m = make_sequence(rng, pool, n, QUIET_SHARE)
            cs, cm = analysis_spectra(s), analysis_spectra(m)
            ps.append(cs.real ** 2 + cs.imag ** 2)
            pm.append(cm.real ** 2 + cm.imag ** 2)
            pc.append(cm.real * cs.real + cm.imag * cs.imag)
        ps, pm, pc = np.stack(ps), np.stack(pm), np.stack(pc)
        noise_est, lsa = track_noise(pm, lsa_weight)
        f = features(pm, noise_est)
        es, em = ps @ BANDS.T, pm @ BANDS.T
        # What the mask applies to each bin is the band gains interpolated
        # and multiplied by the statistical gain L. Two targets: the band gain
        # that brings the band's energy after L to the clean energy
        # (--lsa-target), and the band's ideal amplitude ratio (the default).
        pl = pm * lsa * lsa
        t = np.clip(np.sqrt(es / (pl @ BANDS.T + 1e-30)), 0, 1).astype(np.float32)
        t0 = np.clip(np.sqrt(es / (em + 1e-30)), 0, 1).astype(np.float32)
        silent = silent_hops(pm)
        # Bands with next to no energy carry no information on the gain.
        w = ((em > 1e-11) & ~silent[:, :, None]).astype(np.float32)
        # Band energy relative to the sequence's mean: the share of an error
        # in the output's distortion, which loud bands dominate.
        ref = np.maximum((em * w).sum(axis=(1, 2)) / np.maximum(w.sum(axis=(1, 2)), 1), 1e-30)
        e = np.minimum(em / ref[:, None, None], LOUD_CLIP).astype(np.float32) * w
        # The output's error energy |g X - S|^2, summed over the bins, for
        # bin gains g_k = L_k (sum_b I_kb G_b) with the interpolation I
        # (which joins neighbouring bands only), is quadratic in the band
        # gains G: sum_b G_b^2 A_b + G_b G_b+1 B_b - 2 G_b C_b + |S|^2.
        # These four terms per band, relative to the sequence's mean, give
        # the distortion loss; the noisy energy per sequence is its reference
        # where there is no speech.
        a = pl @ (BANDS * BANDS).T
        b = np.zeros_like(a)
        b[..., :-1] = 2 * pl @ (BANDS[:-1] * BANDS[1:]).T
        c = (pc * lsa) @ BANDS.T
        wb = np.ones_like(w)
        wb[silent] = 0.0
        d = np.stack([a, b, c, es], axis=-1) / ref[:, None, None, None]
        d = (d * wb[..., None]).astype(np.float32)
        mixes.append(((em * wb).sum(axis=(1, 2)) / ref).astype(np.float32))
        f, t, t0, w, e, d = skip_silence(silent, f, t, t0, w, e, d)
        feats.append(f)
        targets.append(t)
        plain.append(t0)
        weights.append(w)
        loud.append(e)
        dist.append(d)
    return tuple(np.concatenate(a) for a in (feats, targets, plain, weights, loud, dist, mixes))


def write_c(path, model, mean, std):
    import torch  # noqa: F401

    def arr(name, a):
        a = np.asarray(a, dtype=np.float32).ravel()
        body = ",\n".join("    " + ", ".join("%.8ef" % v for v in a[i:i + 6])
                          for i in range(0, len(a), 6))
        return "const float %s[%d] = {\n%s,\n};\n" % (name, len(a), body)

    sd = {k: v.detach().cpu().numpy() for k, v in model.state_dict().items()}
    parts = [
        "/* Weights of the band-gain network of the default estimator, written by\n"
        " * tools/train/train_mask.py from ../shared/corpus-train. Do not edit by hand. */\n",
        '#include "mask_net.h"\n\n',
        arr("vx_feat_mean", mean), arr("vx_feat_scale", 1.0 / std),
        arr("vx_in_w", sd["inp.weight"]), arr("vx_in_b", sd["inp.bias"]),
    ]
    for i in (1, 2):
        g = "gru%d" % i
        parts += [arr("vx_%s_wi" % g, sd[g + ".weight_ih_l0"]), arr("vx_%s_wh" % g, sd[g + ".weight_hh_l0"]),
                  arr("vx_%s_bi" % g, sd[g + ".bias_ih_l0"]), arr("vx_%s_bh" % g, sd[g + ".bias_hh_l0"])]
    parts += [arr("vx_out_w", sd["out.weight"]), arr("vx_out_b", sd["out.bias"])]
    with open(path, "w") as fh:
        fh.write("\n".join(parts))
    # The repository's C sources are kept clang-formatted.
    import shutil
    import subprocess
    if shutil.which("clang-format"):
        # Styled by the repository's .clang-format wherever the file is
        # written: clang-format finds the style from the assumed name only
        # when the source comes on standard input.
        style = os.path.join(ROOT, "vardix", "src", "mask_weights.c")
        with open(path, "rb") as fh:
            r = subprocess.run(["clang-format", "--assume-filename=" + style], stdin=fh,
                               capture_output=True, check=False)
        if r.returncode == 0 and r.stdout:
            with open(path, "wb") as fh:
                fh.write(r.stdout)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sequences", type=int, default=3400)
    ap.add_argument("--seconds", type=float, default=4.0)
    ap.add_argument("--epochs", type=int, default=10)
    ap.add_argument("--seed", type=int, default=20261210)
    ap.add_argument("--threads", type=int, default=1)
    ap.add_argument("--batch", type=int, default=64)
    ap.add_argument("--loud-weight", type=float, default=LOUD_WEIGHT,
                    help="weight of the energy-weighted amplitude error")
    ap.add_argument("--under-weight", type=float, default=UNDER_WEIGHT,
                    help="extra weight of gains below their target")
    ap.add_argument("--sdr-weight", type=float, default=SDR_WEIGHT,
                    help="weight, per dB, of the sequences' signal-to-distortion ratio")
    ap.add_argument("--lsa-weight", type=float, default=LSA_WEIGHT,
                    help="exponent of the statistical gain in the mask (VX_LSA_WEIGHT)")
    ap.add_argument("--lsa-target", action="store_true",
                    help="target the band gain that matches the clean energy after the "
                         "statistical gain")
    ap.add_argument("--dropout", type=float, default=0.1,
                    help="dropout on the inputs of both GRUs while training")
    ap.add_argument("--weight-decay", type=float, default=0.0,
                    help="decoupled weight decay of the optimiser (AdamW)")
    ap.add_argument("--hidden", type=int, default=HIDDEN,
                    help="GRU size (must match VX_HIDDEN in vardix/src/mask_net.h)")
    ap.add_argument("--cache", help="keep the generated sequences in this .npz file and reuse them")
    ap.add_argument("--out", default=os.path.join(ROOT, "vardix", "src", "mask_weights.c"))
    args = ap.parse_args()

    import torch
    import torch.nn as nn
    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    rng = np.random.default_rng(args.seed)

    t0 = time.time()
    split = corpus_split()
    pool = Pool(split["speech"][0], split["noise"][0], split["rir"][0])
    pool_held = Pool(split["speech"][1], split["noise"][1], split["rir"][1])
    print("corpus: %d/%d utterances, %d/%d noise recordings, %d/%d room responses "
          "(training/validation), loaded in %.0f s"
          % (len(pool.speech), len(pool_held.speech), len(pool.noise), len(pool_held.noise),
             len(pool.rir), len(pool_held.rir), time.time() - t0), flush=True)
    names = ("x", "y", "y0", "w", "e", "d", "m")
    keys = names + tuple(k + "v" for k in names)
    cached = np.load(args.cache) if args.cache and os.path.exists(args.cache) else None
    if cached is not None and not set(keys + ("lsa_weight",)) <= set(cached.files):
        print("%s was written by an older version; building the data again" % args.cache)
        cached = None
    if cached is not None and float(cached["lsa_weight"]) != args.lsa_weight:
        print("%s was made for another --lsa-weight; building the data again" % args.cache)
        cached = None
    if cached is not None:
        train = [cached[k] for k in names]
        val = [cached[k + "v"] for k in names]
    else:
        train = build_set(rng, args.sequences, args.seconds, pool, args.lsa_weight)
        # Validation mixes only held-out speakers, noises and rooms.
        val = build_set(rng, max(100, args.sequences // 10), args.seconds, pool_held,
                        args.lsa_weight)
        if args.cache:
            np.savez(args.cache, lsa_weight=args.lsa_weight,
                     **dict(zip(keys, list(train) + list(val))))
    x, y, y0, w, e, d, m = (a[:args.sequences] for a in train)
    xv, yv, y0v, wv, ev, dv, mv = val
    if not args.lsa_target:
        y, yv = y0, y0v
    # Normalisation from the hops the network runs on (not digital silence).
    live = w.reshape(-1, NB).any(axis=1)
    mean = x.reshape(-1, NFEAT)[live].mean(axis=0)
    std = x.reshape(-1, NFEAT)[live].std(axis=0) + 1e-3
    x = (x - mean) / std
    xv = (xv - mean) / std
    print("data: %s in %.0f s" % (x.shape, time.time() - t0), flush=True)

    class Net(nn.Module):
        def __init__(self):
            super().__init__()
            self.inp = nn.Linear(NFEAT, DENSE)
            self.gru1 = nn.GRU(DENSE, args.hidden, batch_first=True)
            self.gru2 = nn.GRU(args.hidden, args.hidden, batch_first=True)
            self.out = nn.Linear(args.hidden, NB)
            self.drop = nn.Dropout(args.dropout)

        def forward(self, f):
            h = torch.tanh(self.inp(f))
            h1, _ = self.gru1(self.drop(h))
            h2, _ = self.gru2(self.drop(h1))
            return torch.sigmoid(self.out(h2))

    def loss_fn(g, t, m, e, dist, mix):
        # Errors on compressed gains, with extra weight on over-suppression
        # of speech (gain far below its target) so onsets are not eaten, and
        # amplitude errors weighted by band energy, which is what the output's
        # distortion is made of.
        d = torch.sqrt(g + 1e-8) - torch.sqrt(t + 1e-8)
        under = torch.clamp(-d, min=0)
        a = g - t
        loss = torch.sum(m * (d * d + args.under_weight * under * under) +
                         args.loud_weight * e * a * a) / torch.sum(m)
        if args.sdr_weight > 0:
            # Each sequence's signal-to-distortion ratio in dB, from the error
            # energy of the masked spectra against the clean ones; against the
            # noise energy where a sequence holds no speech.
            a, b, c, es = (dist[..., i] for i in range(4))
            err = (torch.sum(g * g * a - 2 * g * c + es, dim=(1, 2)) +
                   torch.sum(g[..., :-1] * g[..., 1:] * b[..., :-1], dim=(1, 2))).clamp(min=0)
            sig = torch.sum(es, dim=(1, 2))
            ref = torch.where(sig > SPEECH_SHARE_MIN * mix, sig, mix) + 1e-9
            sdr = -10 * torch.log10(err / ref + SDR_FLOOR)
            loss = loss - args.sdr_weight * torch.mean(sdr)
        return loss

    net = Net()
    opt = torch.optim.AdamW(net.parameters(), lr=4e-3, weight_decay=args.weight_decay)
    sched = torch.optim.lr_scheduler.CosineAnnealingLR(opt, args.epochs)
    X, Y, W, E, D, M = map(torch.from_numpy, (x, y, w, e, d, m))
    XV, YV, WV, EV, DV, MV = map(torch.from_numpy, (xv, yv, wv, ev, dv, mv))
    best, best_state = None, None
    for epoch in range(args.epochs):
        net.train()
        perm = torch.randperm(len(X))
        total = 0.0
        for i in range(0, len(X), args.batch):
            b = perm[i:i + args.batch]
            opt.zero_grad()
            loss = loss_fn(net(X[b]), Y[b], W[b], E[b], D[b], M[b])
            loss.backward()
            nn.utils.clip_grad_norm_(net.parameters(), 1.0)
            opt.step()
            total += loss.item() * len(b)
        sched.step()
        net.eval()
        with torch.no_grad():
            vl = loss_fn(net(XV), YV, WV, EV, DV, MV).item()
        if best is None or vl < best:
            best = vl
            best_state = {k: v.clone() for k, v in net.state_dict().items()}
        print("epoch %2d  train %.4f  held-out mixtures %.4f  (%.0f s)"
              % (epoch + 1, total / len(X), vl, time.time() - t0), flush=True)

    # The epoch that did best on the held-out speakers and noise clips.
    net.load_state_dict(best_state)
    write_c(args.out, net, mean, std)
    print("wrote", args.out)


if __name__ == "__main__":
    main()
