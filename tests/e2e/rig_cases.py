#!/usr/bin/python3
"""End-to-end cases on the real drivers: the real VantorReda inside the kernel rig's guest,
where its cameras are `vexsim --usb`'s emulated USB cameras, driven by uvcvideo and announced
by the real udev; the arrays are a second vexsim on the guest's loopback.

    scripts/kernel-rig.sh [--scenario FILE] [--user NAME] -- /usr/bin/python3 rig_cases.py BUILD_DIR CASE...

Several cases run one after another in one guest (each in a world of its own: process,
session bus, display, arrays, application), since a boot costs more than a case. Under software emulation the guest
runs several times slower than this machine: the waits here are bounds, never sleeps.
"""

import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vexe2e import CALL_PRESET, HOME, Failure, Session, run, seeded_settings, wait_until  # noqa: E402

SKIP = 77
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NO_PERMISSION = "No permission to use this camera: see Real cameras in the README."
BUSY = "Another program is using this camera's picture."
SHURE = 0  # the array page's device index of the Shure arrays
PAN_TILT = "0x0027"
RIGHT, LEFT, STOP = 0x23, 0x13, 0x33

# The emulated camera on bus B sits on port 1 of that bus (tools/vexsim/scenarios/rig.json).
def location(bus):
    return "%d&1&1&0000" % bus


class RigSession(Session):
    """A case's world in the guest: the cameras are the rig's (their simulator's socket is
    VEXRIG_SIM_SOCKET), the arrays those of a simulator of the case's own."""

    simulated_cameras = False
    more_logs = ("ffmpeg",)

    def __init__(self, build_dir, name, address_index):
        super().__init__(build_dir, name, address_index)
        self.camera_socket = os.environ.get("VEXRIG_SIM_SOCKET", "")
        if not self.camera_socket:
            raise SystemExit("rig_cases.py runs inside the kernel rig (scripts/kernel-rig.sh)")
        # The guest's /run is its own: a caller's runtime folder does not exist there.
        runtime = os.path.join(self.work, "runtime")
        os.makedirs(runtime, mode=0o700)
        self.env["XDG_RUNTIME_DIR"] = runtime

    def sim(self, op, **members):
        if "array" in members or op in ("talk", "silence", "drop", "received", "refuse"):
            return self.ask(self.socket_path, op, **members)
        answer = self.ask(self.camera_socket, op, **members)
        if op == "status":
            answer["arrays"] = self.ask(self.socket_path, "status").get("arrays", [])
        return answer

    def start_arrays(self, brand="shure"):
        self.start_sim({"cameras": [], "arrays": [{"id": brand, "brand": brand, "address": self.address}]})

    def start_app_with(self, settings):
        self.seed(settings)
        self.start_app()

    def capture_node(self, bus=1):
        """The camera's capture node: uvcvideo registers its nodes on the VideoControl
        interface, the capture node first (index 0), the metadata node after it."""
        base = "/sys/bus/usb/devices/%d-1:1.0/video4linux" % bus
        for name in sorted(os.listdir(base)):
            with open(os.path.join(base, name, "index")) as f:
                if f.read().strip() == "0":
                    return "/dev/" + name
        raise Failure("no capture node under " + base)

    def usb(self, camera_id="cam1"):
        return self.camera_status(camera_id)["usb"]

    def next(self):
        return self.sim("journal")["next"]

    def keys(self, *words):
        subprocess.run(["xdotool"] + list(words), env=self.env, check=True, capture_output=True, timeout=30)


def expect(condition, message):
    if not condition:
        raise Failure(message)


def rig_settings(session, *buses, delay_ms=1500, home_ms=2500):
    """The demonstration's settings with the rig's cameras saved (connected) in their places."""
    settings = seeded_settings(SHURE, session.address, delay_ms=delay_ms, home_ms=home_ms, cameras=len(buses) or 1)
    for entry, bus in zip(settings["UsbCamerasArray"], buses):
        entry["LocationIdentity"] = location(bus)
    if not buses:
        settings["UsbCamerasArray"] = []
    return settings


def rows(session):
    return [{k: v for k, v in r.items() if k != "node"} for r in session.camera_list()]


def connected(session, count=1):
    listed = session.camera_list()
    return len(listed) == count and all(r["button"] == "Disconnect" and r["state"] == "Connected" for r in listed)


def start_connected(session, *buses, **settings):
    session.start_arrays()
    session.start_app_with(rig_settings(session, *(buses or (1,)), **settings))
    count = len(buses) or 1
    wait_until("the camera rows from the real USB search", lambda: session.camera_rows() == count, 60)
    wait_until("the saved cameras to connect", lambda: connected(session, count), 30)
    # Listed with the model the camera's firmware reports over the real extension unit.
    expect(all(r["model"] == "ZM-150" for r in session.camera_list()), "the rows read %s" % rows(session))
    wait_until("the array link", lambda: session.array_status("shure")["connected"], 30)


def preset_reaches_camera(session, position, since, timeout=30):
    def found():
        for t, _, v in session.writes(CALL_PRESET, since=since):
            if v == position:
                return t
        return None

    return wait_until("preset %d to reach the camera over USB" % position, found, timeout)


def talker_and_silence(session, position):
    """A talker calls the linked preset over USB, the head turns to that seat; silence sends
    the camera home."""
    since = session.next()
    onset = session.sim("talk", array="shure", position=position)["time_ms"]
    t = preset_reaches_camera(session, position, since)
    expect(t - onset >= 1500, "preset %d called %.0f ms after the onset, before the trigger delay" % (position, t - onset))
    seat_pan = -140 + 40 * (position - 1)
    wait_until("the camera to turn to seat %d" % position,
               lambda: abs(session.camera_status()["view"]["pan"] - seat_pan) < 0.5, 10)
    since = session.next()
    session.sim("silence", array="shure")
    wait_until("home after the silence", lambda: session.writes(HOME, since=since), 30)


# ---- the cases -----------------------------------------------------------------------------------


def case_start_plugged(session):
    """The camera is plugged when the application starts: the real USB search lists it with the
    model its firmware reports, and the saved camera connects. (Every case starts so; CTest
    leaves this one out.)"""
    start_connected(session)


def case_tracking(session):
    start_connected(session)
    talker_and_silence(session, 3)


def case_unplug_and_back(session):
    """Unplugged through the emulated bus: the row goes with udev's remove event and the
    application stays; plugged back, udev's add event brings the row back and the camera is
    connected again by itself, and takes the talker's preset."""
    start_connected(session)
    session.sim("unplug", camera="cam1")
    wait_until("the row to go with the camera", lambda: session.camera_rows() == 0, 30)
    expect(session.alive("app"), "the application ended after the unplug")
    session.sim("plug", camera="cam1")
    wait_until("the row to return", lambda: session.camera_rows() == 1, 30)
    wait_until("the camera to connect again by itself", lambda: connected(session), 15)
    since = session.next()
    session.sim("talk", array="shure", position=5)
    preset_reaches_camera(session, 5, since)


def case_other_port(session):
    """Plugged back on another bus: found there by udev, and connected again by its serial number."""
    try:
        other_port(session)
    finally:
        # Back in its place for the cases after this one in the same guest.
        session.sim("unplug", camera="cam1")
        session.sim("plug", camera="cam1", usb_bus=1)


def other_port(session):
    start_connected(session)
    session.sim("unplug", camera="cam1")
    wait_until("the row to go with the camera", lambda: session.camera_rows() == 0, 30)
    answer = session.sim("plug", camera="cam1", usb_bus=3)
    wait_until("the camera to arrive on bus 3", lambda: session.usb()["bus"] == 3 and session.usb()["configured"], 30)
    wait_until("the row to return", lambda: session.camera_rows() == 1, 30)
    wait_until("the camera to connect again by its serial number", lambda: connected(session), 15)
    since = session.next()
    session.sim("talk", array="shure", position=2)
    preset_reaches_camera(session, 2, since)
    expect(answer.get("ok"), "plug on bus 3: %s" % answer)


def open_panel(session):
    """Opens the PTZ panel; the picture area is looked for in the application's new window
    only (a walk of the main window's pages takes many seconds under emulation)."""
    ptz = session.widgets("push button", "PTZ Control")
    expect(len(ptz) == 1, "no PTZ Control button")
    app = session.app_node()
    before = app.childCount
    session.click(ptz[0])
    started = time.monotonic()

    def region():
        # A new window comes after the ones there were; should it not, the whole tree.
        if time.monotonic() - started > 10:
            return session.preview_region()
        for i in range(before, app.childCount):
            window = app.getChildAtIndex(i)
            found = session.preview_region(root=window) if window is not None else None
            if found:
                return found
        return None

    return wait_until("the panel's picture area", region, 30)


def streamed_frames(session):
    stream = session.usb().get("stream") or {}
    return stream.get("frames", 0)


def pad_and_keys(session, region):
    """The pad's Right button, then the Left arrow key held over the panel, each reach the
    camera over USB as a move and its stop."""
    since = session.next()
    right = session.widgets("push button", "Right", root=session.panel_window())
    expect(len(right) == 1, "no Right button on the pad")
    session.click(right[0])

    def moved_and_stopped(direction):
        values = [v for _, _, v in session.writes(PAN_TILT, since=since)]
        return direction in values and values[-1] == STOP

    wait_until("the pad's move and its stop", lambda: moved_and_stopped(RIGHT), 15)
    since = session.next()
    session.keys("mousemove", str(region[0] + region[2] // 2), str(region[1] + region[3] // 2), "click", "1")
    session.keys("keydown", "Left")
    wait_until("the held Left key's move", lambda: LEFT in [v for _, _, v in session.writes(PAN_TILT, since=since)],
               15)
    session.keys("keyup", "Left")
    wait_until("the key's stop", lambda: moved_and_stopped(LEFT), 15)


def case_panel(session):
    """The panel shows the camera's moving picture, read from its real capture node; the pad
    and the arrow keys reach the device."""
    start_connected(session)
    region = open_panel(session)
    wait_until("the panel to stream the capture node", lambda: streamed_frames(session) >= 10, 30)
    first = session.screenshot("live-a", region)
    wait_until("a moving picture",
               lambda: session.pixels_differing(first, session.screenshot("live-b", region)) > 0, 30)
    pad_and_keys(session, region)
    expect(session.alive("app"), "the application ended")


def case_busy(session):
    """A meeting program streams the camera (ffmpeg holds its capture node): tracking, presets
    and the pad still reach the camera, the panel says why it has no picture, and shows the
    picture by itself once the other program lets go."""
    start_connected(session)
    node = session.capture_node()
    # The simulator keeps the last stream's count after it ended (the previous case's): only a
    # count that moves while ffmpeg runs is ffmpeg's. Opening the panel before that would race
    # ffmpeg for the node.
    before = streamed_frames(session)
    session._spawn("ffmpeg", ["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "v4l2", "-input_format", "mjpeg",
                              "-video_size", "320x180", "-i", node, "-f", "null", "-"])
    wait_until("ffmpeg to stream the camera",
               lambda: session.alive("ffmpeg") and streamed_frames(session) != before, 30)
    started = streamed_frames(session)
    wait_until("ffmpeg to go on streaming",
               lambda: session.alive("ffmpeg") and streamed_frames(session) >= started + 3, 30)
    region = open_panel(session)
    wait_until("the panel to say another program has the picture", lambda: session.preview_node.name == BUSY, 30)
    talker_and_silence(session, 4)
    since = session.next()
    presets = session.widgets("push button", "6", root=session.panel_window())
    expect(len(presets) == 1, "no preset 6 button in the panel")
    session.click(presets[0])
    preset_reaches_camera(session, 6, since, timeout=15)
    pad_and_keys(session, region)

    frames_of_ffmpeg = streamed_frames(session)
    session.stop("ffmpeg", sig=signal.SIGINT)
    # The panel tries again by itself: its stream starts without reopening the panel.
    wait_until("the panel's own stream", lambda: session.usb().get("stream") and streamed_frames(session) > 10
               and streamed_frames(session) != frames_of_ffmpeg, 40)
    wait_until("the message to go", lambda: session.preview_node.name != BUSY, 30)
    first = session.screenshot("back-a", region)
    wait_until("the picture", lambda: session.pixels_differing(first, session.screenshot("back-b", region)) > 0, 30)


def case_two_buses(session):
    """Two cameras of one model on buses 1 and 11: both listed with their models; connected one
    after the other from their rows, each obeys its own commands."""
    session.start_arrays()
    settings = rig_settings(session)
    session.start_app_with(settings)
    wait_until("both cameras' rows", lambda: session.camera_rows() == 2, 60)
    listed = session.camera_list()
    expect([r["model"] for r in listed] == ["ZM-150", "ZM-150"], "the rows read %s" % rows(session))
    expect(all(r["button"] == "Connect" for r in listed), "a camera is connected before any click: %s" % rows(session))
    for index, camera_id in ((0, "cam1"), (1, "cam2")):
        session.click(session.camera_list()[index]["node"])
        wait_until("row %d to connect" % (index + 1), lambda: session.camera_list()[index]["button"] == "Disconnect",
                   30)
    # Both stay connected only with several cameras on; the one connected last is steered.
    region = open_panel(session)
    since = session.next()
    right = session.widgets("push button", "Right", root=session.panel_window())
    expect(len(right) == 1, "no Right button on the pad")
    session.click(right[0])

    def moves(camera_id):
        return [e["value"] for e in session.sim("journal", since=since)["entries"]
                if e.get("register") == PAN_TILT and e.get("camera") == camera_id]

    steered = wait_until("the pad's move to reach one camera", lambda: [c for c in ("cam1", "cam2") if moves(c)], 15)
    expect(steered == ["cam2"], "the pad moved %s, not the camera connected last (cam2)" % steered)
    expect(region, "no panel")


def case_no_permission(session):
    """Run as a user outside the video group (the rig's --user): the camera is in the list with
    what to do instead of missing, nothing connects and nothing fails."""
    expect(os.geteuid() != 0, "this case runs as the rig's unprivileged user (--user)")
    node = session.capture_node()
    expect(not os.access(node, os.R_OK | os.W_OK), "%s is open to this user: the case proves nothing" % node)
    session.start_arrays()
    session.start_app_with(rig_settings(session, 1))
    wait_until("the list to say the camera may not be used", lambda: NO_PERMISSION in session.texts(), 60)
    expect(session.camera_rows() == 0, "a camera row to connect: %s" % rows(session))
    wait_until("the array link", lambda: session.array_status("shure")["connected"], 30)
    expect(session.alive("app"), "the application ended")
    # Unplugged, the row goes as any camera's does.
    session.sim("unplug", camera="cam1")
    wait_until("the row to go with the camera", lambda: NO_PERMISSION not in session.texts(), 30)


def udev_tags(node):
    """The node's vendor and the tags of its latest udev event (TAGS keeps every tag ever set)."""
    answer = subprocess.run(["udevadm", "info", "--query=property", "--name=" + node], capture_output=True,
                            text=True, timeout=30)
    properties = dict(line.split("=", 1) for line in answer.stdout.splitlines() if "=" in line)
    tags = properties.get("CURRENT_TAGS", properties.get("TAGS", ""))
    return properties.get("ID_VENDOR_ID", ""), tags.strip(":").split(":")


def uaccess_by_vendor():
    for argv in (["udevadm", "control", "--reload"],
                 ["udevadm", "trigger", "--action=change", "--subsystem-match=video4linux"],
                 ["udevadm", "settle", "--timeout=30"]):
        subprocess.run(argv, check=True, capture_output=True, timeout=60)
    seen = {}
    for name in sorted(os.listdir("/sys/class/video4linux")):
        vendor, tags = udev_tags("/dev/" + name)
        seen.setdefault(vendor, []).append("uaccess" in tags)
    return seen


def case_udev_rule(session):
    """The packaged rule, installed in the guest, tags the supported cameras' nodes for the
    logged-in user's access (uaccess) and leaves another vendor's camera alone. systemd's own
    rules tag every camera on a system that has them; they are masked here so that the
    package's rule is seen on its own."""
    expect(os.geteuid() == 0, "installing a udev rule needs root")
    rules = "/run/udev/rules.d"
    os.makedirs(rules, exist_ok=True)
    seen = uaccess_by_vendor()
    expect(seen.get("046d") and all(seen["046d"]), "systemd's rules no longer tag every camera: %s" % seen)
    with open(os.path.join(rules, "70-uaccess.rules"), "w"):
        pass  # an empty file of the same name masks the distribution's rule
    expect(not any(v for tags in uaccess_by_vendor().values() for v in tags), "a tag without any rule: %s" % seen)
    shutil.copy(os.path.join(REPO, "packaging", "70-vexsdk.rules"), os.path.join(rules, "70-vexsdk.rules"))
    seen = uaccess_by_vendor()
    expect(seen.get("1d4d") and all(seen["1d4d"]), "a supported camera's node without the uaccess tag: %s" % seen)
    expect(seen.get("046d") and not any(seen["046d"]), "another vendor's camera tagged too: %s" % seen)


CASES = {
    "start_plugged": (case_start_plugged, 41),
    "tracking": (case_tracking, 42),
    "unplug_and_back": (case_unplug_and_back, 43),
    "other_port": (case_other_port, 44),
    "panel": (case_panel, 45),
    "busy": (case_busy, 46),
    "two_buses": (case_two_buses, 47),
    "no_permission": (case_no_permission, 48),
    "udev_rule": (case_udev_rule, 49),
}

def main():
    """Each case in a process and session bus of its own: the accessibility library keeps the
    first bus it met for the life of its process."""
    if len(sys.argv) > 1 and sys.argv[1] == "--one":
        del sys.argv[1]
        return run(CASES, RigSession)
    if len(sys.argv) < 3 or any(name not in CASES for name in sys.argv[2:]):
        print("usage: %s BUILD_DIR CASE...   (cases: %s)" % (sys.argv[0], ", ".join(CASES)), file=sys.stderr)
        return 2
    status = 0
    for name in sys.argv[2:]:
        done = subprocess.run(["dbus-run-session", "--", sys.executable, os.path.abspath(__file__), "--one",
                               sys.argv[1], name])
        status = max(status, 1 if done.returncode else 0)
    return status


if __name__ == "__main__":
    sys.exit(main())
