#!/usr/bin/env python3
"""Runs corpus mixtures through the Linux build of orvo_alg and through
orvo_alg.dll under wine, and compares the two outputs sample for sample.

Both builds are fed the same 16-bit 32 kHz input (the mixture converted by
sox once), through the same little program (orvo_alg_raw). They must agree
to within 1 LSB in every sample, over the whole mixture.

Both are the same SSE2 code from the same GCC with the same flags (kissfft
included), so they are mostly identical. The one known source of difference
is log10f: glibc has a single-precision log10f of its own, while mingw-w64's
rounds msvcrt's double log10 to float; for rare arguments the two are an
ulp apart, which moves a gain just enough to change an output sample by
1 LSB (a few samples in millions).

Exit status: 0 when they agree, 1 when they do not or a run fails, 77 when
the test cannot run here (the reason is printed).
"""
import argparse
import array
import os
import subprocess
import sys

SKIP = 77
# Long enough (8.2 s) for the noise tracker and the post-filter to settle
# and to follow speech in a babble of voices.
DEFAULT_MIXTURE = "016_ljspeech_LJ050-0131_F__cafe_02__snr10_noisy.wav"
TOLERANCE = 1


def read_pcm(path):
    samples = array.array("h")
    with open(path, "rb") as f:
        samples.frombytes(f.read())
    return samples


def compare(name, linux_tool, windows_tool, wine, mixture, workdir):
    stem = os.path.splitext(name)[0]
    raw_in = stem + ".in.raw"
    subprocess.run(["sox", mixture, "-t", "raw", "-e", "signed-integer", "-b", "16", "-c", "1",
                    "-r", "32000", raw_in], cwd=workdir, check=True)
    subprocess.run([linux_tool, raw_in, stem + ".linux.raw"], cwd=workdir, check=True)
    # Relative paths: wine resolves them in the working directory.
    subprocess.run([wine, windows_tool, raw_in, stem + ".windows.raw"], cwd=workdir, check=True)
    a = read_pcm(os.path.join(workdir, stem + ".linux.raw"))
    b = read_pcm(os.path.join(workdir, stem + ".windows.raw"))
    n_in = len(read_pcm(os.path.join(workdir, raw_in)))
    if len(a) != len(b) or len(a) < n_in:
        print(f"{name}: lengths differ: input {n_in}, Linux {len(a)}, Windows {len(b)} samples")
        return False
    diffs = [abs(x - y) for x, y in zip(a, b) if x != y]
    worst = max(diffs, default=0)
    loud = sum(1 for x in a if abs(x) > 100)
    print(f"{name}: {len(a)} samples, {len(diffs)} differ, largest difference {worst} LSB"
          f" ({loud} Linux output samples above 100)")
    if loud == 0:
        print(f"{name}: the Linux output is silent; nothing was compared")
        return False
    return worst <= TOLERANCE


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--linux-tool", default="", help="orvo_alg_raw of the Linux build")
    ap.add_argument("--windows-tool", required=True, help="orvo_alg_raw.exe beside orvo_alg.dll")
    ap.add_argument("--wine", required=True)
    ap.add_argument("--corpus", required=True, help="corpus folder with mixtures/")
    ap.add_argument("--workdir", required=True)
    ap.add_argument("mixtures", nargs="*", help="file names in mixtures/ (default: one)")
    args = ap.parse_args()

    if not args.linux_tool:
        print("SKIP: no Linux build's orvo_alg_raw given (SONVALE_LINUX_ORVO_ALG_RAW)")
        return SKIP
    if not os.access(args.linux_tool, os.X_OK):
        print(f"the Linux build's orvo_alg_raw is missing: {args.linux_tool}")
        return 1
    names = args.mixtures or [DEFAULT_MIXTURE]
    mixdir = os.path.abspath(os.path.join(args.corpus, "mixtures"))
    for name in names:
        if not os.path.isfile(os.path.join(mixdir, name)):
            print(f"SKIP: corpus mixture {name} not found in {mixdir}")
            return SKIP
    os.makedirs(args.workdir, exist_ok=True)
    ok = True
    for name in names:
        try:
            ok &= compare(name, os.path.abspath(args.linux_tool),
                          os.path.abspath(args.windows_tool), args.wine,
                          os.path.join(mixdir, name), args.workdir)
        except (subprocess.CalledProcessError, OSError) as e:
            print(f"{name}: {e}")
            ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
