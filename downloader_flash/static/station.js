// The station's live view: state from /api/v1/channels and /api/v1/records, refreshed on each
// event of /api/v1/events and every few seconds; the browser reconnects to the stream by itself.
"use strict";
const API = "/api/v1";
const REFRESH_MS = 2000;  // also catches devices plugged in or out, which have no event
const EVENT_REFRESH_MS = 250;  // at most this often on a busy stream
const RECORDS_SHOWN = 12;
const MANY_SERIALS = 1e9;  // more left than this are not counted out: a range may run to the end of 64 bits
const token = new URLSearchParams(location.search).get("token");
const records = [];
let nextRecord = 0;
let channels = [];
let counted = [];  // the outcomes the shift counts, as /api/v1/outcomes names them
let countersMade = null;  // the promise of their counters, made once
let refreshQueued = false;

function withToken(path) {
  return token ? `${path}${path.includes("?") ? "&" : "?"}token=${encodeURIComponent(token)}` : path;
}

async function getJSON(path) {
  const response = await fetch(withToken(path), {cache: "no-store"});
  if (!response.ok) throw new Error(`${path}: ${response.status}`);
  return response.json();
}

function cssName(state) { return state.replace(/ /g, "-"); }

function ago(seconds) {
  if (seconds < 60) return `${Math.floor(seconds)} s ago`;
  if (seconds < 3600) return `${Math.floor(seconds / 60)} min ago`;
  return `${Math.floor(seconds / 3600)} h ${Math.floor(seconds % 3600 / 60)} min ago`;
}

function detail(channel) {
  if (channel.state === "flashing") {
    const rate = channel.kib_per_second == null ? "" : ` · ${channel.kib_per_second.toFixed(1)} KiB/s`;
    const attempt = channel.attempts > 1 ? ` · attempt ${channel.attempt}/${channel.attempts}` : "";
    return `${(channel.percent || 0).toFixed(0)} %${rate}${attempt}`;
  }
  if (channel.state === "waiting") return channel.present ? "ready" : "empty";
  return channel.reason || "";
}

// A counter of the serial numbers left, made only for a run that writes them.
function showSerialsLeft(left) {
  let box = document.getElementById("serials-left-box");
  if (left == null) {
    if (box) box.remove();
    return;
  }
  if (!box) {
    box = element("div");
    box.id = "serials-left-box";
    const count = element("span", "count");
    count.id = "serials-left";
    box.append(element("span", "label", "serial numbers left"), count);
    document.getElementById("shift").append(box);
  }
  const text = left < MANY_SERIALS ? left.toLocaleString("en-US") : `over ${MANY_SERIALS.toLocaleString("en-US")}`;
  document.getElementById("serials-left").textContent = text;
}

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function tile(channel, loadedAt) {
  const node = element("div", `tile ${cssName(channel.state)}${channel.present ? "" : " absent"}`);
  node.dataset.port = channel.port;
  node.dataset.state = channel.state;
  node.append(element("div", "port", channel.port), element("div", "serial", channel.serial_number || "no serial number"));
  if (channel.serial != null) node.append(element("div", "issued", `serial ${channel.serial}`));
  node.append(element("div", "state", channel.state), element("div", "detail", detail(channel)));
  if (channel.state === "flashing") {
    const bar = element("div", "bar"), fill = element("div");
    fill.style.width = `${channel.percent || 0}%`;
    bar.append(fill);
    node.append(bar);
  }
  const since = element("div", "since");
  since.dataset.changedAt = String(loadedAt - channel.seconds_since_change * 1000);
  node.append(since);
  return node;
}

async function showOutcomes() {
  counted = (await getJSON(`${API}/outcomes`)).outcomes.filter(outcome => outcome.counted);
  const boxes = counted.map(outcome => {
    const box = element("div"), count = element("span", "count", "0");
    count.id = outcome.class;
    box.append(element("span", "label", outcome.name), count);
    return box;
  });
  document.getElementById("shift").prepend(...boxes);
}

function showChannels(view) {
  const loadedAt = Date.now();
  channels = view.channels;
  document.getElementById("title").textContent = `Flashing station${view.station ? " · " + view.station : ""}` +
    (view.on_demand ? " · on demand" : "");
  document.getElementById("channels").replaceChildren(...channels.map(channel => tile(channel, loadedAt)));
  const shift = view.shift;
  for (const outcome of counted) document.getElementById(outcome.class).textContent = shift[outcome.key];
  document.getElementById("yield").textContent = shift.yield == null ? "–" : `${(shift.yield * 100).toFixed(1)} %`;
  document.getElementById("per-hour").textContent = shift.boards_per_hour.toFixed(0);
  showSerialsLeft(view.serials_left);
  tick();
}

function showRecords(answer) {
  records.push(...answer.records);
  records.splice(0, Math.max(0, records.length - RECORDS_SHOWN));
  nextRecord = answer.next;
  const rows = records.slice().reverse().map(record => {
    const row = element("tr"), error = element("td", "error", record.error || "");
    error.title = record.error || "";  // the whole of a reason cut to one line
    row.append(element("td", "", record.time.slice(11, 19)), element("td", "", record.port),
               element("td", "", record.serial_number || "–"), element("td", "", record.serial ?? "–"),
               element("td", cssName(record.result), record.result),
               element("td", "", record.seconds.toFixed(1)), error);
    return row;
  });
  document.getElementById("records").replaceChildren(...rows);
}

function tick() {
  for (const since of document.querySelectorAll(".since")) {
    since.textContent = ago((Date.now() - Number(since.dataset.changedAt)) / 1000);
  }
}

async function refresh() {
  refreshQueued = false;
  try {
    countersMade = countersMade || showOutcomes().catch(error => { countersMade = null; throw error; });
    await countersMade;
    showChannels(await getJSON(`${API}/channels`));
    const since = nextRecord;
    const answer = await getJSON(`${API}/records?since=${since}`);
    if (since !== nextRecord) return;  // another refresh has taken these records already
    if (answer.next < since) { records.length = 0; nextRecord = 0; return refresh(); }  // the tool restarted
    showRecords(answer);
  } catch (error) {
    online(false);
  }
}

function queueRefresh() {
  if (!refreshQueued) {
    refreshQueued = true;
    setTimeout(refresh, EVENT_REFRESH_MS);
  }
}

function online(yes) {
  const node = document.getElementById("connection");
  node.className = yes ? "online" : "offline";
  node.textContent = yes ? "live" : "reconnecting…";
}

function listen() {
  const events = new EventSource(withToken(`${API}/events`));
  events.onopen = () => { online(true); refresh(); };  // after a restart, everything is fetched again
  events.onmessage = queueRefresh;
  events.onerror = () => {
    online(false);
    if (events.readyState === EventSource.CLOSED) setTimeout(listen, REFRESH_MS);
  };
}

setInterval(tick, 1000);
setInterval(refresh, REFRESH_MS);
refresh();
listen();
