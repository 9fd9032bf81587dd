#!/usr/bin/python3
"""Designs the filter bank's prototype window and writes
orvo_alg/src/analysis_window.c.

The prototype W has 1024 taps, is symmetric (W[n] = W[1023 - n]) and serves
both analysis and synthesis of the WOLA filter bank (FFT 512, hop 256). Its
shape is pinned by a handful of values (the rows of PINNED below: the side
lobe with its minimum at 73, the last negative tap at 128, the main lobe, the
maximum at 510/513 with the slight notch at the centre taps 511/512). Between
them the window is the smoothest curve (least third differences) that meets:

  * power complementarity: for every phase n = 0..255,
    sum_m W[n + 256 m]^2 lies in [6.5233e-06, 6.5517e-06]; this sets the
    chain gain 131072 * sum_m W[n + 256 m]^2 of analysis + synthesis,
    0.85503 at n = 128 and 0.85841 at n = 0;
  * the time-aliasing echo of the folded window, 131072 * (W[n] W[512 + n]
    + W[256 + n] W[768 + n]), averaging 0.026 so that a steady sine sees
    0.909 at bin centres, 0.857 a quarter bin off and 0.805 half a bin off
    (the mean chain gain is 0.857);
  * sum of all taps 0.93603;
  * negative for n <= 128, positive for 129..511, falling to the minimum at
    73 and rising to the maximum at 510.

The design starts from a monotone cubic through the pinned values and runs a
damped Gauss-Newton (Levenberg-Marquardt) on smoothness plus hinge penalties
whose weight grows step by step until every constraint holds.

Run:  /usr/bin/python3 tools/tables/gen_analysis_window.py          design, write, check
      /usr/bin/python3 tools/tables/gen_analysis_window.py --check  check the committed table
"""
import os
import re
import subprocess
import sys

import numpy as np
from scipy.interpolate import PchipInterpolator

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "..", "orvo_alg", "src", "analysis_window.c")

PINNED = {
    0: -8.014889658625179e-07,
    64: -5.635074194287881e-05,
    73: -5.748502735514194e-05,
    128: -7.767642529188379e-08,
    192: 0.00024389092868659645,
    256: 0.0006834208033978939,
    320: 0.00124839146155864,
    384: 0.0018099996959790587,
    448: 0.002222496084868908,
    510: 0.0023723936174064875,
    511: 0.0023719302844256163,
}
CHAIN = 131072.0  # output factor 256 x unnormalised FFT pair 512
BAND = (6.5233e-06, 6.5517e-06)
GAIN_128, GAIN_0 = 0.85503, 0.85841
ECHO_0 = 0.0602
MEAN_GAIN, MEAN_ECHO = 0.857, 0.026
TAP_SUM = 0.93603
SINE_GAINS = {1000.0: 0.909, 1015.625: 0.857, 1031.25: 0.805}


def full(half):
    return np.concatenate([half, half[::-1]])


def chain(W):
    """Main-path gain and echo weight per phase n = 0..255."""
    W = np.asarray(W, dtype=np.float64)
    n = np.arange(256)
    g = CHAIN * (W.reshape(4, 256) ** 2).sum(0)
    e = CHAIN * (W[n] * W[512 + n] + W[256 + n] * W[768 + n])
    return g, e


def sine_gain(g, e, freq):
    """Least-squares gain of a steady sine through the chain: the echoes at
    +-512 samples add 2 e(n) cos(2 pi f 512 / 32000) to the main path."""
    c = np.cos(2 * np.pi * freq * 512 / 32000.0)
    n = np.arange(256 * 64)
    x = np.sin(2 * np.pi * freq * n / 32000.0 + 0.3)
    G = (g + 2 * e * c)[n % 256]
    return float(np.sum(G * x * x) / np.sum(x * x))


def design():
    S = 1e-3  # work in units of 1e-3 for conditioning
    idx = np.array(sorted(PINNED))
    w0 = PchipInterpolator(idx, [PINNED[i] for i in idx])(np.arange(512))
    isfree = np.array([i not in PINNED for i in range(512)])
    free = np.where(isfree)[0]
    nf = len(free)
    M = np.vstack([np.eye(512), np.eye(512)[::-1]])
    Ef = np.eye(512)[:, free] * S
    ME = M @ Ef
    D3 = np.diff(ME, 3, axis=0) / S
    c3 = np.diff(M @ (w0 * ~isfree), 3) / S
    n = np.arange(256)
    lo, hi = BAND[0] * CHAIN, BAND[1] * CHAIN
    I = np.eye(nf)
    fi = np.full(512, -1)
    fi[free] = np.arange(nf)

    def rows(ii):
        return I[fi[ii]]

    dec = np.arange(0, 73)   # w[i+1] < w[i]
    inc = np.arange(73, 510)  # w[i+1] > w[i]

    def diff_rows(ii):
        A = np.zeros((len(ii), nf))
        for r, i in enumerate(ii):
            if isfree[i + 1]:
                A[r, fi[i + 1]] += 1
            if isfree[i]:
                A[r, fi[i]] -= 1
        return A

    A_dec, A_inc = diff_rows(dec), diff_rows(inc)
    i_neg = free[free <= 128]
    i_pos = free[(free > 128)]
    A_neg, A_pos = rows(i_neg), rows(i_pos)
    m_w, m_d, m_g = 3e-5, 1e-6, 4e-6

    def resjac(x, cw):
        w = w0.copy()
        w[free] = x * S
        W = M @ w
        g = CHAIN * (W.reshape(4, 256) ** 2).sum(0)
        e = CHAIN * (W[n] * W[512 + n] + W[256 + n] * W[768 + n])
        dg = np.zeros((256, nf))
        for m in range(4):
            dg += 2 * CHAIN * W[n + 256 * m, None] * ME[n + 256 * m]
        de = CHAIN * (W[n, None] * ME[512 + n] + W[512 + n, None] * ME[n] +
                      W[256 + n, None] * ME[768 + n] + W[768 + n, None] * ME[256 + n])
        R, J = [D3 @ x + c3], [D3]

        def eq(v, j):
            R.append(cw * np.atleast_1d(v))
            J.append(cw * np.atleast_2d(j))

        def le(v, j):  # penalise v > 0
            m = v > 0
            R.append(cw * np.where(m, v, 0))
            J.append(cw * j * m[:, None])

        wx = w / S
        dw = np.diff(wx)
        eq(g[0] - GAIN_0, dg[0])
        eq(g[128] - GAIN_128, dg[128])
        eq(2 * w.sum() - TAP_SUM, 2 * Ef.sum(0))
        eq(g.mean() - MEAN_GAIN, dg.mean(0))
        eq(2 * e.mean() - 2 * MEAN_ECHO, 2 * de.mean(0))
        le(lo + m_g - g[:128], -dg[:128])
        le(g[:128] - hi + m_g, dg[:128])
        le(wx[i_neg] + m_w, A_neg)
        le(m_w - wx[i_pos], -A_pos)
        le(dw[dec] + m_d, A_dec)
        le(m_d - dw[inc], -A_inc)
        return np.concatenate(R), np.vstack(J)

    x = w0[free] / S
    for cw in [1, 3, 10, 30, 100, 300, 1000, 3000, 1e4, 3e4]:
        r, J = resjac(x, cw)
        cost, mu = r @ r, 1e-3
        for _ in range(150):
            JTJ = J.T @ J
            dx = np.linalg.solve(JTJ + mu * np.diag(np.diag(JTJ)) + 1e-12 * np.eye(nf), -J.T @ r)
            r2, J2 = resjac(x + dx, cw)
            if r2 @ r2 < cost:
                x, r, J, cost = x + dx, r2, J2, r2 @ r2
                mu = max(mu / 3, 1e-9)
            else:
                mu *= 4
                if mu > 1e6:
                    break
    w = w0.copy()
    w[free] = x * S
    return full(w).astype(np.float32)


def check(W):
    ok = True

    def req(cond, what):
        nonlocal ok
        print(("ok    " if cond else "FAIL  ") + what)
        ok = ok and bool(cond)

    W = np.asarray(W, dtype=np.float32)
    req(len(W) == 1024, "1024 taps")
    req(np.all(W == W[::-1]), "symmetric")
    for i, v in PINNED.items():
        req(W[i] == np.float32(v), f"W[{i}] = {v}")
    req(np.all(W[:129] < 0) and np.all(W[895:] < 0) and np.all(W[129:895] > 0),
        "negative for n <= 128 and n >= 895, positive between")
    req(np.argmin(W[:512]) == 73 and np.sum(W == W.min()) == 2, "minimum at 73 (and 950)")
    req(np.argmax(W[:512]) == 510 and W[513] == W.max() and np.sum(W == W.max()) == 2,
        "maximum at 510 and 513")
    req(W[511] == W[512] and W[511] < W[510], "W[511] = W[512], below the maximum")
    s = float(np.sum(W.astype(np.float64)))
    req(abs(s - TAP_SUM) < 5e-6, f"sum {s:.6f} = 0.93603")
    P = (W.astype(np.float64).reshape(4, 256) ** 2).sum(0)
    req(P.min() >= BAND[0] and P.max() <= BAND[1],
        f"per-phase sum of squares in [{P.min():.5e}, {P.max():.5e}]")
    g, e = chain(W)
    req(abs(g[128] - GAIN_128) < 2e-5, f"chain gain at phase 128: {g[128]:.5f}")
    req(abs(g[0] - GAIN_0) < 2e-5, f"chain gain at phase 0: {g[0]:.5f}")
    req(abs(e[0] - ECHO_0) < 1e-4, f"echo at phase 0: {e[0]:.5f}")
    req(abs(e[128]) < 1e-3, f"echo at phase 128: {e[128]:.5f}")
    for f, want in SINE_GAINS.items():
        got = sine_gain(g, e, f)
        req(abs(got - want) < 5e-4, f"sine gain at {f} Hz: {got:.5f} (about {want})")
    return ok


def emit(W):
    lines = ["/* Generated by tools/tables/gen_analysis_window.py; do not edit. */",
             '#include "orvo_tables.h"', "",
             "const float analysis_window[ORVO_WIN] = {"]
    lines += ["    %sf," % np.format_float_scientific(v, unique=True) for v in W]
    lines += ["};", ""]
    text = "\n".join(lines)
    try:
        return subprocess.run(["clang-format", "--assume-filename=" + OUT], input=text,
                              capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return text


def read_table():
    with open(OUT) as f:
        body = f.read().split("{", 1)[1].split("}", 1)[0]
    return np.array([float(t) for t in re.findall(r"[-+0-9.e]+(?=f)", body)], dtype=np.float32)


def main():
    if "--check" in sys.argv:
        W = read_table()
    else:
        W = design()
    if not check(W):
        sys.exit(1)
    if "--check" not in sys.argv:
        with open(OUT, "w") as f:
            f.write(emit(W))
        print("wrote", os.path.normpath(OUT))


if __name__ == "__main__":
    main()
