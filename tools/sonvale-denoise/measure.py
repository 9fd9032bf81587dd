#!/usr/bin/env python3
"""Measures what denoising did to one noisy/clean pair.

Usage: measure.py NOISY DENOISED [CLEAN] [--lead-in SECONDS]

Prints, for the first channel:
  * the energy of the noise-only lead-in (default the first 0.5 s, as in the
    corpus mixtures) before and after, and the drop in dB;
  * with CLEAN: the scale-invariant signal-to-distortion ratio (SI-SDR) of the
    noisy and the denoised file against the clean one, and the improvement.
Needs numpy and soundfile (Debian: python3-numpy python3-soundfile).
"""
import argparse
import sys

import numpy as np
import soundfile as sf


def load(path):
    x, rate = sf.read(path, dtype="float64", always_2d=True)
    return x[:, 0], rate


def db(v):
    return 10.0 * np.log10(max(v, 1e-20))


def si_sdr(ref, est):
    ref = ref - ref.mean()
    est = est - est.mean()
    target = np.dot(est, ref) / max(np.dot(ref, ref), 1e-20) * ref
    return db(np.dot(target, target) / max(np.dot(est - target, est - target), 1e-20))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("noisy")
    ap.add_argument("denoised")
    ap.add_argument("clean", nargs="?")
    ap.add_argument("--lead-in", type=float, default=0.5, help="noise-only seconds at the start")
    args = ap.parse_args()

    noisy, rate = load(args.noisy)
    den, rate_d = load(args.denoised)
    if rate_d != rate or len(den) != len(noisy):
        sys.exit("measure: %s and %s differ in rate or length" % (args.noisy, args.denoised))
    lead = min(len(noisy), int(args.lead_in * rate))
    if lead > 0:
        e_in = db(np.mean(noisy[:lead] ** 2))
        e_out = db(np.mean(den[:lead] ** 2))
        print("noise lead-in (%.2f s): %.1f dB before, %.1f dB after, %.1f dB less noise"
              % (lead / rate, e_in, e_out, e_in - e_out))
    if args.clean:
        clean, rate_c = load(args.clean)
        if rate_c != rate or len(clean) != len(noisy):
            sys.exit("measure: %s differs from %s in rate or length" % (args.clean, args.noisy))
        before, after = si_sdr(clean, noisy), si_sdr(clean, den)
        print("SI-SDR against the clean speech: %.2f dB noisy, %.2f dB denoised (%+.2f dB)"
              % (before, after, after - before))


if __name__ == "__main__":
    main()
