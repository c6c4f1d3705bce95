'use strict';
// The panel's page: renders the state the server pushes, sends the user's actions back, and moves
// the meters. A part of the page is rebuilt only when its shape changes (streams, effects, channels);
// otherwise its values are updated in place, so a slider being moved keeps its focus.
(() => {
  const token = new URLSearchParams(location.search).get('token') || '';
  const FLOOR = -60; // dBFS shown as the bottom of a meter
  const $ = (id) => document.getElementById(id);

  function el(tag, attrs = {}, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs)) {
      if (value === undefined || value === null || value === false) continue;
      if (key === 'class') node.className = value;
      else if (key === 'text') node.textContent = value;
      else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
      else node.setAttribute(key, value === true ? '' : value);
    }
    for (const child of children.flat()) if (child !== null && child !== undefined) node.append(child);
    return node;
  }

  // ---- talking to the server ----
  async function act(name, args = {}) {
    let response;
    try {
      response = await fetch('/api/' + name, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json', 'X-Vantrell-Token': token },
        body: JSON.stringify(args),
      });
    } catch (failure) {
      showError('The panel server does not answer: ' + failure.message);
      throw failure;
    }
    const body = await response.json().catch(() => ({}));
    if (!response.ok) {
      showError(body.error || 'HTTP ' + response.status);
      throw new Error(body.error);
    }
    return body;
  }
  const quietly = (promise) => promise.catch(() => {});

  // ---- notices ----
  const dismissed = new Set();
  let serverNotices = [];
  const errors = [];
  function showError(text, kind = 'error') {
    const entry = { text, kind };
    errors.push(entry);
    setTimeout(() => { errors.splice(errors.indexOf(entry), 1); renderNotices(); }, 8000);
    renderNotices();
  }
  function renderNotices() {
    const box = $('notices');
    box.replaceChildren(
      ...serverNotices.filter((n) => !dismissed.has(n.id)).map((n) =>
        el('div', { class: 'notice', role: 'status' }, el('span', { text: n.text }),
          el('button', { 'aria-label': 'Dismiss: ' + n.text, text: 'Dismiss',
            onclick: () => { dismissed.add(n.id); renderNotices(); } }))),
      ...errors.map((e) => el('div', { class: 'notice ' + e.kind, role: e.kind === 'error' ? 'alert' : 'status' },
        el('span', { text: e.text }))));
  }

  // ---- names, numbers ----
  const chainName = (id) => (id === -1 ? 'Master' : 'Stream ' + id);
  const chainWords = (id) => (id === -1 ? 'the master chain' : 'stream ' + id);
  function parameterLabel(id, effect, parameter) {
    if (effect === 'VolumeEffect' && parameter === 'volume') return chainName(id) + ' volume';
    return `${chainName(id)} ${effect} ${parameter}`;
  }
  function stepFor(p) {
    const span = p.max - p.min;
    if (!(span > 0)) return 'any';
    return Math.pow(10, Math.floor(Math.log10(span / 200)));
  }
  const decimalsOf = (step) => (step === 'any' || step >= 1 ? 0 : Math.min(4, Math.round(-Math.log10(step))));
  const clampDb = (db) => Math.max(FLOOR, Math.min(0, db));
  const percent = (db) => ((clampDb(db) - FLOOR) / -FLOOR) * 100 + '%';

  // ---- meters ----
  function meter(label, extraClass) {
    const rms = el('div', { class: 'rms' }), peak = el('div', { class: 'peak' });
    const node = el('div', { class: 'bar ' + (extraClass || ''), role: 'meter', 'aria-label': label,
      'aria-valuemin': FLOOR, 'aria-valuemax': 0, 'aria-valuenow': FLOOR, 'aria-valuetext': 'silence' },
      rms, el('div', { class: 'ticks' }), peak);
    return {
      node,
      set(peakDb, rmsDb, readout) {
        rms.style.width = percent(rmsDb);
        peak.style.left = `calc(${percent(peakDb)} - 2px)`;
        const silent = peakDb <= FLOOR;
        node.setAttribute('aria-valuenow', clampDb(peakDb).toFixed(1));
        const text = silent ? 'silence' : `${peakDb.toFixed(1)} dB peak, ${rmsDb.toFixed(1)} dB RMS`;
        node.setAttribute('aria-valuetext', text);
        if (readout) readout.textContent = silent ? '—' : `${peakDb.toFixed(1)} / ${rmsDb.toFixed(1)}`;
      },
    };
  }

  // ---- effect chains (a stream's or the master's) ----
  function slider(id, effect, p) {
    const step = stepFor(p);
    const format = (v) => (v === null || v === undefined ? '—' : Number(v).toFixed(decimalsOf(step)));
    const range = el('input', { type: 'range', min: p.min, max: p.max, step, value: p.value ?? p.min,
      'aria-label': parameterLabel(id, effect, p.name) });
    const out = el('output', { text: format(p.value) });
    let busy = false, pending = null, touched = 0;
    // One request at a time, the latest value next: a fast drag never queues stale values.
    function send(value) {
      if (busy) { pending = value; return; }
      busy = true;
      quietly(act('setParameter', { id, effect, parameter: p.name, value })).finally(() => {
        busy = false;
        if (pending !== null) { const next = pending; pending = null; send(next); }
      });
    }
    range.addEventListener('input', () => { touched = Date.now(); out.textContent = format(range.value); send(Number(range.value)); });
    const node = el('div', { class: 'param' }, el('span', { text: p.name }), range, out);
    node.update = (value) => {
      // What the user is moving wins over what the engine said a moment ago.
      if (busy || Date.now() - touched < 1000 || value === null) return;
      range.value = value;
      out.textContent = format(value);
    };
    return node;
  }

  function chainView(id, chain) {
    const effects = chain.effects.map((effect) => {
      const toggle = el('input', { type: 'checkbox', 'aria-label': `${chainName(id)} ${effect.name} enabled`,
        onchange: (event) => quietly(act('enableEffect', { id, effect: effect.name, on: event.target.checked })) });
      const params = effect.parameters.map((p) => slider(id, effect.name, p));
      const removable = effect.name !== 'VolumeEffect';
      const item = el('li', { class: 'effect' },
        el('div', { class: 'effect-head' }, el('label', {}, toggle, ' ' + effect.name),
          removable ? el('button', { class: 'remove danger', 'aria-label': `Remove ${effect.name} from ${chainWords(id)}`,
            text: '×', onclick: () => quietly(act('removeEffect', { id, effect: effect.name })) }) : null),
        params);
      item.update = (e) => {
        toggle.checked = e.enabled;
        item.classList.toggle('off', !e.enabled);
        e.parameters.forEach((p, i) => params[i].update(p.value));
      };
      return item;
    });
    const picker = el('select', { 'aria-label': `Effect to add to ${chainWords(id)}` },
      chain.addable.map((name) => el('option', { value: name, text: name })));
    const add = el('div', { class: 'add-effect' }, picker,
      el('button', { text: 'Add effect', 'aria-label': `Add effect to ${chainWords(id)}`, disabled: chain.addable.length === 0,
        onclick: () => quietly(act('addEffect', { id, effect: picker.value })) }));
    const node = el('div', { class: 'chain' }, el('ul', { class: 'effects' }, effects), add);
    node.update = (c) => c.effects.forEach((e, i) => effects[i].update(e));
    return node;
  }

  const chainShape = (chain) =>
    [chain.effects.map((e) => [e.name, e.parameters.map((p) => [p.name, p.min, p.max])]), chain.addable];

  // ---- streams ----
  function routingView(s) {
    const cells = [];
    const head = el('tr', {}, el('th', { text: 'in \\ out' }),
      Array.from({ length: s.outputChannels }, (_, o) => el('th', { scope: 'col', text: String(o + 1) })));
    const rows = Array.from({ length: s.inputChannels }, (_, i) =>
      el('tr', {}, el('th', { scope: 'row', text: String(i + 1) }),
        Array.from({ length: s.outputChannels }, (_, o) => {
          const cell = el('button', { class: 'route', 'aria-pressed': 'false',
            'aria-label': `Stream ${s.id} route ${i + 1} to ${o + 1}` });
          cell.addEventListener('click', () => {
            const on = cell.getAttribute('aria-pressed') !== 'true';
            quietly(act('route', { id: s.id, input: i, output: o, on }));
          });
          cells.push({ cell, i, o });
          return el('td', {}, cell);
        })));
    const node = el('div', { class: 'routing' }, el('div', { class: 'label', text: 'Routing' }),
      el('table', {}, el('thead', {}, head), el('tbody', {}, rows)));
    node.update = (stream) => {
      for (const { cell, i, o } of cells) {
        const on = stream.routes.some(([a, b]) => a === i && b === o);
        cell.setAttribute('aria-pressed', String(on));
      }
    };
    return node;
  }

  function streamCard(s) {
    const badge = el('span', { class: 'badge' });
    const runButton = el('button', {});
    runButton.addEventListener('click', () => {
      const running = runButton.dataset.running === 'true';
      quietly(act(running ? 'stopStream' : 'startStream', { id: s.id }));
    });
    const group = s.group >= 0 ? el('span', { class: 'chip', text: 'group ' + s.group }) : null;
    const overall = meter(`Stream ${s.id} level`, 'overall');
    const facts = el('div', { class: 'facts' });
    const channels = Array.from({ length: s.outputChannels }, (_, c) => {
      const readout = el('span', { text: '—' });
      const m = meter(`Stream ${s.id} channel ${c + 1} level`);
      return { m, readout, row: el('div', { class: 'meter-row' }, el('span', { text: String(c + 1) }), m.node, readout) };
    });
    const routing = routingView(s);
    const chain = chainView(s.id, s.chain);
    const device = (d) => el('span', { class: d.missing ? 'badge missing' : '', text: d.name });
    const node = el('article', { class: 'stream', 'aria-label': 'Stream ' + s.id, 'data-stream': s.id },
      el('div', { class: 'stream-head' }, el('h3', { text: 'Stream ' + s.id }),
        el('span', { class: 'devices' }, device(s.input), ' → ', device(s.output)), badge, group, overall.node,
        el('div', { class: 'actions' }, runButton,
          el('button', { class: 'danger', text: 'Remove', 'aria-label': `Remove stream ${s.id}`,
            onclick: () => quietly(act('removeStream', { id: s.id })) }))),
      facts,
      el('div', { class: 'stream-body' },
        el('div', {}, el('div', { class: 'label', text: 'Levels (dBFS peak / RMS)' }),
          el('div', { class: 'meters' }, channels.map((c) => c.row))),
        routing,
        el('div', {}, el('div', { class: 'label', text: 'Effects' }), chain)));
    return {
      node,
      update(stream, groupColors) {
        badge.textContent = stream.running ? 'running' : 'stopped';
        badge.className = 'badge' + (stream.running ? ' running' : '');
        runButton.textContent = stream.running ? 'Stop' : 'Start';
        runButton.dataset.running = String(stream.running);
        runButton.setAttribute('aria-label', `${stream.running ? 'Stop' : 'Start'} stream ${stream.id}`);
        facts.textContent = `${stream.sampleRate ? stream.sampleRate + ' Hz' : 'rate at start'} · ` +
          `${stream.bufferFrames} frames · ${stream.inputChannels} in → ${stream.outputChannels} out · ${stream.name}`;
        const colour = groupColors.get(stream.group);
        node.style.borderLeftColor = colour || '';
        if (group) group.style.background = colour || 'var(--muted)';
        routing.update(stream);
        chain.update(stream.chain);
      },
      levels(list) {
        let peak = -Infinity, rms = -Infinity;
        channels.forEach((c, i) => {
          const [p, r] = (list && list[i]) || [-120, -120];
          c.m.set(p, r, c.readout);
          peak = Math.max(peak, p);
          rms = Math.max(rms, r);
        });
        overall.set(channels.length ? peak : -120, channels.length ? rms : -120);
      },
    };
  }

  const streamShape = (s) => JSON.stringify([s.inputChannels, s.outputChannels, s.input, s.output, s.group,
    chainShape(s.chain)]);

  // ---- rendering the state ----
  const cards = new Map(); // stream id -> { card, shape }
  let masterView = null, masterShape = '';
  let lastGroups = '', lastDevices = '';

  // Rebuilding a part keeps the keyboard where it was.
  function replacing(oldNode, build) {
    const focused = oldNode && oldNode.contains(document.activeElement) ? document.activeElement.getAttribute('aria-label') : null;
    const fresh = build();
    if (oldNode) oldNode.replaceWith(fresh.node || fresh);
    if (focused) {
      const again = (fresh.node || fresh).querySelector(`[aria-label="${CSS.escape(focused)}"]`);
      if (again) again.focus();
    }
    return fresh;
  }

  function renderStreams(state, groupColors) {
    const list = $('stream-list');
    const seen = new Set();
    state.streams.forEach((s, index) => {
      seen.add(s.id);
      const shape = streamShape(s);
      let entry = cards.get(s.id);
      if (!entry || entry.shape !== shape) {
        const card = replacing(entry && entry.card.node, () => streamCard(s));
        entry = { card, shape };
        cards.set(s.id, entry);
      }
      if (list.children[index] !== entry.card.node) list.insertBefore(entry.card.node, list.children[index] || null);
      entry.card.update(s, groupColors);
    });
    for (const [id, entry] of cards) if (!seen.has(id)) { entry.card.node.remove(); cards.delete(id); }
    $('no-streams').hidden = state.streams.length > 0 || !state.engine.connected;
  }

  function renderMaster(master) {
    const shape = JSON.stringify(chainShape(master));
    if (!masterView) $('master').replaceChildren(masterView = chainView(-1, master));
    else if (shape !== masterShape) masterView = replacing(masterView, () => chainView(-1, master));
    masterShape = shape;
    masterView.update(master);
  }

  function renderGroups(groups) {
    const text = JSON.stringify(groups);
    if (text === lastGroups) return;
    lastGroups = text;
    const box = $('groups');
    if (!groups.length) { box.replaceChildren(el('p', { class: 'empty', text: 'No groups. Link streams from the console.' })); return; }
    box.replaceChildren(...groups.map((g) => el('div', { class: 'group', 'aria-label': 'Group ' + g.id },
      el('span', { class: 'swatch', style: 'background:' + g.color, title: g.color }),
      el('div', {}, el('div', { text: `Group ${g.id}: ${g.members.length ? 'streams ' + g.members.join(', ') : 'no streams'}` }),
        el('div', { class: 'detail', text: `volume sync ${g.volumeSync}` +
          (g.effects.length ? ` · shares ${g.effects.join(', ')}` : '') })))));
  }

  function renderDevices(devices) {
    const text = JSON.stringify(devices);
    if (text === lastDevices) return;
    lastDevices = text;
    const list = (items) => el('ul', {}, items.map((d) => el('li', {}, el('span', { class: 'id', text: String(d.id) }),
      el('span', { text: d.name }), el('span', { class: 'ch', text: d.channels + ' ch' }))));
    $('devices').replaceChildren(el('div', { class: 'devices' }, el('h3', { text: 'Inputs' }), list(devices.inputs),
      el('h3', { text: 'Outputs' }), list(devices.outputs)));
    for (const [select, items, fallback] of [[$('add-input'), devices.inputs, 'Default input'],
      [$('add-output'), devices.outputs, 'Default output']]) {
      const chosen = select.value;
      select.replaceChildren(el('option', { value: '0', text: fallback }),
        ...items.map((d) => el('option', { value: String(d.id), text: d.name })));
      if ([...select.options].some((o) => o.value === chosen)) select.value = chosen;
    }
  }

  function render(state) {
    const engine = $('engine');
    engine.textContent = state.engine.connected ? 'engine at ' + state.engine.socket
      : 'engine not running at ' + state.engine.socket + ' (waiting for it)';
    engine.className = 'engine ' + (state.engine.connected ? 'up' : 'down');
    const groupColors = new Map(state.groups.map((g) => [g.id, g.color]));
    renderStreams(state, groupColors);
    renderMaster(state.master);
    renderGroups(state.groups);
    renderDevices(state.devices);
    serverNotices = state.notices;
    renderNotices();
  }

  // ---- meters' rate, measured where they are shown ----
  const stats = { levelEvents: 0, rate: 0 };
  window.vantrellPanel = stats;
  let windowStart = performance.now(), inWindow = 0;
  function levels(reading) {
    stats.levelEvents += 1;
    inWindow += 1;
    const now = performance.now();
    if (now - windowStart >= 1000) {
      stats.rate = (inWindow * 1000) / (now - windowStart);
      $('rate').textContent = `meters ${stats.rate.toFixed(0)}/s`;
      windowStart = now;
      inWindow = 0;
    }
    for (const [id, entry] of cards) entry.card.levels(reading[String(id)]);
  }

  // ---- forms ----
  $('add-stream').addEventListener('submit', (event) => {
    event.preventDefault();
    const number = (id) => Math.max(0, parseInt($(id).value, 10) || 0);
    quietly(act('addStream', { input: number('add-input'), output: number('add-output'),
      inputChannels: number('add-in-channels'), outputChannels: number('add-out-channels'),
      sampleRate: number('add-rate'), bufferFrames: number('add-frames') }));
  });
  function session(action) {
    const name = $('session-name').value.trim();
    if (action !== 'newSession' && !name) { showError('Name the session file first.'); return; }
    if (action === 'newSession' && !confirm('Remove every stream and start a new session?')) return;
    act(action, action === 'newSession' ? {} : { name }).then((r) => {
      if (r.path) showError((action === 'saveSession' ? 'Saved ' : 'Loaded ') + r.path, 'info');
    }).catch(() => {});
  }
  $('session').addEventListener('submit', (event) => { event.preventDefault(); session('saveSession'); });
  for (const button of document.querySelectorAll('#session button[type=button]'))
    button.addEventListener('click', () => session(button.dataset.action));

  // ---- the event stream ----
  const events = new EventSource('/events?token=' + encodeURIComponent(token));
  events.addEventListener('state', (event) => render(JSON.parse(event.data)));
  events.addEventListener('levels', (event) => levels(JSON.parse(event.data)));
  events.addEventListener('error', () => {
    const engine = $('engine');
    engine.textContent = 'panel server not reachable (was vantrellctl web stopped?)';
    engine.className = 'engine down';
  });
})();
