// The room page: speaks the control interface's WebSocket protocol, nothing else. The token
// (when the interface has one) lives in this tab's sessionStorage only: never a cookie, never
// the address. Everything shown from the server goes in as text, never as markup.
"use strict";

(() => {
  const NOT_AUTHENTICATED = 3;
  const TOKEN_KEY = "vantorreda.token";
  const RETRY_MS = [1000, 2000, 5000, 10000];
  const PICTURE_WIDTH = 640; // the most the server sends
  const MAX_DECISIONS = 100; // the log keeps the newest this many
  const POSITIONS = 8;

  const $ = (id) => document.getElementById(id);
  const view = {
    linkState: $("link-state"),
    signIn: $("sign-in"),
    signInForm: $("sign-in-form"),
    token: $("token"),
    signInError: $("sign-in-error"),
    room: $("room"),
    signOut: $("sign-out"),
    cameraList: $("camera-list"),
    noCameras: $("no-cameras"),
    roomError: $("room-error"),
    live: $("live"),
    liveCamera: $("live-camera"),
    picture: $("picture"),
    pictureState: $("picture-state"),
    steer: $("steer"),
    steerError: $("steer-error"),
    trackingPanel: $("tracking-panel"),
    tracking: $("tracking"),
    pauseLength: $("pause-length"),
    pause: $("pause"),
    resume: $("resume"),
    trackingState: $("tracking-state"),
    arrayLink: $("array-link"),
    lights: $("lights"),
    talker: $("talker"),
    trackingError: $("tracking-error"),
    logPanel: $("log-panel"),
    decisions: $("decisions"),
    noDecisions: $("no-decisions"),
  };

  let socket = null;
  let nextId = 1;
  const pending = new Map(); // id -> {resolve, reject}
  let waitingForToken = false; // the server wants a token we do not have (or was refused)
  let retries = 0;
  let retryTimer = null;

  function storedToken() {
    try {
      return sessionStorage.getItem(TOKEN_KEY) || "";
    } catch (e) {
      return "";
    }
  }

  function storeToken(token) {
    try {
      if (token) sessionStorage.setItem(TOKEN_KEY, token);
      else sessionStorage.removeItem(TOKEN_KEY);
    } catch (e) {
      // Storage switched off: the token lasts as long as this connection.
    }
  }

  function setLink(text, kind) {
    view.linkState.textContent = text;
    view.linkState.classList.toggle("up", kind === "up");
    view.linkState.classList.toggle("down", kind === "down");
  }

  function showSignIn(message) {
    waitingForToken = true;
    hideRoom();
    view.signIn.hidden = false;
    view.signInError.textContent = message || "";
    view.token.value = "";
    view.token.focus();
  }

  function showRoom() {
    waitingForToken = false;
    view.signIn.hidden = true;
    for (const panel of [view.room, view.live, view.steer, view.trackingPanel, view.logPanel]) panel.hidden = false;
    view.signOut.hidden = !storedToken();
  }

  function hideRoom() {
    for (const panel of [view.room, view.live, view.steer, view.trackingPanel, view.logPanel]) panel.hidden = true;
  }

  function request(method, params) {
    return new Promise((resolve, reject) => {
      if (!socket || socket.readyState !== WebSocket.OPEN) {
        reject(new Error("not connected"));
        return;
      }
      const id = nextId++;
      pending.set(id, { resolve, reject });
      socket.send(JSON.stringify({ id, method, params: params || {} }));
    });
  }

  function failAll(reason) {
    for (const { reject } of pending.values()) reject(new Error(reason));
    pending.clear();
  }

  function connect() {
    clearTimeout(retryTimer);
    retryTimer = null;
    if (socket) socket.close();
    setLink("Connecting…");
    // The page's own address: the only origin the server lets in.
    const ws = new WebSocket(`ws://${location.host}/`);
    ws.binaryType = "blob";
    socket = ws;
    signedIn = false;
    picture.camera = null;
    ws.addEventListener("open", () => {
      if (ws !== socket) return;
      retries = 0;
      setLink("Connected", "up");
      const token = storedToken();
      if (token) ws.send(JSON.stringify({ auth: token }));
      else refresh();
    });
    ws.addEventListener("message", (event) => {
      if (ws !== socket) return;
      if (typeof event.data === "string") onMessage(event.data);
      else showPicture(event.data);
    });
    ws.addEventListener("close", () => {
      if (ws !== socket) return;
      socket = null;
      signedIn = false;
      failAll("connection closed");
      // The server stops whatever this page moved when its connection goes.
      releaseAll();
      picture.camera = null;
      setPictureState("No picture");
      if (waitingForToken) {
        setLink("Signed out", "down");
        return;
      }
      const delay = RETRY_MS[Math.min(retries, RETRY_MS.length - 1)];
      retries += 1;
      setLink(`Connection lost, trying again in ${Math.round(delay / 1000)} s`, "down");
      retryTimer = setTimeout(connect, delay);
    });
  }

  function onMessage(data) {
    let message;
    try {
      message = JSON.parse(data);
    } catch (e) {
      return;
    }
    if (!message || typeof message !== "object") return;
    if (message.auth === "ok") {
      refresh();
      return;
    }
    if (message.event) {
      onEvent(message.event, message.data || {});
      return;
    }
    const error = message.error;
    if (error && error.code === NOT_AUTHENTICATED) {
      // The server closes the connection after this; ask for the token instead of retrying.
      const hadToken = !!storedToken();
      storeToken("");
      failAll("not authenticated");
      showSignIn(hadToken ? "That token was refused." : "");
      return;
    }
    const waiter = pending.get(message.id);
    if (!waiter) return;
    pending.delete(message.id);
    if (error) waiter.reject(new Error(String(error.message || "error")));
    else waiter.resolve(message.result || {});
  }

  function onEvent(name, data) {
    if (name === "cameras" || name === "camera") refresh();
    else if (name === "link") showArray(data.array);
    else if (name === "talker") showTalker(data.talker);
    else if (name === "lights") showLights(data.lights);
    else if (name === "tracking") showTracking(data.tracking, data.pauseSeconds);
    else if (name === "decision") addDecisions([data]);
    else if (name === "preset") showLastPreset(data.lastPreset);
  }

  function refresh() {
    request("state").then(
      (state) => {
        const first = !signedIn;
        signedIn = true;
        showRoom();
        showCameras(state);
        showArray(state.array);
        showTalker(state.talker);
        showLights(state.lights);
        showTracking(state.tracking, state.pauseSeconds);
        showLastPreset(state.lastPreset);
        steered = typeof state.connected === "string" ? state.connected : null;
        updatePicture();
        if (first) loadDecisions();
      },
      () => {}
    );
  }

  // ---- the live picture ----------------------------------------------------------------------

  let signedIn = false; // the state has been read on this connection
  let steered = null; // the camera the panel steers, as the server names it
  // camera: what picture.start asked for on this connection (null: nothing asked);
  // url: the blob URL shown; next: a picture that came while the last was still loading.
  const picture = { camera: null, url: null, loading: false, next: null };

  function setPictureState(text) {
    view.pictureState.textContent = text;
    if (text) {
      view.picture.hidden = true;
      if (picture.url) URL.revokeObjectURL(picture.url);
      picture.url = null;
      view.picture.removeAttribute("src");
    }
  }

  // Pictures only while the page is seen: a hidden tab asks the server to stop sending them.
  function updatePicture() {
    const wanted = signedIn && document.visibilityState === "visible" ? steered : null;
    view.liveCamera.textContent = steered || "";
    if (wanted === picture.camera) return;
    if (!wanted) {
      if (picture.camera) request("picture.stop").catch(() => {});
      picture.camera = null;
      setPictureState(steered ? "Paused while the page is hidden" : "No camera connected");
      return;
    }
    picture.camera = wanted;
    request("picture.start", { camera: wanted, width: PICTURE_WIDTH }).catch((e) => {
      if (picture.camera === wanted) picture.camera = null;
      setPictureState(`No picture: ${e.message}`);
    });
  }

  function showPicture(blob) {
    if (!picture.camera) return;
    if (picture.loading) {
      picture.next = blob; // newest only
      return;
    }
    picture.loading = true;
    const url = URL.createObjectURL(new Blob([blob], { type: "image/jpeg" }));
    const old = picture.url;
    picture.url = url;
    view.picture.src = url;
    if (old) URL.revokeObjectURL(old);
  }

  function pictureSettled() {
    picture.loading = false;
    const next = picture.next;
    picture.next = null;
    if (next) showPicture(next);
  }

  view.picture.addEventListener("load", () => {
    view.picture.hidden = false;
    view.pictureState.textContent = "";
    pictureSettled();
  });
  view.picture.addEventListener("error", pictureSettled);
  document.addEventListener("visibilitychange", () => {
    if (document.visibilityState !== "visible") releaseAll();
    updatePicture();
  });

  // ---- steering: press and hold moves, release stops -------------------------------------------

  // The held control's stop request, by pointer id ("key" for the keyboard).
  const held = new Map();

  function stopFor(button) {
    if (button.dataset.direction) return ["ptz.stop", {}];
    if (button.dataset.zoom) return ["zoom", { action: "stop" }];
    return ["focus", { action: "stop" }];
  }

  function startFor(button) {
    if (button.dataset.direction) return ["ptz.move", { direction: button.dataset.direction }];
    if (button.dataset.zoom) return ["zoom", { action: button.dataset.zoom }];
    return ["focus", { action: button.dataset.focus }];
  }

  function steerFailed(e) {
    view.steerError.textContent = e.message;
  }

  function press(button, key) {
    if (held.has(key)) return;
    const [method, params] = startFor(button);
    const stop = stopFor(button);
    held.set(key, { button, stop });
    button.classList.add("held");
    view.steerError.textContent = "";
    request(method, params).catch(steerFailed);
  }

  function release(key) {
    const hold = held.get(key);
    if (!hold) return;
    held.delete(key);
    hold.button.classList.remove("held");
    request(hold.stop[0], hold.stop[1]).catch(() => {});
  }

  function releaseAll() {
    for (const key of [...held.keys()]) release(key);
  }

  for (const button of document.querySelectorAll("[data-direction], [data-zoom], [data-focus]")) {
    button.addEventListener("pointerdown", (event) => {
      if (event.button !== 0) return;
      event.preventDefault();
      // A touch is captured by its button by default, which would keep the move going after
      // the finger slid off it: let go, so that leaving the button stops too.
      if (button.hasPointerCapture(event.pointerId)) button.releasePointerCapture(event.pointerId);
      press(button, event.pointerId);
    });
    for (const type of ["pointerup", "pointercancel", "pointerleave"]) {
      button.addEventListener(type, (event) => release(event.pointerId));
    }
    button.addEventListener("contextmenu", (event) => event.preventDefault());
    // The keyboard holds too: Space or Enter down moves, up stops; leaving the button stops.
    button.addEventListener("keydown", (event) => {
      if ((event.key === " " || event.key === "Enter") && !event.repeat) {
        event.preventDefault();
        press(button, "key");
      }
    });
    button.addEventListener("keyup", (event) => {
      if (event.key === " " || event.key === "Enter") release("key");
    });
    button.addEventListener("blur", () => release("key"));
  }
  window.addEventListener("blur", releaseAll);

  for (const button of document.querySelectorAll("[data-home]")) {
    button.addEventListener("click", () => request("ptz.move", { direction: "home" }).catch(steerFailed));
  }
  for (const button of document.querySelectorAll("[data-preset]")) {
    button.addEventListener("click", () =>
      request("preset.call", { preset: Number(button.dataset.preset) }).catch(steerFailed)
    );
  }
  for (const button of document.querySelectorAll("[data-save]")) {
    button.addEventListener("click", () => {
      view.steerError.textContent = "";
      request("preset.save", { preset: Number(button.dataset.save) }).then(
        () => {
          view.steerError.textContent = `Preset ${button.dataset.save} saved`;
        },
        steerFailed
      );
    });
  }

  function showLastPreset(preset) {
    for (const button of document.querySelectorAll("[data-preset]")) {
      const last = Number(button.dataset.preset) === preset;
      button.classList.toggle("last", last);
      if (last) button.setAttribute("aria-current", "true");
      else button.removeAttribute("aria-current");
    }
  }

  // ---- tracking, the array, the talker, the decisions -----------------------------------------

  let tracking = "";
  let pauseEndsAt = 0; // Date.now() when the pause ends; 0: not paused
  let countdown = null;

  function formatSeconds(seconds) {
    const s = Math.max(0, Math.ceil(seconds));
    const m = Math.floor(s / 60);
    return m > 0 ? `${m}:${String(s % 60).padStart(2, "0")}` : `${s} s`;
  }

  function showTrackingText() {
    let text = "Tracking: on";
    if (tracking === "off") text = "Tracking: off";
    else if (tracking === "paused") {
      const left = pauseEndsAt ? (pauseEndsAt - Date.now()) / 1000 : 0;
      text = left > 0 ? `Tracking: paused, ${formatSeconds(left)} left` : "Tracking: paused";
      if (pauseEndsAt && left <= 0) {
        // The pause is over by now: what the server says comes with its event.
        clearInterval(countdown);
        countdown = null;
      }
    } else if (!tracking) text = "Tracking: …";
    view.trackingState.textContent = text;
  }

  function showTracking(state, pauseSeconds) {
    tracking = typeof state === "string" ? state : "";
    view.tracking.setAttribute("aria-pressed", tracking === "off" ? "false" : "true");
    view.tracking.textContent = tracking === "off" ? "Tracking off" : "Tracking on";
    view.resume.disabled = tracking !== "paused";
    view.pause.disabled = tracking === "off";
    view.trackingState.classList.toggle("paused", tracking === "paused");
    view.trackingState.classList.toggle("on", tracking === "on");
    clearInterval(countdown);
    countdown = null;
    pauseEndsAt = 0;
    if (tracking === "paused" && typeof pauseSeconds === "number" && pauseSeconds > 0) {
      pauseEndsAt = Date.now() + pauseSeconds * 1000;
      countdown = setInterval(showTrackingText, 1000);
    }
    showTrackingText();
  }

  function trackingFailed(e) {
    view.trackingError.textContent = e.message;
  }

  // The answer names the new state only; the seconds left come with the state.
  function trackingChanged() {
    view.trackingError.textContent = "";
    request("state").then((state) => showTracking(state.tracking, state.pauseSeconds), () => {});
  }

  view.tracking.addEventListener("click", () => {
    request("tracking.set", { on: tracking === "off" }).then(trackingChanged, trackingFailed);
  });
  view.pause.addEventListener("click", () => {
    request("tracking.pause", { seconds: Number(view.pauseLength.value) }).then(trackingChanged, trackingFailed);
  });
  view.resume.addEventListener("click", () => {
    request("tracking.pause", { seconds: 0 }).then(trackingChanged, trackingFailed);
  });

  function showArray(array) {
    const link = array && typeof array.link === "string" ? array.link : "down";
    const words = { up: "connected", down: "not connected", reconnecting: "reconnecting" };
    const device = array && array.device ? String(array.device) : "";
    const address = array && array.address ? String(array.address) : "";
    const what = [device, address].filter((t) => t).join(" at ");
    view.arrayLink.textContent = `Array${what ? ` (${what})` : ""}: ${words[link] || link}`;
    for (const kind of Object.keys(words)) view.arrayLink.classList.toggle(kind, kind === link);
  }

  let talking = null; // the talker's position
  let lit = new Set(); // the positions whose lights are on

  function showPositions() {
    for (const light of view.lights.children) {
      const position = Number(light.dataset.position);
      const on = lit.has(position);
      const talks = position === talking;
      light.classList.toggle("lit", on);
      light.classList.toggle("talking", talks);
      const words = [talks ? "talking" : "", on ? "lit" : ""].filter((w) => w).join(", ");
      light.setAttribute("aria-label", `Position ${position}${words ? `, ${words}` : ""}`);
    }
    view.talker.textContent = talking ? `Talker at position ${talking}` : "No talker";
  }

  function showTalker(talker) {
    talking = Number.isInteger(talker) && talker >= 1 && talker <= POSITIONS ? talker : null;
    showPositions();
  }

  function showLights(lights) {
    const list = Array.isArray(lights) ? lights : [];
    lit = new Set(list.filter((p) => Number.isInteger(p) && p >= 1 && p <= POSITIONS));
    showPositions();
  }

  function decisionText(d) {
    const parts = [];
    const action = String(d.action || "");
    if (action === "preset") parts.push(`Preset ${d.preset}`);
    else if (action === "home") parts.push("Home");
    else if (action === "several") parts.push("Several talkers");
    else if (action === "dropped") parts.push("No move");
    else parts.push(action);
    if (d.position !== null && d.position !== undefined) parts.push(`position ${d.position}`);
    if (d.camera) parts.push(String(d.camera));
    const text = parts.join(", ");
    return d.reason ? `${text}: ${d.reason}` : text;
  }

  function decisionItem(d) {
    const item = document.createElement("li");
    const time = document.createElement("span");
    time.className = "decision-time";
    const when = new Date(Number(d.time));
    time.textContent = Number.isFinite(when.getTime()) ? when.toLocaleTimeString() : "";
    item.append(time, decisionText(d));
    return item;
  }

  // `list` oldest first; each goes on top, and the log keeps the newest MAX_DECISIONS.
  function addDecisions(list) {
    for (const d of list) {
      if (d && typeof d === "object") view.decisions.prepend(decisionItem(d));
    }
    while (view.decisions.children.length > MAX_DECISIONS) view.decisions.lastElementChild.remove();
    view.noDecisions.hidden = view.decisions.children.length > 0;
  }

  function loadDecisions() {
    request("tracking.log", { count: MAX_DECISIONS }).then(
      (result) => {
        view.decisions.replaceChildren();
        const list = Array.isArray(result.decisions) ? result.decisions.slice() : [];
        addDecisions(list.reverse()); // the server answers newest first
      },
      () => {}
    );
  }

  function cameraLabel(camera, all) {
    const name = camera.shortName || camera.model || "Camera";
    const same = all.filter((c) => (c.shortName || c.model || "Camera") === name).length;
    return same > 1 ? `${name} (${camera.location})` : name;
  }

  function showCameras(state) {
    const cameras = Array.isArray(state.cameras) ? state.cameras : [];
    const connected = Array.isArray(state.connectedCameras) ? state.connectedCameras : [];
    const byLocation = new Map(connected.map((c) => [String(c.location).toLowerCase(), c]));
    const rows = cameras.map((c) => {
      const detail = byLocation.get(String(c.location).toLowerCase()) || {};
      return {
        location: String(c.location),
        model: String(c.model || ""),
        shortName: String(detail.shortName || ""),
        connected: !!c.connected,
        steered: !!detail.steered,
      };
    });
    view.cameraList.replaceChildren(...rows.map((row) => cameraItem(row, rows)));
    view.noCameras.hidden = rows.length > 0;
  }

  function cameraItem(row, rows) {
    const label = cameraLabel(row, rows);
    const item = document.createElement("li");
    item.className = "camera";

    const text = document.createElement("div");
    const name = document.createElement("div");
    name.className = "camera-name";
    name.textContent = label;
    const detail = document.createElement("div");
    detail.className = "camera-detail";
    const stateText = document.createElement("span");
    stateText.className = "camera-state" + (row.connected ? " connected" : "");
    stateText.textContent = row.connected ? (row.steered ? "Connected, steered" : "Connected") : "Not connected";
    detail.append(stateText, ` · ${row.model} · ${row.location}`);
    text.append(name, detail);

    const button = document.createElement("button");
    button.type = "button";
    button.textContent = row.connected ? "Disconnect" : "Connect";
    button.setAttribute("aria-label", `${row.connected ? "Disconnect" : "Connect"} ${label}`);
    button.addEventListener("click", () => {
      button.disabled = true;
      view.roomError.textContent = "";
      const method = row.connected ? "camera.disconnect" : "camera.connect";
      request(method, { location: row.location })
        .catch((e) => {
          view.roomError.textContent = `${button.textContent} ${label}: ${e.message}`;
        })
        .finally(refresh);
    });
    item.append(text, button);
    return item;
  }

  view.signInForm.addEventListener("submit", (event) => {
    event.preventDefault();
    const token = view.token.value.trim();
    if (!token) return;
    storeToken(token);
    view.token.value = "";
    waitingForToken = false;
    view.signInError.textContent = "";
    connect();
  });

  view.signOut.addEventListener("click", () => {
    storeToken("");
    waitingForToken = true;
    if (socket) socket.close();
    showSignIn("");
  });

  connect();
})();
