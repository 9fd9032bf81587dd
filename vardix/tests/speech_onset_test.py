"""Words that rise out of a quiet room must keep their start. Held-out
speakers' utterances of the training corpus (speakers the network never saw)
are played at -30 dBFS over a white floor 45 dB below them, after 0.3 s of
that floor alone, through the real analysis filter bank; the gain the
estimator means to reach the output over the first 30 ms of each word must
stay within 3 dB, on average, of what it gives the speech once under way
(and no word lose 6 dB more), while the floor before it is taken down."""
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
HOP = 256
UTTERANCES = 6


def estimator(lib):
    state = ctypes.create_string_buffer(lib.probe_size())
    lib.probe_init(state)
    return state


def gains(lib, x):
    """Per hop: the input power spectrum and the gain meant for the output
    (without the make-up gain, which only undoes the filter bank's loss)."""
    state = estimator(lib)
    spec = train_mask.analysis_spectra(x)
    re, im = spec.real.astype(np.float32), spec.imag.astype(np.float32)
    mask = np.zeros(BINS, dtype=np.float32)
    f32p = ctypes.POINTER(ctypes.c_float)
    out = []
    for h in range(len(spec)):
        r, i = np.ascontiguousarray(re[h]), np.ascontiguousarray(im[h])
        lib.probe_run(state, r.ctypes.data_as(f32p), i.ctypes.data_as(f32p),
                      mask.ctypes.data_as(f32p))
        out.append(np.ctypeslib.as_array(lib.probe_out_gain(state), (BINS,)).copy())
    makeup = train_mask.estimator_constants()["VX_MAKEUP"]
    return re.astype(np.float64) ** 2 + im.astype(np.float64) ** 2, np.array(out) / makeup


def level_db(power, gain):
    return 10 * np.log10(np.sum(power * gain ** 2) / np.sum(power))


@unittest.skipUnless(os.path.isdir(train_mask.CORPUS), "no training corpus")
class SpeechOnsets(unittest.TestCase):
    def test_words_out_of_a_quiet_room_keep_their_start(self):
        lib = ctypes.CDLL(os.environ["VARDIX_PROBE"])
        lib.probe_size.restype = ctypes.c_size_t
        lib.probe_out_gain.restype = ctypes.POINTER(ctypes.c_float)
        rows = train_mask.corpus_split()["speech"][1][:UTTERANCES]
        rng = np.random.default_rng(3)
        onsets, steady, floor = [], [], []
        for r in rows:
            s = train_mask.load(r["path"])
            # From the first 10 ms frame within 30 dB of the loudest one.
            f = FS // 100
            e = np.mean(s[:len(s) // f * f].reshape(-1, f) ** 2, axis=1)
            s = s[int(np.argmax(e > 1e-3 * e.max())) * f:]
            s *= 10 ** (-30 / 20) / np.sqrt(train_mask.active_power(s))
            lead = int(0.3 * FS)
            x = np.concatenate([np.zeros(lead), s])
            x += rng.standard_normal(len(x)) * 10 ** (-75 / 20)
            x = np.round(x * 32768) / 32768
            power, g = gains(lib, x)
            # The first hop whose spectrum the word dominates, and the four
            # after it (30 ms); the floor's power is known.
            total = power.sum(axis=1)
            first = int(np.argmax(total > 100 * np.median(total[:lead // HOP - 8])))
            self.assertGreater(first, lead // HOP - 6)
            onsets.append(level_db(power[first:first + 4], g[first:first + 4]))
            steady.append(level_db(power[first + 25:], g[first + 25:]))
            floor.append(level_db(power[lead // HOP - 10:lead // HOP - 4],
                                  g[lead // HOP - 10:lead // HOP - 4]))
        onsets, steady = np.array(onsets), np.array(steady)
        msg = "onsets %s, steady %s, floor %s dB" % (np.round(onsets, 1), np.round(steady, 1),
                                                      np.round(floor, 1))
        self.assertGreater(np.mean(onsets - steady), -3.0, msg)
        self.assertGreater(np.min(onsets - steady), -6.0, msg)
        self.assertGreater(np.min(steady), -2.0, msg)
        self.assertLess(np.max(floor), -10.0, msg)


if __name__ == "__main__":
    unittest.main()
