#!/usr/bin/python3
"""Scores the built denoiser on the validation part of the training corpus:
the speakers, noise recordings and rooms train_mask.py holds out, never the
test set. The mixtures are made as for training (same generator, a fixed
seed of their own); the speech checks run the held-out speakers' utterances
clean, Mandarin speakers on their own line; the noise check runs the
held-out noise recordings alone.

Usage: tools/train/validate.py [--build DIR] [--mixtures N] [--methods a,b]
Methods are those of tools/bench/quality/quality (default sonvale,rnnoise).
"""
import argparse
import concurrent.futures as cf
import importlib.machinery
import importlib.util
import os
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)

import train_mask  # noqa: E402


def load_quality():
    path = os.path.join(ROOT, "tools", "bench", "quality", "quality")
    loader = importlib.machinery.SourceFileLoader("quality_bench", path)
    spec = importlib.util.spec_from_loader("quality_bench", loader)
    mod = importlib.util.module_from_spec(spec)
    loader.exec_module(mod)
    return mod


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--mixtures", type=int, default=40)
    ap.add_argument("--seconds", type=float, default=4.0)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--methods", default="sonvale,rnnoise")
    ap.add_argument("--jobs", type=int, default=1)
    args = ap.parse_args()

    q = load_quality()
    m = q.metrics
    split = train_mask.corpus_split()
    speech_rows = split["speech"][1]
    pool = train_mask.Pool(speech_rows, split["noise"][1], split["rir"][1])
    rng = np.random.default_rng(args.seed)
    n = int(args.seconds * train_mask.FS)
    pairs = []
    while len(pairs) < args.mixtures:
        clean, noisy = train_mask.make_sequence(rng, pool, n)
        # Mixtures with speech and noise both, as the test set has.
        if q.metrics.level_db(clean) < -70 or q.metrics.level_db(noisy - clean) < -90:
            continue
        pairs.append({"name": "val%03d" % len(pairs), "snr": 0,
                      "noisy": m.resample(noisy, train_mask.FS, q.FS_IN),
                      "clean": m.resample(clean, train_mask.FS, q.FS_IN)})
    # Clean utterances of the held-out speakers, at -25 dBFS active level.
    # The same after 0.5 s of digital silence: speech the moment a microphone
    # is unmuted.
    utt, muted = [], []
    for r, (x, _) in zip(speech_rows, pool.speech):
        x48 = m.resample(x * 10 ** (-25 / 20), train_mask.FS, q.FS_IN)
        zh = r["lang"] == "zh"
        utt.append(({"name": r["file"], "snr": 0, "noisy": x48, "clean": x48}, zh))
        z = np.concatenate([np.zeros(q.FS_IN // 2), x48])
        muted.append({"name": "m" + r["file"], "snr": 0, "noisy": z, "clean": z})
    # Each noise recording at -34 dBFS, looped to at least 6 s.
    noises = []
    for p, x in zip(split["noise"][1], pool.noise):
        x = np.tile(x, int(np.ceil(6 * train_mask.FS / len(x))))
        x = x / np.sqrt(np.mean(x ** 2)) * 0.02
        noises.append((os.path.basename(p), m.resample(x, train_mask.FS, q.FS_IN)))

    class A:
        build = os.path.abspath(args.build)
        denoise = None
        peers = None
    runner = q.Runner(A)
    methods = [x for x in args.methods.split(",") if runner.available(x)] + ["noisy"]
    try:
        with cf.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as ex:
            mix = {x: list(ex.map(lambda p, x=x: q.mixture_job(runner, x, p), pairs))
                   for x in methods}
            print("Validation split: %d mixtures of %d held-out speakers' utterances, %d "
                  "held-out noise recordings and %d rooms (SNR -5..20 dB, -45..-10 dBFS)."
                  % (len(pairs), len(speech_rows), len(noises), len(pool.rir)))
            print()
            print("| method | SI-SDR gain (dB) | STOI change | clean in: worst SI-SDR (dB) "
                  "| level change mean / worst (dB) | onsets mean / worst (dB) "
                  "| Mandarin clean in: worst SI-SDR / worst level (dB) "
                  "| noise alone after 1 s: attenuation mean / least (dB) "
                  "| after 0.5 s of zeros: clean-in worst SI-SDR, onsets mean / worst (dB) |")
            print("|---|---|---|---|---|---|---|---|---|")
            base = mix["noisy"]
            for x in methods:
                if x == "noisy":
                    continue
                d_sdr = np.mean([a["si_sdr"] - b["si_sdr"] for a, b in zip(mix[x], base)])
                d_stoi = np.mean([a["stoi"] - b["stoi"] for a, b in zip(mix[x], base)])
                cl = list(ex.map(lambda u, x=x: (q.clean_job(runner, x, u[0]), u[1]), utt))
                delay = float(np.median([r["delay_ms"] for r in mix[x]]))
                att = list(ex.map(lambda nz, x=x: q.noise_job(runner, x, nz[0], nz[1], delay),
                                  noises))
                onset = [d for c, _ in cl for d in c["onset_db"]]
                mu = list(ex.map(lambda u, x=x: q.clean_job(runner, x, u), muted))
                mon = [d for c in mu for d in c["onset_db"]]
                zh = [c for c, z in cl if z]
                print("| %s | %+.2f | %+.3f | %.1f | %+.2f / %+.2f | %+.2f / %+.2f | "
                      "%.1f / %+.2f | %.1f / %.1f | %.1f, %+.2f / %+.2f |" % (
                          q.METHODS[x][0], d_sdr, d_stoi, min(c["si_sdr32"] for c, _ in cl),
                          np.mean([c["level_db"] for c, _ in cl]),
                          max((c["level_db"] for c, _ in cl), key=abs),
                          np.mean(onset), min(onset),
                          min(c["si_sdr32"] for c in zh) if zh else float("nan"),
                          max((c["level_db"] for c in zh), key=abs) if zh else float("nan"),
                          np.mean(att), min(att), min(c["si_sdr32"] for c in mu),
                          np.mean(mon), min(mon)))
    finally:
        runner.close()


if __name__ == "__main__":
    main()
