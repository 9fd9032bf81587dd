#!/usr/bin/python3
"""Makes the demonstration's input where no recorded corpus is at hand:
speech spoken by espeak-ng, mixed with a noise made here (mains hum with its
harmonics plus pink noise) at 10 dB SNR, 48 kHz mono 16-bit. Like the corpus
mixtures it starts with 0.5 s of noise alone, and the clean speech is written
beside it:

    make_input.py OUT_DIR         writes OUT_DIR/demo_noisy.wav, OUT_DIR/demo_clean.wav
    make_input.py OUT_DIR second  another sentence and noise: demo2_noisy.wav, demo2_clean.wav

The result depends only on espeak-ng's voice and this file (fixed seed).
"""

import os
import subprocess
import sys
import tempfile
import wave

import numpy as np

RATE = 48000
LEAD_IN_S = 0.5       # noise alone before the speech, as in the corpus mixtures
TAIL_S = 0.5
SNR_DB = 10.0         # speech to noise, over the whole speech part
SPEECH_DBFS = -26.0   # speech level (RMS), a normal microphone level
HUM_SHARE = 0.5       # of the noise power, the rest is pink noise
# Short enough that the demonstration's 16 s recording holds the looped
# mixture at least twice after its first 2 s, as its measurement needs.
SENTENCES = {
    "demo": ("Good morning, everyone. Can everybody hear me clearly today?", 50.0, 20261210),
    "demo2": ("The report is ready, and I will send it after the call.", 60.0, 20261211),
}


def espeak(text):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "speech.wav")
        subprocess.run(["espeak-ng", "-v", "en-us", "-s", "150", "-w", path, text], check=True)
        with wave.open(path) as w:
            rate = w.getframerate()
            x = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64)
            if w.getnchannels() > 1:
                x = x.reshape(-1, w.getnchannels()).mean(axis=1)
    return x / 32768.0, rate


def resample(x, rate_in, rate_out):
    """Band-limited resampling through the spectrum of the whole signal."""
    n_out = int(round(len(x) * rate_out / rate_in))
    spectrum = np.fft.rfft(x)
    bins = n_out // 2 + 1
    out = np.zeros(bins, dtype=complex)
    keep = min(bins, len(spectrum))
    out[:keep] = spectrum[:keep]
    return np.fft.irfft(out, n_out) * (n_out / len(x))


def pink(n, rng):
    white = np.fft.rfft(rng.standard_normal(n))
    f = np.fft.rfftfreq(n, 1.0 / RATE)
    shape = np.zeros_like(f)
    shape[1:] = 1.0 / np.sqrt(f[1:])
    shape[f < 20.0] = 0.0  # nothing below hearing
    return np.fft.irfft(white * shape, n)


def hum(n, rng, hum_hz):
    t = np.arange(n) / RATE
    x = np.zeros(n)
    for k in range(1, 12):  # odd harmonics strongest, as from a transformer
        amp = (1.0 if k % 2 else 0.4) / k
        x += amp * np.sin(2 * np.pi * hum_hz * k * t + rng.uniform(0, 2 * np.pi))
    return x * (1.0 + 0.1 * np.sin(2 * np.pi * 0.3 * t))  # slow swell


def rms(x):
    return float(np.sqrt(np.mean(x * x)))


def write(path, x):
    pcm = np.clip(np.round(x * 32767.0), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.tobytes())


def main():
    if len(sys.argv) not in (2, 3) or (len(sys.argv) == 3 and sys.argv[2] != "second"):
        print("usage: make_input.py OUT_DIR [second]", file=sys.stderr)
        return 2
    out = sys.argv[1]
    name = "demo2" if len(sys.argv) == 3 else "demo"
    text, hum_hz, seed = SENTENCES[name]
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(seed)
    speech, rate = espeak(text)
    speech = resample(speech, rate, RATE)
    speech *= 10 ** (SPEECH_DBFS / 20) / rms(speech)
    lead, tail = int(LEAD_IN_S * RATE), int(TAIL_S * RATE)
    clean = np.concatenate([np.zeros(lead), speech, np.zeros(tail)])

    n = len(clean)
    h, p = hum(n, rng, hum_hz), pink(n, rng)
    noise = np.sqrt(HUM_SHARE) * h / rms(h) + np.sqrt(1 - HUM_SHARE) * p / rms(p)
    noise *= rms(speech) / 10 ** (SNR_DB / 20)
    noisy = clean + noise
    peak = np.max(np.abs(noisy))
    if peak > 0.9:  # keep it unclipped; both files alike
        clean, noisy = clean * 0.9 / peak, noisy * 0.9 / peak
    write(os.path.join(out, name + "_clean.wav"), clean)
    write(os.path.join(out, name + "_noisy.wav"), noisy)
    print("make_input: %s (%.1f s, speech %.0f dBFS, SNR %.0f dB, hum %g Hz + pink noise)"
          % (os.path.join(out, name + "_noisy.wav"), n / RATE, SPEECH_DBFS, SNR_DB, hum_hz))
    return 0


if __name__ == "__main__":
    sys.exit(main())
