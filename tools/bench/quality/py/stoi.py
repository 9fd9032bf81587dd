"""Short-Time Objective Intelligibility (STOI), after Taal, Hendriks, Heusdens
and Jensen, "An Algorithm for Intelligibility Prediction of Time-Frequency
Weighted Noisy Speech", IEEE TASLP 19(7), 2011.

The measure compares short-time temporal envelopes of the clean and the
processed signal in 15 one-third-octave bands: both are resampled to 10 kHz,
frames where the clean signal is more than 40 dB below its loudest frame are
dropped from both, and over segments of 30 frames (384 ms) the processed
envelope is scaled to the clean one's energy, clipped to at most 15 dB above
it, and correlated with it. The score is the mean correlation over all bands
and segments, roughly 0.4 for unintelligible and 1 for identical signals.
"""
from math import gcd

import numpy as np
from scipy.signal import resample_poly

FS = 10000          # analysis rate
FRAME = 256         # frame length (25.6 ms)
HOP = FRAME // 2    # 50 % overlap
NFFT = 512          # zero-padded FFT
BANDS = 15          # one-third-octave bands
F_LOW = 150.0       # centre of the lowest band
SEGMENT = 30        # frames per intermediate intelligibility segment
BETA_DB = -15.0     # lower signal-to-distortion bound of the clipping
DYN_RANGE_DB = 40.0 # frames this far below the loudest clean frame are silent

_EPS = np.finfo(np.float64).eps


def _window():
    # Hann window without its zero end points (as MATLAB's hanning()).
    return np.hanning(FRAME + 2)[1:-1]


def third_octave_matrix(fs=FS, nfft=NFFT, bands=BANDS, f_low=F_LOW):
    """Rows select the FFT bins (0..nfft/2) of each one-third-octave band."""
    freqs = np.linspace(0, fs, nfft + 1)[: nfft // 2 + 1]
    k = np.arange(bands, dtype=np.float64)
    lo = f_low * 2.0 ** ((2 * k - 1) / 6)
    hi = f_low * 2.0 ** ((2 * k + 1) / 6)
    obm = np.zeros((bands, len(freqs)))
    for j in range(bands):
        a = int(np.argmin((freqs - lo[j]) ** 2))
        b = int(np.argmin((freqs - hi[j]) ** 2))
        obm[j, a:b] = 1.0
    return obm


_OBM = third_octave_matrix()


def _frames(x):
    n = (len(x) - FRAME) // HOP + 1
    if n <= 0:
        return np.zeros((0, FRAME))
    idx = np.arange(FRAME)[None, :] + HOP * np.arange(n)[:, None]
    return x[idx] * _window()[None, :]


def _overlap_add(frames):
    out = np.zeros((len(frames) - 1) * HOP + FRAME) if len(frames) else np.zeros(0)
    for i, f in enumerate(frames):
        out[i * HOP:i * HOP + FRAME] += f
    return out


def remove_silent_frames(x, y):
    """Drops the frames in which the clean signal x is silent, from x and y."""
    fx, fy = _frames(x), _frames(y)
    energy = 20 * np.log10(np.linalg.norm(fx, axis=1) + _EPS)
    keep = energy > np.max(energy, initial=-np.inf) - DYN_RANGE_DB
    return _overlap_add(fx[keep]), _overlap_add(fy[keep])


def _band_envelopes(x):
    spec = np.fft.rfft(_frames(x), n=NFFT, axis=1)
    return np.sqrt(_OBM @ (np.abs(spec) ** 2).T)   # bands x frames


def _resample(x, fs):
    if fs == FS:
        return np.asarray(x, dtype=np.float64)
    g = gcd(int(fs), FS)
    return resample_poly(np.asarray(x, dtype=np.float64), FS // g, int(fs) // g)


def stoi(clean, processed, fs):
    """STOI of `processed` against `clean` (equal length, sample-aligned)."""
    clean = np.asarray(clean, dtype=np.float64)
    processed = np.asarray(processed, dtype=np.float64)
    if clean.shape != processed.shape:
        raise ValueError("clean and processed must have the same length")
    x, y = remove_silent_frames(_resample(clean, fs), _resample(processed, fs))
    X, Y = _band_envelopes(x), _band_envelopes(y)
    frames = X.shape[1]
    if frames < SEGMENT:
        raise ValueError("signal too short for STOI (needs %d active frames)" % SEGMENT)

    clip = 10 ** (-BETA_DB / 20)
    # All segments at once: segs[j, m, n] = band j, segment m, frame n.
    idx = np.arange(SEGMENT)[None, :] + np.arange(frames - SEGMENT + 1)[:, None]
    xs, ys = X[:, idx], Y[:, idx]
    alpha = np.linalg.norm(xs, axis=2, keepdims=True) / (
        np.linalg.norm(ys, axis=2, keepdims=True) + _EPS)
    yp = np.minimum(alpha * ys, xs * (1 + clip))
    xs = xs - xs.mean(axis=2, keepdims=True)
    yp = yp - yp.mean(axis=2, keepdims=True)
    corr = np.sum(xs * yp, axis=2) / (
        np.linalg.norm(xs, axis=2) * np.linalg.norm(yp, axis=2) + _EPS)
    return float(np.mean(corr))
