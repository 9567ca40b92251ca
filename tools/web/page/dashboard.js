// The dashboard page: it follows toruna-web's live stream (Server-Sent Events)
// and keeps, for each event it plots, the values of the last ten minutes.
// Every name comes from the network, so text reaches the page only through
// textContent and attributes set one by one, never as markup.
'use strict';

// uPlot (MIT licence, taken from npm at build time) draws the plots: measured
// against Chart.js, it keeps twenty plots of fifty values a second each moving
// (see docs/web.md).
const KEEP_MS = 10 * 60 * 1000;
const RATE_MS = 10 * 1000;
const COLORS = ['#1f6feb', '#d1242f', '#1a7f37', '#8250df', '#bf8700', '#0a7ea4', '#cf4a94', '#6e7781'];
const STORE = 'toruna-web.watched';

const state = {
  token: null,
  publish: false,
  servers: new Map(),   // id: {id, name, host, state, problem, clients}
  rosters: new Map(),   // server id: {clients: Map id: {id, name}, events: Map id: event}
  chosen: null,         // the server whose clients are listed
  plots: new Map(),     // key(server, client, event): Plot
  own: new Map(),       // server id: [own event]
  spanMs: 60 * 1000,
};

const $ = (id) => document.getElementById(id);

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

// Made once: a formatter is costly to make, and the axes ask for every tick.
const CLOCK = new Intl.DateTimeFormat([], { hour: '2-digit', minute: '2-digit', second: '2-digit' });
const CLOCK_MINUTES = new Intl.DateTimeFormat([], { hour: '2-digit', minute: '2-digit' });
function clock(ms, seconds = true) {
  return (seconds ? CLOCK : CLOCK_MINUTES).format(ms);
}

// Text set only when it changed: each change costs the page a layout.
function setText(node, text) {
  if (node.textContent !== text) node.textContent = text;
}

function key(server, client, event) { return JSON.stringify([server, client, event]); }

function serverLabel(s) { return s ? (s.name || s.host) : '?'; }

function post(path, args, method = 'POST') {
  return fetch(path + '?' + new URLSearchParams(args), { method })
    .then((r) => r.json().then((body) => ({ ok: r.ok, body })))
    .catch(() => ({ ok: false, body: { error: 'toruna-web did not answer' } }));
}

function log(text, bad = false) {
  const li = el('li', bad ? 'bad' : '');
  const t = el('time', '', clock(Date.now()));
  li.append(t, document.createTextNode(text));
  const list = $('log');
  list.prepend(li);
  while (list.children.length > 60) list.lastChild.remove();
}

// Which events the viewer chose, by server name, so that a reload or a
// restarted toruna-web brings them back.
function remembered() {
  try { return JSON.parse(localStorage.getItem(STORE)) || []; } catch (e) { return []; }
}
function remember() {
  const list = [];
  for (const p of state.plots.values()) {
    const s = state.servers.get(p.server);
    if (s && s.name) list.push({ server: s.name, client: p.client, event: p.event });
  }
  try { localStorage.setItem(STORE, JSON.stringify(list)); } catch (e) { /* private mode */ }
}

// One plotted event: its values as two columns (times, values; a null value
// breaks the line where the event went away) and the uPlot chart that draws them.
class Plot {
  constructor(server, client, event) {
    this.server = server;
    this.client = client;
    this.event = event;
    this.xs = [];
    this.ys = [];
    this.dirty = true;
    this.drawnAt = 0;
    this.draws = 0;
    this.status = '';
    this.unit = null;
    this.max = null;
    this.color = COLORS[state.plots.size % COLORS.length];
    this.card = el('article', 'card');
    this.card.dataset.server = String(server);
    this.card.dataset.client = client;
    this.card.dataset.event = event;
    const head = el('header');
    const title = el('h3');
    this.serverLine = el('span', 'server');
    title.append(this.serverLine, el('span', 'client', client), document.createTextNode(' / '), el('span', 'event', event));
    const close = el('button', 'close', '×');
    close.title = 'Stop plotting this event';
    close.setAttribute('aria-label', 'Stop plotting ' + client + ' / ' + event);
    close.addEventListener('click', () => unwatch(this.server, this.client, this.event));
    head.append(title, close);
    const figures = el('div', 'figures');
    this.valueText = el('span', 'value', '–');
    this.lastAt = null;
    this.valueText.addEventListener('mouseenter', () => {
      this.valueText.title = this.lastAt === null ? '' : 'at ' + clock(this.lastAt);
    });
    this.unitText = el('span', 'unit');
    this.rateText = el('span', 'rate');
    this.statusPill = el('span', 'status pill wait', 'waiting for values');
    figures.append(this.valueText, this.unitText, this.rateText, this.statusPill);
    this.hover = el('div', 'hover', '\u00a0');
    this.box = el('div', 'chart');
    this.card.append(head, figures, this.box, this.hover);
    $('plots').append(this.card);
    this.chart = null;
    if (typeof uPlot === 'undefined') {
      this.box.append(el('p', 'missing', 'The chart library did not load: values only.'));
    } else {
      new ResizeObserver(() => this.resize()).observe(this.box);
    }
    this.describe();
  }

  // (Re)made when the unit or the range changes: uPlot fixes both at the start.
  makeChart() {
    if (typeof uPlot === 'undefined') return;
    if (this.chart) this.chart.destroy();
    const style = getComputedStyle(document.documentElement);
    const muted = style.getPropertyValue('--muted').trim();
    const line = style.getPropertyValue('--line').trim();
    const axis = { stroke: muted, grid: { stroke: line, width: 1 }, ticks: { stroke: line, width: 1 },
                   font: '12px system-ui, sans-serif', labelFont: '12px system-ui, sans-serif' };
    const opts = {
      width: Math.max(100, this.box.clientWidth), height: Math.max(80, this.box.clientHeight),
      ms: 1,
      legend: { show: false },
      cursor: { drag: { x: false, y: false }, points: { size: 7 } },
      scales: { x: { time: true, auto: false }, y: { auto: false, range: [0, this.max ?? 255] } },
      axes: [
        { ...axis, space: 70, values: (u, splits) => splits.map((v) => clock(v, state.spanMs <= 60000)) },
        { ...axis, size: 42, label: this.unit || '', labelSize: this.unit ? 16 : 0 },
      ],
      series: [{}, { stroke: this.color, width: 1.5, points: { show: false }, spanGaps: false }],
      hooks: { setCursor: [(u) => this.showCursor(u)] },
    };
    this.chart = new uPlot(opts, [this.xs, this.ys], this.box);
    this.dirty = true;
  }

  resize() {
    if (!this.chart) { this.makeChart(); return; }
    this.chart.setSize({ width: Math.max(100, this.box.clientWidth), height: Math.max(80, this.box.clientHeight) });
  }

  showCursor(u) {
    const i = u.cursor.idx;
    const v = i === null || i === undefined ? null : this.ys[i];
    this.hover.textContent = v === null || v === undefined ? '\u00a0'
      : clock(this.xs[i]) + ': ' + v + (this.unit ? ' ' + this.unit : '');
  }

  // The event as the roster has it now (unit, range), or why it is not there.
  describe() {
    const s = state.servers.get(this.server);
    this.serverLine.textContent = state.servers.size > 1 ? serverLabel(s) : '';
    const e = findEvent(this.server, this.client, this.event);
    if (e) {
      const max = e.max > 0 && e.max < 255 ? e.max : 255;
      if (e.unit !== this.unit || max !== this.max) {
        this.unit = e.unit;
        this.max = max;
        this.unitText.textContent = e.unit;
        if (this.box.clientWidth) this.makeChart();
      }
      const live = this.ys.length && this.ys[this.ys.length - 1] !== null;
      this.setStatus(live ? 'live' : 'waiting for values', 'ok');
    } else if (!s || s.state !== 'connected') {
      this.setStatus('server lost', 'bad');
    } else if (this.status === '' || this.status === 'live' || this.status === 'waiting for values') {
      this.setStatus('not on the server', 'wait');
    }
  }

  setStatus(text, kind) {
    // A break in the line where the values stop.
    if (this.status !== text && kind !== 'ok' && this.ys.length && this.ys[this.ys.length - 1] !== null) {
      this.xs.push(Date.now());
      this.ys.push(null);
      this.dirty = true;
    }
    this.status = text;
    this.statusPill.textContent = text;
    this.statusPill.className = 'status pill ' + kind;
    this.card.classList.toggle('gone', kind !== 'ok');
  }

  add(points) {
    for (const [t, v] of points) {
      // Values come in order; a history that overlaps them adds only what is older.
      if (this.xs.length && t < this.xs[this.xs.length - 1]) continue;
      this.xs.push(t);
      this.ys.push(v);
    }
    if (!points.length) return;
    const [t, v] = points[points.length - 1];
    setText(this.valueText, String(v));
    this.lastAt = t;
    if (this.status !== 'live') this.setStatus('live', 'ok');
    this.dirty = true;
    if (this.xs[0] < t - KEEP_MS - 60000) this.prune(t);
  }

  // Values older than what the plot has, at the front (the kept history).
  prepend(points) {
    const first = this.xs.length ? this.xs[0] : Infinity;
    const older = points.filter(([t]) => t < first);
    if (!older.length) return;
    this.xs.unshift(...older.map(([t]) => t));
    this.ys.unshift(...older.map(([, v]) => v));
    if (this.lastAt === null) {
      const [t, v] = older[older.length - 1];
      setText(this.valueText, String(v));
      this.lastAt = t;
    }
    this.dirty = true;
  }

  rate(now) {
    let n = 0;
    for (let i = this.xs.length - 1; i >= 0 && this.xs[i] >= now - RATE_MS; --i) {
      if (this.ys[i] !== null) ++n;
    }
    return n / (RATE_MS / 1000);
  }

  // Drops what is older than KEEP_MS (also while the page is hidden and
  // nothing is drawn).
  prune(now) {
    let old = 0;
    while (old < this.xs.length && this.xs[old] < now - KEEP_MS) ++old;
    if (old) {
      this.xs.splice(0, old);
      this.ys.splice(0, old);
    }
  }

  draw(now) {
    this.prune(now);
    this.drawnAt = now;
    ++this.draws;
    setText(this.rateText, this.status === 'live' ? this.rate(now).toFixed(1) + ' values/s' : '');
    this.dirty = false;
    if (!this.chart) return;
    this.chart.batch(() => {
      this.chart.setData([this.xs, this.ys], false);
      this.chart.setScale('x', { min: now - state.spanMs, max: now });
    });
  }

  destroy() {
    if (this.chart) this.chart.destroy();
    this.card.remove();
  }
}

function findEvent(server, client, event) {
  const r = state.rosters.get(server);
  if (!r) return null;
  let found = null;
  for (const e of r.events.values()) {
    if (e.client === client && e.name === event) found = e;
  }
  return found;
}

function watch(server, client, event) {
  const k = key(server, client, event);
  if (state.plots.has(k)) return;
  const plot = new Plot(server, client, event);
  state.plots.set(k, plot);
  for (const p of state.plots.values()) p.describe();
  $('no-plots').hidden = true;
  remember();
  renderClients();
  if (state.token) sendWatch(plot, true);
  post('api/history', { server, client, event }, 'GET').then(({ ok, body }) => {
    if (ok && state.plots.get(k) === plot) plot.prepend(body.values);
  });
}

function unwatch(server, client, event) {
  const k = key(server, client, event);
  const plot = state.plots.get(k);
  if (!plot) return;
  state.plots.delete(k);
  plot.destroy();
  $('no-plots').hidden = state.plots.size > 0;
  remember();
  renderClients();
  if (state.token) sendWatch(plot, false);
}

function sendWatch(plot, on) {
  post('api/watch', { stream: state.token, server: plot.server, client: plot.client, event: plot.event, on: on ? 1 : 0 })
    .then(({ ok, body }) => { if (!ok && on) log('Could not watch ' + plot.client + ' / ' + plot.event + ': ' + body.error, true); });
}

function restoreWatches() {
  for (const w of remembered()) {
    for (const s of state.servers.values()) {
      if (s.name === w.server) watch(s.id, w.client, w.event);
    }
  }
}

// The server list.
function renderServers() {
  const list = $('servers');
  list.replaceChildren();
  for (const s of state.servers.values()) {
    const b = el('button');
    b.type = 'button';
    b.setAttribute('aria-pressed', String(s.id === state.chosen));
    b.addEventListener('click', () => choose(s.id));
    const dot = el('span', 'dot ' + s.state);
    dot.title = s.state;
    const count = s.state === 'connected' ? s.clients + (s.clients === 1 ? ' client' : ' clients') : s.state;
    b.append(dot, el('span', 'name', serverLabel(s)), el('span', 'count', count),
             el('span', 'where', s.state === 'lost' && s.problem ? s.problem : s.host));
    const li = el('li');
    li.append(b);
    list.append(li);
  }
  $('no-servers').hidden = state.servers.size > 0;
}

function choose(id) {
  state.chosen = id;
  const s = state.servers.get(id);
  if (s && s.name) {
    try { localStorage.setItem('toruna-web.server', s.name); } catch (e) { /* private mode */ }
  }
  renderServers();
  renderClients();
  renderOwn();
}

// The chosen server's clients and their events.
function renderClients() {
  const box = $('clients');
  box.replaceChildren();
  const s = state.servers.get(state.chosen);
  $('clients-title').textContent = s ? 'Clients of ' + serverLabel(s) : 'Clients and their events';
  const r = state.rosters.get(state.chosen);
  if (!s || !r || s.state !== 'connected') {
    box.append(el('p', 'none', s ? (s.state === 'lost' ? 'No connection to this server.' : 'Connecting…') : 'No server chosen.'));
    return;
  }
  if (!r.clients.size) box.append(el('p', 'none', 'No other clients are registered.'));
  for (const c of r.clients.values()) {
    const div = el('div', 'client');
    div.dataset.client = c.name;
    div.append(el('h3', '', c.name));
    const events = [...r.events.values()].filter((e) => e.owner === c.id);
    if (!events.length) div.append(el('p', 'none', 'no events'));
    const ul = el('ul');
    for (const e of events) {
      const label = el('label');
      const box2 = el('input');
      box2.type = 'checkbox';
      box2.checked = state.plots.has(key(s.id, c.name, e.name));
      box2.addEventListener('change', () => (box2.checked ? watch : unwatch)(s.id, c.name, e.name));
      const last = e.value !== undefined ? e.value + (e.unit ? ' ' + e.unit : '') : (e.unit ? e.unit : '');
      label.append(box2, el('span', 'ename', e.name), el('span', 'last', last));
      const li = el('li');
      li.dataset.event = e.name;
      li.append(label);
      ul.append(li);
    }
    div.append(ul);
    box.append(div);
  }
}

// The dashboard's own events (--allow-publish).
function renderOwn() {
  $('publish').hidden = !state.publish;
  if (!state.publish) return;
  const box = $('own');
  box.replaceChildren();
  box.className = 'own';
  for (const o of state.own.get(state.chosen) || []) {
    const div = el('div', 'own-event');
    div.dataset.event = o.name;
    const title = el('div', 'title');
    const listening = !o.ready ? 'not created yet' : (o.subscribers ? 'somebody listens' : 'nobody listens');
    title.append(el('b', '', o.name + (o.unit ? ' (' + o.unit + ')' : '')), el('span', '', listening));
    const controls = el('div', 'controls');
    const slider = el('input');
    slider.type = 'range';
    slider.min = '0';
    slider.max = String(o.max);
    slider.value = String(o.value ?? 0);
    slider.setAttribute('aria-label', 'Value of ' + o.name);
    const number = el('input');
    number.type = 'number';
    number.min = '0';
    number.max = String(o.max);
    number.value = slider.value;
    number.setAttribute('aria-label', 'Value of ' + o.name);
    const send = el('button', '', 'Send');
    send.type = 'button';
    const remove = el('button', 'remove', 'Remove');
    remove.type = 'button';
    const server = state.chosen;
    const publish = (v) => post('api/publish', { server, event: o.name, value: v }).then(({ ok, body }) => {
      if (!ok) log('Could not send ' + o.name + ' ' + v + ': ' + body.error, true);
    });
    let pending = null;
    slider.addEventListener('input', () => {
      number.value = slider.value;
      // At most ten values a second while the slider moves.
      if (pending === null) pending = setTimeout(() => { pending = null; publish(slider.value); }, 100);
    });
    send.addEventListener('click', () => { slider.value = number.value; publish(number.value); });
    number.addEventListener('keydown', (ev) => { if (ev.key === 'Enter') send.click(); });
    remove.addEventListener('click', () => post('api/own', { server, name: o.name }, 'DELETE'));
    controls.append(slider, number, send, remove);
    div.append(title, controls);
    box.append(div);
  }
}

// The stream's messages.
const handlers = {
  hello(m) {
    state.token = m.stream;
    state.publish = m.publish;
    document.title = 'Toruna dashboard';
    setLink('live', 'ok');
    // A new stream (toruna-web restarted, or this page came back): watch again.
    for (const p of state.plots.values()) sendWatch(p, true);
  },
  servers(m) {
    state.servers = new Map(m.servers.map((s) => [s.id, s]));
    if (!state.servers.has(state.chosen)) {
      const wanted = (() => { try { return localStorage.getItem('toruna-web.server'); } catch (e) { return null; } })();
      const pick = m.servers.find((s) => s.name === wanted) || m.servers[0];
      state.chosen = pick ? pick.id : null;
    }
    renderServers();
  },
  server(s) {
    const before = state.servers.get(s.id);
    state.servers.set(s.id, s);
    if (state.chosen === null) state.chosen = s.id;
    if (!before && s.name) log('Found server ' + s.name + ' on ' + s.host);
    if (before && before.state !== s.state) {
      if (s.state === 'lost' && before.state === 'connected') {
        state.rosters.delete(s.id);
        log('Lost server ' + serverLabel(before) + ': ' + s.problem, true);
      } else if (s.state === 'connected') {
        log('Connected to server ' + s.name);
      }
    }
    renderServers();
    if (s.id === state.chosen) { renderClients(); renderOwn(); }
    for (const p of state.plots.values()) if (p.server === s.id) p.describe();
    if (s.name && before && !before.name) restoreWatches();
  },
  roster(m) {
    state.rosters.set(m.server, {
      clients: new Map(m.clients.map((c) => [c.id, c])),
      events: new Map(m.events.map((e) => [e.id, e])),
    });
    const s = state.servers.get(m.server);
    if (s && m.name) s.name = m.name;
    if (s && s.state === 'connected') {
      log(serverLabel(s) + ': ' + m.clients.length + (m.clients.length === 1 ? ' client, ' : ' clients, ') +
          m.events.length + (m.events.length === 1 ? ' event' : ' events'));
    }
    if (s && m.name) restoreWatches();
    if (m.server === state.chosen) renderClients();
    for (const p of state.plots.values()) if (p.server === m.server) p.describe();
  },
  joined(m) {
    const r = state.rosters.get(m.server);
    if (r) r.clients.set(m.client.id, m.client);
    log(m.client.name + ' joined ' + serverLabel(state.servers.get(m.server)));
    if (m.server === state.chosen) renderClients();
  },
  left(m) {
    const r = state.rosters.get(m.server);
    if (r) r.clients.delete(m.client.id);
    log(m.client.name + ' left ' + serverLabel(state.servers.get(m.server)), true);
    for (const p of state.plots.values()) {
      if (p.server === m.server && p.client === m.client.name && !findEvent(p.server, p.client, p.event)) {
        p.setStatus(p.client + ' left', 'bad');
      }
    }
    if (m.server === state.chosen) renderClients();
  },
  created(m) {
    const r = state.rosters.get(m.server);
    if (r) r.events.set(m.event.id, m.event);
    log(m.event.client + ' created ' + m.event.name + (m.event.unit ? ' (' + m.event.unit + ')' : ''));
    for (const p of state.plots.values()) if (p.server === m.server) p.describe();
    if (m.server === state.chosen) renderClients();
  },
  removed(m) {
    const r = state.rosters.get(m.server);
    if (r) r.events.delete(m.event.id);
    const stillOwner = r && [...r.clients.values()].some((c) => c.id === m.event.owner);
    if (stillOwner) log(m.event.client + ' removed ' + m.event.name, true);
    for (const p of state.plots.values()) {
      if (p.server === m.server && p.client === m.event.client && p.event === m.event.name &&
          !findEvent(p.server, p.client, p.event)) {
        p.setStatus('removed', 'bad');
      }
    }
    if (m.server === state.chosen) renderClients();
  },
  values(m) {
    for (const [server, id, points] of m.values) {
      const r = state.rosters.get(server);
      const e = r && r.events.get(id);
      if (!e) continue;
      const [, v] = points[points.length - 1];
      e.value = v;
      const plot = state.plots.get(key(server, e.client, e.name));
      if (plot) plot.add(points);
    }
    scheduleClientValues();
  },
  own(m) {
    state.own.set(m.server, m.events);
    if (m.server === state.chosen) renderOwn();
  },
};

// The last values in the list of clients, at most twice a second.
let clientValuesQueued = false;
function scheduleClientValues() {
  if (clientValuesQueued) return;
  clientValuesQueued = true;
  setTimeout(() => {
    clientValuesQueued = false;
    const r = state.rosters.get(state.chosen);
    if (!r) return;
    for (const div of $('clients').querySelectorAll('.client')) {
      for (const li of div.querySelectorAll('li')) {
        const e = findEvent(state.chosen, div.dataset.client, li.dataset.event);
        if (e && e.value !== undefined) li.querySelector('.last').textContent = e.value + (e.unit ? ' ' + e.unit : '');
      }
    }
  }, 500);
}

function setLink(text, kind) {
  const link = $('link');
  link.textContent = text;
  link.className = 'pill ' + kind;
}

function connect() {
  const source = new EventSource('api/stream');
  for (const [type, handle] of Object.entries(handlers)) {
    source.addEventListener(type, (ev) => handle(JSON.parse(ev.data)));
  }
  source.onerror = () => {
    state.token = null;
    setLink(source.readyState === EventSource.CLOSED ? 'no connection to toruna-web' : 'reconnecting to toruna-web…', 'bad');
    if (source.readyState === EventSource.CLOSED) setTimeout(connect, 3000);
  };
}

// Plots move with the clock: each is redrawn when values came (at most every
// REDRAW_MS) and at least once a second, so that the time axis scrolls. A
// frame redraws plots for at most FRAME_BUDGET_MS, taking them in turn, so
// that twenty busy plots share the frames rather than stall the page.
const REDRAW_MS = 60;
const FRAME_BUDGET_MS = 8;
let nextPlot = 0;
function frame() {
  const start = performance.now();
  const now = Date.now();
  const plots = [...state.plots.values()];
  for (let i = 0; i < plots.length && performance.now() - start < FRAME_BUDGET_MS; ++i) {
    const p = plots[(nextPlot + i) % plots.length];
    const due = now - p.drawnAt >= (p.dirty ? REDRAW_MS : 1000);
    if (!due) continue;
    p.draw(now);
    nextPlot = (nextPlot + i + 1) % plots.length;
  }
  requestAnimationFrame(frame);
}

$('span').addEventListener('change', () => {
  state.spanMs = Number($('span').value) * 1000;
  for (const p of state.plots.values()) p.dirty = true;
});

$('create').addEventListener('submit', (ev) => {
  ev.preventDefault();
  const problem = $('own-problem');
  post('api/own', { server: state.chosen, name: $('own-name').value, unit: $('own-unit').value, max: $('own-max').value })
    .then(({ ok, body }) => {
      problem.hidden = ok;
      problem.textContent = ok ? '' : body.error;
      if (ok) $('own-name').value = '';
    });
});

connect();
requestAnimationFrame(frame);

// For tests and measurements: what each plot holds, as the chart has it.
window.torunaDashboard = {
  plots: () => [...state.plots.values()].map((p) => ({
    server: p.server, client: p.client, event: p.event, status: p.status, draws: p.draws,
    values: p.ys.filter((v) => v !== null),
    times: p.xs.filter((t, i) => p.ys[i] !== null),
    // The chart draws these very columns.
    charted: p.chart !== null && p.chart.data[0] === p.xs && p.chart.data[1] === p.ys,
  })),
};
