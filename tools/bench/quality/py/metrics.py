"""Scores and signal helpers of the quality benchmark: SI-SDR, alignment,
resampling, levels, word onsets."""
from math import gcd

import numpy as np
from scipy.signal import fftconvolve, resample_poly

_EPS = 1e-12


def resample(x, fs_from, fs_to):
    if fs_from == fs_to:
        return np.asarray(x, dtype=np.float64)
    g = gcd(int(fs_from), int(fs_to))
    return resample_poly(np.asarray(x, dtype=np.float64), int(fs_to) // g, int(fs_from) // g)


def si_sdr(reference, estimate):
    """Scale-invariant signal-to-distortion ratio in dB (both mean-removed)."""
    s = np.asarray(reference, dtype=np.float64)
    e = np.asarray(estimate, dtype=np.float64)
    s = s - s.mean()
    e = e - e.mean()
    target = (np.dot(e, s) / (np.dot(s, s) + _EPS)) * s
    noise = e - target
    return float(10 * np.log10((np.dot(target, target) + _EPS) / (np.dot(noise, noise) + _EPS)))


def find_lag(reference, signal, max_lag):
    """Lag (samples, >= -max_lag, <= max_lag) by which `signal` trails
    `reference`, from the peak of their cross-correlation."""
    ref = np.asarray(reference, dtype=np.float64)
    sig = np.asarray(signal, dtype=np.float64)
    n = min(len(ref), len(sig))
    corr = fftconvolve(sig[:n + max_lag], ref[::-1][-n:], mode="full")
    # corr[n - 1 + L] = sum_t sig[t + L] * ref[t]
    lags = np.arange(-max_lag, max_lag + 1)
    idx = n - 1 + lags
    valid = (idx >= 0) & (idx < len(corr))
    best = lags[valid][int(np.argmax(corr[idx[valid]]))]
    return int(best)


def shift(signal, lag, length):
    """signal advanced by `lag` samples, cut or zero-padded to `length`."""
    out = np.zeros(length)
    sig = np.asarray(signal, dtype=np.float64)
    if lag >= 0:
        part = sig[lag:lag + length]
        out[:len(part)] = part
    else:
        part = sig[:max(0, length + lag)]
        out[-lag:-lag + len(part)] = part
    return out


def level_db(x):
    x = np.asarray(x, dtype=np.float64)
    return float(10 * np.log10(np.mean(x ** 2) + _EPS))


def onsets(clean, fs, frame_s=0.01, silence_s=0.15, quiet_db=-40.0, loud_db=-30.0):
    """Sample indices where speech starts after at least `silence_s` of
    silence: the first 10 ms frame above `loud_db` (relative to the loudest
    frame) after frames that all lay below `quiet_db`. Starting at the first
    clearly audible frame keeps the breath-level lead-in, whose energy says
    little, out of the onset window."""
    x = np.asarray(clean, dtype=np.float64)
    n = int(frame_s * fs)
    frames = len(x) // n
    e = 10 * np.log10(np.mean(x[:frames * n].reshape(frames, n) ** 2, axis=1) + _EPS)
    e -= e.max()
    need = int(round(silence_s / frame_s))
    found, quiet = [], 0
    for i, v in enumerate(e):
        if v > loud_db and quiet >= need:
            found.append(i * n)
        quiet = quiet + 1 if v < quiet_db else (0 if v > loud_db else quiet)
    return found
