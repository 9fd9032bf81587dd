#!/usr/bin/python3
"""Scores variants of vardix's default estimator on the validation part of
the training corpus (the speakers, noise recordings and rooms
train_mask.py holds out; never the test set ../shared/corpus).

Each variant is the estimator built with some of its constants overridden
(VX_NAME=value, see vardix/src/estimator.c); it is loaded in front of the
built libvardix, run through the built orvo_alg (quality-peers orvo) over
validation mixtures (made as for training, with a fixed seed), their clean
speech and the held-out noise recordings, and scored like the quality
benchmark does.

Usage: tools/train/tune_estimator.py --build build-q [--pairs N] \
           "VX_GAIN_MIN=0.18" "VX_GAIN_MIN=0.1,VX_DD_WEIGHT=0.98" ...
An empty variant "" is the estimator as committed.
"""
import argparse
import concurrent.futures as cf
import os
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "bench", "quality", "py"))

import numpy as np  # noqa: E402

import metrics  # noqa: E402
from stoi import stoi  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "tools", "train"))
import train_mask  # noqa: E402


def build_variant(spec, tmp, weights=None):
    defs = ["-D" + d.strip() for d in spec.split(",") if d.strip()]
    out = os.path.join(tmp, "v%d" % abs(hash(spec)), "libvardix.so")
    os.makedirs(os.path.dirname(out), exist_ok=True)
    src = os.path.join(ROOT, "vardix", "src")
    files = [os.path.join(src, f) for f in sorted(os.listdir(src)) if f.endswith(".c")]
    if weights:
        files = [f for f in files if not f.endswith("mask_weights.c")] + [os.path.abspath(weights)]
    subprocess.run(["cc", "-O3", "-shared", "-fPIC", "-DVARDIX_BUILD",
                    "-fno-trapping-math", "-I", os.path.join(ROOT, "vardix", "include"), "-I", src,
                    "-I", os.path.join(ROOT, "orvo_alg", "src"), *defs, *files,
                    "-o", out, "-lm"], check=True)
    return out


def run(peers, lib, x32, tag, tmp):
    fin, fout = os.path.join(tmp, tag + ".in"), os.path.join(tmp, tag + ".out")
    np.clip(np.round(x32 * 32768), -32768, 32767).astype("<i2").tofile(fin)
    env = dict(os.environ, LD_PRELOAD=lib)
    subprocess.run([peers, "orvo", fin, fout], check=True, env=env, capture_output=True)
    y = np.fromfile(fout, dtype="<i2") / 32768.0
    os.remove(fin)
    os.remove(fout)
    return y


def score_pair(peers, lib, p, tmp):
    ref = metrics.resample(p["clean"], 48000, 32000)
    x = metrics.resample(p["noisy"], 48000, 32000)
    y = metrics.shift(run(peers, lib, x, p["name"], tmp), 1023, len(ref))
    r16, y16 = metrics.resample(ref, 32000, 16000), metrics.resample(y, 32000, 16000)
    out = {"si_sdr": metrics.si_sdr(r16, y16), "stoi": stoi(r16, y16, 16000)}
    # Clean speech in.
    yc = metrics.shift(run(peers, lib, ref, p["name"] + "c", tmp), 1023, len(ref))
    out["clean_sdr"] = metrics.si_sdr(ref, yc)
    out["clean_level"] = metrics.level_db(yc) - metrics.level_db(ref)
    n30 = int(0.03 * 32000)
    out["onsets"] = [metrics.level_db(yc[i:i + n30]) - metrics.level_db(ref[i:i + n30])
                     for i in metrics.onsets(ref, 32000)]
    return out


def noise_att(peers, lib, name, x32, tmp):
    y = run(peers, lib, x32, "n_" + name, tmp)
    a = 32000
    n = len(x32) - a - 1023
    return metrics.level_db(x32[a:a + n]) - metrics.level_db(y[a + 1023:a + 1023 + n])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--pairs", type=int, default=40, help="validation mixtures")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--weights", help="network weights to use instead of vardix/src/mask_weights.c")
    ap.add_argument("variants", nargs="*", default=[""])
    args = ap.parse_args()
    peers = os.path.join(os.path.abspath(args.build), "tools", "bench", "quality", "quality-peers")

    split = train_mask.corpus_split()
    held = train_mask.Pool(split["speech"][1], split["noise"][1], split["rir"][1])
    rng = np.random.default_rng(7)
    pairs = []
    while len(pairs) < (args.pairs or 40):
        clean, noisy = train_mask.make_sequence(rng, held, 4 * 32000)
        if metrics.level_db(clean) < -70 or metrics.level_db(noisy - clean) < -90:
            continue
        pairs.append({"name": "val%03d" % len(pairs), "snr": 0,
                      "noisy": metrics.resample(noisy, 32000, 48000),
                      "clean": metrics.resample(clean, 32000, 48000)})
    base = {}
    for p in pairs:
        r16 = metrics.resample(p["clean"], 48000, 16000)
        n16 = metrics.resample(p["noisy"], 48000, 16000)
        base[p["name"]] = (metrics.si_sdr(r16, n16), stoi(r16, n16, 16000))
    noises = []
    for path, x in zip(split["noise"][1], held.noise):
        x = np.tile(x, int(np.ceil(6 * 32000 / len(x))))
        noises.append((os.path.basename(path), x / np.sqrt(np.mean(x ** 2)) * 0.02))

    with tempfile.TemporaryDirectory() as tmp, cf.ThreadPoolExecutor(args.jobs) as pool:
        for spec in args.variants:
            lib = build_variant(spec, tmp, args.weights)
            res = list(pool.map(lambda p: score_pair(peers, lib, p, tmp), pairs))
            att = list(pool.map(lambda n: noise_att(peers, lib, n[0], n[1], tmp), noises))
            d_sdr = [r["si_sdr"] - base[p["name"]][0] for r, p in zip(res, pairs)]
            d_stoi = [r["stoi"] - base[p["name"]][1] for r, p in zip(res, pairs)]
            per = {s: np.mean([d for d, p in zip(d_sdr, pairs) if p["snr"] == s])
                   for s in sorted({p["snr"] for p in pairs})}
            on = [o for r in res for o in r["onsets"]]
            print("%-60s dSDR %+.2f dSTOI %+.4f | %s | clean min %.1f lvl %+.2f onset min %+.1f "
                  "| noise att mean %.1f min %.1f" % (
                      spec or "(as committed)", np.mean(d_sdr), np.mean(d_stoi),
                      " ".join("%d:%+.1f" % (s, v) for s, v in per.items()),
                      min(r["clean_sdr"] for r in res), np.mean([r["clean_level"] for r in res]),
                      min(on), np.mean(att), min(att)), flush=True)


if __name__ == "__main__":
    main()
