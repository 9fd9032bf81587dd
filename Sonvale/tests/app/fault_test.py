#!/usr/bin/python3
"""The program through the faults of a long-running audio setup, on a private
PulseAudio daemon: the real binary (Qt's offscreen platform), a stand-in
microphone playing clean speech from the corpus, a stand-in speaker, the companion devices,
and a player of the same speech on the virtual speaker.

    fault_test.py --sonvale BIN --out DIR [unittest options, e.g. -k Restart]

After each fault both paths must carry their input again (the virtual
microphone the microphone's speech, the real speaker the speech played to the
virtual speaker), no later than before the fault (no audio from before it
left standing in a path), the program's own streams must be on the real
devices, the defaults the companion devices while it runs and the real ones
after it ends. The time from the devices' return to both paths carrying and
each path's delay are printed; the program's CPU while it waits for a server
too.
"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

SONVALE = None
OUT = None
VIRTUAL = (h.VIRTUAL_SPEAKER, h.VIRTUAL_MIC)
STANDINS = (h.STANDIN_SPEAKER, h.STANDIN_MIC)
# How much later than before a fault a path may carry its input after it:
# room for the speaker buffer's growth after underruns (at most 30 ms) and
# for the recorders' timing (tens of ms), well below a backlog of audio from
# before the fault.
DELAY_SLACK = 0.1


def lag_if_follows(seg, speech):
    """The lag at which `seg` follows the looped `speech` closely
    (normalised correlation above 0.6; see h._circular_lag), or None."""
    lag, dot = h._circular_lag(seg, speech)
    aligned = np.take(speech, (np.arange(len(seg)) - lag) % len(speech))
    norm = np.sqrt(np.sum(seg**2) * np.sum(aligned**2))
    return lag if norm > 0 and dot / norm > 0.6 else None


def path_delay(source, sink, speech):
    """Seconds from the looped `speech` in recording `source` to the same
    speech in recording `sink`, or None."""
    a, b = source.loop_start(speech), sink.loop_start(speech)
    if a is None or b is None:
        return None
    return (b - a + 0.5) % (len(speech) / h.RATE) - 0.5


class Recording:
    """A continuous recording of a device (parec), with the arrival time of
    every piece, so that the moment a piece of audio was captured can be told."""

    def __init__(self, pulse, device):
        self.proc = subprocess.Popen(
            ["parec", "-d", device, "--raw", "--format=s16le", "--rate=%d" % h.RATE,
             "--channels=1", "--latency-msec=20"],
            env=pulse.env, stdout=subprocess.PIPE)
        self.lock = threading.Lock()
        self.data = bytearray()
        self.pieces = []  # (samples so far, arrival time)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while True:
            part = self.proc.stdout.read1(65536)
            if not part:
                return
            with self.lock:
                self.data += part
                self.pieces.append((len(self.data) // 2, time.monotonic()))

    def _samples(self):
        with self.lock:
            x = np.frombuffer(bytes(self.data[: len(self.data) // 2 * 2]), dtype="<i2")
            pieces = list(self.pieces)
        return x.astype(np.float64), pieces

    @staticmethod
    def _time_of(pieces, frame, since):
        for end, when in pieces:
            if end > frame:
                return when - (end - frame) / h.RATE - since
        return None

    def speech_since(self, speech, since):
        """Seconds after `since` at which the first half second arrived that
        follows the looped `speech` closely (normalised correlation above
        0.6), or None."""
        x, pieces = self._samples()
        W = h.RATE // 2
        for start in range(0, len(x) - W + 1, W // 4):
            if lag_if_follows(x[start : start + W], speech) is not None:
                return self._time_of(pieces, start, since)
        return None

    def loop_start(self, speech):
        """When a loop of `speech` began, as this recording's capture times
        tell: the median over the half seconds of the last 3 s that follow
        the speech closely; None when none does."""
        x, pieces = self._samples()
        W = h.RATE // 2
        period = len(speech) / h.RATE
        found = []
        for start in range(max(0, len(x) - 6 * W), len(x) - W + 1, W // 2):
            lag = lag_if_follows(x[start : start + W], speech)
            t = self._time_of(pieces, start, 0.0)
            if lag is not None and t is not None:
                found.append(t - ((-lag) % len(speech)) / h.RATE)
        if not found:
            return None
        return found[0] + float(np.median([(f - found[0] + period / 2) % period - period / 2
                                           for f in found]))

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.thread.join(5)
        self.proc.stdout.close()


class FaultCase(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.join(OUT, self.id().split(".")[-1])
        os.makedirs(self.dir, exist_ok=True)
        self.pulse_dir = tempfile.mkdtemp(prefix="sonvale-fault-")
        # The microphone and the virtual speaker both play the same clean
        # speech, looped: where a piece of it lies in the loop tells when it
        # was played, so each path's delay can be measured.
        # Without the corpus: the clean speech of the input the build made.
        noisy = os.environ.get("SONVALE_TEST_NOISY") or os.path.join(h.MIXTURES, h.DEFAULT_NOISY)
        self.mic_wav = noisy.replace("_noisy.wav", "_clean.wav")
        self.speech = h.read_wav_mono(self.mic_wav)[0].astype(np.float64)
        self.speaker_wav = self.mic_wav
        self.normal_delays = None
        self.pulse = h.Pulse(self.pulse_dir)
        self.feeder = None
        self.player = None
        self.app = None
        self.addCleanup(self._cleanup)
        self.devices_up()
        self.env = dict(self.pulse.env)
        self.env["QT_QPA_PLATFORM"] = "offscreen"

    def _cleanup(self):
        if self.app:
            self.app.kill()
        self.stop_player()
        self.pulse.driver("down")
        if self.feeder:
            self.feeder.stop(unload=False)
        self.pulse.stop()
        src = os.path.join(self.pulse_dir, "pulse.log")
        if os.path.exists(src):
            subprocess.run(["cp", src, os.path.join(self.dir, "pulse.log")])
        subprocess.run(["rm", "-rf", self.pulse_dir])

    # ---- the rig --------------------------------------------------------

    def devices_up(self):
        """Stand-in devices as the user's defaults, then the companion devices."""
        self.pulse.load("module-null-sink", "sink_name=" + h.STANDIN_SPEAKER,
                        "rate=%d" % h.RATE)
        self.feeder = h.Feeder(self.pulse, h.STANDIN_MIC, self.mic_wav)
        self.pulse.set_defaults(h.STANDIN_SPEAKER, h.STANDIN_MIC)
        self.driver_up()

    def driver_up(self):
        # After a server that died, this also clears the FIFOs it left behind.
        r = self.pulse.driver("up")
        self.assertEqual(r.returncode, 0, r.stderr)

    def start_player(self):
        self.player = subprocess.Popen(
            ["pacat", "--playback", "-d", h.VIRTUAL_SPEAKER, "--raw", "--format=s16le",
             "--rate=48000", "--channels=1", "--latency-msec=40"],
            env=self.pulse.env, stdin=subprocess.PIPE)
        self.player_writer = h.PacedWriter(self.player.stdin, self.speaker_wav)

    def stop_player(self):
        if self.player:
            self.player_writer.stop()
            self.player.kill()
            self.player.wait(10)
            try:
                self.player.stdin.close()
            except OSError:
                pass  # the player is gone; what it did not take is lost
            self.player = None

    def start_sonvale(self):
        self.app = h.Sonvale(SONVALE, self.env, os.path.join(self.dir, "sonvale.log"))
        h.wait_for(lambda: self.pulse.defaults() == VIRTUAL or not self.app.alive(), 30,
                   what="the virtual devices to become the defaults")
        self.assertTrue(self.app.alive(), self.app.log_text())
        self.app.wait_log("microphones:")

    def own_streams(self):
        """The devices the program's streams are on, as (kind, device)."""
        out = []
        pid = str(self.app.proc.pid)
        for kind, streams, devices, key in (("playback", "sink-inputs", "sinks", "sink"),
                                            ("recording", "source-outputs", "sources", "source")):
            names = {d["index"]: d["name"]
                     for d in json.loads(self.pulse.pactl("-f", "json", "list", "short", devices))}
            for s in json.loads(self.pulse.pactl("-f", "json", "list", streams)):
                if s["properties"].get("application.process.id") == pid:
                    out.append((kind, names.get(s[key], "?")))
        return out

    def expect_both_paths_carry(self, when, since=None, check_delay=True):
        """Waits until both paths carry their input and measures how late
        each is (the first call of a test sets the normal figures, later ones
        must not exceed them by more than DELAY_SLACK); returns the seconds
        after `since` at which the later of the two began to carry."""
        since = time.monotonic() if since is None else since
        mic_in = Recording(self.pulse, h.STANDIN_MIC)
        mic = Recording(self.pulse, h.VIRTUAL_MIC)
        speaker_in = Recording(self.pulse, h.VIRTUAL_SPEAKER + ".monitor")
        speaker = Recording(self.pulse, h.STANDIN_SPEAKER + ".monitor")
        try:
            def both():
                m = mic.speech_since(self.speech, since)
                s = speaker.speech_since(self.speech, since)
                return (m, s) if m is not None and s is not None else None
            try:
                m, s = h.wait_for(both, 30, step=0.2, what="both paths to carry")
            except TimeoutError:
                self.fail("%s: a path stays silent: microphone %s, speaker %s\n%s" % (
                    when, mic.speech_since(self.speech, since),
                    speaker.speech_since(self.speech, since), self.app.log_text()[-3000:]))
            # A second more, then how late each path is.
            time.sleep(1.0)
            delays = (path_delay(mic_in, mic, self.speech),
                      path_delay(speaker_in, speaker, self.speech))
        finally:
            for r in (mic_in, mic, speaker_in, speaker):
                r.stop()
        print("%s: %s: microphone path carries after %.2f s, speaker path after %.2f s; "
              "delays %s ms" % (self.id(), when, m, s,
                                 ["-" if d is None else "%.0f" % (1000 * d) for d in delays]),
              file=sys.stderr)
        # Nothing from before the fault stands in either path: each is as late
        # as it was before the first fault of the test, no later.
        self.assertNotIn(None, delays, when)
        if self.normal_delays is None:
            self.normal_delays = delays
        for path, d, normal in zip(("microphone", "speaker"), delays, self.normal_delays):
            if not check_delay:
                break
            self.assertLess(d, normal + DELAY_SLACK,
                            "%s: the %s path is %.0f ms late, %.0f ms before the fault" % (
                                when, path, 1000 * d, 1000 * normal))
        streams = self.own_streams()
        self.assertEqual(sorted(k for k, _ in streams), ["playback", "recording"], streams)
        self.assertFalse(any("Sonvale" in d for _, d in streams), streams)
        self.assertEqual(self.pulse.defaults(), VIRTUAL)
        return max(m, s)

    def cpu_share(self, seconds):
        """The program's CPU over `seconds` (after half a second of settling),
        as a share of one core; printed."""
        time.sleep(0.5)
        cpu0, t0 = h.process_cpu_seconds(self.app.proc.pid), time.monotonic()
        time.sleep(seconds)
        cpu = (h.process_cpu_seconds(self.app.proc.pid) - cpu0) / (time.monotonic() - t0)
        print("%s: CPU while waiting: %.2f %% of a core" % (self.id(), 100 * cpu),
              file=sys.stderr)
        return cpu

    def end_and_expect_real_defaults(self):
        self.app.signal(signal.SIGTERM)
        self.assertEqual(self.app.wait(30), 0)
        h.wait_for(lambda: self.pulse.defaults() == STANDINS, 20,
                   what="the real devices to be the defaults again")

    # ---- the rows ---------------------------------------------------------

    def test_server_restart(self):
        """The audio server killed and started again, the devices loaded again."""
        self.start_sonvale()
        self.start_player()
        self.expect_both_paths_carry("before")
        self.stop_player()
        self.feeder.stop(unload=False)
        self.feeder = None
        pid = int(open(os.path.join(self.pulse_dir, "runtime", "pid")).read())
        os.kill(pid, signal.SIGKILL)
        h.wait_for(lambda: not os.path.exists("/proc/%d" % pid)
                   or "zombie" in open("/proc/%d/status" % pid).read().lower(), 20,
                   what="the server to die")
        self.assertTrue(self.app.wait_log("audio server gone"), self.app.log_text())
        h.wait_for(lambda: "microphones:  | current:" in self.app.log_text(), 20,
                   what="the lists to empty")
        # Waiting for a server costs next to nothing (a busy loop would show).
        self.assertLess(self.cpu_share(4.0), 0.05, "busy while waiting for a server")
        self.assertTrue(self.app.alive())

        os.remove(os.path.join(self.pulse_dir, "runtime", "pid"))
        self.pulse = h.Pulse(self.pulse_dir)
        # The stand-in microphone's FIFO outlived its server too.
        os.remove(os.path.join(self.pulse_dir, h.STANDIN_MIC + ".fifo"))
        self.devices_up()
        back = time.monotonic()
        self.start_player()
        took = self.expect_both_paths_carry("after the server restart", back)
        self.assertLess(took, 10)
        self.assertIn("audio paths reopened", self.app.log_text())
        self.end_and_expect_real_defaults()

    def test_devices_reload(self):
        """sonvale-driver down, then up: the companion devices reloaded."""
        self.start_sonvale()
        self.start_player()
        self.expect_both_paths_carry("before")
        self.stop_player()
        r = self.pulse.driver("down")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertTrue(self.app.wait_log("companion device"), self.app.log_text())
        h.wait_for(lambda: self.pulse.defaults() == STANDINS, 20,
                   what="the server to fall back to the real devices")
        self.assertLess(self.cpu_share(3.0), 0.05, "busy while waiting for the devices")
        self.driver_up()
        back = time.monotonic()
        self.start_player()
        took = self.expect_both_paths_carry("after the reload", back)
        self.assertLess(took, 10)
        self.end_and_expect_real_defaults()

    def test_pauses_and_load(self):
        """The server stopped for 3 s, the machine busy for 20 s, the
        virtual microphone's recorder paused for 10 s, the microphone
        unplugged and plugged in again: both paths carry during the busy
        spell and again after each fault (the seconds that takes are
        printed; the bound is the other rows' one)."""
        self.start_sonvale()
        self.start_player()
        self.expect_both_paths_carry("before")

        pid = int(open(os.path.join(self.pulse_dir, "runtime", "pid")).read())
        os.kill(pid, signal.SIGSTOP)
        time.sleep(3)
        os.kill(pid, signal.SIGCONT)
        back = time.monotonic()
        self.assertLess(self.expect_both_paths_carry("after the server's pause", back), 10)

        # Three busy processes on this machine's cores, for 20 s.
        busy = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(3)]
        try:
            time.sleep(2)
            self.expect_both_paths_carry("while the machine is busy", check_delay=False)
            time.sleep(max(0.0, 20 - 2 - 5))
        finally:
            for p in busy:
                p.kill()
                p.wait(10)
        back = time.monotonic()
        self.assertLess(self.expect_both_paths_carry("after the busy spell", back), 10)

        # A recorder of the virtual microphone that stops reading for 10 s.
        rec = subprocess.Popen(
            ["parec", "-d", h.VIRTUAL_MIC, "--raw", "--format=s16le", "--rate=%d" % h.RATE,
             "--channels=1", "--latency-msec=20"], env=self.pulse.env, stdout=subprocess.PIPE)
        try:
            rec.stdout.read(h.RATE * 2)
            os.kill(rec.pid, signal.SIGSTOP)
            time.sleep(10)
            os.kill(rec.pid, signal.SIGCONT)
        finally:
            rec.kill()
            rec.wait(10)
            rec.stdout.close()
        self.assertLess(self.expect_both_paths_carry("after the recorder's pause"), 10)

        # The microphone unplugged for a second and plugged in again.
        self.feeder.stop()
        self.feeder = None
        time.sleep(1)
        self.feeder = h.Feeder(self.pulse, h.STANDIN_MIC, self.mic_wav)
        back = time.monotonic()
        self.assertLess(self.expect_both_paths_carry("after the microphone's return", back), 10)
        self.end_and_expect_real_defaults()


def main():
    global SONVALE, OUT
    SONVALE, OUT, rest = h.program_test_args(sys.argv[1:])
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
