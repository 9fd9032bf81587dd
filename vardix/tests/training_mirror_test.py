"""The training script (tools/train/train_mask.py) computes the network's
inputs with its own copy of the estimator's noise tracker and statistical
gain, and its own pitch search and harmonic combs. This runs both on the
same spectra, through silence at the start, noise, a rising floor, bursts
of a voiced sound and silence inside, and requires the same noise estimate,
gain and network inputs on every spectrum."""
import ctypes
import os
import sys
import unittest

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "train"))

import train_mask  # noqa: E402

BINS = 257
FS = 32000


def test_signal():
    rng = np.random.default_rng(4)
    parts = [np.zeros(FS // 2)]
    lp = np.zeros(3 * FS)
    w = rng.standard_normal(3 * FS)
    for i in range(1, len(w)):
        lp[i] = 0.8 * lp[i - 1] + w[i]
    noise = 3e-4 * lp
    noise[FS + FS // 2:] *= 3.0  # +10 dB
    t = np.arange(3 * FS) / FS
    voiced = sum(np.sin(2 * np.pi * 140 * h * t) / h for h in range(1, 20))
    bursts = (np.sin(2 * np.pi * 1.5 * t) > 0.3) * 0.02 * voiced
    parts.append(noise + bursts)
    parts.append(rng.integers(-1, 2, FS // 3) / 32768.0)  # a dithered last bit
    parts.append(noise[:FS] + bursts[:FS])
    return np.round(np.concatenate(parts) * 32768) / 32768


class TrackerMirror(unittest.TestCase):
    def test_same_noise_estimate_and_gain(self):
        lib = ctypes.CDLL(os.environ["VARDIX_PROBE"])
        lib.probe_size.restype = ctypes.c_size_t
        lib.probe_noise.restype = ctypes.POINTER(ctypes.c_float)
        lib.probe_log_gain.restype = ctypes.POINTER(ctypes.c_float)
        lib.probe_features.restype = ctypes.POINTER(ctypes.c_float)
        state = ctypes.create_string_buffer(lib.probe_size())
        lib.probe_init(state)

        spec = train_mask.analysis_spectra(test_signal())
        re = spec.real.astype(np.float32)
        im = spec.imag.astype(np.float32)
        mask = np.zeros(BINS, dtype=np.float32)
        c_noise, c_gain, c_feat = [], [], []
        f32p = ctypes.POINTER(ctypes.c_float)
        for h in range(len(spec)):
            r, i = np.ascontiguousarray(re[h]), np.ascontiguousarray(im[h])
            lib.probe_run(state, r.ctypes.data_as(f32p), i.ctypes.data_as(f32p),
                          mask.ctypes.data_as(f32p))
            c_noise.append(np.ctypeslib.as_array(lib.probe_noise(state), (BINS,)).copy())
            c_gain.append(np.ctypeslib.as_array(lib.probe_log_gain(state), (BINS,)).copy())
            c_feat.append(np.ctypeslib.as_array(lib.probe_features(state),
                                                (train_mask.NFEAT,)).copy())
        c_noise, c_gain, c_feat = np.array(c_noise), np.array(c_gain), np.array(c_feat)

        power = re.astype(np.float64) ** 2 + im.astype(np.float64) ** 2
        noise, lsa = train_mask.track_noise(power[None])
        noise, lsa = noise[0], lsa[0]
        silent = train_mask.silent_hops(power)
        self.assertGreater(silent.sum(), 90)  # both silences are seen as such
        self.assertLess(silent[len(spec) // 2], 1)

        # The noise estimates agree to float precision on every spectrum.
        ref = np.maximum(noise, 1e-18)
        err = np.abs(c_noise - noise) / ref
        self.assertLess(np.max(err), 2e-3, "worst at hop %d" % np.argmax(err.max(axis=1)))
        # So does the statistical gain (the C exponential integral is an
        # approximation to 5e-5).
        c_lsa = np.exp(train_mask.LSA_WEIGHT * c_gain)
        self.assertLess(np.max(np.abs(c_lsa - lsa)), 2e-3)

        # The network's inputs, spectrum by spectrum (the C side keeps those of
        # the last spectrum that was not silence).
        feat = train_mask.features(power[None], noise[None])[0]
        live = np.flatnonzero(~silent)
        held = np.maximum.accumulate(np.where(~silent, np.arange(len(spec)), 0))
        c_feat = c_feat[live]
        feat = feat[held[live]]
        nb = train_mask.NB
        self.assertLess(np.max(np.abs(c_feat[:, :2 * nb] - feat[:, :2 * nb])), 2e-3)
        # The pitch search is an argmax: float and double sums may pick
        # another lag where two lags score alike, on a rare spectrum.
        harm = np.abs(c_feat[:, 2 * nb:] - feat[:, 2 * nb:]).max(axis=1)
        self.assertLess(np.mean(harm > 1e-3), 0.01)
        # The voiced bursts are told from the noise: the spectra they fill
        # (a third of the live ones) are far more voiced than the rest.
        voicing = feat[:, -1]
        self.assertGreater(np.percentile(voicing, 85), 2 * np.median(voicing))


if __name__ == "__main__":
    unittest.main()
