#!/usr/bin/python3
"""A room left alone for MINUTES: the real VantorReda and vexsim with cameras unplugged and
plugged back, the array's link dropping, refused and going silent, a talker in bursts, control
clients, pages and VISCA controllers that connect and vanish, the PTZ panel opened and closed,
and beside it `vexctl record` recording another camera in one-minute pieces. Every 10 s the
application's memory, open files, threads, processor time and interface lateness are sampled;
samples at the same phase of the 60 s cycle are compared and a verdict printed.

    dbus-run-session -- /usr/bin/python3 bench/soak.py BUILD_DIR MINUTES

Exit status 0 only when the verdict passes.
"""

import json
import os
import random
import select
import socket
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "e2e"))
from vexe2e import CALL_PRESET, CAMERA, Failure, Session, seeded_settings, wait_until  # noqa: E402

CYCLE_S = 60
SAMPLE_S = 10
SIM_ADDRESS = "127.0.0.41"    # the simulated array
PROXY_ADDRESS = "127.0.0.42"  # what the application links to: the network in between
SHURE_PORT = 2202
API_PORT = 18941
VISCA_UDP, VISCA_TCP = 31082, 32082
RECORD_CAMERA = "1&2.5&1&0000"
PORTS = ["1&2.4", "1&3"]  # cam1 moves between these

# What the user set: these keys must read the same at the end.
USER_KEYS = ("SoundDeviceIndex", "SoundDeviceType", "IPAddress", "DelayTriggerTime", "BackToHomeMap",
             "PresetLinkMap", "ShureArrayPos", "ControlApi", "ManualOverrideTime")

# Thresholds of the verdict.
FILES_SLACK = 3
THREADS_SLACK = 2
MB_PER_HOUR = 2.0
MB_SHORT_RUN = 8.0
LATENESS_MS = 50


def log(text):
    print("[%7.1f] %s" % (time.monotonic() - STARTED, text), flush=True)


STARTED = time.monotonic()


class LinkFault:
    """A TCP relay between the application and the array: forwards both ways, and on demand cuts
    every connection, refuses new ones for a while (the array rebooting), or stops passing
    bytes without closing (the network failing under an open connection)."""

    def __init__(self, listen, upstream):
        self.listen, self.upstream = listen, upstream
        self.lock = threading.Lock()
        self.pairs = []          # (client, server) sockets; under lock
        self.silent = False      # under lock
        self.server = None       # the listening socket, None while refusing; under lock
        self.stopping = False
        self._open_listener()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _open_listener(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(self.listen)
        s.listen(8)
        self.server = s

    def _cut(self):
        for pair in self.pairs:
            for s in pair:
                try:
                    s.close()
                except OSError:
                    pass
        self.pairs = []

    def drop(self):
        with self.lock:
            self._cut()

    def refuse(self):
        with self.lock:
            self._cut()
            if self.server:
                self.server.close()
                self.server = None

    def accept_again(self):
        with self.lock:
            if self.server is None:
                self._open_listener()

    def go_silent(self, on):
        with self.lock:
            self.silent = on
            if not on:
                self._cut()  # what was stuck ends, as a timed-out connection does

    def close(self):
        self.stopping = True
        self.thread.join(5)
        with self.lock:
            self._cut()
            if self.server:
                self.server.close()

    def _run(self):
        while not self.stopping:
            with self.lock:
                watched = [self.server] if self.server else []
                for pair in self.pairs:
                    watched += list(pair)
                silent = self.silent
            if silent:
                watched = watched[:1] if self.server else []
            try:
                ready, _, _ = select.select(watched, [], [], 0.1)
            except (OSError, ValueError):
                continue  # a socket closed under us
            for s in ready:
                with self.lock:
                    if s is self.server:
                        try:
                            client, _ = s.accept()
                            server = socket.create_connection(self.upstream, timeout=2)
                            self.pairs.append((client, server))
                        except OSError:
                            continue
                        continue
                    pair = next((p for p in self.pairs if s in p), None)
                    if pair is None or self.silent:
                        continue
                    other = pair[1] if s is pair[0] else pair[0]
                    try:
                        data = s.recv(65536)
                        if data:
                            other.sendall(data)
                            continue
                    except OSError:
                        pass
                    for x in pair:
                        x.close()
                    self.pairs.remove(pair)


def vanish(sock, hard):
    """Leaves without a goodbye: a reset (no FIN) or just the kernel's close."""
    if hard:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


class Visitors:
    """Control-interface clients, page loads and VISCA controllers that come, say something
    and go without closing, every two seconds or so, until stopped."""

    def __init__(self, address):
        self.address = address
        self.stopping = threading.Event()
        # Its thread's; read once the thread has ended.
        self.counts = {"api": 0, "page": 0, "visca_udp": 0, "visca_tcp": 0, "errors": 0}
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _api(self, rng):
        import base64
        s = socket.create_connection((self.address, API_PORT), timeout=3)
        key = base64.b64encode(os.urandom(16)).decode()
        s.sendall(("GET / HTTP/1.1\r\nHost: %s:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n\r\n" % (self.address, API_PORT, key)).encode())
        s.recv(4096)
        payload = json.dumps({"id": 1, "method": "state"}).encode()
        mask = os.urandom(4)
        s.sendall(bytes([0x81, 0x80 | len(payload)]) + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
        if rng.random() < 0.5:
            s.recv(4096)
        vanish(s, rng.random() < 0.5)
        self.counts["api"] += 1

    def _page(self, rng):
        s = socket.create_connection((self.address, API_PORT), timeout=3)
        s.sendall(("GET / HTTP/1.1\r\nHost: %s:%d\r\n\r\n" % (self.address, API_PORT)).encode())
        if rng.random() < 0.5:
            s.recv(1024)  # the start of the page, then gone
        vanish(s, rng.random() < 0.5)
        self.counts["page"] += 1

    def _visca(self, rng):
        if rng.random() < 0.5:
            u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            payload = bytes.fromhex("81090400ff")  # power inquiry: moves nothing
            u.sendto(struct.pack(">HHI", 0x0110, len(payload), rng.randrange(1 << 31)) + payload,
                     (self.address, VISCA_UDP))
            u.close()
            self.counts["visca_udp"] += 1
        else:
            s = socket.create_connection((self.address, VISCA_TCP), timeout=3)
            s.sendall(bytes.fromhex("81090400ff"))
            vanish(s, rng.random() < 0.5)
            self.counts["visca_tcp"] += 1

    def _run(self):
        rng = random.Random(7)
        while not self.stopping.wait(rng.uniform(1.0, 3.0)):
            try:
                rng.choice((self._api, self._page, self._visca))(rng)
            except OSError:
                self.counts["errors"] += 1

    def stop(self):
        self.stopping.set()
        self.thread.join(10)


class Recorder:
    """`vexctl record` of the second camera in one-minute pieces, one after another."""

    def __init__(self, session):
        self.session = session
        # Its thread's; read once the thread has ended.
        self.pieces = []
        self.failures = []
        self.stopping = threading.Event()
        self.proc = None
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        env = dict(self.session.env)
        env["VEXSDK_SIM"] = self.session.socket_path
        vexctl = os.path.join(self.session.build_dir, "tools", "vexctl", "vexctl")
        n = 0
        while not self.stopping.is_set():
            n += 1
            path = os.path.join(self.session.work, "piece-%03d.mp4" % n)
            self.proc = subprocess.Popen([vexctl, "record", RECORD_CAMERA, path, "--seconds", "60"], env=env,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            _, err = self.proc.communicate()
            if self.proc.returncode == 0:
                self.pieces.append(path)
            elif not self.stopping.is_set():
                self.failures.append((path, self.proc.returncode, err.decode("utf-8", "replace")[-300:]))
                self.stopping.wait(2)

    def stop(self):
        self.stopping.set()
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(2)  # Ctrl+C finishes the file
        self.thread.join(20)

    def playable(self, path):
        done = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                               "stream=nb_read_frames", "-of", "csv=p=0", path], capture_output=True, text=True,
                              timeout=60)
        try:
            return done.returncode == 0 and int(done.stdout.strip().split(",")[0]) > 0
        except ValueError:
            return False


def read_proc(pid):
    with open("/proc/%d/status" % pid) as f:
        status = dict(line.split(":", 1) for line in f if ":" in line)
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return {"rss_kb": int(status["VmRSS"].split()[0]), "files": len(os.listdir("/proc/%d/fd" % pid)),
            "threads": int(status["Threads"]), "cpu_s": (int(fields[11]) + int(fields[12])) / ticks}


def worst_lateness(path, since_ms):
    """The worst lateness (ms) since `since_ms` and, of that gap, how long the thread waited for a
    processor (-1: not told); (None, None) before the first report."""
    worst, wait = None, None
    try:
        with open(path) as f:
            for line in f:
                words = line.split()
                if len(words) == 3 and int(words[0]) >= since_ms and (worst is None or int(words[1]) > worst):
                    worst, wait = int(words[1]), int(words[2])
    except (OSError, ValueError):
        return None, None
    return worst, wait


def slope_per_hour(points):
    """Least-squares slope of (seconds, value) points, per hour."""
    n = len(points)
    if n < 2:
        return 0.0
    mx = sum(p[0] for p in points) / n
    my = sum(p[1] for p in points) / n
    sxx = sum((p[0] - mx) ** 2 for p in points)
    return 0.0 if sxx == 0 else sum((p[0] - mx) * (p[1] - my) for p in points) / sxx * 3600


class Soak:
    def __init__(self, build_dir, minutes):
        self.minutes = minutes
        self.s = Session(build_dir, "soak", 41)
        self.rng = random.Random(33)
        # samples and settings_faults: the sampler thread's until it has ended; bursts: the
        # main thread's.
        self.samples = []
        self.bursts = []  # (cycle, position or None, tracked, why not)
        self.settings_faults = []
        self.port = 0      # index into PORTS of cam1's place
        self.panel_open = False

    # ---- the world --------------------------------------------------------------------------

    def setup(self):
        s = self.s
        s.start_display()
        cam2 = dict(CAMERA, id="cam2", bus_port="1&2.5", room="blue")
        s.start_sim({"cameras": [dict(CAMERA), cam2],
                     "arrays": [{"id": "shure", "brand": "shure", "address": SIM_ADDRESS}]})
        self.proxy = LinkFault((PROXY_ADDRESS, SHURE_PORT), (SIM_ADDRESS, SHURE_PORT))
        settings = seeded_settings(0, PROXY_ADDRESS, delay_ms=1000, home_ms=2000)
        settings["ManualOverrideTime"] = 2000
        settings["ControlApi"] = {"Enabled": True, "Address": PROXY_ADDRESS, "Port": API_PORT, "Token": ""}
        settings["Visca"] = {"Enabled": True, "Address": PROXY_ADDRESS, "UdpPort": VISCA_UDP, "TcpPort": VISCA_TCP,
                             "AllowedPeers": [], "Ports": {}}
        self.seeded = settings
        s.seed(settings)
        self.lateness_log = os.path.join(s.work, "lateness.log")
        s.env["VANTOR_LATENESS_LOG"] = self.lateness_log
        s.start_app()
        self.pid = s.procs["app"].pid
        wait_until("the saved camera to connect", self.camera_connected, 20)
        wait_until("the array link", lambda: s.array_status("shure")["connected"], 20)
        self.visitors = Visitors(PROXY_ADDRESS)
        self.recorder = Recorder(s)

    def camera_connected(self):
        rows = self.s.camera_list()
        return any(r["button"] == "Disconnect" for r in rows)

    def close(self):
        for part in ("visitors", "recorder"):
            if hasattr(self, part):
                getattr(self, part).stop()
        if hasattr(self, "proxy"):
            self.proxy.close()

    # ---- what happens ----------------------------------------------------------------------

    def toggle_panel(self):
        if not self.panel_open:
            buttons = self.s.widgets("push button", "PTZ Control")
            if buttons:
                self.s.click(buttons[0])
                self.panel_open = True
        else:
            region = self.s.preview_region()
            if region:
                close = self.s.widgets("push button", "X", root=self.s.panel_window())
                if close:
                    self.s.click(close[0])
            self.panel_open = False

    def hotplug(self, cycle, which):
        """Unplugs cam1 and plugs it back 3 s later, sometimes on the other port, sometimes with
        the panel open or a command under way."""
        variant = (cycle * 2 + which) % 4
        if variant == 1 and not self.panel_open:
            self.toggle_panel()
        mover = None
        if variant == 2:  # a timed move the camera is still doing when it goes
            mover = subprocess.Popen([os.path.join(self.s.build_dir, "tools", "vexctl", "vexctl"), "app",
                                      "--address", PROXY_ADDRESS, "--port", str(API_PORT), "ptz", "left",
                                      "--for", "2000"],
                                     env={k: v for k, v in self.s.env.items() if k != "VEXSDK_SIM"},
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)  # the move under way (the scenario's timing)
        self.s.sim("unplug", camera="cam1")
        time.sleep(3)  # how long the cable is out: the scenario, not a wait
        if mover is not None:
            try:
                mover.wait(10)
            except subprocess.TimeoutExpired:
                mover.kill()
                mover.wait()
        if variant == 3:
            self.port = 1 - self.port
        self.s.sim("plug", camera="cam1", bus_port=PORTS[self.port])
        log("cycle %d: camera unplugged and back on %s%s" % (cycle, PORTS[self.port],
            {0: "", 1: " (panel open)", 2: " (a move under way)", 3: " (another port)"}[variant]))
        if self.panel_open and variant != 1:
            self.toggle_panel()

    def array_fault(self, cycle):
        kind = ("drop", "refuse", "silent")[cycle % 3]
        links = self.s.array_status("shure")["connections"]
        if kind == "drop":
            self.s.sim("drop", array="shure")
        elif kind == "refuse":
            self.proxy.refuse()
        else:
            self.proxy.go_silent(True)
        log("cycle %d: array link %s" % (cycle, {"drop": "dropped", "refuse": "refused for 20 s",
                                                 "silent": "silent for 20 s"}[kind]))
        return kind, links

    def end_fault(self, kind):
        if kind == "refuse":
            self.proxy.accept_again()
        elif kind == "silent":
            self.proxy.go_silent(False)

    def burst(self, cycle, links_before):
        """A talker after the link came back: its preset is called."""
        s = self.s
        try:
            wait_until("the link back", lambda: s.array_status("shure")["connected"]
                       and s.array_status("shure")["connections"] > links_before, 25)
            wait_until("the camera connected", self.camera_connected, 15)
        except Failure as e:
            self.bursts.append((cycle, None, False, str(e)))
            return
        position = self.rng.randint(1, 8)
        onset = s.sim("talk", array="shure", position=position)["time_ms"]
        try:
            wait_until("preset %d" % position, lambda: any(
                t >= onset and v == position for t, _, v in s.writes(CALL_PRESET)), 8)
            tracked = True
            why = ""
        except Failure as e:
            tracked, why = False, str(e)
        s.sim("silence", array="shure")
        self.bursts.append((cycle, position, tracked, why))
        log("cycle %d: talker at %d %s" % (cycle, position, "tracked" if tracked else "NOT tracked: " + why))

    # ---- watching --------------------------------------------------------------------------

    def sample(self, t):
        sample = dict(read_proc(self.pid), t=t, phase=int(round(t)) % CYCLE_S // SAMPLE_S)
        sample["late_ms"], sample["wait_ms"] = worst_lateness(self.lateness_log, int((time.time() - SAMPLE_S) * 1000))
        # The machine's load beside it: on a shared machine a late tick may be a thread that
        # waited for a processor, not one the application kept busy.
        with open("/proc/loadavg") as f:
            sample["load"] = float(f.read().split()[0])
        try:
            with open(self.s.settings_file) as f:
                json.load(f)
        except (OSError, ValueError) as e:
            self.settings_faults.append("at %.0f s: %s" % (t, e))
        self.samples.append(sample)
        print("  sample t=%5.0f s  rss %6.1f MB  files %3d  threads %3d  cpu %6.1f s  late %s ms (waiting for a "
              "processor %s)  load %.2f" % (t, sample["rss_kb"] / 1024, sample["files"], sample["threads"],
                                            sample["cpu_s"], sample["late_ms"], sample["wait_ms"], sample["load"]),
              flush=True)

    def sampler(self, t0, stop):
        n = 1
        while not stop.wait(max(0, t0 + n * SAMPLE_S - time.monotonic())):
            if not self.s.alive("app"):
                return
            self.sample(time.monotonic() - t0)
            n += 1

    # ---- the run ---------------------------------------------------------------------------

    def run(self):
        t0 = time.monotonic()
        stop = threading.Event()
        watcher = threading.Thread(target=self.sampler, args=(t0, stop), daemon=True)
        watcher.start()
        try:
            for cycle in range(self.minutes):
                start = t0 + cycle * CYCLE_S
                kind, links = self.array_fault(cycle)
                self.hotplug(cycle, 0)
                if cycle % 2 == 0:
                    self.toggle_panel()
                self.sleep_until(start + 20)
                self.end_fault(kind)
                self.burst(cycle, links)
                self.sleep_until(start + 30)
                self.hotplug(cycle, 1)
                if self.panel_open:
                    self.toggle_panel()
                links = self.s.array_status("shure")["connections"] - 1
                self.burst(cycle, links)
                if not self.s.alive("app"):
                    raise Failure("the application ended in cycle %d" % cycle)
                self.sleep_until(start + CYCLE_S)
        finally:
            stop.set()
            watcher.join(15)

    def sleep_until(self, when):
        time.sleep(max(0, when - time.monotonic()))  # the cycle's clock, not a wait for the application

    # ---- verdict ---------------------------------------------------------------------------

    def verdict(self):
        problems = []
        after = [x for x in self.samples if x["t"] >= CYCLE_S - 1]
        reference = {x["phase"]: x for x in self.samples if CYCLE_S - 1 <= x["t"] < 2 * CYCLE_S - 1}
        last = [x for x in self.samples if x["t"] >= (self.minutes - 1) * CYCLE_S - 1]
        for x in last:
            ref = reference.get(x["phase"])
            if ref is None:
                continue
            if x["files"] > ref["files"] + FILES_SLACK:
                problems.append("open files at phase %d s: %d, after the first minute %d" % (
                    x["phase"] * SAMPLE_S, x["files"], ref["files"]))
            if x["threads"] > ref["threads"] + THREADS_SLACK:
                problems.append("threads at phase %d s: %d, after the first minute %d" % (
                    x["phase"] * SAMPLE_S, x["threads"], ref["threads"]))
        slope = slope_per_hour([(x["t"], x["rss_kb"] / 1024) for x in after])
        growth = 0.0
        pairs = [(reference[x["phase"]], x) for x in last if x["phase"] in reference and x is not reference[x["phase"]]]
        if pairs:
            growth = sum((b["rss_kb"] - a["rss_kb"]) / 1024 for a, b in pairs) / len(pairs)
        if self.minutes >= 30:
            if slope > MB_PER_HOUR:
                problems.append("memory grows %.2f MB an hour after the first minute" % slope)
        elif growth > MB_SHORT_RUN:
            problems.append("memory grew %.1f MB after the first minute" % growth)
        untracked = [b for b in self.bursts if not b[2]]
        if untracked or not self.bursts:
            problems.append("talker bursts not tracked: %s" % (untracked or "none ran"))
        problems += ["settings file unreadable " + f for f in self.settings_faults]
        try:
            with open(self.s.settings_file) as f:
                saved = json.load(f)
            for key in USER_KEYS:
                if saved.get(key) != self.seeded.get(key):
                    problems.append("setting %s reads %r, the user set %r" % (key, saved.get(key), self.seeded.get(key)))
        except (OSError, ValueError) as e:
            problems.append("settings file at the end: %s" % e)
        # What counts is the time the application kept its own thread from the loop: of each
        # worst gap, the time the thread sat ready on a run queue is the machine's (other
        # programs, or a shared machine's neighbours) and is left out; the raw figure is
        # printed beside it. The application's own other threads crowding it out would show
        # in its processor time.
        late, judged = [], []
        for x in after:
            if x["late_ms"] is None:
                continue
            late.append(x["late_ms"])
            judged.append(x["late_ms"] - max(x["wait_ms"] or 0, 0))
        if not late:
            problems.append("no interface lateness reported (VANTOR_LATENESS_LOG)")
        elif max(judged) > LATENESS_MS:
            problems.append("interface late %d ms (not counting waits for a processor)" % max(judged))
        unplayable = [p for p in self.recorder.pieces if not self.recorder.playable(p)]
        if unplayable:
            problems.append("recorded pieces that do not play: %s" % unplayable)
        if self.recorder.failures:
            problems.append("vexctl record failed: %s" % self.recorder.failures[:3])

        first = reference.get(0) or (after[0] if after else None)
        end = self.samples[-1] if self.samples else None
        print("\nsummary over %d min:" % self.minutes)
        if first and end:
            hours = max(end["t"] - first["t"], 1) / 3600
            print("  memory %.1f MB at 1 min, %.1f MB at the end; slope %.2f MB/h; same-phase growth %.1f MB" % (
                first["rss_kb"] / 1024, end["rss_kb"] / 1024, slope, growth))
            print("  open files %d -> %d, threads %d -> %d; processor %.0f s an hour" % (
                first["files"], end["files"], first["threads"], end["threads"],
                (end["cpu_s"] - first["cpu_s"]) / hours))
        loads = [x["load"] for x in after]
        print("  interface lateness worst %s ms, judged %s ms; machine load %.2f to %.2f (%d processors)" % (
            max(late) if late else "n/a", max(judged) if judged else "n/a", min(loads or [0]), max(loads or [0]),
            os.cpu_count()))
        print("  talker bursts %d, tracked %d" % (len(self.bursts), len(self.bursts) - len(untracked)))
        print("  visitors %s" % self.visitors.counts)
        print("  recorded pieces %d" % len(self.recorder.pieces))
        print("VERDICT: %s" % ("PASS" if not problems else "FAIL"))
        for p in problems:
            print("  - " + p)
        return not problems


def main():
    if len(sys.argv) != 3:
        print("usage: soak.py BUILD_DIR MINUTES", file=sys.stderr)
        return 2
    minutes = int(sys.argv[2])
    if minutes < 3:
        print("soak.py: at least 3 minutes (a first minute, a reference minute, one to compare)", file=sys.stderr)
        return 2
    soak = Soak(sys.argv[1], minutes)
    ok = False
    try:
        soak.setup()
        soak.run()
        soak.recorder.stop()
        ok = soak.verdict()
    except Failure as e:
        print("FAIL: %s" % e)
        print(soak.s.log("app")[-4000:])
    finally:
        soak.close()
        soak.s.close()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
