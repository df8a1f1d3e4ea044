// The room page's script under Node, on a stand-in of its page (the elements of index.html)
// and of its WebSocket: what it sends when controls are pressed and released, when the page
// is hidden and shown, and what it shows of what the server says. No browser: the browser
// tests drive the real page; this one finds the script's own faults quickly.
"use strict";

const assert = require("assert");
const fs = require("fs");
const path = require("path");
const vm = require("vm");

const webDir = process.argv[2] || path.join(__dirname, "../../../app/resources/web");
const html = fs.readFileSync(path.join(webDir, "index.html"), "utf8");
const script = fs.readFileSync(path.join(webDir, "app.js"), "utf8");

// ---- a stand-in page ---------------------------------------------------------------------------

class Element {
  constructor(tag, attributes) {
    this.tagName = tag.toUpperCase();
    this.attributes = attributes;
    this.dataset = {};
    for (const [name, value] of Object.entries(attributes)) {
      if (name.startsWith("data-")) this.dataset[name.slice(5).replace(/-(.)/g, (m, c) => c.toUpperCase())] = value;
    }
    this.id = attributes.id || "";
    this.hidden = "hidden" in attributes;
    this.disabled = "disabled" in attributes;
    this.value = attributes.value || "";
    this.listeners = {};
    this.children = [];
    this.parent = null;
    this._text = "";
    this.src = "";
    const classes = new Set((attributes.class || "").split(/\s+/).filter((c) => c));
    this.classList = {
      add: (c) => classes.add(c),
      remove: (c) => classes.delete(c),
      toggle: (c, on) => ((on === undefined ? !classes.has(c) : on) ? classes.add(c) : classes.delete(c)),
      contains: (c) => classes.has(c),
    };
    this.captured = new Set();
  }
  set className(v) {
    this.attributes.class = v;
  }
  get textContent() {
    return this._text + this.children.map((c) => (typeof c === "string" ? c : c.textContent)).join("");
  }
  set textContent(v) {
    this._text = String(v);
    this.children = [];
  }
  setAttribute(n, v) {
    this.attributes[n] = String(v);
  }
  getAttribute(n) {
    return n in this.attributes ? this.attributes[n] : null;
  }
  removeAttribute(n) {
    delete this.attributes[n];
  }
  addEventListener(type, f) {
    (this.listeners[type] = this.listeners[type] || []).push(f);
  }
  dispatch(type, fields) {
    const event = Object.assign({ type, target: this, preventDefault() {}, button: 0 }, fields || {});
    for (const f of this.listeners[type] || []) f(event);
  }
  append(...nodes) {
    for (const n of nodes) {
      if (typeof n !== "string") n.parent = this;
      this.children.push(n);
    }
  }
  prepend(node) {
    node.parent = this;
    this.children.unshift(node);
  }
  replaceChildren(...nodes) {
    this.children = [];
    this._text = "";
    this.append(...nodes);
  }
  remove() {
    if (this.parent) this.parent.children = this.parent.children.filter((c) => c !== this);
  }
  get lastElementChild() {
    return this.children[this.children.length - 1] || null;
  }
  focus() {}
  hasPointerCapture(id) {
    return this.captured.has(id);
  }
  releasePointerCapture(id) {
    this.captured.delete(id);
  }
  // The name a screen reader and the browser tests find it by.
  get accessibleName() {
    return this.attributes["aria-label"] || this.textContent;
  }
}

// Every element of the page (a flat list; the lights and presets are kept as children of
// their lists, which is all the script walks).
const elements = [];
{
  const stack = [];
  const tagPattern = /<(\/?)([a-zA-Z0-9]+)([^>]*?)(\/?)>|([^<]+)/g;
  const voidTags = new Set(["meta", "link", "input", "img", "br", "option"]);
  let m;
  while ((m = tagPattern.exec(html))) {
    if (m[5] !== undefined) {
      const text = m[5].trim();
      if (text && stack.length) stack[stack.length - 1]._text += text;
      continue;
    }
    const [, closing, tag] = m;
    if (closing) {
      while (stack.length && stack.pop().tagName !== tag.toUpperCase());
      continue;
    }
    const attributes = {};
    for (const a of m[3].matchAll(/([a-zA-Z-]+)(?:="([^"]*)")?/g)) attributes[a[1]] = a[2] === undefined ? "" : a[2];
    const element = new Element(tag, attributes);
    elements.push(element);
    if (stack.length) stack[stack.length - 1].append(element);
    if (!voidTags.has(tag.toLowerCase()) && !m[4]) stack.push(element);
  }
}

// A select's value is its selected option's.
for (const select of elements.filter((e) => e.tagName === "SELECT")) {
  const options = elements.filter((e) => e.tagName === "OPTION" && elements.indexOf(e) > elements.indexOf(select));
  const chosen = options.find((o) => "selected" in o.attributes) || options[0];
  select.value = chosen ? chosen.attributes.value : "";
}

const byId = (id) => elements.find((e) => e.id === id) || null;
const byName = (name) => {
  const found = elements.filter((e) => e.tagName === "BUTTON" && e.accessibleName === name);
  assert.strictEqual(found.length, 1, `one control named "${name}"`);
  return found[0];
};

const documentListeners = {};
const document = {
  visibilityState: "visible",
  getElementById: byId,
  createElement: (tag) => new Element(tag, {}),
  addEventListener: (type, f) => (documentListeners[type] = documentListeners[type] || []).push(f),
  querySelectorAll(selector) {
    const names = selector.split(",").map((s) => s.trim().replace(/^\[|\]$/g, ""));
    return elements.filter((e) => names.some((n) => n in e.attributes));
  },
};

// ---- a stand-in socket and clock ---------------------------------------------------------------

const sockets = [];
class FakeSocket {
  constructor(url) {
    this.url = url;
    this.readyState = 0;
    this.sent = [];
    this.listeners = {};
    sockets.push(this);
  }
  static get OPEN() {
    return 1;
  }
  addEventListener(type, f) {
    (this.listeners[type] = this.listeners[type] || []).push(f);
  }
  fire(type, event) {
    for (const f of this.listeners[type] || []) f(event || {});
  }
  open() {
    this.readyState = 1;
    this.fire("open");
  }
  send(text) {
    this.sent.push(JSON.parse(text));
  }
  close() {
    this.readyState = 3;
    this.fire("close");
  }
  // The requests sent so far, and forgets them.
  take() {
    const sent = this.sent;
    this.sent = [];
    return sent;
  }
  reply(request, result) {
    this.fire("message", { data: JSON.stringify({ id: request.id, result }) });
  }
  event(name, data) {
    this.fire("message", { data: JSON.stringify({ event: name, data }) });
  }
}

let now = 1_000_000;
const intervals = new Map();
let nextTimer = 1;
const urls = { made: 0, revoked: new Set() };
const storage = new Map();

const context = {
  document,
  window: { addEventListener() {} },
  location: { host: "127.0.0.1:8940" },
  WebSocket: FakeSocket,
  sessionStorage: {
    getItem: (k) => (storage.has(k) ? storage.get(k) : null),
    setItem: (k, v) => storage.set(k, String(v)),
    removeItem: (k) => storage.delete(k),
  },
  URL: {
    createObjectURL: () => `blob:${++urls.made}`,
    revokeObjectURL: (u) => urls.revoked.add(u),
  },
  Blob: class {
    constructor(parts, options) {
      this.parts = parts;
      this.type = options && options.type;
    }
  },
  Date: class extends Date {
    static now() {
      return now;
    }
  },
  setTimeout: () => nextTimer++,
  clearTimeout: () => {},
  setInterval: (f) => {
    const id = nextTimer++;
    intervals.set(id, f);
    return id;
  },
  clearInterval: (id) => intervals.delete(id),
  Promise,
  JSON,
  Map,
  Number,
  String,
  Array,
  Object,
  Math,
  Error,
  console,
};
vm.createContext(context);
vm.runInContext(script, context, { filename: "app.js" });

// Lets the promises of the replies run.
const settle = () => new Promise((resolve) => setImmediate(resolve));

function only(socket, method) {
  const sent = socket.take().filter((r) => r.method === method);
  assert.strictEqual(sent.length, 1, `one ${method}`);
  return sent[0];
}

const room = {
  cameras: [{ location: "1&2.4&1&0000", model: "ZM-150", connected: true }],
  connected: "1&2.4&1&0000",
  connectedCameras: [{ location: "1&2.4&1&0000", model: "ZM-150", shortName: "", steered: true, default: true }],
  array: { device: "Sennheiser", address: "10.0.0.5", link: "up" },
  tracking: "on",
  talker: 3,
  lastPreset: 2,
  pauseSeconds: null,
};

async function main() {
  assert.strictEqual(sockets.length, 1);
  const ws = sockets[0];
  assert.strictEqual(ws.url, "ws://127.0.0.1:8940/");
  ws.open();

  // Signed in without a token: the state, then the picture of the steered camera and the log.
  ws.reply(only(ws, "state"), room);
  await settle();
  const sent = ws.take();
  const start = sent.find((r) => r.method === "picture.start");
  assert.deepStrictEqual(start.params, { camera: "1&2.4&1&0000", width: 640 });
  const log = sent.find((r) => r.method === "tracking.log");
  assert.ok(log.params.count >= 1 && log.params.count <= 500);
  assert.strictEqual(byId("live").hidden, false);

  // The log comes newest first and is shown newest first; a new decision goes on top.
  ws.reply(log, {
    decisions: [
      { time: now, action: "preset", position: 3, preset: 4, camera: "cam", reason: "talked 2 s" },
      { time: now - 1000, action: "home", position: null, preset: null, reason: "<b>quiet</b>" },
    ],
  });
  await settle();
  const decisions = byId("decisions");
  assert.strictEqual(decisions.children.length, 2);
  assert.ok(decisions.children[0].textContent.includes("Preset 4"));
  assert.ok(decisions.children[1].textContent.includes("<b>quiet</b>"), "server text stays text");
  ws.event("decision", { time: now, action: "dropped", position: 5, reason: "several" });
  assert.ok(decisions.children[0].textContent.includes("position 5"));
  for (let i = 0; i < 150; ++i) ws.event("decision", { time: now, action: "home", reason: `r${i}` });
  assert.strictEqual(decisions.children.length, 100, "the log is bounded");
  assert.ok(decisions.children[0].textContent.includes("r149"));

  // Pictures: shown as blob URLs, the one before revoked; one that comes while the last is
  // loading waits, and only the newest of those.
  const picture = byId("picture");
  ws.fire("message", { data: { size: 10 } });
  assert.strictEqual(picture.src, "blob:1");
  ws.fire("message", { data: { size: 11 } });
  ws.fire("message", { data: { size: 12 } });
  assert.strictEqual(urls.made, 1, "nothing new while loading");
  picture.dispatch("load");
  assert.strictEqual(picture.hidden, false);
  assert.strictEqual(picture.src, "blob:2");
  assert.ok(urls.revoked.has("blob:1"));
  picture.dispatch("load");
  assert.strictEqual(urls.made, 2, "the skipped picture is not shown");

  // Press and hold moves, release stops; a cancel or leaving the button stops as well.
  const left = byName("Left");
  left.dispatch("pointerdown", { pointerId: 7 });
  assert.deepStrictEqual(only(ws, "ptz.move").params, { direction: "left" });
  left.dispatch("pointerup", { pointerId: 7 });
  assert.deepStrictEqual(only(ws, "ptz.stop").params, {});
  left.dispatch("pointerup", { pointerId: 7 });
  assert.strictEqual(ws.take().length, 0, "one stop per press");
  const zoomIn = byName("Zoom in");
  zoomIn.captured.add(3); // a touch: captured by its button
  zoomIn.dispatch("pointerdown", { pointerId: 3 });
  assert.ok(!zoomIn.captured.has(3), "the touch is let go, so that leaving stops");
  assert.deepStrictEqual(only(ws, "zoom").params, { action: "in" });
  zoomIn.dispatch("pointerleave", { pointerId: 3 });
  assert.deepStrictEqual(only(ws, "zoom").params, { action: "stop" });
  const focusFar = byName("Focus far");
  focusFar.dispatch("pointerdown", { pointerId: 4 });
  assert.deepStrictEqual(only(ws, "focus").params, { action: "far" });
  focusFar.dispatch("pointercancel", { pointerId: 4 });
  assert.deepStrictEqual(only(ws, "focus").params, { action: "stop" });
  // The keyboard: held with Space, a repeat sends nothing more.
  const upLeft = byName("Up left");
  upLeft.dispatch("keydown", { key: " ", repeat: false });
  upLeft.dispatch("keydown", { key: " ", repeat: true });
  assert.deepStrictEqual(only(ws, "ptz.move").params, { direction: "up-left" });
  upLeft.dispatch("keyup", { key: " " });
  only(ws, "ptz.stop");

  byName("Home").dispatch("click");
  assert.deepStrictEqual(only(ws, "ptz.move").params, { direction: "home" });
  byName("Preset 3").dispatch("click");
  assert.deepStrictEqual(only(ws, "preset.call").params, { preset: 3 });
  byName("Save preset 9").dispatch("click");
  assert.deepStrictEqual(only(ws, "preset.save").params, { preset: 9 });
  ws.event("preset", { lastPreset: 3, by: "api" });
  assert.strictEqual(byName("Preset 3").getAttribute("aria-current"), "true");
  assert.strictEqual(byName("Preset 2").getAttribute("aria-current"), null);

  // The talker's light, the array.
  const lights = byId("lights").children;
  assert.ok(lights[2].classList.contains("talking"));
  ws.event("talker", { talker: 6 });
  assert.ok(lights[5].classList.contains("talking") && !lights[2].classList.contains("talking"));
  assert.strictEqual(byId("talker").textContent, "Talker at position 6");
  ws.event("talker", { talker: null });
  assert.strictEqual(byId("talker").textContent, "No talker");
  ws.event("talker", { talker: 99 });
  assert.ok(lights.every((l) => !l.classList.contains("talking")), "a position out of range lights nothing");
  ws.event("lights", { lights: [1, 6, 42, "2"] });
  assert.ok(lights[0].classList.contains("lit") && lights[5].classList.contains("lit"));
  assert.ok(!lights[1].classList.contains("lit"), "only whole positions 1-8 light");
  assert.strictEqual(lights[0].getAttribute("aria-label"), "Position 1, lit");
  ws.event("lights", { lights: [] });
  assert.ok(lights.every((l) => !l.classList.contains("lit")));
  ws.event("link", { array: { device: "Nureva", address: "10.0.0.6", link: "reconnecting" } });
  assert.ok(byId("array-link").textContent.includes("reconnecting"));

  // Tracking: paused with its seconds left, counting down; resume ends it.
  const tracking = byName("Tracking");
  assert.strictEqual(tracking.getAttribute("aria-pressed"), "true");
  byName("Pause tracking").dispatch("click");
  const pause = only(ws, "tracking.pause");
  assert.strictEqual(pause.params.seconds, 600);
  ws.reply(pause, { tracking: "paused" });
  await settle();
  ws.reply(only(ws, "state"), Object.assign({}, room, { tracking: "paused", pauseSeconds: 600 }));
  await settle();
  const trackingState = byId("tracking-state");
  assert.strictEqual(trackingState.textContent, "Tracking: paused, 10:00 left");
  now += 61_000;
  for (const f of intervals.values()) f();
  assert.strictEqual(trackingState.textContent, "Tracking: paused, 8:59 left");
  byName("Resume tracking").dispatch("click");
  assert.strictEqual(only(ws, "tracking.pause").params.seconds, 0);
  ws.event("tracking", { tracking: "off", pauseSeconds: null });
  assert.strictEqual(trackingState.textContent, "Tracking: off");
  assert.strictEqual(intervals.size, 0, "no countdown runs when not paused");
  assert.strictEqual(tracking.getAttribute("aria-pressed"), "false");
  tracking.dispatch("click");
  assert.deepStrictEqual(only(ws, "tracking.set").params, { on: true });

  // Hidden: held controls stop and the picture stops; shown again: it starts again.
  byName("Down").dispatch("pointerdown", { pointerId: 9 });
  only(ws, "ptz.move");
  document.visibilityState = "hidden";
  for (const f of documentListeners.visibilitychange) f();
  let now_sent = ws.take();
  assert.ok(now_sent.some((r) => r.method === "ptz.stop"), "a held move stops when the page is hidden");
  assert.ok(now_sent.some((r) => r.method === "picture.stop"));
  ws.fire("message", { data: { size: 13 } });
  assert.strictEqual(urls.made, 2, "no picture is shown after the stop");
  document.visibilityState = "visible";
  for (const f of documentListeners.visibilitychange) f();
  assert.deepStrictEqual(only(ws, "picture.start").params.camera, "1&2.4&1&0000");

  // The panel steers another camera: the picture follows it.
  ws.event("camera", { connected: "1&3&1&0000" });
  const other = Object.assign({}, room, { connected: "1&3&1&0000" });
  ws.reply(only(ws, "state"), other);
  await settle();
  assert.strictEqual(only(ws, "picture.start").params.camera, "1&3&1&0000");

  // A wrong token: the sign-in comes back and the token is forgotten.
  storage.set("vantorreda.token", "x".repeat(32));
  ws.fire("message", { data: JSON.stringify({ id: null, error: { code: 3, message: "wrong token" } }) });
  assert.strictEqual(byId("sign-in").hidden, false);
  assert.strictEqual(byId("live").hidden, true);
  assert.strictEqual(storage.has("vantorreda.token"), false);

  console.log("room page script: all checks passed");
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
