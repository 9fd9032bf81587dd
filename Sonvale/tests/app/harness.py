#!/usr/bin/python3
"""Real-device harness for Sonvale: a private PulseAudio daemon with stand-in
devices, the companion devices, Sonvale itself under X, and the measurements.

Used by the end-to-end tests (e2e_test.py) and by the headless demonstration
that `scripts/run` starts on a machine without a desktop session:

    harness.py demo --sonvale BIN --out DIR [--noisy WAV] [--seconds N]

It never touches the user's own audio server: every pactl/parec call and the
program itself get PULSE_SERVER pointing at a daemon on a socket of its own.
"""

import argparse
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import wave

import numpy as np

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))
CORPUS = os.environ.get(
    "SONVALE_CORPUS_DIR", os.path.abspath(os.path.join(REPO, "..", "shared", "corpus"))
)
MIXTURES = os.path.join(CORPUS, "mixtures")
DEFAULT_NOISY = "007_vctk_p232_013_M__fanhum_01__snr10_noisy.wav"
SECOND_NOISY = "004_vctk_p301_102_F__dishes_01__snr15_noisy.wav"
RATE = 48000
LEAD_IN_S = 0.5  # every corpus mixture starts with half a second of noise only

VIRTUAL_SPEAKER = "Sonvale_Speaker"
VIRTUAL_MIC = "Sonvale_Microphone"
STANDIN_SPEAKER = "Standin_Speaker"
STANDIN_MIC = "Standin_Microphone"


def log(*args):
    print("[harness]", *args, file=sys.stderr, flush=True)


def wait_for(pred, timeout=30.0, step=0.1, what="condition"):
    """Polls pred() until it is true; raises after `timeout` (a hang guard,
    not a measured bound)."""
    end = time.monotonic() + timeout
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() > end:
            raise TimeoutError("timed out waiting for " + what)
        time.sleep(step)


def read_wav_mono(path):
    with wave.open(path, "rb") as w:
        assert w.getsampwidth() == 2, path
        frames = w.readframes(w.getnframes())
        ch = w.getnchannels()
        rate = w.getframerate()
    x = np.frombuffer(frames, dtype="<i2").reshape(-1, ch)[:, 0].copy()
    return x, rate


def write_wav(path, samples, rate=RATE):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.asarray(samples, dtype="<i2").tobytes())


def audio_server():
    """The kind of private server the tests start: "pulseaudio" (default) or
    "pipewire" (PipeWire, WirePlumber and PipeWire's pulse server), from
    SONVALE_AUDIO_SERVER."""
    return os.environ.get("SONVALE_AUDIO_SERVER") or "pulseaudio"


class Pulse:
    """A private audio server that speaks the PulseAudio protocol: a
    PulseAudio daemon, or PipeWire with its pulse server
    (scripts/private-pulse, scripts/private-pipewire)."""

    def __init__(self, directory, server=None):
        self.dir = os.path.abspath(directory)
        self.server = server or audio_server()
        os.makedirs(self.dir, exist_ok=True)
        self._script_env = dict(os.environ, SONVALE_AUDIO_SERVER=self.server)
        r = subprocess.run(
            [os.path.join(REPO, "scripts", "private-pulse"), "start", self.dir],
            capture_output=True, text=True, env=self._script_env)
        if r.returncode != 0:
            raise RuntimeError("private %s did not start: %s" % (self.server, r.stderr))
        self.env = dict(os.environ)
        for line in r.stdout.splitlines():
            m = re.match(r"export (\w+)=(.*)", line)
            if m:
                self.env[m.group(1)] = m.group(2)
            m = re.match(r"unset (\w+)", line)
            if m:
                self.env.pop(m.group(1), None)
        # The companion devices' FIFOs live inside this daemon's directory.
        self.env["SONVALE_DRIVER_DIR"] = os.path.join(self.dir, "driver")

    def stop(self):
        subprocess.run([os.path.join(REPO, "scripts", "private-pulse"), "stop", self.dir],
                       capture_output=True, env=self._script_env)

    def logs(self):
        """The server's own log files."""
        return [os.path.join(self.dir, n) for n in
                ("pulse.log", "pipewire.log", "wireplumber.log", "pipewire-pulse.log")
                if os.path.exists(os.path.join(self.dir, n))]

    def pactl(self, *args, check=True):
        r = subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True)
        if check and r.returncode != 0:
            raise RuntimeError("pactl %s: %s" % (" ".join(args), r.stderr.strip()))
        return r.stdout

    def defaults(self):
        info = self.pactl("info")
        sink = re.search(r"^Default Sink: (.*)$", info, re.M)
        source = re.search(r"^Default Source: (.*)$", info, re.M)
        return (sink.group(1).strip() if sink else "", source.group(1).strip() if source else "")

    def set_defaults(self, sink, source):
        self.pactl("set-default-sink", sink)
        self.pactl("set-default-source", source)

    def source_volume(self, name):
        """(muted, percent, dB) of a source."""
        mute = "yes" in self.pactl("get-source-mute", name)
        vol = self.pactl("get-source-volume", name)
        pct = int(re.search(r"(\d+)%", vol).group(1))
        db = re.search(r"(-?inf|-?[\d.]+) dB", vol).group(1)
        return mute, pct, (-np.inf if "inf" in db else float(db))

    def load(self, *args):
        return int(self.pactl("load-module", *args).strip())

    def driver(self, cmd):
        return subprocess.run([os.path.join(REPO, "scripts", "sonvale-driver"), cmd],
                              env=self.env, capture_output=True, text=True)


class PacedWriter:
    """Writes a WAV file's samples, looped, in real time (10 ms pieces, about
    40 ms ahead) to a file descriptor or a binary file object."""

    def __init__(self, target, wav_path):
        self.samples, rate = read_wav_mono(wav_path)
        assert rate == RATE, "the stand-in devices run at 48000 Hz"
        self.target = target
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _write(self, piece):
        if isinstance(self.target, int):
            try:
                os.write(self.target, piece)
            except BlockingIOError:
                pass  # the reader is behind; drop rather than drift
        else:
            self.target.write(piece)
            self.target.flush()

    def _run(self):
        chunk = RATE // 100
        data = self.samples.astype("<i2").tobytes()
        n = chunk * 2
        pos = 0
        start = time.monotonic()
        sent = 0
        try:
            while not self._stop.is_set():
                due = (time.monotonic() - start + 0.04) * RATE
                while sent < due:
                    if pos + n <= len(data):
                        piece = data[pos : pos + n]
                        pos += n
                    else:
                        rest = n - (len(data) - pos)
                        piece = data[pos:] + data[:rest]
                        pos = rest
                    pos %= len(data)
                    self._write(piece)
                    sent += chunk
                time.sleep(0.005)
        except (OSError, ValueError):
            return

    def stop(self):
        self._stop.set()
        self._thread.join(5)


class Feeder:
    """A stand-in microphone: a module-pipe-source playing a WAV file, looped,
    in real time."""

    def __init__(self, pulse, name, wav_path, description="Stand-in microphone"):
        self.pulse = pulse
        self.name = name
        self.fifo = os.path.join(pulse.dir, name + ".fifo")
        self.module = pulse.load(
            "module-pipe-source", "source_name=" + name, "file=" + self.fifo,
            "format=s16le", "rate=%d" % RATE, "channels=1",
            "source_properties=device.description=" + description.replace(" ", "_"))
        self.fd = os.open(self.fifo, os.O_WRONLY | os.O_NONBLOCK)
        self.writer = PacedWriter(self.fd, wav_path)

    def stop(self, unload=True):
        self.writer.stop()
        os.close(self.fd)
        if unload:
            self.pulse.pactl("unload-module", str(self.module), check=False)


class Recording:
    """A recording of a source (or a sink's monitor) in 48 kHz stereo 16-bit,
    with the arrival time of every piece, made by parec in the background.
    Stereo, because a mono recording of a stereo device is a downmix whose
    level depends on the server (PipeWire sums the channels: +3 dB)."""

    def __init__(self, pulse, device):
        self.proc = subprocess.Popen(
            ["parec", "-d", device, "--raw", "--format=s16le", "--rate=%d" % RATE,
             "--channels=2", "--latency-msec=10"],
            env=pulse.env, stdout=subprocess.PIPE)
        self.buf = bytearray()
        self.arrivals = []  # (frames so far, monotonic time of that piece)
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        fd = self.proc.stdout.fileno()
        while True:
            try:
                part = os.read(fd, 65536)
            except OSError:
                return
            if not part:
                return
            now = time.monotonic()
            self.buf += part
            self.arrivals.append((len(self.buf) // 4, now))

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        self._thread.join(5)
        self.proc.stdout.close()

    def frames(self):
        """(n, 2) array of float samples."""
        n = len(self.buf) // 4
        return np.frombuffer(bytes(self.buf[: n * 4]), dtype="<i2").reshape(n, 2).astype(
            np.float64)

    def arrival(self, frame):
        """When frame `frame` reached the recorder: the time of the piece that
        held it, less the frames that came after it in that piece."""
        for end, when in self.arrivals:
            if end > frame:
                return when - (end - 1 - frame) / RATE
        return None


def record_stereo(pulse, device, seconds):
    """Records `seconds` of 48 kHz stereo; an (n, 2) array."""
    rec = Recording(pulse, device)
    wait_for(lambda: len(rec.buf) >= seconds * RATE * 4 or rec.proc.poll() is not None,
             seconds + 30, what="%g s recorded from %s" % (seconds, device))
    rec.stop()
    return rec.frames()[: int(seconds * RATE)]


def record(pulse, device, seconds):
    """Records `seconds` of 48 kHz from a source (or a sink's monitor) and
    keeps its left channel."""
    return record_stereo(pulse, device, seconds)[:, 0].copy()


def path_delay_ms(before, after, reference_path, warmup_s=1.0, window_s=0.5, points=9):
    """Delay of a path from two Recordings made at the same time of its two
    ends (`before`, `after`), while the looped `reference_path` plays into it:
    at `points` places spread over `after`, the content is found in both
    recordings (circular cross-correlation with the loop) and the arrival
    times of the same sample are compared. Returns (median ms, list of ms);
    places that match the loop poorly (a noise lead-in, a gap) are skipped."""
    ref, _ = read_wav_mono(reference_path)
    ref = ref.astype(np.float64)
    L = len(ref)
    W = int(window_s * RATE)

    def offset(rec, at):
        seg = rec[at : at + W, 0] if at >= 0 else []
        if len(seg) < W:
            return None
        lag, dot = _circular_lag(seg, ref)
        aligned = np.take(ref, (np.arange(W) - lag) % L)
        if dot <= 0.5 * np.sqrt(np.sum(seg**2) * np.sum(aligned**2)):
            return None
        return lag  # rec[at + k] ~ ref[(k - lag) mod L]

    a, b = before.frames(), after.frames()
    delays = []
    start = int(warmup_s * RATE)
    span = min(len(a), len(b)) - start - 3 * W
    for i in range(points):
        at = start + W + span * i // max(1, points - 1)
        lag_b = offset(b, at)
        t_b = after.arrival(at)
        if lag_b is None or t_b is None:
            continue
        pos = (-lag_b) % L  # loop position of b[at]
        # Where `before` is in the loop around the same place (the two
        # recordings started together; the offset changes only at a gap).
        o_a = None  # a[m] ~ ref[(m - o_a) mod L]
        for d in (0, -W, W, -2 * W):
            lag_a = offset(a, at + d)
            if lag_a is not None:
                o_a = at + d + lag_a
                break
        if o_a is None:
            continue
        # Frames of `before` at loop position `pos`: one per repetition. The
        # latest that arrived before b[at] did is its source.
        best = None
        first = (o_a + pos) % L
        for m in range(first, len(a), L):
            t_a = before.arrival(m)
            if t_a is not None and t_a <= t_b + 0.002 and (best is None or t_b - t_a < best):
                best = t_b - t_a
        if best is not None:
            delays.append(1000.0 * best)
    if not delays:
        raise ValueError("the two recordings share no content")
    return float(np.median(delays)), delays


def _circular_lag(seg, clean):
    """The lag at which `seg` (zero-padded to the loop's length) best matches
    the looped `clean`: seg[n] ~ clean[(n - lag) mod L]. Returns (lag, dot)."""
    L = len(clean)
    padded = np.zeros(L)
    padded[: len(seg)] = seg
    xc = np.fft.irfft(np.fft.rfft(padded) * np.conj(np.fft.rfft(clean)), n=L)
    lag = int(np.argmax(xc))
    return lag, float(xc[lag])


def measure(recording, noisy_path, gain_db=0.0, warmup_s=2.0, window_s=0.5):
    """Measures how much quieter the noise lead-in of the looped mixture is in
    `recording` than in the mixture itself, and how well the recording follows
    the clean speech.

    Every `window_s` of the recording after `warmup_s` is aligned on its own to
    the looped clean speech by circular cross-correlation, so that a moment
    where the audio system ran dry (which delays everything after it a little)
    costs one window's alignment instead of all of them. Windows that match
    the speech well (normalised correlation above 0.5) give the offset of the
    loop at that point;
    every complete repetition then gives one lead-in window (0.05 .. 0.45 s of
    the mixture, where only noise plays) and one speech window, each placed by
    the latest offset before it. `gain_db` is the level change applied on the
    way that is not the program's doing (the virtual microphone's volume); it
    is taken out of the result.

    Returns a dict: reduction_db (lead-in, compensated), speech_change_db,
    relative_db (lead-in reduction relative to the speech level), periods,
    correlation (alignment quality over all windows, 0..1), slips (times the
    alignment moved between windows), rms_out."""
    noisy, _ = read_wav_mono(noisy_path)
    clean_path = noisy_path.replace("_noisy.wav", "_clean.wav")
    clean, _ = read_wav_mono(clean_path) if os.path.exists(clean_path) else (noisy, RATE)
    noisy = noisy.astype(np.float64)
    clean = clean.astype(np.float64)
    L = len(noisy)
    clean = np.resize(clean, L)
    w0 = int(warmup_s * RATE)
    W = min(int(window_s * RATE), L // 2)
    if len(recording) < w0 + 2 * L:
        raise ValueError("recording too short: %.1f s" % (len(recording) / RATE))

    # Offsets: recording[m] ~ clean[(m - offset) mod L] around each window
    # that carries speech; windows of noise or silence match anywhere and take
    # the offset of the speech before them (or after, at the start).
    starts = list(range(w0, len(recording) - W + 1, W))
    offsets = []  # (window start, offset) of the windows that carry speech
    for p in starts:
        seg = recording[p : p + W]
        lag, dot = _circular_lag(seg, clean)
        aligned = np.take(clean, (np.arange(W) - lag) % L)
        if dot > 0.5 * np.sqrt(np.sum(seg**2) * np.sum(aligned**2)) and dot > 0:
            offsets.append((p, (p + lag) % L))
    if not offsets:
        offsets = [(w0, (w0 + _circular_lag(recording[w0 : w0 + L], clean)[0]) % L)]

    def offset_at(m):
        before = [o for p, o in offsets if p <= m]
        return before[-1] if before else offsets[0][1]

    dots = seg_energy = clean_energy = 0.0
    for p in starts:
        seg = recording[p : p + W]
        aligned = np.take(clean, (np.arange(p, p + W) - offset_at(p)) % L)
        dots += float(np.dot(seg, aligned))
        seg_energy += float(np.sum(seg**2))
        clean_energy += float(np.sum(aligned**2))
    corr = float(dots / (np.sqrt(seg_energy * clean_energy) + 1e-9))
    slips = 0
    for (_, a), (_, b) in zip(offsets, offsets[1:]):
        d = (b - a) % L
        slips += min(d, L - d) > 2

    a, b = int(0.05 * RATE), int(0.45 * RATE)
    sp_a, sp_b = int(LEAD_IN_S * RATE), L
    lead_in = np.mean(noisy[a:b] ** 2)
    speech_in = np.mean(noisy[sp_a:sp_b] ** 2)
    leads, speeches = [], []
    # The first repetition whose start comes after the warm-up.
    start = w0 + (offsets[0][1] - w0) % L
    while True:
        shift = (offset_at(start + a) - start) % L
        start += shift - L if shift > L // 2 else shift
        if start + L > len(recording):
            break
        leads.append(np.mean(recording[start + a : start + b] ** 2))
        speeches.append(np.mean(recording[start + sp_a : start + sp_b] ** 2))
        start += L
    if not leads:
        raise ValueError("no complete repetition in the recording")
    lead_out = np.mean(leads) + 1e-12
    speech_out = np.mean(speeches) + 1e-12
    reduction = 10 * np.log10(lead_in / lead_out) + gain_db
    speech_change = 10 * np.log10(speech_out / speech_in) - gain_db
    return {
        "reduction_db": float(reduction),
        "speech_change_db": float(speech_change),
        "relative_db": float(reduction + speech_change),
        "periods": len(leads),
        "correlation": corr,
        "slips": int(slips),
        "rms_out": float(np.sqrt(np.mean(recording**2))),
    }


class X:
    """Pointer and keyboard input into an X server through XTest."""

    def __init__(self, display):
        self.x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
        self.xtst = ctypes.cdll.LoadLibrary("libXtst.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        for f in ("XFlush", "XCloseDisplay", "XSync"):
            getattr(self.x11, f).argtypes = [ctypes.c_void_p] + ([ctypes.c_int] if f == "XSync" else [])
        self.x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self.x11.XKeysymToKeycode.restype = ctypes.c_ubyte
        self.xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                                   ctypes.c_int, ctypes.c_ulong]
        self.xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                                   ctypes.c_ulong]
        self.xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int,
                                                ctypes.c_ulong]
        self.d = self.x11.XOpenDisplay(display.encode())
        if not self.d:
            raise RuntimeError("cannot open display " + display)

    def move(self, x, y):
        self.xtst.XTestFakeMotionEvent(self.d, -1, int(x), int(y), 0)
        self.x11.XSync(self.d, 0)

    def click(self, x, y, pause=0.15):
        self.move(x, y)
        time.sleep(pause)
        self.xtst.XTestFakeButtonEvent(self.d, 1, 1, 0)
        self.x11.XSync(self.d, 0)
        time.sleep(pause)
        self.xtst.XTestFakeButtonEvent(self.d, 1, 0, 0)
        self.x11.XSync(self.d, 0)
        time.sleep(pause)

    def key(self, keysym):
        code = self.x11.XKeysymToKeycode(self.d, keysym)
        self.xtst.XTestFakeKeyEvent(self.d, code, 1, 0)
        self.xtst.XTestFakeKeyEvent(self.d, code, 0, 0)
        self.x11.XSync(self.d, 0)

    def close(self):
        self.x11.XCloseDisplay(self.d)


XK_Return = 0xFF0D


def find_window(env, title):
    """(x, y, w, h) of the mapped top-level window named `title`, or None."""
    r = subprocess.run(["xwininfo", "-root", "-children"], env=env, capture_output=True, text=True)
    for line in r.stdout.splitlines():
        m = re.search(r'^\s*(0x[0-9a-f]+) "%s".*?(\d+)x(\d+)\+(-?\d+)\+(-?\d+)' % re.escape(title),
                      line)
        if m:
            wid = m.group(1)
            info = subprocess.run(["xwininfo", "-id", wid], env=env, capture_output=True,
                                  text=True).stdout
            if "IsViewable" not in info:
                continue
            geo = {k: int(v) for k, v in re.findall(
                r"(Absolute upper-left X|Absolute upper-left Y|Width|Height):\s+(-?\d+)", info)}
            return (geo["Absolute upper-left X"], geo["Absolute upper-left Y"],
                    geo["Width"], geo["Height"])
    return None


def screenshot(env, path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    r = subprocess.run(["import", "-window", "root", path], env=env, capture_output=True)
    if r.returncode != 0:
        xwd = path + ".xwd"
        subprocess.run(["xwd", "-root", "-silent", "-out", xwd], env=env, check=True)
        subprocess.run(["convert", xwd, path], check=True)
        os.remove(xwd)
    return path


class Sonvale:
    """The program, started as a user would start it, with its log captured."""

    def __init__(self, binary, env, log_path):
        self.log_path = log_path
        self.logf = open(log_path, "wb")
        self.proc = subprocess.Popen([binary], env=env, stdout=self.logf,
                                     stderr=subprocess.STDOUT, start_new_session=True)

    def log_text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_log(self, text, timeout=30):
        return wait_for(lambda: text in self.log_text() or self.proc.poll() is not None,
                        timeout, what="log line " + repr(text)) and text in self.log_text()

    def alive(self):
        return self.proc.poll() is None

    def signal(self, sig):
        if self.alive():
            self.proc.send_signal(sig)

    def wait(self, timeout=30):
        try:
            code = self.proc.wait(timeout)
        finally:
            self.logf.close()
        if code != 0:
            # What ended it badly (a sanitizer's report goes to the log too).
            sys.stderr.write("Sonvale exited with status %d; the end of its log:\n%s\n"
                             % (code, self.log_text()[-6000:]))
        return code

    def kill(self):
        if self.alive():
            self.proc.kill()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            pass
        if not self.logf.closed:
            self.logf.close()


# Positions inside the window, from the fixed layout.
MIC_SWITCH = (10 + 230 + 25, 49 + 110 + 25)
SPEAKER_SWITCH = (10 + 230 + 25, 221 + 80 + 25)
MENU_SYMBOL = (280 + 11, 10 + 11)


def standard_setup(pulse, noisy):
    """Stand-in speaker and microphone as the user's defaults, and the
    companion devices."""
    pulse.load("module-null-sink", "sink_name=" + STANDIN_SPEAKER,
               "sink_properties=device.description=Stand-in_speaker", "rate=%d" % RATE)
    feeder = Feeder(pulse, STANDIN_MIC, noisy)
    pulse.set_defaults(STANDIN_SPEAKER, STANDIN_MIC)
    r = pulse.driver("up")
    if r.returncode != 0:
        raise RuntimeError("sonvale-driver up: " + r.stderr)
    return feeder


def tear_down(pulse, pulse_dir, feeder):
    """Undoes standard_setup and ends the private daemon."""
    pulse.driver("down")
    if feeder:
        feeder.stop()
    pulse.stop()
    shutil.rmtree(pulse_dir, ignore_errors=True)


def demo(args):
    out = os.path.abspath(args.out)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    noisy = args.noisy or os.path.join(MIXTURES, DEFAULT_NOISY)
    pulse_dir = tempfile.mkdtemp(prefix="sonvale-demo-")
    pulse = Pulse(pulse_dir)
    feeder = None
    app = None
    try:
        feeder = standard_setup(pulse, noisy)
        before = pulse.defaults()
        print("demo: private audio server %s" % pulse.env["PULSE_SERVER"])
        print("demo: stand-in microphone plays %s (looped)" % os.path.basename(noisy))
        print("demo: defaults before start: speaker %s, microphone %s" % before)
        env = dict(pulse.env)
        app = Sonvale(args.sonvale, env, os.path.join(out, "sonvale.log"))
        wait_for(lambda: pulse.defaults() == (VIRTUAL_SPEAKER, VIRTUAL_MIC) or not app.alive(),
                 30, what="Sonvale to switch the defaults")
        if not app.alive():
            print("demo: Sonvale ended early; its log:\n" + app.log_text())
            return 1
        mute, pct, db = pulse.source_volume(VIRTUAL_MIC)
        print("demo: Sonvale running; defaults now %s, %s; virtual microphone %s at %d%%"
              % (VIRTUAL_SPEAKER, VIRTUAL_MIC, "muted" if mute else "unmuted", pct))
        time.sleep(1.0)
        rec = record(pulse, VIRTUAL_MIC, args.seconds)
        rec_path = os.path.join(out, "virtual-microphone.wav")
        write_wav(rec_path, np.clip(rec, -32768, 32767))
        shot = screenshot(env, os.path.join(out, "sonvale-window.png"))
        m = measure(rec, noisy, gain_db=db)
        print("demo: recorded %.1f s from the virtual microphone" % (len(rec) / RATE))
        print("demo: noise reduction measured: the noise-only lead-in is %.1f dB quieter"
              " (speech level %+.1f dB; %d repetitions; alignment %.2f; the microphone's"
              " %d%% volume, %.1f dB, taken out)"
              % (m["reduction_db"], m["speech_change_db"], m["periods"], m["correlation"], pct, db))
        # Quit as a user would: the title menu's "Quit Sonvale".
        geo = find_window(env, "SonvaleMain")
        if geo:
            x = X(env["DISPLAY"])
            x.click(geo[0] + MENU_SYMBOL[0], geo[1] + MENU_SYMBOL[1])
            menu_item = (geo[0] + 280 - 160 + 40, geo[1] + 10 + 14)
            x.click(*menu_item)
            x.close()
        try:
            app.wait(10)
        except subprocess.TimeoutExpired:
            app.signal(signal.SIGTERM)
            app.wait(20)
        after = pulse.defaults()
        print("demo: Sonvale ended with status %s; defaults after: speaker %s, microphone %s"
              % (app.proc.returncode, after[0], after[1]))
        print("demo: recording of the virtual microphone: %s" % rec_path)
        print("demo: screenshot of the window: %s" % shot)
        print("demo: Sonvale's log: %s" % os.path.join(out, "sonvale.log"))
        return 0 if after == before else 1
    finally:
        if app:
            app.kill()
        tear_down(pulse, pulse_dir, feeder)


def stat_cpu_seconds(stat_text):
    """User plus system CPU time, in s, from the text of a /proc stat file
    (fields counted after the command name, which may hold spaces)."""
    fields = stat_text.rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def process_cpu_seconds(pid):
    """CPU time of a whole process, all its threads, in s."""
    with open("/proc/%d/stat" % pid) as f:
        return stat_cpu_seconds(f.read())


def thread_cpu_seconds(pid):
    """CPU time of each thread of a process, by "name tid"."""
    use = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                text = f.read()
        except OSError:
            continue  # the thread ended meanwhile
        name = text[text.index("(") + 1:text.rindex(")")]
        use[name + " " + tid] = stat_cpu_seconds(text)
    return use


def cpu(args):
    """CPU use of the running program, as a user runs it, in the states of a
    call: both paths carrying audio, only the microphone (the other side is
    silent), nothing at all."""
    noisy = args.noisy or os.path.join(MIXTURES, DEFAULT_NOISY)
    pulse_dir = tempfile.mkdtemp(prefix="sonvale-cpu-")
    pulse = Pulse(pulse_dir)
    feeder = app = player = writer = None
    rows = []

    def sample(what):
        time.sleep(2.0)  # let the new state settle
        pid = app.proc.pid
        c0, t0, th0 = process_cpu_seconds(pid), time.monotonic(), thread_cpu_seconds(pid)
        time.sleep(args.seconds)
        wall = time.monotonic() - t0
        pct = 100.0 * (process_cpu_seconds(pid) - c0) / wall
        rows.append((what, pct))
        print("cpu: %-52s %5.2f %% of one core" % (what, pct), flush=True)
        # Where it goes: the busiest threads.
        th1 = thread_cpu_seconds(pid)
        busy = sorted(((th1[k] - th0.get(k, 0.0), k) for k in th1), reverse=True)
        for used, key in busy[:5]:
            if used > 0:
                print("       %-24s %5.2f %%" % (key, 100.0 * used / wall), flush=True)

    try:
        feeder = standard_setup(pulse, noisy)
        env = dict(pulse.env)
        app = Sonvale(args.sonvale, env, os.path.join(pulse_dir, "sonvale.log"))
        if not wait_for(lambda: pulse.defaults() == (VIRTUAL_SPEAKER, VIRTUAL_MIC)
                        or not app.alive(), 30, what="Sonvale to switch the defaults"):
            print("cpu: Sonvale did not start; its log:\n" + app.log_text())
            return 1
        sample("microphone only (noise cancelling on)")
        player = subprocess.Popen(
            ["pacat", "--playback", "-d", VIRTUAL_SPEAKER, "--raw", "--format=s16le",
             "--rate=%d" % RATE, "--channels=1", "--latency-msec=40"],
            env=env, stdin=subprocess.PIPE)
        writer = PacedWriter(player.stdin, noisy)
        sample("both paths, speaker noise cancelling off")
        geo = find_window(env, "SonvaleMain")
        if geo:
            x = X(env["DISPLAY"])
            x.click(geo[0] + SPEAKER_SWITCH[0], geo[1] + SPEAKER_SWITCH[1])
            x.close()
            sample("both paths, noise cancelling on for both")
        writer.stop()
        player.terminate()
        player.wait(10)
        player = None
        feeder.writer.stop()
        sample("nothing playing, microphone silent")
        print("\n| state (%g s each) | CPU, %% of one core |\n|---|---|" % args.seconds)
        for what, pct in rows:
            print("| %s | %.2f |" % (what, pct))
        return 0 if app.alive() else 1
    finally:
        if writer:
            writer.stop()
        if player:
            player.kill()
        if app:
            app.signal(signal.SIGTERM)
            try:
                app.wait(20)
            except subprocess.TimeoutExpired:
                app.kill()
        tear_down(pulse, pulse_dir, feeder)


def with_devices(args):
    """Runs a command with a private daemon, the stand-in devices and the
    companion devices; the command finds them through its environment."""
    os.makedirs(args.dir, exist_ok=True)
    # The daemon's socket path must stay under the 108 bytes of a Unix socket
    # address, so it lives in a short temporary directory.
    pulse_dir = tempfile.mkdtemp(prefix="sonvale-")
    pulse = Pulse(pulse_dir)
    feeder = None
    try:
        feeder = standard_setup(pulse, args.noisy or os.path.join(MIXTURES, DEFAULT_NOISY))
        env = dict(pulse.env)
        env["SONVALE_HARNESS"] = os.path.abspath(__file__)
        return subprocess.run(args.command, env=env).returncode
    finally:
        tear_down(pulse, pulse_dir, feeder)



def program_test_args(argv):
    """Splits a program test's command line: --sonvale PATH and --out DIR
    (made if missing) as absolute paths, and what is left for unittest."""
    sonvale = os.path.abspath(argv[argv.index("--sonvale") + 1])
    out = os.path.abspath(argv[argv.index("--out") + 1])
    rest = [a for i, a in enumerate(argv)
            if a not in ("--sonvale", "--out") and argv[i - 1] not in ("--sonvale", "--out")]
    os.makedirs(out, exist_ok=True)
    return sonvale, out, rest

def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="cmd", required=True)
    w = sub.add_parser("with-devices")
    w.add_argument("--dir", required=True)
    w.add_argument("--noisy")
    w.add_argument("command", nargs=argparse.REMAINDER)
    d = sub.add_parser("demo")
    d.add_argument("--sonvale", required=True)
    d.add_argument("--out", required=True)
    d.add_argument("--noisy")
    d.add_argument("--seconds", type=float, default=16.0)
    c = sub.add_parser("cpu")
    c.add_argument("--sonvale", required=True)
    c.add_argument("--noisy")
    c.add_argument("--seconds", type=float, default=60.0)
    args = ap.parse_args()
    if args.cmd == "cpu":
        sys.exit(cpu(args))
    if args.cmd == "demo":
        sys.exit(demo(args))
    if args.cmd == "with-devices":
        if args.command and args.command[0] == "--":
            args.command = args.command[1:]
        sys.exit(with_devices(args))


if __name__ == "__main__":
    main()
