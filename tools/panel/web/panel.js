// The panel's page: one event stream of the live state, POST requests for
// everything that changes something. No libraries.
'use strict';

(function () {
  const token = document.querySelector('meta[name="panel-token"]').content;
  const colors = ['#1f6feb', '#cf222e', '#1a7f37', '#b35900', '#8250df', '#0a8aa0'];
  const historyMs = 30000;
  const heartbeatMs = 100;

  function randomId() {
    const bytes = new Uint8Array(16);
    crypto.getRandomValues(bytes);
    return Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
  }

  // What the page knows; window.panel also lets tests read the timings.
  const panel = {
    session: randomId(),
    selected: 0,
    you: false,
    held: false,
    live: false,
    state: null,
    frames: 0,
    rate: 0,
    samples: [],   // [arrival ms, controller, p0..p5] of every frame, the last 6000
    arrivals: [],  // {controller, axis, time, position}: an axis came to rest
    events: [],    // {type, time, ...}: presses and releases on this page
  };
  window.panel = panel;

  const $ = (id) => document.getElementById(id);
  const histories = new Map();  // controller index -> {t: [], p: [[]x6]}
  let built = { index: -1, axes: -1, sim: null, count: -1 };
  let lastNotice = -1;
  let messageTimer = 0;
  let lastClaim = 0;
  const rateWindow = [];

  // ---- requests ----
  async function post(path, body) {
    let response;
    try {
      response = await fetch(path, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json', 'X-Panel-Token': token, 'X-Panel-Session': panel.session },
        body: JSON.stringify(body || {}),
      });
    } catch (e) {
      showMessage('the panel did not answer: ' + e, 'error');
      return { ok: false, error: String(e) };
    }
    let answer;
    try { answer = await response.json(); } catch (e) { answer = { ok: false, error: 'HTTP ' + response.status }; }
    if (!response.ok) showMessage(answer.error || ('HTTP ' + response.status), 'error');
    return answer;
  }

  function showMessage(text, kind) {
    const box = $('message');
    box.textContent = text;
    box.className = 'message shown ' + (kind || 'note');
    clearTimeout(messageTimer);
    messageTimer = setTimeout(() => { box.textContent = ''; box.className = 'message'; }, 6000);
  }

  const current = () => panel.selected;

  // ---- jog: press and hold ----
  let jog = null;  // {controller, axis, button, timer}

  function startJog(button, axis, positive) {
    if (jog) stopJog('another press');
    const speed = Number($('axis-' + axis + '-speed').value);
    jog = { controller: current(), axis, button, timer: 0 };
    button.classList.add('held');
    panel.events.push({ type: 'jog-press', time: Date.now(), axis, positive });
    const body = { controller: jog.controller, axis, positive };
    if (speed > 0) body.speed = speed;
    const mine = jog;
    post('/api/jog', body).then((answer) => {
      if (!answer.ok && jog === mine) stopJog('refused');
    });
    jog.timer = setInterval(() => post('/api/heartbeat', {}), heartbeatMs);
  }

  function stopJog(reason) {
    if (!jog) return;
    const ended = jog;
    jog = null;
    clearInterval(ended.timer);
    ended.button.classList.remove('held');
    panel.events.push({ type: 'jog-release', time: Date.now(), axis: ended.axis, reason });
    post('/api/jog/stop', { controller: ended.controller, axis: ended.axis });
  }

  window.addEventListener('blur', () => stopJog('the page lost focus'));
  document.addEventListener('visibilitychange', () => { if (document.hidden) stopJog('the page was hidden'); });
  window.addEventListener('pagehide', () => stopJog('the page was closed'));

  // ---- building the controller's part ----
  function el(tag, attrs, children) {
    const node = document.createElement(tag);
    if (attrs) {
      for (const [key, value] of Object.entries(attrs)) {
        if (key === 'text') node.textContent = value;
        else if (key === 'class') node.className = value;
        else node.setAttribute(key, value);
      }
    }
    for (const child of children || []) node.appendChild(child);
    return node;
  }

  function buildControllers(state) {
    const nav = $('controllers');
    nav.textContent = '';
    state.controllers.forEach((c, index) => {
      const button = el('button', { id: 'controller-' + index, title: c.name },
        [el('span', { class: 'dot', id: 'controller-' + index + '-dot' }), el('span', { text: c.name })]);
      button.addEventListener('click', () => { panel.selected = index; built.index = -1; render(); });
      nav.appendChild(button);
    });
  }

  function buildAxes(c) {
    const body = $('axes-body');
    body.textContent = '';
    for (let axis = 0; axis < c.axes; axis++) {
      const id = 'axis-' + axis;
      const swatch = el('i', { class: 'swatch' });
      swatch.style.background = colors[axis];
      const speed = el('input', { id: id + '-speed', type: 'number', min: '0.1', step: '1', value: '20' });
      const target = el('input', { id: id + '-target', type: 'number', step: '0.1', value: '0' });
      const move = el('button', { id: id + '-move', text: 'Move' });
      const home = el('button', { id: id + '-home', class: 'secondary', text: 'Home' });
      const zero = el('button', { id: id + '-zero', class: 'secondary', text: 'Zero' });
      const stop = el('button', { id: id + '-stop', class: 'stop', text: 'Stop' });
      const minus = el('button', { id: id + '-jog-minus', class: 'jog', text: '◀ −', title: 'Hold to jog' });
      const plus = el('button', { id: id + '-jog-plus', class: 'jog', text: '+ ▶', title: 'Hold to jog' });
      move.addEventListener('click', () => {
        const body = { controller: current(), axis, position: Number(target.value) };
        if (Number(speed.value) > 0) body.speed = Number(speed.value);
        panel.events.push({ type: 'move', time: Date.now(), axis, position: body.position });
        post('/api/move', body);
      });
      target.addEventListener('keydown', (e) => { if (e.key === 'Enter') move.click(); });
      home.addEventListener('click', () => post('/api/home', { controller: current(), axis }));
      zero.addEventListener('click', () => post('/api/zero', { controller: current(), axis }));
      stop.addEventListener('click', () => post('/api/stop', { controller: current(), axis }));
      speed.addEventListener('change', () => {
        if (Number(speed.value) > 0) post('/api/speed', { controller: current(), axis, speed: Number(speed.value) });
      });
      for (const [button, positive] of [[minus, false], [plus, true]]) {
        button.addEventListener('pointerdown', (e) => {
          if (e.button !== 0) return;
          button.setPointerCapture(e.pointerId);
          startJog(button, axis, positive);
        });
        button.addEventListener('pointerup', () => stopJog('released'));
        button.addEventListener('pointercancel', () => stopJog('cancelled'));
        button.addEventListener('lostpointercapture', () => stopJog('released'));
        button.addEventListener('contextmenu', (e) => e.preventDefault());
      }
      body.appendChild(el('tr', { id: id }, [
        el('td', {}, [el('span', { class: 'axis-name' }, [swatch, el('span', { text: String(axis) })])]),
        el('td', { class: 'pos', id: id + '-pos', text: '–' }),
        el('td', {}, [el('span', { class: 'pill', id: id + '-state', text: '–' })]),
        el('td', {}, [el('span', { class: 'pill', id: id + '-homed', text: '–' })]),
        el('td', {}, [speed]),
        el('td', {}, [target]),
        el('td', {}, [el('div', { class: 'cmds' }, [move, home, zero, stop])]),
        el('td', {}, [el('div', { class: 'cmds' }, [minus, plus])]),
      ]));
    }
    const legend = $('chart-legend');
    legend.textContent = '';
    for (let axis = 0; axis < c.axes; axis++) {
      const swatch = el('i', { class: 'swatch' });
      swatch.style.background = colors[axis];
      legend.appendChild(el('span', {}, [swatch, el('span', { text: 'axis ' + axis })]));
    }
  }

  function buildIo() {
    const inputs = $('inputs');
    inputs.textContent = '';
    const outputs = $('outputs');
    outputs.textContent = '';
    const simInputs = $('sim-inputs');
    simInputs.textContent = '';
    for (let n = 1; n <= 24; n++) {
      inputs.appendChild(el('div', { class: 'led', id: 'input-' + n, title: 'input ' + n }, [el('i'), el('span', { text: String(n) })]));
      const toggle = el('button', { id: 'output-' + n + '-toggle', text: String(n), title: 'switch output ' + n });
      const value = el('input', { id: 'output-' + n + '-value', type: 'number', min: '0', max: '255', title: 'value 0–255' });
      const level = el('span', { id: 'output-' + n + '-level', text: 'L–' });
      toggle.addEventListener('click', () => {
        const on = !toggle.parentNode.classList.contains('on');
        post('/api/output', { controller: current(), output: n, on });
      });
      value.addEventListener('change', () => {
        if (value.value === '') return;
        post('/api/output', { controller: current(), output: n, value: Number(value.value) });
      });
      outputs.appendChild(el('div', { class: 'out', id: 'output-' + n }, [toggle, value, level]));
      const simInput = el('button', { id: 'sim-input-' + n, text: String(n), title: 'switch the simulator\'s input ' + n });
      simInput.addEventListener('click', () => {
        const on = !simInput.classList.contains('on');
        panel.events.push({ type: 'sim-input', time: Date.now(), input: n, on });
        post('/api/sim/input', { controller: current(), input: n, on });
      });
      simInputs.appendChild(simInput);
    }
  }

  // ---- updating ----
  function setText(node, text) { if (node && node.textContent !== text) node.textContent = text; }
  function setClass(node, name, on) { if (node && node.classList.contains(name) !== on) node.classList.toggle(name, on); }
  function fmt(value, digits) { return typeof value === 'number' ? value.toFixed(digits) : '–'; }

  function record(state, arrival) {
    state.controllers.forEach((c, index) => {
      let h = histories.get(index);
      if (!h) { h = { t: [], p: [[], [], [], [], [], []], rest: [] }; histories.set(index, h); }
      if (c.pos) {
        h.t.push(arrival);
        for (let a = 0; a < 6; a++) h.p[a].push(c.pos[a]);
        let drop = 0;
        while (drop < h.t.length && arrival - h.t[drop] > historyMs) drop++;
        if (drop > 200) { h.t.splice(0, drop); for (const p of h.p) p.splice(0, drop); }
        panel.samples.push([arrival, index].concat(c.pos));
      }
      if (c.rest) {
        for (let a = 0; a < c.axes; a++) {
          if (c.rest[a] === true && h.rest[a] === false) {
            panel.arrivals.push({ controller: index, axis: a, time: arrival, position: c.pos ? c.pos[a] : null });
          }
          h.rest[a] = c.rest[a];
        }
      }
    });
    if (panel.samples.length > 6000) panel.samples.splice(0, panel.samples.length - 6000);
    if (panel.arrivals.length > 500) panel.arrivals.splice(0, panel.arrivals.length - 500);
  }

  function render() {
    const state = panel.state;
    if (!state) return;
    if (built.count !== state.controllers.length) {
      buildControllers(state);
      buildIo();
      built.count = state.controllers.length;
      built.index = -1;
    }
    if (panel.selected >= state.controllers.length) panel.selected = 0;
    const c = state.controllers[panel.selected];
    if (built.index !== panel.selected || built.axes !== c.axes) {
      if (jog) stopJog('another controller was chosen');
      buildAxes(c);
      built.index = panel.selected;
      built.axes = c.axes;
      linesShown = -1;
    }

    state.controllers.forEach((other, index) => {
      const dot = $('controller-' + index + '-dot');
      setClass(dot, 'up', other.connected);
      setClass(dot, 'down', !other.connected);
      setClass($('controller-' + index), 'selected', index === panel.selected);
    });

    setText($('info-address'), c.address + ':' + c.port);
    setText($('info-link'), c.connected ? (c.ready ? 'connected, ready' : 'connected, loading') : 'not connected');
    setText($('info-type'), c.type ? c.type + (c.type === 1 ? ' (three axes)' : ' (six axes)') : '–');
    setText($('info-version'), c.version || '–');
    setText($('info-rate'), panel.rate.toFixed(0) + ' per second');

    for (let a = 0; a < c.axes; a++) {
      setText($('axis-' + a + '-pos'), c.pos ? fmt(c.pos[a], 3) : '–');
      const jogging = c.jogging.some((j) => j.axis === a);
      const rest = c.rest ? c.rest[a] : null;
      const stateNode = $('axis-' + a + '-state');
      setText(stateNode, jogging ? 'jogging' : rest === true ? 'at rest' : rest === false ? 'moving' : '–');
      setClass(stateNode, 'rest', rest === true && !jogging);
      setClass(stateNode, 'moving', rest === false && !jogging);
      setClass(stateNode, 'jog', jogging);
      const homed = c.homed ? c.homed[a] : null;
      const homeNode = $('axis-' + a + '-homed');
      setText(homeNode, homed === true ? 'homed' : homed === false ? 'not homed' : '–');
      setClass(homeNode, 'homed', homed === true);
    }

    for (let n = 1; n <= 24; n++) {
      setClass($('input-' + n), 'on', !!(c.inputs && c.inputs[n - 1] === '1'));
      const value = c.outputs[n - 1];
      setClass($('output-' + n), 'on', typeof value === 'number' && value > 0);
      const valueNode = $('output-' + n + '-value');
      if (document.activeElement !== valueNode) {
        const shown = typeof value === 'number' ? String(value) : '';
        if (valueNode.value !== shown) valueNode.value = shown;
      }
      setText($('output-' + n + '-level'), 'L' + (c.levels ? c.levels[n - 1] : '–'));
    }

    setText($('fly-current'), c.fly.setup.join(', '));
    setText($('fly-count-now'), String(c.fly.count));
    setText($('fly-positions'), c.fly.positions.map((v) => v.toFixed(3)).join('  ') + (c.fly.count > c.fly.positions.length ? '  …' : ''));
    setText($('raw-answer'), c.raw === null ? '–' : c.raw);

    const sim = c.sim;
    $('sim-card').hidden = !sim;
    if (sim) {
      setText($('sim-summary'), (sim.client ? 'client connected' : 'no client') + ', ' + sim.connections + ' connections so far');
      for (let n = 1; n <= 24; n++) setClass($('sim-input-' + n), 'on', sim.inputs[n - 1] === '1');
      setClass($('fault-silent'), 'active', sim.silent);
      setClass($('fault-garbage'), 'active', sim.garbage > 0);
      setClass($('fault-delay'), 'active', sim.delay > 0);
      setText($('sim-outputs'), 'outputs at the simulator: ' + sim.outputs.join(' '));
    }

    // Controls follow the holder.
    const controls = document.querySelectorAll('main button, main input, main select');
    for (const node of controls) {
      const free = node.id.endsWith('-stop') || node.id.startsWith('lines-');
      const off = !free && !panel.you;
      if (node.disabled !== off) node.disabled = off;
    }
    $('holder-banner').hidden = panel.you || !panel.held;
    setText($('holder'), panel.you ? 'this page holds the controls' : panel.held ? 'watching' : 'controls free');
    drawLines();
    chartDirty = true;
  }

  // ---- chart ----
  let chartDirty = false;
  function drawChart() {
    requestAnimationFrame(drawChart);
    if (!chartDirty || !panel.state) return;
    chartDirty = false;
    const canvas = $('chart');
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(200, Math.round(canvas.clientWidth * ratio));
    const height = Math.round(canvas.clientHeight * ratio);
    if (canvas.width !== width || canvas.height !== height) { canvas.width = width; canvas.height = height; }
    const g = canvas.getContext('2d');
    g.setTransform(ratio, 0, 0, ratio, 0, 0);
    const w = width / ratio, hgt = height / ratio;
    g.clearRect(0, 0, w, hgt);
    const h = histories.get(panel.selected);
    const c = panel.state.controllers[panel.selected];
    const left = 62, right = 10, top = 8, bottom = 22;
    const now = h && h.t.length ? h.t[h.t.length - 1] : Date.now();
    const start = now - historyMs;
    let lo = Infinity, hi = -Infinity, first = 0;
    if (h) {
      while (first < h.t.length && h.t[first] < start) first++;
      for (let a = 0; a < c.axes; a++) {
        for (let i = first; i < h.t.length; i++) { const v = h.p[a][i]; if (v < lo) lo = v; if (v > hi) hi = v; }
      }
    }
    if (!isFinite(lo)) { lo = -1; hi = 1; }
    if (hi - lo < 1e-6) { lo -= 1; hi += 1; }
    const pad = (hi - lo) * 0.08; lo -= pad; hi += pad;
    const x = (t) => left + (t - start) / historyMs * (w - left - right);
    const y = (v) => top + (hi - v) / (hi - lo) * (hgt - top - bottom);
    g.font = '11px system-ui, sans-serif';
    g.fillStyle = '#68737d';
    g.strokeStyle = '#e3e8ec';
    g.lineWidth = 1;
    for (let i = 0; i <= 4; i++) {
      const v = lo + (hi - lo) * i / 4;
      const yy = Math.round(y(v)) + 0.5;
      g.beginPath(); g.moveTo(left, yy); g.lineTo(w - right, yy); g.stroke();
      g.fillText(v.toFixed(Math.abs(hi - lo) < 10 ? 2 : 1), 4, yy + 4);
    }
    for (let s = 0; s <= 30; s += 5) {
      const xx = Math.round(x(start + s * 1000)) + 0.5;
      g.beginPath(); g.moveTo(xx, top); g.lineTo(xx, hgt - bottom); g.stroke();
      g.fillText(s === 30 ? 'now' : '−' + (30 - s) + ' s', xx - 12, hgt - 6);
    }
    if (!h) return;
    g.lineWidth = 1.6;
    for (let a = 0; a < c.axes; a++) {
      g.strokeStyle = colors[a];
      g.beginPath();
      for (let i = first; i < h.t.length; i++) {
        const xx = x(h.t[i]), yy = y(h.p[a][i]);
        if (i === first) g.moveTo(xx, yy); else g.lineTo(xx, yy);
      }
      g.stroke();
    }
  }

  // ---- protocol lines ----
  const lineStore = new Map();  // controller -> [{seq, time, dir, garbage, text}]
  let linesShown = -1;
  let linesDrawn = 0;
  // The lines from before the page opened, once per simulated controller.
  const backfilled = new Set();
  async function backfill(index) {
    backfilled.add(index);
    try {
      const response = await fetch('/api/lines?controller=' + index);
      const answer = await response.json();
      const list = lineStore.get(index) || [];
      const oldest = list.length ? list[0].seq : Infinity;
      const earlier = answer.lines.filter((l) => l[0] < oldest)
        .map(([seq, time, dir, garbage, text]) => ({ seq, time, dir, garbage, text }));
      lineStore.set(index, trimLines(earlier.concat(list)));
      drawLines(true);
    } catch (e) { /* the live lines still come */ }
  }
  function storeLines(state) {
    state.controllers.forEach((c, index) => { if (c.sim && !backfilled.has(index)) backfill(index); });
    for (const [index, seq, time, dir, garbage, text] of state.lines) {
      let list = lineStore.get(index);
      if (!list) { list = []; lineStore.set(index, list); }
      list.push({ seq, time, dir, garbage, text });
      if (list.length > 3000) lineStore.set(index, trimLines(list));
    }
  }
  // Keeps the last 2000 lines, giving up the oldest status lines first.
  function trimLines(list) {
    if (list.length <= 2000) return list;
    let excess = list.length - 2000;
    const kept = list.filter((line) => {
      if (excess > 0 && line.text.startsWith('100:')) { excess--; return false; }
      return true;
    });
    return kept.length > 2000 ? kept.slice(-2000) : kept;
  }
  function lineFilter() {
    const text = $('lines-filter').value;
    if (text.length > 2 && text.startsWith('/') && text.endsWith('/')) {
      try { const re = new RegExp(text.slice(1, -1)); return (s) => re.test(s); } catch (e) { return () => false; }
    }
    return (s) => s.includes(text);
  }
  function drawLines(force) {
    if ($('sim-card').hidden || ($('lines-pause').checked && !force)) return;
    const now = performance.now();
    const list = lineStore.get(panel.selected) || [];
    const newest = list.length ? list[list.length - 1].seq : 0;
    if (!force && newest === linesShown) return;
    if (!force && now - linesDrawn < 150) return;
    linesDrawn = now;
    linesShown = newest;
    const showStatus = $('lines-status').checked;
    const keep = lineFilter();
    const box = $('lines');
    const atBottom = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
    const shown = [];
    for (let i = list.length - 1; i >= 0 && shown.length < 300; i--) {
      const line = list[i];
      if (!showStatus && line.text.startsWith('100:')) continue;
      if (!keep(line.text)) continue;
      shown.push(line);
    }
    shown.reverse();
    const fragment = document.createDocumentFragment();
    for (const line of shown) {
      const d = new Date(line.time);
      const stamp = d.toTimeString().slice(0, 8) + '.' + String(d.getMilliseconds()).padStart(3, '0');
      const row = el('div', { class: line.garbage ? 'garbage' : line.dir === '<' ? 'to-ctl' : 'to-lib' });
      row.appendChild(el('span', { class: 't', text: stamp + (line.dir === '<' ? '  lib→ctl  ' : '  ctl→lib  ') }));
      row.appendChild(document.createTextNode(line.text));
      fragment.appendChild(row);
    }
    box.textContent = '';
    box.appendChild(fragment);
    if (atBottom) box.scrollTop = box.scrollHeight;
  }
  for (const id of ['lines-filter', 'lines-status', 'lines-pause']) {
    $(id).addEventListener('input', () => drawLines(true));
  }

  // ---- the stream ----
  let source = null;
  function connect() {
    source = new EventSource('/api/events?session=' + panel.session);
    source.onopen = () => { panel.live = true; };
    source.onmessage = (event) => {
      const arrival = Date.now();
      const message = JSON.parse(event.data);
      panel.frames++;
      panel.you = message.you;
      panel.held = message.held;
      panel.state = message.state;
      rateWindow.push(arrival);
      while (rateWindow.length && arrival - rateWindow[0] > 2000) rateWindow.shift();
      panel.rate = rateWindow.length / 2;
      record(message.state, arrival);
      storeLines(message.state);
      const live = $('live');
      setClass(live, 'on', true);
      setClass(live, 'off', false);
      setText($('live-text'), 'live, ' + panel.rate.toFixed(0) + '/s');
      // Notices from before this page opened are not shown.
      const notices = message.state.notices;
      if (lastNotice < 0) lastNotice = notices.length ? notices[notices.length - 1][0] : 0;
      for (const [seq, text] of notices) {
        if (seq > lastNotice) {
          showMessage(text, 'note');
          lastNotice = seq;
        }
      }
      render();
      if (!panel.you && !panel.held && arrival - lastClaim > 1000) {
        lastClaim = arrival;
        post('/api/claim', {});
      }
    };
    source.onerror = () => {
      panel.live = false;
      stopJog('the connection to the panel was lost');
      const live = $('live');
      setClass(live, 'on', false);
      setClass(live, 'off', true);
      setText($('live-text'), 'connection lost');
    };
  }

  // ---- fixed controls ----
  $('stop-all').addEventListener('click', () => {
    if (jog) stopJog('stop all');
    panel.events.push({ type: 'stop-all', time: Date.now() });
    post('/api/stop-all', {});
  });
  document.addEventListener('keydown', (e) => { if (e.key === 'Escape') $('stop-all').click(); });
  $('take-over').addEventListener('click', () => post('/api/claim', { force: true }));
  $('outputs-on').addEventListener('click', () => post('/api/outputs', { controller: current(), on: true }));
  $('outputs-off').addEventListener('click', () => post('/api/outputs', { controller: current(), on: false }));
  $('fly-setup').addEventListener('click', () => post('/api/fly/setup', {
    controller: current(), axis: Number($('fly-axis').value), count: Number($('fly-count').value),
    interval: Number($('fly-interval').value),
  }));
  $('fly-start').addEventListener('click', () => post('/api/fly/start', {
    controller: current(), trigger: Number($('fly-trigger').value), mode: Number($('fly-mode').value),
  }));
  $('raw-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    const text = $('raw-text').value;
    if (!text) return;
    const history = $('raw-history');
    const row = el('div', { text: '> ' + text + '   (waiting about 1 s)' });
    history.prepend(row);
    const answer = await post('/api/raw', { controller: current(), text, newline: $('raw-newline').checked });
    row.textContent = '> ' + text + '   → ' + (answer.ok ? answer.answer : 'refused: ' + answer.error);
  });
  $('fault-drop').addEventListener('click', () => post('/api/sim/fault', { controller: current(), fault: 'drop' }));
  $('fault-silent').addEventListener('click', () => post('/api/sim/fault', {
    controller: current(), fault: 'silent', on: !$('fault-silent').classList.contains('active'),
  }));
  $('fault-garbage').addEventListener('click', () => post('/api/sim/fault', {
    controller: current(), fault: 'garbage',
    probability: $('fault-garbage').classList.contains('active') ? 0 : Number($('fault-garbage-p').value),
  }));
  $('fault-delay').addEventListener('click', () => post('/api/sim/fault', {
    controller: current(), fault: 'delay',
    ms: $('fault-delay').classList.contains('active') ? 0 : Number($('fault-delay-ms').value),
  }));

  requestAnimationFrame(drawChart);
  connect();
})();
