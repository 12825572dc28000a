// The board page: register table, I2C, watched registers with their plot, and FPGA loads.
// Live values come from the gateway's event stream; the history it keeps fills the plot
// when the page opens.
'use strict';

const board = new URLSearchParams(location.search).get('board') || '';
const storeKey = 'zol_web.registers.' + board;

// What tests and curious people can look at: the plotted samples and when they arrived.
window.zol = { series: {}, arrivals: [], loadState: null };

const rows = new Map();      // addr -> row elements
let watched = new Map();     // addr -> interval
let readOnly = false;

function bitsHtml(v) {
  const wrap = el('span', { class: 'bits' });
  for (let hi = 31; hi >= 3; hi -= 4) {
    let g = '';
    for (let b = hi; b > hi - 4; --b) g += (v >>> b) & 1;
    wrap.append(el('span', { class: 'grp', title: 'bits ' + hi + '..' + (hi - 3) }, el('sup', {}, hi), g));
  }
  return wrap;
}

function showValue(addr, v) {
  const r = rows.get(addr);
  if (!r) return;
  r.hex.textContent = hex(v);
  r.dec.textContent = String(v >>> 0);
  r.bin.replaceChildren(bitsHtml(v >>> 0));
}

function saveAddrs() {
  localStorage.setItem(storeKey, JSON.stringify([...rows.keys()]));
}

function setError(text) { document.getElementById('reg-error').textContent = text || ''; }

async function readRegs(addrs) {
  if (!addrs.length) return;
  try {
    const data = await postJson('/api/read', { board, method: 'lb', addrs });
    for (const v of data.values) showValue(v.addr >>> 0, v.value);
    setError('');
  } catch (e) { setError('read: ' + e.message); }
}

function addRow(addr) {
  if (rows.has(addr)) return;
  const hexCell = el('td', { class: 'val-hex mono' }, '?');
  const decCell = el('td', { class: 'val-dec mono' });
  const binCell = el('td', { class: 'val-bin' });
  const value = el('input', { class: 'hex wr-value', placeholder: 'value' });
  const mask = el('input', { class: 'hex wr-mask', placeholder: 'FFFFFFFF' });
  const watch = el('input', { type: 'checkbox', class: 'watch' });
  const interval = el('select', { class: 'interval' });
  for (const s of [1, 2, 5, 10, 30, 60]) interval.append(el('option', { value: s }, s + ' s'));
  const tr = el('tr', { 'data-addr': hex(addr) },
    el('td', { class: 'mono' }, hex(addr)), hexCell, decCell, binCell,
    el('td', {}, el('button', { class: 'rd-btn', onclick: () => readRegs([addr]) }, 'Read')),
    el('td', {}, value, ' ', mask, ' ', el('button', { class: 'wr-btn writes', onclick: () => writeReg(addr) }, 'Write')),
    el('td', {}, watch, ' every ', interval),
    el('td', {}, el('button', { class: 'rm-btn', onclick: () => removeRow(addr) }, 'Remove')));
  watch.addEventListener('change', () => setWatch(addr, watch.checked, Number(interval.value)));
  interval.addEventListener('change', () => { if (watch.checked) setWatch(addr, true, Number(interval.value)); });
  rows.set(addr, { tr, hex: hexCell, dec: decCell, bin: binCell, value, mask, watch, interval });
  document.querySelector('#reg-table tbody').append(tr);
  applyReadOnly();
  saveAddrs();
}

function removeRow(addr) {
  const r = rows.get(addr);
  if (!r) return;
  if (r.watch.checked) setWatch(addr, false, 1);
  r.tr.remove();
  rows.delete(addr);
  saveAddrs();
}

async function writeReg(addr) {
  const r = rows.get(addr);
  const value = parseHex(r.value.value);
  const mask = r.mask.value.trim() ? parseHex(r.mask.value) : 0xFFFFFFFF;
  if (value === null || mask === null) { setError('write: value and mask are hexadecimal'); return; }
  try {
    const data = await postJson('/api/write', { board, method: 'lb', addr, value, mask });
    showValue(addr, data.value);
    setError('');
  } catch (e) { setError('write: ' + e.message); }
}

async function setWatch(addr, on, interval) {
  try {
    applyWatched(await postJson('/api/watch', { board, addr, interval, on }));
  } catch (e) {
    setError('watch: ' + e.message);
    const r = rows.get(addr);
    if (r) r.watch.checked = watched.has(addr);
  }
}

function applyWatched(list) {
  watched = new Map(list.registers.map(r => [r.addr >>> 0, r.interval]));
  for (const r of list.registers) {
    addRow(r.addr >>> 0);
    const row = rows.get(r.addr >>> 0);
    row.watch.checked = true;
    row.interval.value = String(r.interval);
    if (r.value !== undefined) showValue(r.addr >>> 0, r.value);
    if (!window.zol.series[hex(r.addr)]) window.zol.series[hex(r.addr)] = [];
  }
  for (const [addr, r] of rows) if (!watched.has(addr)) r.watch.checked = false;
  for (const key of Object.keys(window.zol.series))
    if (!watched.has(parseHex(key))) delete window.zol.series[key];
  schedulePlot();
}

// ---- Plot ----------------------------------------------------------------------------
let graph = null;
let plotQueued = false;

function addPoint(addr, t, v) {
  const s = window.zol.series[hex(addr)];
  if (!s) return false;
  if (s.length && s[s.length - 1][0] >= t) return false;
  s.push([t, v]);
  if (s.length > 100000) s.splice(0, s.length - 100000);
  return true;
}

function schedulePlot() {
  if (plotQueued) return;
  plotQueued = true;
  setTimeout(() => { plotQueued = false; drawPlot(); }, 250);
}

function drawPlot() {
  const keys = Object.keys(window.zol.series).sort();
  document.getElementById('plot-empty').hidden = keys.length > 0;
  const minutes = Number(document.getElementById('window').value);
  const from = minutes ? Date.now() - minutes * 60000 : 0;
  const byTime = new Map();
  keys.forEach((k, i) => {
    for (const [t, v] of window.zol.series[k]) {
      if (t < from) continue;
      let row = byTime.get(t);
      if (!row) { row = new Array(keys.length + 1).fill(null); row[0] = new Date(t); byTime.set(t, row); }
      row[i + 1] = v;
    }
  });
  const data = [...byTime.values()].sort((a, b) => a[0] - b[0]);
  if (!keys.length || !data.length) {
    if (graph) { graph.destroy(); graph = null; }
    return;
  }
  const options = { labels: ['time', ...keys], connectSeparatedPoints: true, drawPoints: true,
                    showRangeSelector: true, legend: 'always', labelsKMB: false };
  if (!graph || graph.getLabels().join() !== options.labels.join()) {
    if (graph) graph.destroy();
    graph = new Dygraph(document.getElementById('plot'), data, options);
  } else {
    graph.updateOptions({ file: data });
  }
}

async function loadHistory() {
  const data = await api('/api/history?board=' + encodeURIComponent(board));
  for (const s of Object.values(data.series)) {
    const key = hex(s.addr);
    window.zol.series[key] = window.zol.series[key] || [];
    for (const [t, v] of s.points) addPoint(s.addr >>> 0, t, v);
  }
  schedulePlot();
}

// ---- Live events ---------------------------------------------------------------------
function openStream() {
  const status = document.getElementById('stream');
  const events = new EventSource('/api/events?board=' + encodeURIComponent(board));
  events.onopen = () => {
    status.textContent = 'live';
    status.className = 'ok';
    // Whatever arrived while the stream was closed.
    loadHistory().catch(e => setError('history: ' + e.message));
    api('/api/fpga/status?board=' + encodeURIComponent(board)).then(showLoad, () => {});
  };
  events.onerror = () => { status.textContent = 'reconnecting'; status.className = 'bad'; };
  events.addEventListener('samples', ev => {
    const now = Date.now();
    for (const [addr, t, v] of JSON.parse(ev.data)) {
      window.zol.arrivals.push({ addr: addr >>> 0, t, v, page: now });
      if (addPoint(addr >>> 0, t, v)) showValue(addr >>> 0, v);
    }
    if (window.zol.arrivals.length > 2000) window.zol.arrivals.splice(0, 1000);
    schedulePlot();
  });
  events.addEventListener('watched', ev => applyWatched(JSON.parse(ev.data)));
  events.addEventListener('load', ev => showLoad(JSON.parse(ev.data)));
}

// ---- I2C ---------------------------------------------------------------------------
async function i2c(write) {
  const out = document.getElementById('i2c-result');
  const addr = parseHex(document.getElementById('i2c-addr').value);
  const value = parseHex(document.getElementById('i2c-value').value || '0');
  if (addr === null || addr > 0xFFFF || (write && (value === null || value > 0xFF))) {
    out.textContent = 'address word up to FFFF, value one byte';
    return;
  }
  try {
    const data = write
      ? await postJson('/api/write', { board, method: 'i2c', addr, value })
      : (await postJson('/api/read', { board, method: 'i2c', addrs: [addr] })).values[0];
    out.textContent = hex(data.addr) + ' = ' + hex(data.value & 0xFF) + ' (' + (data.value & 0xFF) + ')';
  } catch (e) { out.textContent = 'error: ' + e.message; }
}

// ---- FPGA --------------------------------------------------------------------------
let fpgaBytes = null;

async function inspectFile() {
  const input = document.getElementById('fpga-file');
  const info = document.getElementById('fpga-info');
  const select = document.getElementById('fpga-action');
  const load = document.getElementById('fpga-load');
  fpgaBytes = null;
  load.disabled = true;
  select.replaceChildren();
  info.replaceChildren(el('div', { class: 'muted' }, 'checking the file...'));
  if (!input.files.length) return;
  fpgaBytes = await input.files[0].arrayBuffer();
  try {
    const r = await api('/api/fpga/inspect', { method: 'POST', body: fpgaBytes,
                                              headers: { 'Content-Type': 'application/octet-stream' } });
    const parts = [el('div', { id: 'fpga-summary', 'data-file': input.files[0].name }, input.files[0].name + ': ' + (r.format_name || 'not a byte-code file') + ', ' + r.size + ' bytes, CRC ' +
                      (r.crc.ok ? 'matched' : 'bad'))];
    if (r.notes.length) parts.push(el('table', { id: 'fpga-notes' }, ...r.notes.map(n => el('tr', {}, el('th', {}, n.key), el('td', {}, n.value)))));
    if (r.actions.length) parts.push(el('div', { id: 'fpga-actions' }, 'Actions: ' + r.actions.map(a => a.name + (a.description ? ' (' + a.description + ')' : '')).join(', ')));
    if (!r.usable) parts.push(el('div', { class: 'bad', id: 'fpga-refusal' }, 'Refused: ' + r.refusal));
    info.replaceChildren(...parts);
    const actions = r.format === 2 ? r.actions.map(a => a.name) : ['configure'];
    for (const a of actions) select.append(el('option', { value: a }, a));
    if (actions.includes('configure')) select.value = 'configure';
    load.disabled = readOnly || !fpgaBytes;
  } catch (e) { info.replaceChildren(el('div', { class: 'bad' }, e.message)); }
}

async function startLoad() {
  if (!fpgaBytes) return;
  const input = document.getElementById('fpga-file');
  const action = document.getElementById('fpga-action').value || 'configure';
  const q = '?board=' + encodeURIComponent(board) + '&action=' + encodeURIComponent(action) +
            '&file=' + encodeURIComponent(input.files.length ? input.files[0].name : 'upload.jbc');
  try {
    showLoad(await api('/api/fpga/load' + q, { method: 'POST', body: fpgaBytes,
                                               headers: { 'Content-Type': 'application/octet-stream' } }));
  } catch (e) {
    const state = document.getElementById('fpga-state');
    state.textContent = 'failed: ' + e.message;
    state.className = 'bad';
  }
}

// A load's state reaches the page twice, from the request's answer and from the event stream,
// in either order: the older of the two is left unshown.
function newerLoad(load, shown) {
  if (!shown || load.started_ms !== shown.started_ms) return !shown || load.started_ms > shown.started_ms;
  return (load.revision || 0) >= (shown.revision || 0);
}

function showLoad(load) {
  if (!newerLoad(load, window.zol.loadState)) return;
  window.zol.loadState = load;
  const state = document.getElementById('fpga-state');
  const bar = document.getElementById('fpga-progress');
  const lines = document.getElementById('fpga-lines');
  let text = load.state;
  if (load.state === 'refused') text = 'refused: ' + load.error;
  if (load.state === 'failed') text = 'failed' + (load.error ? ': ' + load.error : '') +
    (load.result && load.result.exit_text ? ' (' + load.result.exit_text + ')' : '');
  if (load.state === 'running' && load.progress && load.progress.bits_total)
    text += ' ' + Math.round(100 * load.progress.bits_shifted / load.progress.bits_total) + ' %';
  if (load.file) text += ' - ' + load.file + ' / ' + load.action;
  state.textContent = text;
  state.className = load.state === 'loaded' ? 'ok' : (load.state === 'failed' || load.state === 'refused') ? 'bad' : '';
  const p = load.progress || {};
  bar.value = load.state === 'loaded' ? 1 : p.bits_total ? p.bits_shifted / p.bits_total : 0;
  const report = load.result && load.result.lines ? load.result.lines : [];
  lines.hidden = !report.length;
  lines.textContent = report.join('\n');
}

// ---- Start ---------------------------------------------------------------------------
function applyReadOnly() {
  for (const b of document.querySelectorAll('.writes')) b.disabled = readOnly;
}

async function start() {
  document.getElementById('title').textContent = board;
  document.title = board + ' - zol_web';
  document.getElementById('csv-link').href = '/api/history.csv?board=' + encodeURIComponent(board);
  document.getElementById('add-form').addEventListener('submit', ev => {
    ev.preventDefault();
    const addr = parseHex(document.getElementById('add-addr').value);
    if (addr === null) { setError('an address is hexadecimal, up to 8 digits'); return; }
    addRow(addr);
    readRegs([addr]);
    document.getElementById('add-addr').value = '';
  });
  document.getElementById('window').addEventListener('change', drawPlot);
  document.getElementById('i2c-read').addEventListener('click', () => i2c(false));
  document.getElementById('i2c-write').addEventListener('click', () => i2c(true));
  document.getElementById('fpga-file').addEventListener('change', inspectFile);
  document.getElementById('fpga-load').addEventListener('click', startLoad);
  try {
    const info = await api('/api/board?board=' + encodeURIComponent(board));
    const id = info.identity;
    document.getElementById('identity').textContent = 'system ' + id.system + ', type ' + id.type +
      ', revision ' + id.revision + ', serial ' + id.serial +
      (info.listing && info.listing.host ? ' - ' + info.listing.host + ' pid ' + info.listing.pid : '') +
      (info.read_only ? ' - read-only' : '');
    readOnly = info.read_only;
  } catch (e) { setError(e.message); }
  for (const a of JSON.parse(localStorage.getItem(storeKey) || '[]')) addRow(a >>> 0);
  try { applyWatched(await api('/api/watched?board=' + encodeURIComponent(board))); } catch (e) { setError(e.message); }
  try { showLoad(await api('/api/fpga/status?board=' + encodeURIComponent(board))); } catch (e) { /* no load yet */ }
  applyReadOnly();
  readRegs([...rows.keys()]);
  openStream();
  setInterval(() => { if (window.zol && Object.keys(window.zol.series).length) schedulePlot(); }, 5000);
}

start();
