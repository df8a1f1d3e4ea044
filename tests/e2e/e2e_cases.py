#!/usr/bin/python3
"""End-to-end cases: the real VantorReda on the real vexsim (see vexe2e.py for the harness).

    dbus-run-session -- /usr/bin/python3 e2e_cases.py BUILD_DIR CASE
"""

import copy
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from vexe2e import (CALL_PRESET, CAMERA, CAMERA_LOCATION, HOME, Failure, WebSocketClient, port_open, run,  # noqa: E402
                    seeded_settings, wait_until)

SKIP = 77  # CTest's skip code for this suite

# Device-list indices of the array page and the simulator's brand names.
BRANDS = {"shure": 0, "sennheiser": 3, "nureva": 4, "yamaha": 5}


def scenario(session, brand, **array):
    a = {"id": brand, "brand": brand, "address": session.address}
    a.update(array)
    return {"cameras": [copy.deepcopy(CAMERA)], "arrays": [a]}


def start(session, brand, settings=None, **array):
    session.start_sim(scenario(session, brand, **array))
    session.seed(settings or seeded_settings(BRANDS[brand], session.address))
    session.start_app()


def expect(condition, message):
    if not condition:
        raise Failure(message)


def camera_connected(session):
    """The camera list shows one camera, connected, as a screen reader reads it."""
    rows = session.camera_list()
    return len(rows) == 1 and rows[0]["button"] == "Disconnect" and rows[0]["state"] == "Connected"


def wait_connected(session, timeout=10):
    """The saved camera is connected about a second after start, and the array's link is up."""
    wait_until("the camera's row", lambda: session.camera_rows() == 1, timeout)
    wait_until("the saved camera to connect", lambda: camera_connected(session), timeout)
    after = time.time() - session.app_started_at
    expect(after >= 1.0, "the saved camera connected %.2f s after start, before the 1 s start delay" % after)
    brand = session.sim("status")["arrays"][0]["id"]
    wait_until("the array link", lambda: session.array_status(brand)["connected"], timeout)


def first_write_after(session, register, after_ms, value=None, timeout=10):
    def found():
        for t, _, v in session.writes(register):
            if t >= after_ms and (value is None or v == value):
                return (t, v)
        return None

    return wait_until("a write of register %s%s" % (register, "" if value is None else " = %d" % value), found,
                      timeout)


def track_once(session, brand, talk, preset, delay_ms, home_ms):
    """A talker long enough calls the linked preset no earlier than the trigger delay (and not
    never); silence brings the camera home once the return-home time has passed."""
    onset = session.sim("talk", array=brand, **talk)["time_ms"]
    t, _ = first_write_after(session, CALL_PRESET, onset, value=preset, timeout=delay_ms / 1000 + 3)
    expect(t - onset >= delay_ms, "preset %d called %.0f ms after the onset, before the %d ms trigger delay"
           % (preset, t - onset, delay_ms))
    expect(t - onset <= delay_ms + 3000, "preset called %.0f ms after the onset" % (t - onset))
    # The recall reached the simulated head: it turns to the seat that preset looks at.
    seat_pan = -140 + 40 * (preset - 1)
    wait_until("the camera to turn to seat %d" % preset,
               lambda: abs(session.camera_status()["view"]["pan"] - seat_pan) < 0.5, 5)
    silence = session.sim("silence", array=brand)["time_ms"]
    # The countdown runs on a coarse timer (5 % early at most).
    home, _ = first_write_after(session, HOME, silence, timeout=home_ms / 1000 + 4)
    expect(home - silence >= home_ms * 0.95, "home %.0f ms after silence, before the %d ms return-home time"
           % (home - silence, home_ms))
    return t - onset


def case_tracking(brand, talk, preset):
    def case(session):
        if brand == "sennheiser" and os.geteuid() != 0:
            print("SKIP: the Sennheiser array's port 45 needs root")
            sys.exit(SKIP)
        start(session, brand)
        wait_connected(session)
        track_once(session, brand, talk, preset, 1500, 2500)
        # Home means home: the head comes back to the middle.
        wait_until("the camera to come home", lambda: abs(session.camera_status()["view"]["pan"]) < 0.5, 5)
        expect(session.alive("app"), "the application ended")
    return case


def case_shure_auto_coverage(session):
    """An MXA920 in automatic coverage reports coverage-area gates, not channel gates, and its
    replies straddle writes: the talker's area still calls its preset."""
    start(session, "shure", settings=seeded_settings(1, session.address), model="MXA920", auto_coverage=True,
          split_writes=True)
    wait_connected(session)
    track_once(session, "shure", {"position": 5}, 5, 1500, 2500)
    asked = session.sim("received", array="shure")["text"]
    expect("< GET 0 AUTOMIX_GATE_OUT_CA >" in asked, "the application did not ask for the coverage-area gates")


def case_hotplug(session):
    # Without Auto Reconnect the camera plugged back waits for the user's click.
    settings = seeded_settings(BRANDS["shure"], session.address)
    settings["AutoReconnect"] = False
    start(session, "shure", settings=settings)
    wait_connected(session)
    # The control interface is off unless the settings switch it on.
    expect(not port_open("127.0.0.1", 8940), "the control interface listens although it is off by default")
    session.sim("unplug", camera="cam1")
    wait_until("the camera's row to go", lambda: session.camera_rows() == 0, 10)
    expect(session.alive("app"), "the application ended after the unplug")
    session.sim("plug", camera="cam1")
    wait_until("the camera's row to return", lambda: session.camera_rows() == 1, 10)
    row = session.camera_list()[0]
    expect(row["model"] == "ZM-150" and row["button"] == "Connect" and row["state"] == "Not connected",
           "the camera plugged back reads %s" % {k: v for k, v in row.items() if k != "node"})
    # Connected the way a screen reader's user does it: the row's button, pressed by its action.
    session.click(row["node"])
    wait_until("the camera to connect from its row", lambda: camera_connected(session), 10)
    session.responsive()
    expect(session.alive("app"), "the application ended after the plug")


def case_camera_back_after_unplug(session):
    """A loose cable: the connected camera is out for 3 s and back; it is connected again by
    itself as its row returns, and a talker's preset reaches it again."""
    start(session, "shure")
    wait_connected(session)
    session.sim("unplug", camera="cam1")
    wait_until("the camera's row to go", lambda: session.camera_rows() == 0, 10)
    time.sleep(3)  # how long the cable is out (the scenario, not a wait for the application)
    session.sim("plug", camera="cam1")
    wait_until("the camera's row to return", lambda: session.camera_rows() == 1, 10)
    wait_until("the camera to connect again by itself", lambda: camera_connected(session), 2)
    track_once(session, "shure", {"position": 3}, 3, 1500, 2500)
    expect(session.alive("app"), "the application ended")


def case_link_drop(session):
    # The loss as such: without reconnecting the link ends and Connect clears.
    settings = seeded_settings(BRANDS["shure"], session.address)
    settings["AutoReconnect"] = False
    start(session, "shure", settings=settings)
    wait_connected(session)
    boxes = session.widgets("check box", "Connect")
    expect(any(session.checked(b) for b in boxes), "the array page's Connect box is not ticked while linked")
    session.sim("drop", array="shure")
    wait_until("the warning \"Connection Loss.\"", lambda: "Connection Loss." in session.texts(), 10)
    wait_until("the Connect box to clear",
               lambda: not any(session.checked(b) for b in session.widgets("check box", "Connect")), 10)
    combos = session.widgets("combo box")
    expect(combos and all(c.getState().contains(session._atspi.STATE_ENABLED) for c in combos),
           "the array page's fields are not enabled again after the link dropped")
    expect(session.alive("app"), "the application ended")


def case_reconnect(session):
    """The array drops the link (a reboot): the page warns once, keeps Connect on, links again
    by itself and follows the next talker."""
    start(session, "shure")
    wait_connected(session)
    links = session.array_status("shure")["connections"]
    session.sim("drop", array="shure")
    wait_until("the warning \"Connection Loss.\"", lambda: "Connection Loss." in session.texts(), 10)

    def linked_again():
        status = session.array_status("shure")
        return status["connected"] and status["connections"] > links

    wait_until("the array link to come back", linked_again, 10)
    expect(any(session.checked(b) for b in session.widgets("check box", "Connect")),
           "the array page's Connect box was cleared by the lost link")
    expect("Reconnecting\u2026" not in session.texts(), "\"Reconnecting\u2026\" still shown on a link that is up")
    track_once(session, "shure", {"position": 3}, 3, 1500, 2500)
    expect(session.alive("app"), "the application ended")


def case_tracking_controls(session):
    """The Tracking switch off keeps the link but calls nothing; on again, the talker of the
    moment is followed at once. A preset from the PTZ panel pauses tracking for the override
    time, shown on the page; the talker is followed again after it."""
    delay_ms, override_ms = 1000, 4000
    settings = seeded_settings(BRANDS["shure"], session.address, delay_ms=delay_ms, home_ms=-1)
    settings["ManualOverrideTime"] = override_ms
    start(session, "shure", settings=settings)
    wait_connected(session)

    def tracking_switch():
        found = session.widgets("check box", "Tracking")
        expect(len(found) == 1, "no Tracking switch on the array page")
        return found[0]

    expect(session.checked(tracking_switch()), "tracking is off after start")
    session.click(tracking_switch())
    wait_until("the Tracking switch to go off", lambda: not session.checked(tracking_switch()), 5)
    onset = session.sim("talk", array="shure", position=3)["time_ms"]
    # Nothing to wait for when nothing may happen: the talker has talked well past the delay.
    wait_until("the talker to talk past the delay",
               lambda: time.time() * 1000 >= onset + delay_ms + 800, 5)
    expect(not any(v == 3 for t, _, v in session.writes(CALL_PRESET) if t >= onset),
           "a preset was called while tracking was off")
    session.click(tracking_switch())
    first_write_after(session, CALL_PRESET, onset, value=3, timeout=3)

    ptz = session.widgets("push button", "PTZ Control")
    expect(len(ptz) == 1, "no PTZ Control button")
    session.click(ptz[0])
    buttons = wait_until("the panel's preset 5 button", lambda: session.widgets("push button", "5"), 10)
    clicked = session.sim("journal")["next"]
    session.click(buttons[0])
    t5 = wait_until("preset 5 to reach the camera",
                    lambda: next((t for t, _, v in session.writes(CALL_PRESET, since=clicked) if v == 5), None), 5)
    wait_until("the page to show the pause",
               lambda: any(t.startswith("Tracking paused (") for t in session.texts()), 5)
    # The talker goes on at position 3: followed again once the pause is over, not before.
    t3, _ = first_write_after(session, CALL_PRESET, t5, value=3, timeout=override_ms / 1000 + 4)
    expect(t3 - t5 >= override_ms - 200, "tracking called preset 3 %.0f ms after the operator's preset, "
           "within the %d ms pause" % (t3 - t5, override_ms))
    expect(session.alive("app"), "the application ended")


def case_minimum_hold(session):
    """With a minimum hold the camera stays on a talker it was just sent to: the next talker,
    who talks past the trigger delay within the hold, is followed when the hold ends."""
    delay_ms, hold_ms = 1000, 3000
    settings = seeded_settings(BRANDS["shure"], session.address, delay_ms=delay_ms, home_ms=-1)
    settings["MinimumHoldTime"] = hold_ms
    start(session, "shure", settings=settings)
    wait_connected(session)
    onset = session.sim("talk", array="shure", position=2)["time_ms"]
    t2, _ = first_write_after(session, CALL_PRESET, onset, value=2, timeout=4)
    session.sim("talk", array="shure", position=6)
    t6, _ = first_write_after(session, CALL_PRESET, t2, value=6, timeout=hold_ms / 1000 + 4)
    expect(t6 - t2 >= hold_ms - 200, "preset 6 called %.0f ms after preset 2, within the %d ms hold"
           % (t6 - t2, hold_ms))
    expect(t6 - t2 <= hold_ms + 1500, "preset 6 called %.0f ms after preset 2, long after the hold" % (t6 - t2))


def case_several_talkers(session):
    """Two people talking at once get the shot chosen for several talkers, not one of them;
    the one left talking gets the camera back once alone for the trigger delay."""
    delay_ms, wide = 1000, 9
    settings = seeded_settings(BRANDS["shure"], session.address, delay_ms=delay_ms, home_ms=-1)
    settings["SeveralTalkersPreset"] = wide
    start(session, "shure", settings=settings)
    wait_connected(session)
    onset = session.sim("talk", array="shure", positions=[2, 6])["time_ms"]
    t_wide, _ = first_write_after(session, CALL_PRESET, onset, value=wide, timeout=delay_ms / 1000 + 3)
    expect(t_wide - onset >= delay_ms, "the wide shot was called %.0f ms after the onset, before the %d ms "
           "trigger delay" % (t_wide - onset, delay_ms))
    called = [v for t, _, v in session.writes(CALL_PRESET) if t >= onset]
    expect(2 not in called and 6 not in called, "a single talker's preset was called for two talkers: %s" % called)
    alone = session.sim("talk", array="shure", position=6)["time_ms"]
    t6, _ = first_write_after(session, CALL_PRESET, alone, value=6, timeout=delay_ms / 1000 + 3)
    expect(t6 - alone >= delay_ms, "preset 6 called %.0f ms after the other talker stopped, before the %d ms "
           "trigger delay" % (t6 - alone, delay_ms))
    expect(session.alive("app"), "the application ended")


def case_restart(session):
    settings = seeded_settings(BRANDS["shure"], session.address, delay_ms=2200, home_ms=3000)
    settings["PresetLinkMap"]["ArrayPos4"] = 6  # a link the defaults would not give
    start(session, "shure", settings=settings)
    wait_connected(session)
    with open(session.settings_file) as f:
        seeded_text = f.read()
    # Close from the title bar ("X"): the settings are written then.
    close = session.widgets("push button", "X")
    expect(len(close) == 1, "the title bar's close button is not there")
    session.click(close[0])

    def rewritten():
        with open(session.settings_file) as f:
            text = f.read()
        return text != seeded_text and json.loads(text)

    saved = wait_until("the settings to be written", rewritten, 10)
    cameras = saved.get("UsbCamerasArray", [])
    expect(any(c.get("IsConnect") == "1" and c.get("LocationIdentity") == "1&2.4&1&0000" for c in cameras),
           "the connected camera was not saved as connected: %s" % cameras)
    expect(saved.get("DelayTriggerTime") == 2200, "trigger delay not saved: %s" % saved.get("DelayTriggerTime"))
    expect(saved.get("PresetLinkMap", {}).get("ArrayPos4") == 6, "position link not saved")
    expect(saved.get("IPAddress") == session.address, "array address not saved")

    session.stop("app")
    links_before = session.array_status("shure")["connections"]
    session.start_app()
    wait_until("the saved camera to connect again", lambda: camera_connected(session), 10)
    wait_until("the array link again",
               lambda: session.array_status("shure")["connections"] > links_before
               and session.array_status("shure")["connected"], 10)
    track_once(session, "shure", {"position": 4}, 6, 2200, 3000)


def case_garbage(session):
    start(session, "shure")
    wait_connected(session)
    # Garbage, then a line that never ends (2 MB without a reply end).
    session.sim("garbage", array="shure", text="\u0000\u00ff<<>> < REP 99999999999 AUTOMIX_GATE_OUT_EXT_SIG ON >"
                                                "{\"m\":[[[[[[ < REP AUDIO_IN_PEAK_LVL -5 >")
    session.sim("garbage", array="shure", bytes=2 * 1024 * 1024)
    session.responsive()
    expect(session.alive("app"), "the application ended on garbage")
    # Whatever the page made of it, it still tracks once the link is (re)made (by itself: a
    # link the page gave up on is retried).
    session.sim("silence", array="shure")
    wait_until("the array link again", lambda: session.array_status("shure")["connected"], 10)
    onset = session.sim("talk", array="shure", position=2)["time_ms"]
    first_write_after(session, CALL_PRESET, onset, value=2, timeout=6)
    # The simulator dies under the application: it stays up and answers.
    session.stop("vexsim", sig=signal.SIGKILL)
    session.responsive()
    wait_until("the application to notice the array is gone and retry",
               lambda: "Reconnecting\u2026" in session.texts(), 10)
    session.responsive()
    expect(session.alive("app"), "the application ended when the simulator died")


def case_panel(session):
    """The PTZ panel shows the camera's live picture; a preset and the pad reach the camera and
    the picture turns with it."""
    start(session, "shure")
    wait_connected(session)
    ptz = session.widgets("push button", "PTZ Control")
    expect(len(ptz) == 1, "no PTZ Control button")
    session.click(ptz[0])
    wait_until("the preview to open the camera's stream",
               lambda: session.camera_status()["streams"][0]["clients"] >= 1, 15)
    wait_until("the preview's frames", lambda: session.camera_status()["streams"][0]["frames"] >= 10, 10)

    # A live picture: a later look at the preview differs from the first (the simulated
    # picture's marker moves every frame even while the camera stands still).
    region = wait_until("the preview on screen", session.preview_region, 10)
    first = session.screenshot("live-a", region)
    wait_until("a live picture",
               lambda: session.pixels_differing(first, session.screenshot("live-b", region)) > 0, 10)

    still = session.screenshot("before-preset", region)
    since = session.sim("journal")["next"]
    buttons = [b for b in session.widgets("push button", "3")]
    expect(len(buttons) == 1, "no preset 3 button in the panel")
    session.click(buttons[0])
    wait_until("preset 3 to reach the camera",
               lambda: any(v == 3 for _, _, v in session.writes(CALL_PRESET, since=since)), 5)
    wait_until("the camera to turn to seat 3",
               lambda: abs(session.camera_status()["view"]["pan"] + 60) < 0.5, 5)
    # The picture has turned: most of it changed, not just the moving marker.
    area = region[2] * region[3]
    wait_until("the picture to show the turn",
               lambda: session.pixels_differing(still, session.screenshot("after-preset", region)) > area // 4, 10)

    since = session.sim("journal")["next"]
    right = session.widgets("push button", "Right")
    expect(len(right) == 1, "no Right button on the pad")
    session.click(right[0])  # a press and a release: the move starts and stops

    def moved_and_stopped():
        values = [v for _, r, v in session.writes("0x0027", since=since)]
        return 0x23 in values and values[-1] == 0x33

    wait_until("the pad's move and its stop", moved_and_stopped, 5)
    expect(session.alive("app"), "the application ended")


PAN_TILT = "0x0027"  # the pan/tilt direction register: 0x23 right, 0x33 stop
RIGHT, STOP = 0x23, 0x33


def control_api_session(session, token):
    """The application with its control interface on the case's own loopback address."""
    port = 18900 + int(session.address.rsplit(".", 1)[1])
    settings = seeded_settings(BRANDS["shure"], session.address)
    settings["ControlApi"] = {"Enabled": True, "Address": session.address, "Port": port, "Token": token}
    start(session, "shure", settings=settings)
    wait_connected(session)
    wait_until("the control interface", lambda: port_open(session.address, port), 10)
    return port


def vexctl(session, port, *words, token=None):
    env = dict(session.env)
    env.pop("VEXSDK_SIM", None)  # vexctl app never touches a camera
    if token:
        env["VEXCTL_APP_TOKEN"] = token
    done = subprocess.run([os.path.join(session.build_dir, "tools", "vexctl", "vexctl"), "app", "--address",
                           session.address, "--port", str(port)] + list(words),
                          env=env, capture_output=True, text=True, timeout=20)
    return done.returncode, done.stdout, done.stderr


def case_control_api_token(session):
    """With a token: every client authenticates first or is closed; a browser's page is
    refused; waiting connections cannot keep the token holder out; limits on clients and
    message size; a request's effect on the camera, its reply and its event; vexctl app with
    the token."""
    token = "e2e-token-0123456789abcdef"
    port = control_api_session(session, token)
    host = session.address

    silent = WebSocketClient(host, port)
    silent.send({"id": 1, "method": "preset.call", "params": {"preset": 4}})
    refused = silent.reply(1)
    expect(refused and refused["error"]["code"] == 3, "a request before the token was answered %s" % refused)
    expect(silent.wait_closed(), "a client without the token stays connected")
    wrong = WebSocketClient(host, port)
    wrong.send({"auth": token[:-1] + "X"})
    expect(wrong.recv()["error"]["code"] == 3, "a wrong token was not refused")
    expect(wrong.wait_closed(), "a client with a wrong token stays connected")
    expect(not any(v == 4 for _, _, v in session.writes(CALL_PRESET)), "a refused request reached the camera")

    # A browser's page is refused even with a token: it could take places and try tokens.
    page = WebSocketClient(host, port, origin="http://localhost:8000")
    expect(page.status != 101, "a browser's handshake was taken in token mode")

    clients = []
    for _ in range(2):
        c = WebSocketClient(host, port)
        expect(c.status == 101, "handshake answered %d" % c.status)
        c.send({"auth": token})
        expect(c.recv() == {"auth": "ok"}, "the token was not taken")
        clients.append(c)
    client, watcher = clients

    state = client.request(2, "state")["result"]
    expect(state["connected"] == CAMERA_LOCATION, "state's connected camera: %s" % state)
    expect(state["cameras"] == [{"location": CAMERA_LOCATION, "model": "ZM-150", "connected": True}]
           or (len(state["cameras"]) == 1 and state["cameras"][0]["connected"]), "state's cameras: %s" % state)
    expect(state["array"]["link"] == "up" and state["array"]["address"] == session.address,
           "state's array: %s" % state["array"])

    since = session.sim("journal")["next"]
    reply = client.request(3, "preset.call", preset=3)
    expect(reply.get("result") == {}, "preset.call answered %s" % reply)
    wait_until("preset 3 at the camera", lambda: any(v == 3 for _, _, v in session.writes(CALL_PRESET, since=since)), 5)
    # The preset is heard first; the operator's hold of tracking follows it.
    event = watcher.next_event()
    expect(event == {"event": "preset", "data": {"lastPreset": 3, "by": "api", "camera": CAMERA_LOCATION}},
           "the preset event: %s" % event)
    event = watcher.next_event()
    expect(event == {"event": "tracking", "data": {"tracking": "paused", "pauseSeconds": 30}},
           "the tracking event: %s" % event)

    # A timed move stops by itself; an untimed one stops when its client goes away.
    since = session.sim("journal")["next"]
    expect("result" in client.request(4, "ptz.move", direction="right", ms=300), "ptz.move refused")
    moved = wait_until("the move and its stop", lambda: [(t, v) for t, _, v in session.writes(PAN_TILT, since=since)]
                       if [v for _, _, v in session.writes(PAN_TILT, since=since)][-1:] == [STOP] else None, 5)
    expect(moved[0][1] == RIGHT and moved[-1][0] - moved[0][0] >= 250, "timed move: %s" % moved)
    since = session.sim("journal")["next"]
    expect("result" in watcher.request(5, "ptz.move", direction="right"), "ptz.move refused")
    wait_until("the move", lambda: RIGHT in [v for _, _, v in session.writes(PAN_TILT, since=since)], 5)
    watcher.close()
    wait_until("the stop of the vanished client's move",
               lambda: [v for _, _, v in session.writes(PAN_TILT, since=since)][-1:] == [STOP], 5)

    # Garbage is answered and the connection stays; an oversized message closes it.
    client.send_text("{not json")
    expect(client.recv()["error"]["code"] == -32700, "garbage was not answered with -32700")
    expect(client.request(6, "nonsense")["error"]["code"] == -32601, "an unknown method was not refused")
    expect("result" in client.request(7, "state"), "the connection did not survive garbage")
    big = WebSocketClient(host, port)
    big.send({"auth": token})
    big.recv()
    big.send_text("[" + "1," * 40000 + "1]")
    expect(big.wait_closed(), "an oversized message did not close its connection")

    # Connections that never authenticate take no client place and cannot keep the token
    # holder out: the oldest of them makes room for a newcomer.
    squatters = [WebSocketClient(host, port) for _ in range(8)]
    expect(all(c.status == 101 for c in squatters), "a waiting connection was refused")
    holder = WebSocketClient(host, port)
    holder.send({"auth": token})
    expect(holder.recv() == {"auth": "ok"}, "the token holder was kept out by waiting connections")
    expect("result" in holder.request(8, "state"), "the token holder was not served")
    expect(squatters[0].wait_closed(), "the oldest waiting connection was not pushed out")
    for c in squatters:
        c.close()

    # Eight authenticated clients at most (client and holder are two): the ninth to
    # authenticate hears error 4.
    more = []
    for _ in range(6):
        c = WebSocketClient(host, port)
        c.send({"auth": token})
        expect(c.recv() == {"auth": "ok"}, "a client refused before eight")
        more.append(c)
    ninth = WebSocketClient(host, port)
    ninth.send({"auth": token})
    message = ninth.recv()
    expect(message and message["error"]["code"] == 4, "the ninth client was answered %s" % message)
    expect(ninth.wait_closed(), "the ninth client stays connected")
    for c in more + [holder]:
        c.close()

    since = session.sim("journal")["next"]
    code, out, err = vexctl(session, port, "preset", "call", "5", token=token)
    expect(code == 0 and out.strip() == "{}", "vexctl app preset call: %d %s %s" % (code, out, err))
    wait_until("vexctl's preset at the camera", lambda: any(v == 5 for _, _, v in session.writes(CALL_PRESET, since=since)), 5)
    code, out, err = vexctl(session, port, "state")
    expect(code == 1 and "error 3" in err, "vexctl app without the token: %d %s %s" % (code, out, err))
    expect(session.alive("app"), "the application ended")


def case_control_api_loopback(session):
    """Without a token (loopback only): requests are served at once, but a browser's
    handshake is refused; disconnecting and connecting the camera by its location, with
    their events; vexctl app without a token."""
    port = control_api_session(session, "")
    host = session.address
    page = WebSocketClient(host, port, origin="http://evil.example")
    expect(page.status != 101, "a browser's handshake was taken without a token")

    client, watcher = WebSocketClient(host, port), WebSocketClient(host, port)
    expect(client.request(1, "state")["result"]["connected"] == CAMERA_LOCATION, "state without a token")
    expect(watcher.request(1, "state")["result"]["connected"] == CAMERA_LOCATION, "state without a token")

    reply = client.request(2, "camera.disconnect", location=CAMERA_LOCATION)
    expect(reply.get("result") == {"connected": None}, "camera.disconnect answered %s" % reply)
    event = watcher.next_event()
    expect(event == {"event": "camera", "data": {"connected": None, "connectedCameras": []}},
           "no disconnect event: %s" % event)
    expect(client.request(3, "preset.call", preset=1)["error"]["code"] == 1, "a preset without a camera")
    expect(client.request(4, "camera.connect", location="9&9&9&0000")["error"]["code"] == 2, "an unknown camera")
    reply = client.request(5, "camera.connect", location=CAMERA_LOCATION, timeout=20)
    expect(reply.get("result") == {"connected": CAMERA_LOCATION}, "camera.connect answered %s" % reply)
    event = watcher.next_event() or {}
    data = event.get("data", {})
    expect(event.get("event") == "camera" and data.get("connected") == CAMERA_LOCATION
           and [(c["location"], c["steered"], c["default"]) for c in data.get("connectedCameras", [])]
           == [(CAMERA_LOCATION, True, True)], "no connect event: %s" % event)

    # Tracking: the talker's position is heard before the preset tracking calls for it. The
    # requests above paused tracking as an operator's command would: the pause ends first.
    expect(client.request(10, "tracking.pause", seconds=0)["result"] == {"tracking": "on"}, "tracking not on")
    watcher.events.clear()
    onset = session.sim("talk", array="shure", position=3)["time_ms"]
    first_write_after(session, CALL_PRESET, onset, value=3, timeout=6)
    seen = []
    while not any(e["event"] == "preset" for e in seen):
        e = watcher.next_event(timeout=3)
        expect(e is not None, "no preset event after the tracking's call: %s" % seen)
        seen.append(e)
    heard = [(e["event"], e["data"]) for e in seen]
    tracking_preset = ("preset", {"lastPreset": 3, "by": "tracking", "camera": CAMERA_LOCATION})
    expect(("talker", {"talker": 3}) in heard and heard[-1] == tracking_preset
           and heard.index(("talker", {"talker": 3})) < len(heard) - 1, "events in this order: %s" % heard)
    state = client.request(11, "state")["result"]
    expect(state["talker"] == 3 and state["lastPreset"] == 3 and state["tracking"] == "on", "state: %s" % state)

    # Switched off, a talker calls no preset; the switch and a pause are events.
    session.sim("silence", array="shure")
    expect(client.request(12, "tracking.set", on=False)["result"] == {"tracking": "off"}, "tracking.set off")
    wait_until("the tracking event", lambda: ("tracking", {"tracking": "off", "pauseSeconds": None}) in
               [(e["event"], e["data"]) for e in iter(lambda: watcher.next_event(timeout=1), None)], 5)
    onset = session.sim("talk", array="shure", position=5)["time_ms"]
    time.sleep(2.2)  # longer than the trigger delay: a call would have been made by now
    expect(not any(v == 5 for t, _, v in session.writes(CALL_PRESET) if t >= onset), "tracking off called a preset")
    session.sim("silence", array="shure")
    expect(client.request(13, "tracking.set", on=True)["result"] == {"tracking": "on"}, "tracking.set on")
    expect(client.request(14, "tracking.pause", seconds=60)["result"] == {"tracking": "paused"}, "tracking.pause")
    code, out, err = vexctl(session, port, "tracking", "pause", "0")
    expect(code == 0 and json.loads(out) == {"tracking": "on"}, "vexctl app tracking pause 0: %s %s" % (out, err))

    code, out, err = vexctl(session, port, "state")
    expect(code == 0 and json.loads(out)["connected"] == CAMERA_LOCATION, "vexctl app state: %d %s %s"
           % (code, out, err))
    since = session.sim("journal")["next"]
    code, out, err = vexctl(session, port, "ptz", "right", "--for", "300")
    expect(code == 0, "vexctl app ptz: %d %s %s" % (code, out, err))
    values = [v for _, _, v in session.writes(PAN_TILT, since=since)]
    expect(values[:1] == [RIGHT] and values[-1:] == [STOP], "vexctl's timed move: %s" % values)
    expect(session.alive("app"), "the application ended")


def case_talker_returns_after_home(session):
    """A talker framed, then silence and home, then the same talker again: framed again (the
    return home does not leave a "preset called last" that swallows the call). Each decision
    is in the tracking log: on the control interface, printed by vexctl app events, and in the
    "Tracking log" window."""
    delay_ms, home_ms = 1000, 2000
    port = 18900 + int(session.address.rsplit(".", 1)[1])
    settings = seeded_settings(BRANDS["shure"], session.address, delay_ms=delay_ms, home_ms=home_ms)
    settings["ControlApi"] = {"Enabled": True, "Address": session.address, "Port": port, "Token": ""}
    start(session, "shure", settings=settings)
    wait_connected(session)
    wait_until("the control interface", lambda: port_open(session.address, port), 10)
    env = dict(session.env)
    env.pop("VEXSDK_SIM", None)
    events = subprocess.Popen([os.path.join(session.build_dir, "tools", "vexctl", "vexctl"), "app", "--address",
                               session.address, "--port", str(port), "events", "--only", "decision", "--count", "3"],
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        client = WebSocketClient(session.address, port)
        # Both connected (the interface counts its clients in its log): vexctl hears every
        # decision from now on.
        wait_until("vexctl app events to listen", lambda: events.poll() is None and "clients: 2" in session.log("app"),
                   10)
        track_once(session, "shure", {"position": 3}, 3, delay_ms, home_ms)
        again = session.sim("talk", array="shure", position=3)["time_ms"]
        t, _ = first_write_after(session, CALL_PRESET, again, value=3, timeout=delay_ms / 1000 + 3)
        expect(t - again >= delay_ms, "the returning talker was framed %.0f ms after the onset" % (t - again))

        log = client.request(2, "tracking.log")["result"]["decisions"]
        summary = [(d["action"], d["position"], d["preset"], d["reason"]) for d in log[:3]]
        expect(summary == [("preset", 3, 3, "trigger delay reached"), ("home", None, None, "silence"),
                           ("preset", 3, 3, "trigger delay reached")],
               "the tracking log, newest first: %s" % summary)
        expect(all(d["camera"] == CAMERA_LOCATION and d["time"] > 1.6e12 for d in log[:3]), "log entries: %s" % log)
        out, err = events.communicate(timeout=10)
        printed = [json.loads(line) for line in out.splitlines() if line.strip()]
        expect([(e["event"], e["data"]["action"]) for e in printed] == [("decision", "preset"),
                                                                         ("decision", "home"),
                                                                         ("decision", "preset")],
               "vexctl app events --only decision printed %s %s" % (printed, err))
    finally:
        if events.poll() is None:
            events.kill()
            events.wait()

    # The array page's "Tracking log": the same decisions, newest first, one line each.
    buttons = session.widgets("push button", "Tracking log")
    expect(len(buttons) == 1, "no \"Tracking log\" button on the array page")
    session.click(buttons[0])

    def lines():
        lists = session.widgets("list", "Tracking log")
        if not lists:
            return None
        found = []
        for i in range(lists[0].childCount):
            item = lists[0].getChildAtIndex(i)
            if item is not None and item.name:
                found.append(item.name)
        return found if len(found) >= 3 else None

    shown = wait_until("the tracking log's lines", lines, 10)
    expect("preset 3 for position 3" in shown[0] and "trigger delay reached" in shown[0]
           and "home" in shown[1] and "silence" in shown[1], "the Tracking log window shows %s" % shown[:3])
    expect(session.alive("app"), "the application ended")


# What turns a head: a preset recall, home, a continuous pan/tilt or zoom.
MOVES = (CALL_PRESET, HOME, "0x0027", "0x002a")


def moves(session, since):
    """The journal's head-moving writes from `since` on: (time_ms, camera, register, value)."""
    entries = session.sim("journal", since=since)["entries"]
    return [(e["time_ms"], e["camera"], e["register"], e["value"]) for e in entries if e.get("register") in MOVES]


def case_two_cameras(session):
    """Two cameras, each linked to the talkers on its side of the table: a talker at position 2
    turns camera A to its preset 2, then one at position 6 camera B to its preset 6. Nothing
    else moves: A is not sent to preset 6, B not to preset 2, and neither goes home."""
    delay_ms = 1000
    front = "1&2.4&1&0000"
    side = "1&2.5&1&0000"
    cam_a = dict(copy.deepcopy(CAMERA), room="default")
    cam_b = dict(copy.deepcopy(CAMERA), id="cam2", bus_port="1&2.5", room="blue")
    session.start_sim({"cameras": [cam_a, cam_b],
                       "arrays": [{"id": "shure", "brand": "shure", "address": session.address}]})
    settings = seeded_settings(BRANDS["shure"], session.address, delay_ms=delay_ms, home_ms=120000, cameras=2)
    settings["SeveralCameras"] = True
    settings["PresetLinkMap"] = {"ArrayPos%d" % n: n for n in range(1, 9)}
    settings["PresetLinkCameraMap"] = {"ArrayPos%d" % n: front if n <= 4 else side for n in range(1, 9)}
    settings["BackToHomeCameras"] = "all"
    locations = [c["LocationIdentity"] for c in settings["UsbCamerasArray"]]
    expect(locations == [front, side], "the seeded cameras: %s" % locations)
    session.seed(settings)
    session.start_app()

    # The two pictures are told apart at a glance: at the same view most of them differs.
    a = session.camera_picture("front", "cam1")
    b = session.camera_picture("side", "cam2")
    differing = session.pixels_differing(a, b)
    expect(differing > CAMERA["capabilities"][0]["width"] * CAMERA["capabilities"][0]["height"] // 2,
           "the two cameras' pictures differ in only %d pixels" % differing)

    def both_connected():
        rows = session.camera_list()
        return len(rows) == 2 and all(r["button"] == "Disconnect" and r["state"] == "Connected" for r in rows)

    wait_until("both saved cameras to connect", both_connected, 15)
    wait_until("the array link", lambda: session.array_status("shure")["connected"], 10)

    since = session.sim("journal")["next"]
    onset = session.sim("talk", array="shure", position=2)["time_ms"]

    def recall(camera, preset, after_ms):
        return next((t for t, c, r, v in moves(session, since) if t >= after_ms and c == camera and r == CALL_PRESET
                     and v == preset), None)

    t2 = wait_until("camera A's preset 2", lambda: recall("cam1", 2, onset), delay_ms / 1000 + 4)
    expect(t2 - onset >= delay_ms, "camera A's preset 2 %.0f ms after the onset, before the %d ms trigger delay"
           % (t2 - onset, delay_ms))
    wait_until("camera A to turn to seat 2",
               lambda: abs(session.camera_status("cam1")["view"]["pan"] - (-100)) < 0.5, 5)
    moved = session.sim("talk", array="shure", position=6)["time_ms"]
    t6 = wait_until("camera B's preset 6", lambda: recall("cam2", 6, moved), delay_ms / 1000 + 4)
    expect(t6 - moved >= delay_ms, "camera B's preset 6 %.0f ms after the onset, before the %d ms trigger delay"
           % (t6 - moved, delay_ms))
    wait_until("camera B to turn to seat 6", lambda: abs(session.camera_status("cam2")["view"]["pan"] - 60) < 0.5, 5)
    # Nothing to wait for when nothing may happen: the talker has gone on well past the delay.
    wait_until("the talker to talk past the delay", lambda: time.time() * 1000 >= t6 + delay_ms + 800, 5)
    seen = [(c, r, v) for _, c, r, v in moves(session, since)]
    expect(seen == [("cam1", CALL_PRESET, 2), ("cam2", CALL_PRESET, 6)],
           "the heads were moved by %s" % seen)
    expect(abs(session.camera_status("cam1")["view"]["pan"] - (-100)) < 0.5, "camera A left seat 2")
    expect(session.alive("app"), "the application ended")


def case_display_keeps_state(session):
    """The harness's own display: it does not reset when its last client leaves, so a tray
    panel starting slowly beside a look at the window tree is never refused. With only
    short-lived clients on it, a mark set by one is still there for the next; the panel,
    started again and again while such clients come and go, always makes its tray."""
    session.stop("atspi")
    session.stop("trayer")
    subprocess.run(["xprop", "-root", "-f", "_VEX_E2E_MARK", "8s", "-set", "_VEX_E2E_MARK", "kept"], env=session.env,
                   check=True, timeout=10)
    got = subprocess.run(["xprop", "-root", "_VEX_E2E_MARK"], env=session.env, capture_output=True, text=True,
                         timeout=10).stdout
    expect('"kept"' in got, "the display was reset when its last client left: %s" % got.strip())
    churn = subprocess.Popen(["sh", "-c", "while :; do xwininfo -root >/dev/null 2>&1; done"], env=session.env)
    try:
        for _ in range(8):
            session.stop("trayer")
            wait_until("the tray to go", lambda: not session.tray_owner(), 5)
            session._spawn("trayer", ["trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel",
                                      "--width", "120", "--height", "28"])
            wait_until("the tray again", lambda: session.alive("trayer") and session.tray_owner(), 10)
    finally:
        churn.kill()
        churn.wait()


class ViscaUdp:
    """A VISCA-over-IP controller: datagrams with the 8-byte header, the replies that come."""

    def __init__(self, host, port):
        self.target = (host, port)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((host, 0))

    def ask(self, kind, sequence, payload_hex, replies, timeout=5):
        payload = bytes.fromhex(payload_hex)
        self.sock.sendto(struct.pack(">HHI", kind, len(payload), sequence) + payload, self.target)
        out = []
        deadline = time.time() + timeout
        while len(out) < replies and time.time() < deadline:
            self.sock.settimeout(max(0.01, deadline - time.time()))
            try:
                data, _ = self.sock.recvfrom(2048)
            except socket.timeout:
                break
            out.append(data)
        return out


def case_visca(session):
    """A room controller speaks VISCA over IP to the running application: the camera gets its
    port pair when it connects (saved), a preset is recalled (a lost reply's retry is answered,
    not executed again), the head moves and stops, zooms and focuses; a position inquiry is
    refused at once; plain VISCA over TCP on the pair's TCP port; the preset event names
    "visca"."""
    octet = int(session.address.rsplit(".", 1)[1])
    udp, tcp, api = 31000 + 2 * octet, 32000 + 2 * octet, 18900 + octet
    settings = seeded_settings(BRANDS["shure"], session.address)
    settings["ControlApi"] = {"Enabled": True, "Address": session.address, "Port": api, "Token": ""}
    settings["Visca"] = {"Enabled": True, "Address": session.address, "UdpPort": udp, "TcpPort": tcp,
                         "AllowedPeers": [], "Ports": {}}
    start(session, "shure", settings=settings)
    wait_connected(session)

    def saved_ports():
        try:
            with open(session.settings_file) as f:
                return json.load(f).get("Visca", {}).get("Ports", {})
        except (OSError, ValueError):
            return {}

    ports = wait_until("the camera's VISCA ports in the settings", lambda: saved_ports() or None, 10)
    expect(ports == {CAMERA_LOCATION: udp}, "the saved VISCA ports: %s" % ports)
    wait_until("the control interface", lambda: port_open(session.address, api), 10)
    watcher = WebSocketClient(session.address, api)
    expect(watcher.request(1, "tracking.pause", seconds=0)["result"]["tracking"] == "on", "tracking not on")
    watcher.events.clear()

    since = session.sim("journal")["next"]
    client = ViscaUdp(session.address, udp)
    reset = client.ask(0x0200, 7, "01", 1)
    expect(reset == [bytes.fromhex("0201000100000007" "01")], "RESET answered %s" % reset)
    recall = [bytes.fromhex("0111000300000000" "9041ff"), bytes.fromhex("0111000300000000" "9051ff")]
    got = client.ask(0x0100, 0, "8101043f0204ff", 2)
    expect(got == recall, "preset 4 answered %s" % got)
    got = client.ask(0x0100, 0, "8101043f0204ff", 2)  # the controller lost the replies
    expect(got == recall, "the retry of preset 4 answered %s" % got)
    for sequence, payload, what in ((1, "8101060108080103ff", "left"), (2, "8101060108080303ff", "stop"),
                                    (3, "8101040702ff", "zoom tele"), (4, "8101040802ff", "focus far")):
        got = client.ask(0x0100, sequence, payload, 2)
        expect([g[8:] for g in got] == [bytes.fromhex("9041ff"), bytes.fromhex("9051ff")],
               "%s answered %s" % (what, got))
    position = client.ask(0x0110, 5, "81090612ff", 1)
    expect(len(position) == 1 and position[0].endswith(bytes.fromhex("41ff")),
           "the position inquiry answered %s" % position)

    expected = [(CALL_PRESET, 4), ("0x0027", 0x13), ("0x0027", 0x33), ("0x002a", 0x21), ("0x002b", 0x21)]

    def journal():
        entries = session.sim("journal", since=since)["entries"]
        return [(e["register"], e["value"]) for e in entries if e.get("register") in dict(expected)]

    seen = wait_until("the controller's commands at the camera",
                      lambda: journal() if len(journal()) >= len(expected) else None, 10)
    expect(seen == expected, "the camera was written %s" % seen)

    events = []
    while not any(e["event"] == "preset" for e in events):
        e = watcher.next_event(timeout=3)
        expect(e is not None, "no preset event after VISCA's recall: %s" % events)
        events.append(e)
    preset = next(e for e in events if e["event"] == "preset")
    expect(preset["data"] == {"lastPreset": 4, "by": "visca", "camera": CAMERA_LOCATION},
           "the preset event: %s" % preset)

    # Plain VISCA over TCP, the message split across two writes as a byte stream may be.
    since = session.sim("journal")["next"]
    stream = socket.create_connection((session.address, tcp), timeout=5)
    stream.sendall(bytes.fromhex("8101043f"))
    stream.sendall(bytes.fromhex("0206ff"))
    got = b""
    deadline = time.time() + 5
    while len(got) < 6 and time.time() < deadline:
        chunk = stream.recv(64)
        if not chunk:
            break
        got += chunk
    stream.close()
    expect(got == bytes.fromhex("9041ff9051ff"), "preset 6 over TCP answered %s" % got.hex())
    wait_until("preset 6 at the camera", lambda: any(v == 6 for _, _, v in session.writes(CALL_PRESET, since=since)),
               10)
    expect(session.alive("app"), "the application ended")


CASES = {
    "shure_tracking": (case_tracking("shure", {"position": 3}, 3), 11),
    "sennheiser_tracking": (case_tracking("sennheiser", {"azimuth": 100}, 3), 12),
    "nureva_tracking": (case_tracking("nureva", {"azimuth": 25}, 6), 13),
    "yamaha_tracking": (case_tracking("yamaha", {"azimuth": -100}, 2), 14),
    "shure_auto_coverage": (case_shure_auto_coverage, 19),
    "hotplug": (case_hotplug, 15),
    "link_drop": (case_link_drop, 16),
    "reconnect": (case_reconnect, 21),
    "tracking_controls": (case_tracking_controls, 22),
    "minimum_hold": (case_minimum_hold, 23),
    "several_talkers": (case_several_talkers, 24),
    "restart": (case_restart, 17),
    "garbage": (case_garbage, 18),
    "panel": (case_panel, 20),
    "control_api_token": (case_control_api_token, 25),
    "control_api_loopback": (case_control_api_loopback, 26),
    "display_keeps_state": (case_display_keeps_state, 27),
    "talker_returns_after_home": (case_talker_returns_after_home, 28),
    "two_cameras": (case_two_cameras, 29),
    "camera_back_after_unplug": (case_camera_back_after_unplug, 31),
    "visca": (case_visca, 30),
}

if __name__ == "__main__":
    sys.exit(run(CASES))
