// Helpers shared by the pages.
'use strict';

function hex(v) { return '0x' + (v >>> 0).toString(16).toUpperCase(); }

async function api(path, options) {
  const res = await fetch(path, options);
  let body = null;
  try { body = await res.json(); } catch (e) { body = { error: res.statusText }; }
  if (!res.ok && !(body && body.state)) throw new Error(body && body.error ? body.error : res.statusText);
  return body;
}

function postJson(path, body) {
  return api(path, { method: 'POST', headers: { 'Content-Type': 'application/json' },
                     body: JSON.stringify(body) });
}

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === 'class') e.className = v; else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(String(c)));
  return e;
}

function parseHex(text) {
  const t = text.trim().replace(/^0x/i, '');
  if (!/^[0-9a-f]{1,8}$/i.test(t)) return null;
  return parseInt(t, 16) >>> 0;
}
