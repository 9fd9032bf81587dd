#!/usr/bin/python3
"""The Debian package as a new user gets it: built by cpack, unpacked into a
clean root, `sonvale-driver install` run from there, a private audio server
started as a login would start it (PulseAudio, and PipeWire's pulse server
where it is installed), and the installed program started under X against
it. Run under xvfb-run:

    install_test.py --build BUILD_DIR --out DIR
"""

import argparse
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

ARGS = None
GUID = "{A918DC47-8798-45A3-8351-CBF0AB47208A}"


def run(cmd, env=None, check=True, **kw):
    r = subprocess.run(cmd, env=env, capture_output=True, text=True, **kw)
    if check and r.returncode != 0:
        raise RuntimeError("%s: %s%s" % (" ".join(cmd), r.stdout, r.stderr))
    return r


def wait_for_socket(path, proc, what):
    h.wait_for(lambda: os.path.exists(path) or proc.poll() is not None, 30, what=what)
    if not os.path.exists(path):
        raise RuntimeError("%s did not start" % what)


class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        build = os.path.abspath(ARGS.build)
        for old in glob.glob(os.path.join(build, "sonvale_*.deb")):
            os.remove(old)
        run(["cpack", "-G", "DEB"], cwd=build)
        cls.deb = glob.glob(os.path.join(build, "sonvale_*.deb"))[0]
        cls.tmp = tempfile.mkdtemp(prefix="sonvale-inst-")
        cls.root = os.path.join(cls.tmp, "root")
        run(["dpkg-deb", "-x", cls.deb, cls.root])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="home-", dir=self.tmp)
        self.cfg = os.path.join(self.home, "config")
        self.run_dir = os.path.join(self.home, "run")
        os.makedirs(self.run_dir, mode=0o700)
        self.env = dict(os.environ)
        for k in ("SONVALE_DRIVER_DIR", "PULSE_SERVER", "LD_LIBRARY_PATH"):
            self.env.pop(k, None)
        self.env.update(HOME=self.home, XDG_CONFIG_HOME=self.cfg, XDG_RUNTIME_DIR=self.run_dir,
                        PULSE_SERVER="unix:" + os.path.join(self.home, "no-server-yet"))
        self.procs = []
        self.addCleanup(self._stop)

    def _stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()

    def bin(self, name):
        return os.path.join(self.root, "usr", "bin", name)

    def login(self):
        """What a login does before the audio server starts: systemd makes
        the directories of the user's tmpfiles.d entries."""
        with open(os.path.join(self.cfg, "user-tmpfiles.d", "sonvale.conf")) as f:
            for line in f:
                fields = line.split()
                if fields and fields[0] == "d":
                    path = fields[1].replace("%t", self.run_dir)
                    os.makedirs(path, mode=int(fields[2], 8), exist_ok=True)

    def start_pulseaudio(self):
        """A PulseAudio daemon reading this user's configuration as at login
        (the system's own file is left out: it would look for hardware)."""
        pa = os.path.join(self.home, "login.pa")
        sock = os.path.join(self.home, "native")
        with open(pa, "w") as f:
            f.write("load-module module-native-protocol-unix auth-anonymous=1 socket=%s\n" % sock)
            f.write("load-module module-null-sink sink_name=Standin_Speaker\n")
            with open(os.path.join(self.cfg, "pulse", "default.pa")) as user_pa:
                for line in user_pa:
                    if line.startswith(".include") and "/etc/pulse/" not in line:
                        f.write(line)
        self.env.update(PULSE_SERVER="unix:" + sock,
                        PULSE_RUNTIME_PATH=os.path.join(self.home, "pulse-runtime"),
                        PULSE_STATE_PATH=os.path.join(self.home, "pulse-state"))
        log = open(os.path.join(self.home, "pulse.log"), "w")
        self.addCleanup(log.close)
        p = subprocess.Popen(["pulseaudio", "-n", "-F", pa, "--exit-idle-time=-1",
                              "--daemonize=no", "--disable-shm=yes", "--log-target=stderr"],
                             env=self.env, stdout=subprocess.DEVNULL, stderr=log)
        self.procs.append(p)
        wait_for_socket(sock, p, "PulseAudio")

    def start_pipewire(self):
        """PipeWire, WirePlumber and pipewire-pulse with this user's config."""
        bus = os.path.join(self.run_dir, "bus")
        self.env.update(DBUS_SESSION_BUS_ADDRESS="unix:path=" + bus,
                        XDG_STATE_HOME=os.path.join(self.home, "state"),
                        XDG_DATA_HOME=os.path.join(self.home, "data"),
                        XDG_CACHE_HOME=os.path.join(self.home, "cache"),
                        PULSE_SERVER="unix:" + os.path.join(self.run_dir, "pulse", "native"))
        os.makedirs(os.path.join(self.cfg, "pulse"), exist_ok=True)
        with open(os.path.join(self.cfg, "pulse", "client.conf"), "w") as f:
            f.write("autospawn = no\n")
        log = open(os.path.join(self.home, "pipewire.log"), "w")
        self.addCleanup(log.close)
        dbus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--address=unix:path=" + bus],
                                env=self.env, stdout=log, stderr=log)
        self.procs.append(dbus)
        wait_for_socket(bus, dbus, "dbus")
        for name, ready in (("pipewire", os.path.join(self.run_dir, "pipewire-0")),
                            ("wireplumber", None),
                            ("pipewire-pulse", os.path.join(self.run_dir, "pulse", "native"))):
            p = subprocess.Popen([name], env=self.env, stdout=log, stderr=log, start_new_session=True)
            self.procs.append(p)
            if ready:
                wait_for_socket(ready, p, name)

    def pactl(self, *args):
        return run(["pactl", *args], env=self.env).stdout

    def devices(self):
        return [l.split("\t")[1] for kind in ("sinks", "sources")
                for l in self.pactl("list", "short", kind).splitlines() if "\t" in l]

    def test_package_installs_and_its_program_runs(self):
        # Dependencies: the linked libraries and what is loaded at run time.
        depends = run(["dpkg-deb", "-f", self.deb, "Depends"]).stdout
        for need in ("libqt5multimedia5-plugins", "libqt5widgets5", "libpulse0", "pulseaudio-utils",
                     "libspeexdsp1"):
            self.assertIn(need, depends)
        for path in ("usr/bin/Sonvale", "usr/bin/sonvale-denoise", "usr/bin/sonvale-driver",
                     "usr/share/applications/sonvale.desktop",
                     "usr/share/icons/hicolor/scalable/apps/sonvale.svg",
                     "usr/share/icons/hicolor/256x256/apps/sonvale.png"):
            self.assertTrue(os.path.exists(os.path.join(self.root, path)), path)
        if shutil.which("desktop-file-validate"):
            run(["desktop-file-validate",
                 os.path.join(self.root, "usr/share/applications/sonvale.desktop")])
        # The installed tool runs from its own folder's libraries.
        r = run([self.bin("sonvale-denoise")], check=False)
        self.assertIn("sonvale-denoise: need an input", r.stderr)

        run([self.bin("sonvale-driver"), "install"], env=self.env)
        self.login()
        self.start_pulseaudio()
        self.assertIn("Sonvale_Speaker", self.devices())
        self.assertIn("Sonvale_Microphone", self.devices())
        # The devices loaded at login are the ones "up" would have loaded.
        self.assertIn("already up", run([self.bin("sonvale-driver"), "up"], env=self.env).stdout)
        self.pactl("set-default-sink", "Standin_Speaker")

        log = os.path.join(ARGS.out, "installed-sonvale.log")
        app = h.Sonvale(self.bin("Sonvale"), self.env, log)
        try:
            h.wait_for(lambda: self.pactl("get-default-sink").strip() == "Sonvale_Speaker"
                       or not app.alive(), 30, what="the installed Sonvale to switch the defaults")
            self.assertTrue(app.alive(), app.log_text())
            self.assertTrue(h.wait_for(lambda: h.find_window(self.env, "SonvaleMain"), 20,
                                       what="the window"))
            h.screenshot(self.env, os.path.join(ARGS.out, "installed-sonvale.png"))
            # No tray on this X server: the panel is an ordinary window with
            # a taskbar entry, and it stays when it loses the focus.
            self.assertTrue(app.wait_log("system tray: none"))
            props = run(["xprop", "-name", "SonvaleMain", "_NET_WM_WINDOW_TYPE", "_NET_WM_STATE"],
                        env=self.env, check=False).stdout
            self.assertIn("_NET_WM_WINDOW_TYPE_NORMAL", props)
            self.assertNotIn("SKIP_TASKBAR", props)
            second = h.Sonvale(self.bin("Sonvale"), self.env, log + ".second")
            self.assertEqual(second.wait(30), 0)
            self.assertTrue(app.wait_log("shown: another start asked for the panel"))
            app.signal(signal.SIGTERM)
            self.assertEqual(app.wait(30), 0)
        finally:
            app.kill()
        self.assertEqual(self.pactl("get-default-sink").strip(), "Standin_Speaker")

        run([self.bin("sonvale-driver"), "uninstall"], env=self.env)
        left = [os.path.join(d, f) for d, _, fs in os.walk(self.cfg) for f in fs
                if "sonvale" in f or f == "default.pa"]
        self.assertEqual(left, [])
        self.assertNotIn("Sonvale_Speaker", self.devices())

    @unittest.skipUnless(all(shutil.which(p) for p in
                             ("pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon")),
                         "PipeWire is not installed")
    def test_pipewire_pulse_loads_the_devices_at_login(self):
        run([self.bin("sonvale-driver"), "install"], env=self.env)
        self.login()
        self.start_pipewire()
        h.wait_for(lambda: "Sonvale_Microphone" in self.devices(), 30,
                   what="PipeWire to load the companion devices")
        self.assertIn("Sonvale_Speaker", self.devices())
        self.assertIn("on PipeWire", self.pactl("info"))
        r = run([self.bin("sonvale-driver"), "status"], env=self.env, check=False)
        self.assertNotIn("no PulseAudio server", r.stderr)

        # The installed program on PipeWire: defaults switched, the virtual
        # microphone unmuted at unity, everything put back at the end.
        self.pactl("load-module", "module-null-sink", "sink_name=Standin_Speaker")
        h.wait_for(lambda: "Standin_Speaker" in self.devices(), 20, what="the stand-in speaker")
        self.pactl("set-default-sink", "Standin_Speaker")
        self.pactl("set-source-mute", "Sonvale_Microphone", "1")
        self.pactl("set-source-volume", "Sonvale_Microphone", "40%")
        app = h.Sonvale(self.bin("Sonvale"), self.env, os.path.join(ARGS.out, "pipewire-sonvale.log"))
        try:
            h.wait_for(lambda: self.pactl("get-default-sink").strip() == "Sonvale_Speaker"
                       or not app.alive(), 30, what="Sonvale on PipeWire to switch the defaults")
            self.assertTrue(app.alive(), app.log_text())
            self.assertIn("Mute: no", self.pactl("get-source-mute", "Sonvale_Microphone"))
            self.assertIn("100%", self.pactl("get-source-volume", "Sonvale_Microphone"))
            app.signal(signal.SIGTERM)
            self.assertEqual(app.wait(30), 0)
        finally:
            app.kill()
        self.assertEqual(self.pactl("get-default-sink").strip(), "Standin_Speaker")


def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", required=True)
    ARGS, rest = ap.parse_known_args()
    os.makedirs(ARGS.out, exist_ok=True)
    if not os.environ.get("DISPLAY"):
        print("install_test: needs an X server (run under xvfb-run -a)", file=sys.stderr)
        sys.exit(1)
    unittest.main(argv=[sys.argv[0], "-v"] + rest)


if __name__ == "__main__":
    main()
