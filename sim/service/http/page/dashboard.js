// The dashboard's page: the plant from /api/state and the event stream,
// changes by POST through the daemon's own control functions.
"use strict";

const FAULTS = ["late", "unknown-kind", "refuse", "fdl-refuse", "fdl-foreign"];
const COLORS = ["#1565c0", "#c62828", "#2e7d32", "#ef6c00", "#6a1b9a", "#00838f", "#5d4037", "#9e9d24"];
const LOG_KEPT = 2000;
const LOG_SHOWN = 300;

// The run's token comes in the address the daemon printed (#token=...); it
// goes with every API request as a header, and in the stream's address only.
const params = new URLSearchParams(location.hash.slice(1));
const token = params.get("token") || new URLSearchParams(location.search).get("token") || "";

const $ = (id) => document.getElementById(id);
let samples = [];
let log = [];
let dropped = 0;
let paused = false;
let lastClients = new Map();  // id -> {jobs, at}
let layout = "";

function say(text) {
  const m = $("message");
  m.textContent = text;
  m.hidden = !text;
}

async function api(path, body) {
  const init = { headers: { "X-Dpsim-Token": token } };
  if (body !== undefined) {
    init.method = "POST";
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  const res = await fetch(path, init);
  const data = await res.json().catch(() => ({}));
  if (!res.ok) throw new Error(data.error || res.status + " " + res.statusText);
  return data;
}

async function change(path, body) {
  try {
    await api(path, body);
    say("");
    return true;
  } catch (e) {
    say(path.replace("/api/", "") + ": " + e.message);
    return false;
  }
}

// ---- Hex and text views of slave data --------------------------------------

function hexToBytes(hex) {
  const digits = hex.replace(/[\s:-]/g, "");
  if (!/^([0-9a-fA-F]{2})*$/.test(digits)) return null;
  const out = [];
  for (let i = 0; i < digits.length; i += 2) out.push(parseInt(digits.slice(i, i + 2), 16));
  return out;
}
const spaced = (hex) => (hex.match(/../g) || []).join(" ");
const bytesToText = (bytes) =>
  bytes.map((b) => (b >= 0x20 && b < 0x7f ? String.fromCharCode(b) : ".")).join("");
function textToHex(text) {
  const out = [];
  for (const ch of text) {
    const c = ch.charCodeAt(0);
    if (c > 0xff) return null;
    out.push(c.toString(16).padStart(2, "0"));
  }
  return out.join(" ");
}

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "class") e.className = v;
    else if (k.startsWith("data-")) e.setAttribute(k, v);
    else e[k] = v;
  }
  for (const c of children) e.append(c);
  return e;
}

// An input that live updates leave alone while someone edits it.
function setLive(input, value) {
  if (document.activeElement === input || input.classList.contains("dirty")) return;
  if (input.value !== value) input.value = value;
}

// ---- Processors ------------------------------------------------------------

function slaveRow(cp, slave) {
  const hex = el("input", { class: "hex", "data-cp": cp, "data-slave": slave.address, spellcheck: false });
  const text = el("input", { class: "text", "data-cp": cp, "data-slave": slave.address, spellcheck: false });
  const state = el("span", { class: "state", "data-cp": cp, "data-slave": slave.address });
  const set = el("button", { type: "button", class: "set", textContent: "Set" });
  const toggle = el("button", { type: "button", class: "toggle" });
  hex.addEventListener("input", () => {
    hex.classList.add("dirty");
    const bytes = hexToBytes(hex.value);
    if (bytes) text.value = bytesToText(bytes);
  });
  text.addEventListener("input", () => {
    const h = textToHex(text.value);
    if (h !== null) {
      hex.value = h;
      hex.classList.add("dirty");
    }
  });
  const send = async () => {
    if (hexToBytes(hex.value) === null) {
      say("slave " + slave.address + ": the data are not whole hex bytes");
      return;
    }
    if (await change("/api/set", { processor: cp, slave: slave.address, data: hex.value })) {
      hex.classList.remove("dirty");
      refresh();
    }
  };
  set.addEventListener("click", send);
  for (const i of [hex, text]) {
    i.addEventListener("keydown", (e) => {
      if (e.key === "Enter") send();
      if (e.key === "Escape") {
        hex.classList.remove("dirty");
        i.blur();
        refresh();
      }
    });
  }
  toggle.addEventListener("click", async () => {
    const silent = toggle.textContent === "Silence";
    if (await change("/api/silence", { processor: cp, slave: slave.address, silent })) refresh();
  });
  return el("tr", {}, el("td", {}, String(slave.address)), el("td", {}, hex), el("td", {}, text),
    el("td", {}, state), el("td", {}, set, " ", toggle));
}

function processorCard(p) {
  const faults = el("div", { class: "faults" }, "random faults, %: ");
  for (const kind of FAULTS) {
    faults.append(el("label", {}, kind + " ",
      el("input", { class: "rate", type: "number", min: 0, max: 100, step: "any", "data-cp": p.name, "data-kind": kind })));
  }
  const apply = el("button", { type: "button", textContent: "Apply" });
  apply.addEventListener("click", async () => {
    for (const input of faults.querySelectorAll("input.rate")) {
      if (!input.classList.contains("dirty")) continue;
      const percent = Number(input.value);
      if (!(percent >= 0 && percent <= 100)) {
        say(input.dataset.kind + ": a percentage 0..100");
        return;
      }
      if (await change("/api/fault", { processor: p.name, kind: input.dataset.kind, rate: percent / 100 })) {
        input.classList.remove("dirty");
      }
    }
    refresh();
  });
  faults.addEventListener("input", (e) => e.target.classList.add("dirty"));
  faults.append(apply);
  const rows = el("tbody");
  for (const s of p.slaves) rows.append(slaveRow(p.name, s));
  const table = el("table", {}, el("thead", {}, el("tr", {}, ...["Slave", "Data (hex)", "Text", "", ""].map((h) => el("th", {}, h)))), rows);
  return el("div", { class: "processor", "data-cp": p.name }, el("h3", {}, p.name), faults, table);
}

function showProcessors(state) {
  // The cards are rebuilt only when processors or slaves come or go, so that
  // an edit under way survives the updates.
  const shape = JSON.stringify(state.processors.map((p) => [p.name, p.slaves.map((s) => s.address)]));
  const box = $("processors");
  if (shape !== layout) {
    layout = shape;
    box.replaceChildren(...state.processors.map(processorCard));
  }
  for (const [i, p] of state.processors.entries()) {
    const card = box.children[i];
    for (const s of p.slaves) {
      const q = `[data-slave="${s.address}"]`;
      setLive(card.querySelector("input.hex" + q), spaced(s.data));
      const text = card.querySelector("input.text" + q);
      if (document.activeElement !== text && !card.querySelector("input.hex" + q).classList.contains("dirty")) {
        text.value = bytesToText(hexToBytes(s.data));
      }
      const state = card.querySelector("span.state" + q);
      state.textContent = s.silent ? "silent" : "answers";
      state.className = "state " + (s.silent ? "silent" : "ok");
      state.closest("tr").querySelector("button.toggle").textContent = s.silent ? "Answer" : "Silence";
    }
    for (const input of card.querySelectorAll("input.rate")) {
      setLive(input, String((p.faultsPerMillion[input.dataset.kind] || 0) / 1e4));
    }
  }
  $("proc-note").textContent = state.processorCount > state.processors.length
    ? `${state.processors.length} of ${state.processorCount} processors shown` : "";
}

function showClients(state) {
  const now = Date.now();
  const body = $("clients").tBodies[0];
  const seen = new Map();
  body.replaceChildren(...state.clients.map((c) => {
    const before = lastClients.get(c.id);
    const rate = before && now > before.at ? Math.round((c.jobs - before.jobs) * 1000 / (now - before.at)) : 0;
    seen.set(c.id, { jobs: c.jobs, at: now });
    return el("tr", {}, ...[c.program, c.pid, c.peer, c.dpHandles.join(", ") || "-",
      c.fdlHandles.join(", ") || "-", c.jobs, rate].map((v) => el("td", {}, String(v))));
  }));
  lastClients = seen;
}

function showState(state) {
  $("server").textContent = "daemon " + state.server;
  $("rate").textContent = state.jobsPerSecond;
  $("total").textContent = state.jobs;
  showProcessors(state);
  showClients(state);
}

async function refresh() {
  try {
    showState(await api("/api/state"));
  } catch (e) {
    say("state: " + e.message);
  }
}

// ---- Job log ---------------------------------------------------------------

function matches(j) {
  const cp = $("f-processor").value.trim();
  const slave = $("f-slave").value.trim();
  const program = $("f-program").value.trim();
  const kind = $("f-kind").value;
  return (!cp || j.processor.includes(cp)) &&
    (!slave || String(j.slave) === slave) &&
    (!program || j.program.includes(program) || String(j.pid) === program) &&
    (!kind || j.kind === kind);
}

// At most four times a second: a busy plant must not keep the browser (on
// the same machine as the programs, often) drawing.
let logQueued = false;
function showLog() {
  if (paused || logQueued) return;
  logQueued = true;
  setTimeout(() => {
    logQueued = false;
    const rows = [];
    for (let i = log.length - 1; i >= 0 && rows.length < LOG_SHOWN; --i) {
      const j = log[i];
      if (!matches(j)) continue;
      rows.push(el("tr", { class: j.result === "ok" ? "" : "bad" }, ...[j.time.slice(11), j.processor, j.program + " " + j.pid, j.handle,
        j.slave === null ? "-" : j.slave, j.kind + (j.service ? " " + j.service : ""), j.bytes, j.result, j.busUs]
        .map((v) => el("td", {}, String(v)))));
    }
    $("log").tBodies[0].replaceChildren(...rows);
    $("log-note").textContent = dropped ? `${dropped} jobs not shown (too many for this view)` : "";
  }, 250);
}

function addJobs(batch) {
  dropped += batch.dropped;
  log.push(...batch.jobs);
  if (log.length > LOG_KEPT) log.splice(0, log.length - LOG_KEPT);
  if (paused) $("log-note").textContent = "paused";
  showLog();
}

// ---- Plots -----------------------------------------------------------------

function plot(canvas, series, unit) {
  const g = canvas.getContext("2d");
  const w = canvas.width, h = canvas.height, left = 48, bottom = 18;
  g.clearRect(0, 0, w, h);
  const now = Math.floor(Date.now() / 1000);
  let max = 1;
  for (const s of series) for (const [, v] of s.points) max = Math.max(max, v);
  max = niceCeiling(max);
  g.strokeStyle = "#ccc";
  g.fillStyle = "#555";
  g.font = "11px sans-serif";
  g.lineWidth = 1;
  for (let i = 0; i <= 4; ++i) {
    const y = (h - bottom) * (1 - i / 4) + 0.5;
    g.beginPath(); g.moveTo(left, y); g.lineTo(w, y); g.stroke();
    g.fillText(formatNumber(max * i / 4) + (i === 4 ? " " + unit : ""), 2, Math.max(10, y + 4));
  }
  for (const ago of [60, 45, 30, 15, 0]) {
    g.fillText(ago ? `-${ago} s` : "now", left + (w - left) * (1 - ago / 60) - (ago ? 12 : 22), h - 4);
  }
  for (const s of series) {
    g.strokeStyle = s.color;
    g.lineWidth = 2;
    g.beginPath();
    let first = true;
    for (const [t, v] of s.points) {
      if (t < now - 60) continue;
      const x = left + (w - left) * (1 - (now - t) / 60);
      const y = (h - bottom) * (1 - v / max);
      if (first) g.moveTo(x, y); else g.lineTo(x, y);
      first = false;
    }
    g.stroke();
  }
}

function niceCeiling(v) {
  const p = Math.pow(10, Math.floor(Math.log10(v)));
  for (const m of [1, 2, 5, 10]) if (v <= m * p) return m * p;
  return 10 * p;
}
const formatNumber = (v) => (v >= 1000 ? (v / 1000) + "k" : String(Math.round(v * 100) / 100));

function drawPlots() {
  plot($("plot-jobs"), [{ color: COLORS[0], points: samples.map((s) => [s.time, s.jobs]) }], "jobs/s");
  const names = [...new Set(samples.flatMap((s) => Object.keys(s.busUs)))].sort();
  const series = names.map((cp, i) => ({
    color: COLORS[i % COLORS.length],
    points: samples.map((s) => [s.time, (s.busUs[cp] || 0) / 1000]),
  }));
  plot($("plot-bus"), series, "ms");
  $("bus-legend").replaceChildren(...names.map((cp, i) => {
    const sw = el("span", { class: "swatch" });
    sw.style.background = COLORS[i % COLORS.length];
    return el("span", {}, sw, cp);
  }));
}

// ---- The stream ------------------------------------------------------------

function connect() {
  const source = new EventSource("/api/events?token=" + encodeURIComponent(token));
  const conn = $("conn");
  source.addEventListener("open", () => {
    conn.textContent = "live";
    conn.className = "ok";
  });
  source.addEventListener("error", () => {
    conn.textContent = source.readyState === EventSource.CLOSED ? "not connected (too many views, or the daemon stopped)" : "reconnecting";
    conn.className = "bad";
  });
  source.addEventListener("samples", (e) => {
    samples = JSON.parse(e.data);
    drawPlots();
  });
  source.addEventListener("sample", (e) => {
    samples.push(JSON.parse(e.data));
    if (samples.length > 60) samples.splice(0, samples.length - 60);
    drawPlots();
  });
  source.addEventListener("state", (e) => showState(JSON.parse(e.data)));
  source.addEventListener("jobs", (e) => addJobs(JSON.parse(e.data)));
}

function start() {
  if (!token) {
    say("No token: open the address that 'dpsim serve --http' printed (it ends in #token=...).");
    return;
  }
  for (const id of ["f-processor", "f-slave", "f-program", "f-kind"]) $(id).addEventListener("input", showLog);
  $("pause").addEventListener("click", () => {
    paused = !paused;
    $("pause").textContent = paused ? "Resume" : "Pause";
    showLog();
  });
  refresh();
  connect();
  drawPlots();
}

start();
