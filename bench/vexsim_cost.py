#!/usr/bin/python3
"""Processor cost of one simulated camera: vexsim serving a 1280x720 MJPEG picture at 30 frames
per second to one viewer, as a share of one core (user + system time over wall time).

    /usr/bin/python3 bench/vexsim_cost.py BUILD_DIR [SECONDS]
"""

import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def main():
    build_dir = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
    work = tempfile.mkdtemp(prefix="vexsim-cost-")
    scenario = os.path.join(work, "scenario.json")
    sock = os.path.join(work, "sim.sock")
    with open(scenario, "w") as f:
        json.dump({"cameras": [{"id": "cam1", "capabilities": [{"subtype": "MJPG", "width": 1280, "height": 720,
                                                                  "fps": 30}]}]}, f)
    sim = subprocess.Popen([os.path.join(build_dir, "tools", "vexsim", "vexsim"), "--socket", sock, "--scenario",
                            scenario], stdout=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 10
        while not os.path.exists(sock):
            if time.monotonic() > deadline or sim.poll() is not None:
                print("vexsim did not start")
                return 1
            time.sleep(0.05)
        with socket.socket(socket.AF_UNIX) as s:
            s.connect(sock)
            s.sendall(b'{"op":"status"}\n')
            url = json.loads(s.makefile().readline())["cameras"][0]["streams"][0]["url"]
        host, port = url[len("tcp://"):].rsplit(":", 1)
        viewer = socket.create_connection((host, int(port)))
        received = [0]
        stop = threading.Event()

        def drain():
            while not stop.is_set():
                data = viewer.recv(1 << 20)
                if not data:
                    break
                received[0] += len(data)

        reader = threading.Thread(target=drain, daemon=True)
        reader.start()
        time.sleep(1.0)  # warm-up: the first frames and the encoder's start
        c0, w0, b0 = cpu_seconds(sim.pid), time.monotonic(), received[0]
        time.sleep(seconds)
        c1, w1, b1 = cpu_seconds(sim.pid), time.monotonic(), received[0]
        stop.set()
        viewer.close()
        share = (c1 - c0) / (w1 - w0)
        print("vexsim cost: one 1280x720 MJPEG camera at 30 fps, one viewer: %.1f %% of one core "
              "(%.1f s measured, %.1f MB/s sent; target <= 25 %%: %s)"
              % (share * 100, w1 - w0, (b1 - b0) / (w1 - w0) / 1e6, "met" if share <= 0.25 else "MISSED"))
        return 0
    finally:
        sim.terminate()
        sim.wait(10)
        for name in os.listdir(work):
            os.unlink(os.path.join(work, name))
        os.rmdir(work)


if __name__ == "__main__":
    sys.exit(main())
