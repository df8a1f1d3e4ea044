#!/usr/bin/python3
"""Killed at the worst moment: the real VantorReda SIGKILLed just around a save of its
settings, and `vexctl record` SIGKILLed while it writes. What was on disk before must survive.

    dbus-run-session -- /usr/bin/python3 crash_cases.py BUILD_DIR CASE
"""

import json
import os
import random
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vexe2e import CAMERA, CAMERA_LOCATION, Failure, Session, run, run_one, seeded_settings, wait_until  # noqa: E402

KILLS = 50
SKIP = 77  # CTest's skip code for this suite


def read(path):
    with open(path, "rb") as f:
        return f.read()


def settings_scenario(session):
    return {"cameras": [dict(CAMERA)], "arrays": [{"id": "shure", "brand": "shure", "address": session.address}]}


def old_document(session):
    """A room's settings with VISCA on and no camera given its ports yet: the first connection of
    the camera gives it its pair and saves at once, about a second after every start."""
    octet = int(session.address.rsplit(".", 1)[1])
    settings = seeded_settings(0, session.address)
    settings["Visca"] = {"Enabled": True, "Address": session.address, "UdpPort": 31000 + 2 * octet,
                         "TcpPort": 32000 + 2 * octet, "AllowedPeers": [], "Ports": {}}
    return settings


def case_settings_kill(session):
    """Fifty starts, each killed at a random moment around its save: the file is always the old
    document or the new one, whole."""
    session.start_sim(settings_scenario(session))
    old = old_document(session)
    session.seed(old)
    old_bytes = read(session.settings_file)

    # One start left alone: when it saves, and what it saves.
    started = time.monotonic()
    session.start_app(accessible=False)
    new_bytes = wait_until("the first save", lambda: (lambda b: b if b != old_bytes else None)(
        read(session.settings_file)), 20, interval=0.005)
    save_after = time.monotonic() - started
    new = json.loads(new_bytes)
    if new.get("Visca", {}).get("Ports") != {CAMERA_LOCATION: old["Visca"]["UdpPort"]}:
        raise Failure("the save did not give the camera its VISCA ports: %s" % new.get("Visca"))
    session.stop("app", signal.SIGKILL)
    folder = os.path.dirname(session.settings_file)

    rng = random.Random(int(os.environ.get("VEX_CRASH_SEED", "33")))
    outcomes = {"old": 0, "new": 0}
    for i in range(KILLS):
        session.seed(old)
        session.start_app(accessible=False)
        # The kill is the fault under test: at a random moment from just before the save
        # to just after it.
        time.sleep(rng.uniform(max(0.0, save_after - 0.4), save_after + 0.15))
        session.stop("app", signal.SIGKILL)
        data = read(session.settings_file)
        try:
            parsed = json.loads(data)
        except ValueError as e:
            raise Failure("kill %d: the settings file is no JSON (%s): %r" % (i, e, data[:200]))
        if parsed == json.loads(old_bytes):
            outcomes["old"] += 1
        elif parsed == new:
            outcomes["new"] += 1
        else:
            raise Failure("kill %d: the settings file is neither document: %s" % (i, data[:400]))
    leftovers = [n for n in os.listdir(folder) if n != os.path.basename(session.settings_file)]
    print("kills %d: old document %d, new %d; save %.2f s after start; other files in the folder: %s"
          % (KILLS, outcomes["old"], outcomes["new"], save_after, leftovers))
    if not outcomes["new"] or not outcomes["old"]:
        raise Failure("the kills never fell on both sides of the save: %s" % outcomes)


def playable_frames(path):
    """How many pictures ffprobe decodes from the file (0 when it cannot be read)."""
    done = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                           "stream=nb_read_frames", "-of", "csv=p=0", path], capture_output=True, text=True, timeout=60)
    try:
        return int(done.stdout.strip().split(",")[0]) if done.returncode == 0 else 0
    except ValueError:
        return 0


def case_record_kill(session):
    """`vexctl record` killed at random moments: every piece finished before plays whole, and the
    piece being written when the kill came plays up to its last whole second."""
    session.start_sim({"cameras": [dict(CAMERA)]})
    vexctl = os.path.join(session.build_dir, "tools", "vexctl", "vexctl")
    env = dict(session.env, VEXSDK_SIM=session.socket_path)
    rng = random.Random(int(os.environ.get("VEX_CRASH_SEED", "33")))
    finished = []
    for i in range(8):
        piece = os.path.join(session.work, "piece-%02d.mp4" % i)
        done = subprocess.run([vexctl, "record", CAMERA_LOCATION, piece, "--seconds", "2"], env=env,
                              capture_output=True, text=True, timeout=30)
        if done.returncode != 0:
            raise Failure("piece %d: vexctl record: %s" % (i, done.stderr))
        finished.append(piece)
        killed = os.path.join(session.work, "killed-%02d.mp4" % i)
        proc = subprocess.Popen([vexctl, "record", CAMERA_LOCATION, killed, "--seconds", "60"], env=env,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The file's head is written at once; its first second of pictures when that second is
        # complete. From then on a kill may cost the second under way, no more.
        head = wait_until("the recording's head", lambda: os.path.exists(killed) and os.path.getsize(killed), 10)
        wait_until("the recording's first second", lambda: os.path.getsize(killed) > head, 15, interval=0.01)
        time.sleep(rng.uniform(0.0, 2.5))  # the kill is the fault under test
        proc.kill()
        proc.wait(10)
        for p in finished:
            if playable_frames(p) < 10:
                raise Failure("%s, finished before the kill, does not play (%d pictures)" % (p, playable_frames(p)))
        frames = playable_frames(killed)
        if frames < 10:
            raise Failure("%s, killed after its first second was written, plays %d pictures" % (killed, frames))
        print("kill %d: the killed piece plays %d pictures" % (i, frames))


def private_mounts():
    """This process and its children get mounts of their own (a root-only trick: a full disk and
    a read-only folder need real file systems; a permission test as root proves nothing)."""
    import ctypes
    if os.geteuid() != 0:
        print("SKIP: mounting a small file system needs root")
        sys.exit(SKIP)
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(0x00020000) != 0:  # CLONE_NEWNS
        print("SKIP: no mount namespace here (errno %d)" % ctypes.get_errno())
        sys.exit(SKIP)
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)


def visca_answers(session, port, timeout):
    """The camera's VISCA port answers: the camera has its pair, and the save that comes with
    it has been tried."""
    import socket
    import struct
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    u.settimeout(0.2)
    payload = bytes.fromhex("81090400ff")

    def answered():
        try:
            u.sendto(struct.pack(">HHI", 0x0110, len(payload), 1) + payload, (session.address, port))
            return u.recvfrom(64)[0]
        except OSError:
            return None

    try:
        return wait_until("the camera's VISCA port", answered, timeout)
    finally:
        u.close()


def case_settings_no_room(session):
    """A save that cannot be written, on a full file system and in a read-only folder: the old
    file stays whole and the application goes on."""
    private_mounts()
    session.start_sim(settings_scenario(session))
    folder = os.path.dirname(session.settings_file)
    os.makedirs(folder, exist_ok=True)
    old = old_document(session)
    for kind in ("full", "read-only"):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", folder], check=True)
        try:
            session.seed(old)
            old_bytes = read(session.settings_file)
            if kind == "full":
                fd = os.open(os.path.join(folder, "filler"), os.O_WRONLY | os.O_CREAT)
                try:
                    while os.write(fd, b"x" * 512) > 0:
                        pass
                except OSError:
                    pass  # the disk is full
                finally:
                    os.close(fd)
            else:
                subprocess.run(["mount", "-o", "remount,ro", folder], check=True)
            session.start_app(accessible=False)
            visca_answers(session, old["Visca"]["UdpPort"], 20)
            if read(session.settings_file) != old_bytes:
                raise Failure("%s: the settings file changed although nothing could be saved: %r" % (kind, read(session.settings_file)[:300]))
            if not session.alive("app"):
                raise Failure("%s: the application ended when its save failed" % kind)
            session.stop("app", signal.SIGKILL)
            if read(session.settings_file) != old_bytes:
                raise Failure("%s: the settings file changed" % kind)
        finally:
            subprocess.run(["umount", folder], check=False)
        print("%s: the old settings stayed whole" % kind)


CASES = {
    "settings_kill": (case_settings_kill, 51),
    "record_kill": (case_record_kill, 52),
    "settings_no_room": (case_settings_no_room, 53),
}


class NoDisplaySession(Session):
    """The recording case needs no display: vexctl alone on the simulator."""

    def start_display(self):
        pass


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[2] == "record_kill":
        sys.exit(run_one(sys.argv[1], sys.argv[2], CASES, NoDisplaySession))
    sys.exit(run(CASES))
