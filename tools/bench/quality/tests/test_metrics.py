"""Checks of the quality benchmark's own measures: STOI (against the
properties any correct implementation of Taal et al. 2011 has), SI-SDR,
alignment and onset detection. Speech comes from the corpus."""
import os
import sys
import unittest

import numpy as np
import soundfile as sf

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "py"))

import metrics  # noqa: E402
from stoi import stoi, third_octave_matrix  # noqa: E402

CORPUS = os.environ.get("SONVALE_CORPUS_DIR",
                        os.path.join(HERE, "..", "..", "..", "..", "..", "shared", "corpus"))


def speech16k(name="ljspeech_LJ050-0131_F.wav"):
    x, fs = sf.read(os.path.join(CORPUS, "speech", name), dtype="float64")
    return metrics.resample(x, fs, 16000)


def white(n, seed):
    return np.random.default_rng(seed).standard_normal(n)


def at_snr(s, n, snr_db):
    return s + n * np.sqrt(np.mean(s ** 2) / (np.mean(n ** 2) * 10 ** (snr_db / 10)))


class StoiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.s = speech16k()
        cls.n = white(len(cls.s), 1)

    def test_identical_signals_score_one(self):
        self.assertAlmostEqual(stoi(self.s, self.s, 16000), 1.0, places=6)

    def test_falls_monotonically_as_snr_falls(self):
        scores = [stoi(self.s, at_snr(self.s, self.n, snr), 16000) for snr in (20, 10, 5, 0, -5, -10)]
        for hi, lo in zip(scores, scores[1:]):
            self.assertGreater(hi, lo)
        # Published behaviour for white noise: near 1 at 20 dB, far down at -10 dB.
        self.assertGreater(scores[0], 0.95)
        self.assertLess(scores[-1], 0.7)

    def test_independent_of_level_of_either_signal(self):
        y = at_snr(self.s, self.n, 0)
        ref = stoi(self.s, y, 16000)
        self.assertAlmostEqual(stoi(self.s, 0.01 * y, 16000), ref, places=6)
        self.assertAlmostEqual(stoi(3.0 * self.s, y, 16000), ref, places=6)

    def test_same_score_at_other_input_rates(self):
        y = at_snr(self.s, self.n, 5)
        s48, y48 = (metrics.resample(v, 16000, 48000) for v in (self.s, y))
        self.assertAlmostEqual(stoi(s48, y48, 48000), stoi(self.s, y, 16000), delta=0.01)

    def test_silence_in_the_clean_signal_is_ignored(self):
        # Frames where the clean signal is silent take no part, whatever the
        # processed signal carries there.
        y = at_snr(self.s, self.n, 5)
        gap = np.zeros(16000)
        s2 = np.concatenate([gap, self.s])
        y2 = np.concatenate([white(16000, 2) * 0.3, y])
        self.assertAlmostEqual(stoi(s2, y2, 16000), stoi(self.s, y, 16000), delta=0.01)

    def test_time_frequency_distortion_lowers_the_score(self):
        # Zeroing every other 100 ms block is heard as chopped speech.
        y = self.s.copy()
        for a in range(0, len(y), 3200):
            y[a:a + 1600] = 0
        self.assertLess(stoi(self.s, y, 16000), 0.85)

    def test_third_octave_bands_cover_150_hz_to_4_khz(self):
        obm = third_octave_matrix()
        self.assertEqual(obm.shape, (15, 257))
        bins = np.nonzero(obm.any(axis=0))[0]
        hz = bins * 10000 / 512
        self.assertLess(abs(hz[0] - 150 * 2 ** (-1 / 6)), 20)
        self.assertLess(abs(hz[-1] - 150 * 2 ** (29 / 6)), 40)
        self.assertTrue(np.all(obm.sum(axis=0) <= 1))  # bands do not overlap

    def test_rejects_unequal_lengths(self):
        with self.assertRaises(ValueError):
            stoi(self.s, self.s[:-1], 16000)


class SiSdrAndAlignmentTest(unittest.TestCase):
    def test_si_sdr_equals_snr_of_an_additive_orthogonal_error(self):
        s = speech16k()
        n = white(len(s), 3)
        n -= np.dot(n, s - s.mean()) / np.dot(s - s.mean(), s - s.mean()) * (s - s.mean())
        y = at_snr(s, n, 7.0)
        self.assertAlmostEqual(metrics.si_sdr(s, y), 7.0, delta=0.05)

    def test_si_sdr_ignores_gain(self):
        s = speech16k()
        y = at_snr(s, white(len(s), 4), 3.0)
        self.assertAlmostEqual(metrics.si_sdr(s, 0.2 * y), metrics.si_sdr(s, y), places=6)

    def test_find_lag_recovers_delay_and_advance(self):
        s = speech16k()
        for lag in (0, 37, 512, -90):
            y = metrics.shift(s, -lag, len(s))  # y trails s by `lag` samples
            noisy = at_snr(y, white(len(s), 5), 10)
            self.assertEqual(metrics.find_lag(s, noisy, 1600), lag)
            aligned = metrics.shift(y, lag, len(s))
            self.assertGreater(metrics.si_sdr(s[2000:-2000], aligned[2000:-2000]), 60)

    def test_onsets_found_after_silence_only(self):
        fs = 16000
        burst = np.sin(2 * np.pi * 300 * np.arange(int(0.3 * fs)) / fs)
        x = np.concatenate([np.zeros(fs // 2), burst, np.zeros(fs // 20), burst,
                            np.zeros(fs // 2), burst])
        # The 50 ms gap is too short to count; the two 500 ms gaps count.
        self.assertEqual(metrics.onsets(x, fs), [fs // 2, fs // 2 + 2 * len(burst) + fs // 20 + fs // 2])


if __name__ == "__main__":
    unittest.main()
