// The room page: speaks the control interface's WebSocket protocol, nothing else. The token
// (when the interface has one) lives in this tab's sessionStorage only: never a cookie, never
// the address. Everything shown from the server goes in as text, never as markup.
"use strict";

(() => {
  const NOT_AUTHENTICATED = 3;
  const TOKEN_KEY = "vantorreda.token";
  const RETRY_MS = [1000, 2000, 5000, 10000];

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
    view.room.hidden = true;
    view.signIn.hidden = false;
    view.signInError.textContent = message || "";
    view.token.value = "";
    view.token.focus();
  }

  function showRoom() {
    waitingForToken = false;
    view.signIn.hidden = true;
    view.room.hidden = false;
    view.signOut.hidden = !storedToken();
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
    socket = ws;
    ws.addEventListener("open", () => {
      if (ws !== socket) return;
      retries = 0;
      setLink("Connected", "up");
      const token = storedToken();
      if (token) ws.send(JSON.stringify({ auth: token }));
      else refresh();
    });
    ws.addEventListener("message", (event) => {
      if (ws === socket) onMessage(event.data);
    });
    ws.addEventListener("close", () => {
      if (ws !== socket) return;
      socket = null;
      failAll("connection closed");
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

  function onEvent(name) {
    if (name === "cameras" || name === "camera") refresh();
  }

  function refresh() {
    request("state").then(
      (state) => {
        showRoom();
        showCameras(state);
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
