// SPDX-License-Identifier: GPL-2.0-or-later
// The status page. Every text from /status is set with textContent: a title is data, never
// markup. It polls /status every 2 seconds and shows when the bridge cannot be reached.
#include "status_page.hpp"

namespace marlod {

const std::string_view kStatusPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="color-scheme" content="light dark">
<title>marlod</title>
<link rel="icon" href="data:,">
<style>
:root { --bg:#f6f6f4; --fg:#1c1c1c; --dim:#666; --card:#fff; --line:#ddd;
  --lcd:#0f2a1d; --lcdfg:#b8f5c8; --ok:#1a7f37; --bad:#c62828; --warn:#a15c00; }
@media (prefers-color-scheme: dark) {
  :root { --bg:#16181a; --fg:#e6e6e6; --dim:#9a9a9a; --card:#202326; --line:#33373b;
    --lcd:#081a10; --lcdfg:#9be7ad; --ok:#4cc36a; --bad:#ff6b6b; --warn:#e0a040; } }
* { box-sizing: border-box; }
body { margin:0; padding:0.8rem; background:var(--bg); color:var(--fg);
  font:15px/1.4 system-ui, sans-serif; }
main { max-width:60rem; margin:0 auto; }
header { display:flex; flex-wrap:wrap; align-items:baseline; gap:0.3rem 1rem; }
h1 { font-size:1.2rem; margin:0; }
h2 { font-size:1rem; margin:1.2rem 0 0.4rem; }
.dim { color:var(--dim); }
#link { margin-left:auto; font-size:0.85rem; }
#link.down { color:var(--bad); font-weight:bold; }
.receiver { background:var(--lcd); color:var(--lcdfg); border-radius:8px; padding:0.9rem 1rem;
  margin-top:0.6rem; font-family:ui-monospace, monospace; overflow-wrap:anywhere; }
.receiver .title { font-size:1.5rem; font-weight:bold; }
.receiver .artist { font-size:1.15rem; }
.receiver div:empty { display:none; }
.badge { display:inline-block; padding:0 0.4rem; border-radius:4px; font-size:0.8rem;
  border:1px solid currentColor; margin-left:0.4rem; }
.meta { display:grid; grid-template-columns:repeat(auto-fit, minmax(11rem, 1fr)); gap:0.4rem;
  margin-top:0.6rem; }
.meta div, .card { background:var(--card); border:1px solid var(--line); border-radius:6px;
  padding:0.4rem 0.6rem; }
.meta b { display:block; font-size:0.75rem; color:var(--dim); font-weight:normal; }
#groups .card { margin-top:0.4rem; }
dl { display:grid; grid-template-columns:max-content 1fr; gap:0.1rem 0.8rem; margin:0; }
dt { color:var(--dim); } dd { margin:0; overflow-wrap:anywhere; }
.table { overflow-x:auto; }
table { border-collapse:collapse; width:100%; background:var(--card); font-size:0.9rem; }
th, td { text-align:left; padding:0.3rem 0.5rem; border-bottom:1px solid var(--line);
  vertical-align:top; }
th { font-weight:normal; color:var(--dim); font-size:0.8rem; }
.ok { color:var(--ok); font-weight:bold; white-space:nowrap; }
.bad { color:var(--bad); font-weight:bold; white-space:nowrap; }
#events { list-style:none; padding:0; margin:0; font-family:ui-monospace, monospace;
  font-size:0.82rem; }
#events li { padding:0.15rem 0; border-bottom:1px solid var(--line); overflow-wrap:anywhere; }
#events .error { color:var(--bad); } #events .warning { color:var(--warn); }
#events .debug { color:var(--dim); }
@media (max-width:40rem) { body { padding:0.5rem; } .receiver .title { font-size:1.25rem; }
  .hide-narrow { display:none; } }
</style>
</head>
<body>
<main>
<header><h1 id="station">marlod</h1><span class="dim" id="version"></span>
<span id="link">connecting…</span></header>

<section aria-label="On air">
<div class="receiver" id="receiver">
  <div class="title" id="f-title"></div><div class="artist" id="f-artist"></div>
  <div id="f-album"></div><div id="f-comment"></div>
</div>
<div class="meta" id="meta"></div>
<div id="groups"></div>
</section>

<h2>Exciters</h2>
<div class="table"><table><thead><tr><th>State</th><th>Exciter</th><th>Title sent</th>
<th>Last send</th><th>Sends</th><th>Errors</th><th class="hide-narrow">Last error</th></tr>
</thead><tbody id="exciters"></tbody></table></div>

<h2>Inputs</h2>
<div class="table"><table><thead><tr><th>State</th><th>Input</th><th>Last event</th>
<th>Accepted</th><th>Skipped</th></tr></thead><tbody id="inputs"></tbody></table></div>

<h2>Recent events</h2>
<ul id="events"></ul>
</main>
<script>
'use strict';
const $ = (id) => document.getElementById(id);
// Every text goes in through textContent: nothing from the bridge is ever parsed as markup.
function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}
function span(seconds) {
  if (seconds === null || seconds === undefined || !isFinite(seconds)) return '–';
  seconds = Math.max(0, Math.round(seconds));
  const h = Math.floor(seconds / 3600), m = Math.floor(seconds / 60) % 60, s = seconds % 60;
  return h ? `${h} h ${m} min` : m ? `${m} min ${s} s` : `${s} s`;
}
function clock(iso) {
  if (!iso) return '–';
  const d = new Date(iso);
  return isNaN(d) ? String(iso) : d.toLocaleTimeString();
}
function secondsBetween(a, b) { return (Date.parse(b) - Date.parse(a)) / 1000; }
function mark(healthy) {
  return el('span', healthy ? '● OK' : '✕ FAIL', healthy ? 'ok' : 'bad');
}
function row(cells) {
  const tr = document.createElement('tr');
  for (const c of cells) {
    const td = document.createElement('td');
    if (c instanceof Node) td.append(c); else td.textContent = c === null || c === undefined ? '–' : String(c);
    tr.append(td);
  }
  return tr;
}
function pairs(title, entries) {
  const card = el('div', null, 'card');
  card.append(el('b', title));
  const dl = document.createElement('dl');
  for (const [k, v] of entries) {
    if (v === null || v === undefined || v === '') continue;
    dl.append(el('dt', k), el('dd', v));
  }
  card.append(dl);
  return card;
}

function render(s) {
  $('station').textContent = s.station || 'marlod';
  document.title = (s.on_air && s.on_air.fields && s.on_air.fields.title ? s.on_air.fields.title + ' – ' : '') +
    (s.station || 'marlod');
  $('version').textContent = `marlod ${s.version || ''}, up ${span(s.uptime_seconds)}`;

  const air = s.on_air, f = (air && air.fields) || {};
  $('f-title').textContent = air ? (air.flush ? '(cleared: receivers show no text)' : f.title || '') : 'Nothing on air yet';
  $('f-artist').textContent = f.artist || '';
  $('f-album').textContent = f.album || '';
  $('f-comment').textContent = [f.comment_title, f.comment].filter(Boolean).join(': ');
  const meta = $('meta');
  meta.replaceChildren();
  if (air) {
    const cell = (label, value, badge) => {
      const d = el('div'); d.append(el('b', label), el('span', value));
      if (badge) d.append(el('span', badge, 'badge'));
      meta.append(d);
    };
    cell('Content ID', air.content_id, air.fallback ? 'fallback' : null);
    cell('On air since', `${clock(air.since)} (${span(secondsBetween(air.since, s.now))} ago)`);
    cell('Expires', air.expires ? `${clock(air.expires)} (in ${span(secondsBetween(s.now, air.expires))})` : 'never');
    cell('Encoding', air.encoding || '–');
    if (f.genre) cell('Genre', f.genre);
  }
  const groups = $('groups');
  groups.replaceChildren();
  if (air && air.commercial) {
    const c = air.commercial;
    groups.append(pairs('Commercial', [['Price', c.price], ['Valid until', c.valid_until],
      ['Contact', c.contact_url], ['Received as', c.received_as], ['Seller', c.seller],
      ['Description', c.description]]));
  }
  if (air && air.ufid) groups.append(pairs('UFID', [['Owner', air.ufid.owner], ['Identifier', air.ufid.identifier]]));

  const ex = $('exciters');
  ex.replaceChildren();
  for (const e of s.exciters || []) {
    const sent = e.on_air && e.on_air.fields ? e.on_air.fields.title : null;
    ex.append(row([mark(e.healthy), `${e.name} (${e.packet || '?'}, ${e.encoding || '?'}${e.delay_ms ? `, +${e.delay_ms} ms` : ''})`,
      sent, e.last_send ? `${clock(e.last_send)} (${span(secondsBetween(e.last_send, s.now))} ago)` : 'never',
      e.sends, e.errors, e.last_error ? `${e.last_error} (${clock(e.last_error_at)})` : null]));
    ex.lastChild.lastChild.className = 'hide-narrow';
  }
  const inp = $('inputs');
  inp.replaceChildren();
  for (const i of s.inputs || []) {
    inp.append(row([mark(i.connected !== false), `${i.name || i.kind}${i.address ? ' ' + i.address : ''}`,
      i.last_event ? `${clock(i.last_event)} (${span(i.last_event_age_seconds)} ago)` : 'none yet',
      i.accepted, i.skipped]));
  }
  const ev = $('events');
  ev.replaceChildren();
  for (const e of (s.events || []).slice().reverse()) {
    const li = el('li', `${clock(e.time)} ${e.text}`, e.level);
    ev.append(li);
  }
}

async function refresh() {
  const link = $('link');
  try {
    const r = await fetch('status', { cache: 'no-store' });
    if (!r.ok) throw new Error(`HTTP ${r.status}`);
    render(await r.json());
    link.textContent = `updated ${new Date().toLocaleTimeString()}`;
    link.className = '';
  } catch (err) {
    link.textContent = `bridge unreachable (${err.message})`;
    link.className = 'down';
  }
}
refresh();
setInterval(refresh, 2000);
</script>
</body>
</html>
)PAGE";

}  // namespace marlod
