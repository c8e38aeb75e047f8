// The station page. Everything from units and ports is shown with
// textContent only: it is text, never markup.
'use strict';

const units = new Map();      // port -> state of its current run
let pending = null;           // events that arrive while a snapshot loads
let source = null;
let renderQueued = false;
let refreshTimer = null;

const $ = (id) => document.getElementById(id);

function make(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function version(v) {
  return typeof v === 'number' ? v.toFixed(2) : '\u2014';
}

function seconds(ms) {
  if (typeof ms !== 'number' || ms < 0) return '\u2014';
  const s = ms / 1000;
  if (s < 60) return s.toFixed(1) + ' s';
  const m = Math.floor(s / 60);
  return m + ':' + String(Math.floor(s % 60)).padStart(2, '0');
}

function freshUnit(port) {
  return { port, slot: null, usb_path: null, usb_serial: null, state: 'running', status: '', message: '',
           percent: 0, result: null, text: '', unit_version: null, verified: null, version_after: null,
           reason: null, hint: null, elapsed_ms: null, t0: performance.now() };
}

// completed, verified, failed, other (up-to-date, declined) or running.
function stateOf(u) {
  if (u.state !== 'ended') return 'running';
  if (u.result === 'completed') return u.verified === true ? 'verified' : u.verified === false ? 'failed' : 'completed';
  if (u.result === 'up-to-date' || u.result === 'declined') return 'other';
  return 'failed';
}

function badgeOf(u) {
  const s = stateOf(u);
  if (s === 'failed') return u.result === 'completed' ? 'not verified' : 'failed';
  if (s === 'other') return u.result;
  return s;
}

function applyEvent(ev) {
  if (!ev || typeof ev.port !== 'string' || typeof ev.event !== 'string') return;
  let u = units.get(ev.port);
  if (!u || (u.state === 'ended' && ev.event !== 'end')) {
    const next = freshUnit(ev.port);
    if (u) { next.slot = u.slot; next.usb_path = u.usb_path; next.usb_serial = u.usb_serial; }
    u = next;
    units.set(ev.port, u);
  }
  for (const k of ['slot', 'usb_path', 'usb_serial']) if (ev[k] !== undefined) u[k] = ev[k];
  switch (ev.event) {
    case 'status':
      u.status = String(ev.text);
      if (ev.unit_version !== undefined) u.unit_version = ev.unit_version; // known before the end
      break;
    case 'progress': u.percent = Number(ev.percent) || 0; break;
    case 'message': u.message = String(ev.text); break;
    case 'end':
      u.state = 'ended';
      u.result = String(ev.result);
      u.text = ev.text == null ? '' : String(ev.text);
      u.unit_version = ev.unit_version;
      u.verified = ev.verified === undefined ? null : ev.verified;
      u.version_after = ev.version_after;
      u.reason = ev.reason == null ? null : String(ev.reason);
      u.hint = ev.hint == null ? null : String(ev.hint);
      u.elapsed_ms = ev.elapsed_ms;
      if (u.result === 'completed') u.percent = 100;
      scheduleRefresh();
      break;
  }
  scheduleRender();
}

function fromSnapshot(s) {
  const u = freshUnit(s.port);
  Object.assign(u, s);
  u.status = s.status == null ? '' : s.status;
  u.message = s.message == null ? '' : s.message;
  u.text = s.text == null ? '' : s.text;
  u.t0 = performance.now() - (Number(s.elapsed_ms) || 0);
  if (u.state === 'ended' && u.result === 'completed') u.percent = 100;
  return u;
}

function sortKey(u) {
  return u.slot != null ? '0' + u.slot : u.usb_path != null ? '1' + u.usb_path : '2' + u.port;
}

function scheduleRender() {
  if (renderQueued) return;
  renderQueued = true;
  setTimeout(() => { renderQueued = false; render(); }, 60);
}

function tileFor(u) {
  const t = make('article', 'tile');
  const head = make('div', 'tile-head');
  head.append(make('span', 'slot'), make('span', 'badge'));
  const bar = make('div', 'bar');
  bar.append(make('div', 'fill'), make('span', 'pct'));
  const facts = make('div', 'facts');
  for (const [name, cls] of [['Before', 'f-before'], ['After', 'f-after'], ['Elapsed', 'f-elapsed']]) {
    const d = make('div', null, name);
    d.append(make('b', cls));
    facts.append(d);
  }
  t.append(head, make('div', 'ident'), bar, make('div', 'status'), facts, make('div', 'result'));
  t.dataset.port = u.port;
  return t;
}

function fill(t, u) {
  const q = (sel) => t.querySelector(sel);
  const state = stateOf(u);
  t.dataset.state = state;
  t.dataset.result = u.result || '';
  q('.slot').textContent = u.slot != null ? u.slot : u.port;
  q('.badge').textContent = badgeOf(u);
  const ident = [u.slot != null ? u.port : null, u.usb_path != null ? 'USB ' + u.usb_path : null,
                 u.usb_serial != null ? 'S/N ' + u.usb_serial : null].filter((x) => x != null);
  q('.ident').textContent = ident.length ? ident.join(' \u00b7 ') : '\u00a0';
  const pct = Math.max(0, Math.min(100, u.percent));
  q('.fill').style.width = pct + '%';
  q('.pct').textContent = pct + ' %';
  // A finished tile says how it ended (and what to do now), never the
  // progress text of its last moment.
  q('.status').textContent = u.state !== 'ended' ? u.status : state === 'failed' ? (u.hint || '') : (u.text || '');
  q('.f-before').textContent = version(u.unit_version);
  q('.f-after').textContent = version(u.version_after);
  q('.f-elapsed').textContent = seconds(u.state === 'ended' ? u.elapsed_ms : performance.now() - u.t0);
  q('.result').textContent = state === 'failed' ? (u.reason || u.result) + (u.text ? ': ' + u.text : '') : '';
}

function render() {
  const box = $('tiles');
  const list = [...units.values()].sort((a, b) => (sortKey(a) < sortKey(b) ? -1 : sortKey(a) > sortKey(b) ? 1 : 0));
  const have = new Map([...box.children].map((t) => [t.dataset.port, t]));
  list.forEach((u, i) => {
    let t = have.get(u.port);
    if (!t) t = tileFor(u);
    have.delete(u.port);
    fill(t, u);
    if (box.children[i] !== t) box.insertBefore(t, box.children[i] || null);
  });
  for (const t of have.values()) t.remove();
  $('empty').hidden = units.size > 0;
  $('s-running').textContent = list.filter((u) => u.state !== 'ended').length;
}

// The yield: completed over every run that counts (completed, not
// verified and failed; up-to-date and declined are none of them).
function setFigures(prefix, c) {
  const notVerified = c ? c.not_verified || 0 : 0;
  const done = c ? c.completed + notVerified + c.failed : 0;
  $(prefix + '-completed').textContent = c ? c.completed : '\u2014';
  $(prefix + '-notverified').textContent = c ? notVerified : '\u2014';
  $(prefix + '-failed').textContent = c ? c.failed : '\u2014';
  $(prefix + '-yield').textContent = c && done ? (100 * c.completed / done).toFixed(1) + ' %' : '\u2014';
}

async function getJson(path) {
  const r = await fetch(path, { cache: 'no-store', credentials: 'same-origin' });
  if (r.status === 401) banner('This page needs its token: open it once as /?token=\u2026 (the token file\u2019s text).');
  const body = await r.json();
  return { ok: r.ok, status: r.status, body };
}

function banner(text) {
  const b = $('banner');
  b.textContent = text;
  b.hidden = !text;
}

async function loadSummary() {
  try {
    const { ok, body } = await getJson('/api/summary');
    if (!body || !body.session) return;
    // A store that cannot be read: the session's counts still, and why.
    if (!ok && body.error) $('records-note').textContent = 'The records cannot be read: ' + body.error;
    setFigures('s', body.session);
    setFigures('t', body.today);
    $('day').textContent = body.day;
    $('csv').href = '/records.csv?day=' + encodeURIComponent(body.day);
  } catch (e) { /* the stream's reconnect brings a fresh load */ }
}

async function loadRecords() {
  const rows = $('records');
  try {
    const { ok, status, body } = await getJson('/api/records?limit=12');
    rows.replaceChildren();
    if (!ok) {
      $('records-note').textContent = status !== 503 ? ''
        : body && body.error && body.error !== 'no record store' ? 'The records cannot be read: ' + body.error
        : 'No record store: start the station with --record.';
      $('csv').hidden = status === 503;
      return;
    }
    $('csv').hidden = false;
    $('records-note').textContent = body.length ? '' : 'No record yet today.';
    for (const r of body.slice().reverse()) {
      const tr = make('tr');
      const good = r.result === 'completed' && r.verified !== false;
      const other = r.result === 'up-to-date' || r.result === 'declined' || r.result === 'running';
      const cells = [String(r.end || r.start || '').replace('T', ' ').replace(/\.\d+Z$|Z$/, ''),
                     r.slot, r.port, r.usb_serial, version(r.unit_version), r.result,
                     version(r.version_after), typeof r.elapsed_ms === 'number' ? (r.elapsed_ms / 1000).toFixed(1) : null];
      cells.forEach((c, i) => {
        const td = make('td', null, c == null || c === '' ? '\u2014' : String(c));
        if (i === 5) td.className = good ? 'r-good' : other ? 'r-other' : 'r-bad';
        tr.append(td);
      });
      rows.append(tr);
    }
  } catch (e) { /* as above */ }
}

function scheduleRefresh() {
  if (refreshTimer) return;
  refreshTimer = setTimeout(() => { refreshTimer = null; loadSummary(); loadRecords(); }, 400);
}

async function loadSnapshot() {
  try {
    const { ok, body } = await getJson('/api/units');
    if (!ok) throw new Error('units');
    units.clear();
    for (const s of body) units.set(s.port, fromSnapshot(s));
    // Events that came while it loaded are newer than nothing in it.
    const queued = pending || [];
    pending = null;
    queued.forEach(applyEvent);
    render();
  } catch (e) {
    setTimeout(loadSnapshot, 2000);
  }
}

function setLink(state) {
  const l = $('link');
  l.dataset.state = state;
  l.textContent = state;
}

function connect() {
  source = new EventSource('/events');
  source.onopen = () => {
    setLink('live');
    banner('');
    pending = [];
    loadSnapshot();
    loadSummary();
    loadRecords();
  };
  source.onmessage = (m) => {
    let ev;
    try { ev = JSON.parse(m.data); } catch (e) { return; }
    if (pending) pending.push(ev); else applyEvent(ev);
  };
  source.onerror = () => {
    setLink('reconnecting');
    // A refused stream (too many clients, no token) is not retried by the
    // browser itself: start a new one a little later.
    if (source.readyState === EventSource.CLOSED) {
      source.close();
      setTimeout(connect, 3000);
    }
  };
}

function tick() {
  $('clock').textContent = new Date().toISOString().slice(0, 19).replace('T', ' ') + ' UTC';
  for (const t of $('tiles').children) {
    const u = units.get(t.dataset.port);
    if (u && u.state !== 'ended') t.querySelector('.f-elapsed').textContent = seconds(performance.now() - u.t0);
  }
}

render();
tick();
setInterval(tick, 500);
setInterval(() => { loadSummary(); loadRecords(); }, 30000);
connect();
