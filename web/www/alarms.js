// Alarms: the units' reports as they arrive, the reports of a date range
// (every unit, or one), the alert mail lines waiting and the last results.
import { api, el, shortTime, localInput, isoOfInput } from './api.js';

const $ = (id) => document.getElementById(id);
const LIVE_ROWS = 500; // live rows kept on the page
// Any state but the normal one is shown as an alarm.
const isAlarm = (state) => !!state && !/^normal$/i.test(String(state).trim());

function unitLink(code) {
  const a = el('a', code, 'mono');
  a.href = `#unit/${encodeURIComponent(code)}`;
  return a;
}

export class AlarmsPage {
  constructor() {
    this.onError = () => {};
    this.live = 0;
    this.started = false;
    $('alarms-load').addEventListener('click', () => this.loadHistory());
  }

  show(onError) {
    this.onError = onError;
    if (!this.started) {
      this.started = true;
      const now = new Date();
      $('alarms-to').value = localInput(now);
      $('alarms-from').value = localInput(new Date(now.getTime() - 24 * 3600 * 1000));
    }
    this.loadHistory();
    this.loadMail();
  }

  hide() {}

  // Reports arrive on the event socket whichever page is shown, so that the
  // list is whole when the operator turns to it.
  onEvent(e) {
    if (e.kind === 'mail' && !$('page-alarms').hidden) this.loadMail();
    if (e.kind !== 'report' || !e.unit || !Array.isArray(e.alarms)) return;
    const body = $('alarms-live');
    for (const a of e.alarms) {
      const tr = el('tr', null, isAlarm(a.state) ? 'alarm' : '');
      tr.dataset.unit = e.unit;
      const what = el('td');
      what.append(el('strong', a.parameter || a.param), document.createTextNode(' '),
        el('span', a.state, 'state'));
      const unit = el('td');
      unit.append(unitLink(e.unit));
      tr.append(el('td', shortTime(e.time)), unit, what);
      body.prepend(tr);
      ++this.live;
    }
    while (body.rows.length > LIVE_ROWS) body.deleteRow(-1);
    $('alarms-live-count').textContent = `${this.live} since this page opened`;
  }

  message(text, bad) {
    $('alarms-message').textContent = text || '';
    $('alarms-message').classList.toggle('error', !!bad);
  }

  async loadHistory() {
    const params = new URLSearchParams();
    const from = isoOfInput($('alarms-from').value);
    const to = isoOfInput($('alarms-to').value);
    const code = $('alarms-code').value.trim();
    if (from) params.set('from', from);
    if (to) params.set('to', to);
    if (code) params.set('code', code);
    let data;
    try { data = await api('GET', `/api/alarms?${params}`); } catch (e) { this.onError(e, (m) => this.message(m, true)); return; }
    this.message(`${data.entries.length} reports${data.truncated ? ' (cut at the limit: narrow the range)' : ''}`);
    const rows = document.createDocumentFragment();
    for (const entry of data.entries) {
      for (const item of entry.items) {
        const tr = el('tr', null, isAlarm(item.value) ? 'alarm' : '');
        tr.dataset.unit = entry.code;
        const unit = el('td');
        unit.append(unitLink(entry.code));
        tr.append(el('td', shortTime(entry.time)), unit, el('td', item.name || item.param),
          el('td', item.unit ? `${item.value} ${item.unit}` : item.value));
        rows.append(tr);
      }
    }
    $('alarms-history').replaceChildren(rows);
  }

  async loadMail() {
    let data;
    try { data = await api('GET', '/api/alarms/mail'); } catch (e) { this.onError(e, (m) => this.message(m, true)); return; }
    const waiting = document.createDocumentFragment();
    for (const l of data.waiting) {
      const tr = el('tr', null, isAlarm(l.state) ? 'alarm' : '');
      tr.dataset.unit = l.code;
      tr.append(el('td', l.time), el('td', l.code, 'mono'), el('td', l.parameter), el('td', l.state));
      waiting.append(tr);
    }
    if (!data.waiting.length) {
      const tr = el('tr');
      tr.append(el('td', 'Nothing waiting', 'muted'));
      waiting.append(tr);
    }
    $('alarms-mail-waiting').replaceChildren(waiting);
    const results = document.createDocumentFragment();
    for (const r of [...data.results].reverse()) {
      const tr = el('tr', null, r.ok ? '' : 'alarm');
      tr.append(el('td', shortTime(r.time)), el('td', r.user), el('td', r.text));
      results.append(tr);
    }
    $('alarms-mail-results').replaceChildren(results);
  }
}
