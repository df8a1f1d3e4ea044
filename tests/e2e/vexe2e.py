"""Runs the real VantorReda against the real vexsim, as a user would see them.

Each case gets its own virtual display with a tray, accessibility bus, simulator socket,
settings folder and loopback address for its arrays; every wait is bounded, and every process
the case started is ended by its id. Widgets are found by role and name on the accessibility
bus (Qt publishes them there with QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1).

Runs inside `dbus-run-session` (CTest starts it so): the accessibility bus needs a session bus.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEMO_SETTINGS = os.path.join(SOURCE_DIR, "tools", "vexsim", "scenarios", "demo-settings.json")

CAMERA = {
    "id": "cam1", "friendly_name": "ZM-150 Camera", "vid": "1d4d", "pid": "6009", "bus_port": "1&2.4",
    "firmware": "KPH1.0", "presets": "seats",
    "capabilities": [{"subtype": "MJPG", "width": 640, "height": 360, "fps": 15}],
}
CAMERA_LOCATION = "1&2.4&1&0000"

# Register numbers as the simulator's journal spells them.
CALL_PRESET = "0x001d"
HOME = "0x0021"


class Failure(Exception):
    pass


class _X11:
    """Xlib through ctypes, for the one question xwininfo cannot answer: who owns a selection."""

    def __init__(self):
        import ctypes
        import ctypes.util
        self.ctypes = ctypes
        self.lib = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
        self.lib.XOpenDisplay.restype = ctypes.c_void_p
        self.lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.lib.XInternAtom.restype = ctypes.c_ulong
        self.lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        self.lib.XGetSelectionOwner.restype = ctypes.c_ulong
        self.lib.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self.lib.XCloseDisplay.argtypes = [ctypes.c_void_p]

    def tray_owner(self, display):
        handle = self.lib.XOpenDisplay(display.encode())
        if not handle:
            return 0
        try:
            atom = self.lib.XInternAtom(handle, b"_NET_SYSTEM_TRAY_S0", 0)
            return self.lib.XGetSelectionOwner(handle, atom)
        finally:
            self.lib.XCloseDisplay(handle)


_x11_instance = None


def _x11():
    global _x11_instance
    if _x11_instance is None:
        _x11_instance = _X11()
    return _x11_instance


# VEXE2E_TRACE=1: how long each wait took (where a slow case spends its time).
TRACE = os.environ.get("VEXE2E_TRACE") == "1"


def wait_until(what, condition, timeout, interval=0.05):
    """Polls `condition` until it returns something true, at most `timeout` seconds."""
    started = time.monotonic()
    deadline = started + timeout
    while True:
        value = condition()
        if value:
            if TRACE:
                print("  waited %.1f s for %s" % (time.monotonic() - started, what), flush=True)
            return value
        if time.monotonic() > deadline:
            raise Failure("timed out after %.1f s waiting for %s" % (timeout, what))
        time.sleep(interval)


def seeded_settings(brand_index, address, delay_ms=1500, home_ms=2500, home_action=300, nureva_port=8931,
                    cameras=1):
    """The demonstration's settings for one array brand. The demonstration runs two cameras;
    a case gets as many of its saved cameras as it asks for, and with one camera none of the
    several-camera settings (every position then goes to that camera)."""
    with open(DEMO_SETTINGS) as f:
        settings = json.load(f)
    settings["UsbCamerasArray"] = settings["UsbCamerasArray"][:cameras]
    settings.pop("ControlApi", None)  # the demonstration's room page; a case that wants it sets its own
    if cameras == 1:
        for key in ("SeveralCameras", "PresetLinkCameraMap", "BackToHomeCameras", "SeveralTalkersCamera"):
            settings.pop(key, None)
        settings["UsbCamerasArray"][0].pop("ShortName", None)  # its row shows the model, as before
    names = ["Shure: MXA910", "Shure: MXA920", "Shure: MXA310", "Sennheiser: TCC2", "Nureva: HDL300", "Yamaha: RM-CG"]
    settings["SoundDeviceIndex"] = brand_index
    settings["SoundDeviceType"] = names[brand_index]
    settings["IPAddress"] = address
    settings["DelayTriggerTime"] = delay_ms
    settings["BackToHomeMap"] = {"BackToHomeTriggerTime": home_ms, "BackToHomeAction": home_action}
    settings["PortMap"]["NurveaPort"] = nureva_port
    return settings


class Session:
    """One case's world: display, tray, accessibility bus, simulator, application."""

    # The application's cameras are the simulator's (VEXSDK_SIM); false for real drivers.
    simulated_cameras = True

    def __init__(self, build_dir, name, address_index):
        self.build_dir = os.path.abspath(build_dir)
        self.name = name
        self.address = "127.0.0.%d" % address_index
        self.work = tempfile.mkdtemp(prefix="vex-e2e-%s-" % name)
        self.socket_path = os.path.join(self.work, "sim.sock")
        self.profile = os.path.join(self.work, "profile")
        self.settings_file = os.path.join(self.profile, "Quillon", "Vantor", "Config", "SoundDeviceConfig.ini")
        self.procs = {}  # name -> Popen, ended newest first
        self.order = []
        self.env = dict(os.environ)
        self.app_started_at = None
        self._atspi = None

    # ---- processes ---------------------------------------------------------------------------

    def _spawn(self, name, argv, **kw):
        log = open(os.path.join(self.work, name + ".log"), "wb")
        proc = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, env=self.env, **kw)
        self.procs[name] = proc
        if name not in self.order:
            self.order.append(name)
        return proc

    def log(self, name):
        try:
            with open(os.path.join(self.work, name + ".log"), "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def stop(self, name, sig=signal.SIGTERM, timeout=10):
        proc = self.procs.get(name)
        if proc is None or proc.poll() is not None:
            return proc.returncode if proc else None
        proc.send_signal(sig)
        try:
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            return proc.wait(5)

    def alive(self, name):
        proc = self.procs.get(name)
        return proc is not None and proc.poll() is None

    def start_server(self):
        """A virtual display of its own. -noreset: an X server resets itself whenever its last
        client leaves, and while it resets it refuses connections. Until the tray's panel has
        connected, every short-lived client (a look at the window tree, a screenshot) is such
        a last client; on a loaded machine the panel, slow to start, then knocks during a
        reset, is refused ("cannot open display") and exits, and no tray ever appears."""
        read_fd, write_fd = os.pipe()
        self._spawn("xvfb", ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x900x24", "-nolisten", "tcp",
                             "-noreset"], pass_fds=(write_fd,))
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n"):
            if time.monotonic() > deadline or not self.alive("xvfb"):
                raise Failure("Xvfb did not start: " + self.log("xvfb"))
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_fd)
        if not number.strip().isdigit():
            raise Failure("Xvfb named no display: %r %s" % (number, self.log("xvfb")))
        self.env["DISPLAY"] = ":" + number.decode().strip()
        os.environ["DISPLAY"] = self.env["DISPLAY"]

    def tray_owner(self):
        """The window that owns the display's system-tray selection (what Qt asks for before it
        shows a tray icon), 0 while there is none."""
        return _x11().tray_owner(self.env["DISPLAY"])

    def start_display(self):
        self.start_server()
        self._spawn("trayer", ["trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                               "--height", "28"])

        def tray_up():
            if not self.alive("trayer"):
                raise Failure("trayer ended (status %s) before it made a tray: %s"
                              % (self.procs["trayer"].returncode, self.log("trayer")))
            return self.tray_owner()

        wait_until("the tray", tray_up, 20)
        self._spawn("atspi", ["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])

    def start_sim(self, scenario):
        path = os.path.join(self.work, "scenario.json")
        with open(path, "w") as f:
            json.dump(scenario, f)
        self._spawn("vexsim", [os.path.join(self.build_dir, "tools", "vexsim", "vexsim"), "--socket", self.socket_path,
                               "--scenario", path])
        wait_until("the simulator", lambda: self._sim_ready(), 20)

    def _sim_ready(self):
        if not self.alive("vexsim"):
            raise Failure("vexsim ended: " + self.log("vexsim"))
        return os.path.exists(self.socket_path)

    def seed(self, settings):
        os.makedirs(os.path.dirname(self.settings_file), exist_ok=True)
        with open(self.settings_file, "w") as f:
            json.dump(settings, f, indent=2)

    def start_app(self, accessible=True):
        """Starts VantorReda; waits until it is on the accessibility bus (or, when
        `accessible` is false, only until it runs: one process can follow one bus only)."""
        self.env.update({"ALLUSERSPROFILE": self.profile, "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1",
                         "QT_ACCESSIBILITY": "1"})
        if self.simulated_cameras:
            self.env["VEXSDK_SIM"] = self.socket_path
        else:
            self.env.pop("VEXSDK_SIM", None)  # the real drivers' cameras
        self.env.pop("QT_QPA_PLATFORM", None)
        self._spawn("app", [os.path.join(self.build_dir, "app", "VantorReda")])
        self.app_started_at = time.time()

        def up():
            if not self.alive("app"):
                if "handOver" in self.log("app"):
                    raise Failure("another VantorReda runs on this machine (one instance per machine): end it first")
                raise Failure("VantorReda ended at start")
            return self.app_node()

        if accessible:
            wait_until("VantorReda on the accessibility bus", up, 30, interval=0.2)

    def close(self):
        for name in reversed(self.order):
            self.stop(name, timeout=5)
        shutil.rmtree(self.work, ignore_errors=True)

    # ---- the simulator's control operations ----------------------------------------------------

    def sim(self, op, **members):
        return self.ask(self.socket_path, op, **members)

    def ask(self, socket_path, op, **members):
        """One control operation of the simulator listening on `socket_path`."""
        request = dict(members, op=op)
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            s.connect(socket_path)
            s.sendall((json.dumps(request) + "\n").encode())
            data = b""
            while not data.endswith(b"\n"):
                chunk = s.recv(1 << 20)
                if not chunk:
                    break
                data += chunk
        answer = json.loads(data.decode())
        if not answer.get("ok"):
            raise Failure("simulator %s: %s" % (op, answer.get("error")))
        return answer

    def writes(self, register=None, since=0):
        """Extension-unit register writes in the journal: (time_ms, register, value)."""
        out = []
        for e in self.sim("journal", since=since)["entries"]:
            if "register" in e and (register is None or e["register"] == register):
                out.append((e["time_ms"], e["register"], e["value"]))
        return out

    def array_status(self, array_id):
        for a in self.sim("status")["arrays"]:
            if a["id"] == array_id:
                return a
        raise Failure("no array " + array_id)

    def camera_status(self, camera_id="cam1"):
        for c in self.sim("status")["cameras"]:
            if c["id"] == camera_id:
                return c
        raise Failure("no camera " + camera_id)

    # ---- what the user sees ---------------------------------------------------------------------

    def app_node(self):
        import pyatspi  # imported late: it needs the session's DISPLAY and bus
        self._atspi = pyatspi
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            child = desktop.getChildAtIndex(i)
            if child is not None and child.name == "VantorReda":
                return child
        return None

    def widgets(self, role=None, name=None, root=None):
        """Every node of the application's tree (breadth first), or of `root`'s, matching role
        and name."""
        app = root if root is not None else self.app_node()
        if app is None:
            raise Failure("VantorReda is not on the accessibility bus")
        found, queue, seen = [], [app], 0
        while queue and seen < 5000:
            node = queue.pop(0)
            seen += 1
            try:
                if (role is None or node.getRoleName() == role) and (name is None or node.name == name):
                    found.append(node)
                for i in range(node.childCount):
                    child = node.getChildAtIndex(i)
                    if child is not None:
                        queue.append(child)
            except Exception:
                continue  # a widget that went away while we walked
        return found

    def camera_list(self):
        """The camera list's rows as a screen reader finds them: each row's model as shown, its
        state (the description) and its button's name, in row order."""
        tables = self.widgets("panel", "Cameras")
        if not tables:
            return []
        labels, buttons, queue = [], [], [tables[0]]
        while queue:
            node = queue.pop(0)
            try:
                role = node.getRoleName()
                # A camera's row says its state; a row that only explains (a camera this user
                # may not open) has no button and no state.
                if role == "label" and node.name and node.description in ("Connected", "Not connected"):
                    labels.append((node.name, node.description))
                elif role == "push button" and node.name in ("Connect", "Disconnect"):
                    buttons.append(node)
                for i in range(node.childCount):
                    child = node.getChildAtIndex(i)
                    if child is not None:
                        queue.append(child)
            except Exception:
                continue  # a row that went away while we walked
        return [{"model": model, "state": state, "button": button.name, "node": button}
                for (model, state), button in zip(labels, buttons)]

    def camera_picture(self, name, camera_id="cam1", timeout=10):
        """One picture of the camera's first stream (MJPEG: a raw sequence of JPEG pictures),
        taken straight from the simulator, as a file."""
        url = self.camera_status(camera_id)["streams"][0]["url"]
        host, port = url[len("tcp://"):].rsplit(":", 1)
        data = b""
        deadline = time.monotonic() + timeout
        with socket.create_connection((host, int(port)), timeout=timeout) as s:
            while True:
                start = data.find(b"\xff\xd8")
                # Entropy-coded data stuffs every 0xff byte, so the first end marker after
                # the start marker ends the picture.
                end = data.find(b"\xff\xd9", start + 2) if start >= 0 else -1
                if end >= 0:
                    break
                if time.monotonic() > deadline or len(data) > 16 << 20:
                    raise Failure("no whole picture from %s's stream" % camera_id)
                s.settimeout(max(0.1, deadline - time.monotonic()))
                try:
                    chunk = s.recv(1 << 16)
                except socket.timeout:
                    continue
                if not chunk:
                    raise Failure("%s's stream ended before a whole picture" % camera_id)
                data += chunk
        path = os.path.join(self.work, name + ".jpg")
        with open(path, "wb") as f:
            f.write(data[start:end + 2])
        return path

    def camera_rows(self):
        return len(self.camera_list())

    def log_count(self, name, marker):
        return self.log(name).count(marker)

    def screenshot(self, name, region=None):
        """The virtual screen, or a region (x, y, width, height) of it, as a PNG file."""
        path = os.path.join(self.work, name + ".png")
        argv = ["import", "-display", self.env["DISPLAY"], "-window", "root"]
        if region:
            argv += ["-crop", "%dx%d+%d+%d" % (region[2], region[3], region[0], region[1])]
        subprocess.run(argv + [path], env=self.env, check=True, capture_output=True, timeout=30)
        return path

    def preview_region(self, root=None):
        """Where the panel's picture is on screen: the frame that holds the preview's
        placeholder label and the picture's own widget, which covers the frame."""
        for node in self.widgets("frame", root=root):
            try:
                if node.childCount != 2:
                    continue
                label, picture = node.getChildAtIndex(0), node.getChildAtIndex(1)
                if label.getRoleName() != "label" or picture.getRoleName() != "filler":
                    continue
                e = node.queryComponent().getExtents(0)
                p = picture.queryComponent().getExtents(0)
                if (e.x, e.y, e.width, e.height) == (p.x, p.y, p.width, p.height) and e.width > 100:
                    self.preview_node = picture  # what the picture area says is its name
                    return (e.x, e.y, e.width, e.height)
            except Exception:
                continue
        return None

    def panel_window(self):
        """The window that holds the preview found last (a walk of it alone is much shorter
        than one of the whole application)."""
        node = getattr(self, "preview_node", None)
        app = self.app_node()
        while node is not None:
            parent = node.parent
            if parent is None or parent == app:
                return node
            node = parent
        raise Failure("no panel found yet")

    def pixels_differing(self, a, b):
        """How many pixels of two screenshots differ by more than 5 %."""
        done = subprocess.run(["compare", "-metric", "AE", "-fuzz", "5%", a, b, "null:"], capture_output=True,
                              text=True, timeout=60)
        try:
            return int(float(done.stderr.split()[0]))
        except (ValueError, IndexError):
            raise Failure("compare: " + done.stderr)

    def texts(self):
        return [n.name for n in self.widgets() if n.name]

    def checked(self, node):
        return node.getState().contains(self._atspi.STATE_CHECKED)

    def click(self, node):
        node.queryAction().doAction(0)

    def responsive(self, timeout=10):
        """The application answers on its interface thread within `timeout` seconds."""
        return wait_until("the application to answer", lambda: len(self.widgets("push button")) > 0, timeout)


def run(cases, session_class=None):
    """Entry point: `vexe2e.py BUILD_DIR CASE`; the case function gets its Session (of
    `session_class`, by default Session)."""
    if len(sys.argv) != 3 or sys.argv[2] not in cases:
        print("usage: %s BUILD_DIR CASE   (cases: %s)" % (sys.argv[0], ", ".join(cases)), file=sys.stderr)
        return 2
    return run_one(sys.argv[1], sys.argv[2], cases, session_class or Session)


def run_one(build_dir, name, cases, session_class):
    case, address_index = cases[name]
    session = session_class(build_dir, name, address_index)
    started = time.monotonic()
    try:
        session.start_display()
        case(session)
    except Failure as e:
        print("FAIL %s: %s" % (name, e))
        for log in ("vexsim", "app", "trayer", "xvfb") + tuple(getattr(session, "more_logs", ())):
            text = session.log(log)
            if not text and log in ("trayer", "xvfb"):
                continue
            print("---- %s log (last 6000 characters) ----\n%s" % (log, text[-6000:]))
        sys.stdout.flush()
        return 1
    finally:
        session.close()
    print("PASS %s (%.1f s)" % (name, time.monotonic() - started))
    sys.stdout.flush()
    return 0


class WebSocketClient:
    """A minimal RFC 6455 client over a plain socket (the tests need to send what a library
    would not: an Origin header, garbage, oversized messages)."""

    def __init__(self, host, port, origin=None, timeout=5):
        import base64
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.settimeout(timeout)
        self.closed = False
        self.events = []
        self.buffer = b""
        key = base64.b64encode(os.urandom(16)).decode()
        lines = ["GET / HTTP/1.1", "Host: %s:%d" % (host, port), "Upgrade: websocket", "Connection: Upgrade",
                 "Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13"]
        if origin:
            lines.append("Origin: " + origin)
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            head += chunk
        head, _, self.buffer = head.partition(b"\r\n\r\n")
        self.status = int(head.split(b" ", 2)[1]) if head.startswith(b"HTTP/") else 0
        if self.status != 101:
            self.closed = True

    def _frame(self, opcode, payload):
        header = bytes([0x80 | opcode])
        n = len(payload)
        if n < 126:
            header += bytes([0x80 | n])
        elif n < 65536:
            header += bytes([0x80 | 126]) + n.to_bytes(2, "big")
        else:
            header += bytes([0x80 | 127]) + n.to_bytes(8, "big")
        mask = os.urandom(4)
        return header + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))

    def send_text(self, text):
        self.sock.sendall(self._frame(1, text.encode() if isinstance(text, str) else text))

    def send(self, obj):
        self.send_text(json.dumps(obj))

    def _read(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError
            self.buffer += chunk
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def recv(self, timeout=5):
        """The next text message as JSON; None once the server closed the connection."""
        if self.closed:
            return None
        self.sock.settimeout(timeout)
        try:
            while True:
                b0, b1 = self._read(2)
                n = b1 & 0x7F
                if n == 126:
                    n = int.from_bytes(self._read(2), "big")
                elif n == 127:
                    n = int.from_bytes(self._read(8), "big")
                payload = self._read(n)
                opcode = b0 & 0x0F
                if opcode == 8:
                    self.closed = True
                    return None
                if opcode == 9:
                    self.sock.sendall(self._frame(10, payload))
                    continue
                if opcode == 1:
                    return json.loads(payload.decode())
        except (EOFError, ConnectionError):
            self.closed = True
            return None

    def reply(self, request_id, timeout=5):
        """The reply to a request (events before it are kept in `events`); None when the
        server closed the connection."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                message = self.recv(max(0.1, deadline - time.monotonic()))
            except socket.timeout:
                break
            if message is None:
                return None
            if message.get("id") == request_id or ("error" in message and message.get("id") is None):
                return message
            self.events.append(message)
        raise Failure("no reply to request %s" % request_id)

    def request(self, request_id, method, timeout=5, **params):
        self.send({"id": request_id, "method": method, "params": params})
        return self.reply(request_id, timeout)

    def next_event(self, timeout=5):
        if self.events:
            return self.events.pop(0)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                message = self.recv(max(0.1, deadline - time.monotonic()))
            except socket.timeout:
                return None
            if message is None:
                return None
            if "event" in message:
                return message
        return None

    def wait_closed(self, timeout=5):
        deadline = time.monotonic() + timeout
        while not self.closed and time.monotonic() < deadline:
            try:
                self.recv(max(0.1, deadline - time.monotonic()))
            except socket.timeout:
                break
        return self.closed

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass
        self.closed = True


def port_open(host, port):
    try:
        socket.create_connection((host, port), timeout=1).close()
        return True
    except OSError:
        return False
