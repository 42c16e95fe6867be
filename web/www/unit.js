// One unit: its identity, owners and connection, its answers and reports of
// a time range decoded, a chart per numeric parameter, its parameter list.
import { api, el, shortTime, localInput, isoOfInput } from './api.js';

const $ = (id) => document.getElementById(id);
const KIND = { report: 'Report', query: 'Answer', set: 'Set answer' };

export class UnitPage {
  constructor() {
    this.code = '';
    this.charts = [];
    this.onError = () => {};
    $('unit-load').addEventListener('click', () => this.loadHistory());
  }

  show(onError, code) {
    this.onError = onError;
    if (code && code !== this.code) {
      this.code = code;
      // A new unit starts with the last 24 hours.
      const now = new Date();
      $('unit-to').value = localInput(now);
      $('unit-from').value = localInput(new Date(now.getTime() - 24 * 3600 * 1000));
    }
    $('unit-title').textContent = this.code;
    this.load();
  }

  hide() {}

  onEvent(e) {
    // Its own connection changes show at once; a report adds to the history.
    if (!this.code || e.unit !== this.code || $('page-unit').hidden) return;
    if (['connect', 'disconnect', 'report'].includes(e.kind) && !this.pending)
      this.pending = setTimeout(() => { this.pending = null; this.load(); }, 1000);
  }

  message(text, bad) {
    $('unit-message').textContent = text || '';
    $('unit-message').classList.toggle('error', !!bad);
  }

  async load() {
    if (!this.code) return;
    const code = this.code;
    let unit;
    try {
      unit = await api('GET', `/api/unit?code=${encodeURIComponent(code)}`);
    } catch (e) {
      this.onError(e, (m) => this.message(m, true));
      this.showDetails({ code, owners: [], fleet: null, params: [] });
      return;
    }
    if (code !== this.code) return;
    this.showDetails(unit);
    this.loadHistory();
  }

  showDetails(unit) {
    const f = unit.fleet;
    const state = $('unit-state');
    state.textContent = f ? (f.online ? 'On line' : 'Off line') : 'Unknown';
    state.className = 'badge ' + (f && f.online ? 'ok' : 'bad');
    const facts = document.createDocumentFragment();
    const fact = (name, value) => { if (value !== undefined && value !== '') facts.append(el('dt', name), el('dd', value)); };
    if (f) {
      fact('Name', f.name);
      fact('Type', f.typeName ? `${f.typeName} (${f.type})` : f.type);
      fact('Station', f.station);
      fact('Equipment no.', f.equipmentNo >= 0 ? f.equipmentNo : '');
      fact('Address', f.address ? `${f.address}:${f.port}` : '');
      fact(f.online ? 'On line since' : 'Off line since', shortTime(f.since));
      fact('Last heartbeat', shortTime(f.lastSeen));
      fact('Registered', f.registered ? 'yes' : 'no');
      fact('Alarms active', f.alarmsActive);
      if (f.lastAlarm) fact('Last alarm', `${f.lastAlarm.parameter} ${f.lastAlarm.state} ${shortTime(f.lastAlarm.time)}`);
    }
    $('unit-facts').replaceChildren(facts);
    const owners = document.createDocumentFragment();
    for (const o of unit.owners) owners.append(el('li', o.name && o.name !== unit.code ? `${o.user} — “${o.name}”` : o.user));
    if (!unit.owners.length) owners.append(el('li', 'No owner', 'muted'));
    $('unit-owners').replaceChildren(owners);
    const params = document.createDocumentFragment();
    for (const p of unit.params) {
      const tr = el('tr');
      tr.append(el('td', p.param, 'mono'), el('td', p.name), el('td', p.unit), el('td', p.typeHint), el('td', p.settable ? 'yes' : ''));
      params.append(tr);
    }
    $('unit-params').replaceChildren(params);
  }

  async loadHistory() {
    if (!this.code) return;
    const code = this.code;
    const from = isoOfInput($('unit-from').value);
    const to = isoOfInput($('unit-to').value);
    let query = `code=${encodeURIComponent(code)}`;
    if (from) query += `&from=${encodeURIComponent(from)}`;
    if (to) query += `&to=${encodeURIComponent(to)}`;
    let data;
    try { data = await api('GET', `/api/unit/history?${query}`); } catch (e) { this.onError(e, (m) => this.message(m, true)); return; }
    if (code !== this.code) return;
    this.message(`${data.entries.length} rows${data.truncated ? ' (cut at the limit: narrow the range)' : ''}`);
    const rows = document.createDocumentFragment();
    for (const entry of data.entries) {
      const items = entry.items.length ? entry.items : [{ param: '', name: '', value: '', unit: '' }];
      for (const item of items) {
        const tr = el('tr', null, entry.kind === 'report' && /alert|alarm/i.test(item.value) ? 'alarm' : '');
        tr.append(el('td', shortTime(entry.time)), el('td', KIND[entry.kind] || entry.kind),
          el('td', item.name || item.param), el('td', item.value), el('td', item.unit));
        rows.append(tr);
      }
    }
    $('unit-history').replaceChildren(rows);
    // The charts span the range asked for, not only the points in it.
    const range = { min: from ? new Date(from).getTime() : undefined, max: to ? new Date(to).getTime() : undefined };
    this.drawCharts(data.series, range);
  }

  drawCharts(series, range = {}) {
    for (const chart of this.charts) chart.destroy();
    this.charts = [];
    const box = $('unit-charts');
    box.replaceChildren();
    if (!series.length) { box.append(el('p', 'No numeric values in this range.', 'muted')); return; }
    const Chart = window.Chart;
    for (const s of series) {
      const figure = el('figure', null, 'chart');
      figure.append(el('figcaption', s.unit ? `${s.name || s.param} (${s.unit})` : (s.name || s.param)));
      const canvas = el('canvas');
      canvas.dataset.param = s.param;
      const holder = el('div', null, 'chartbox');
      holder.append(canvas);
      figure.append(holder);
      box.append(figure);
      const points = s.points.map(([t, v]) => ({ x: new Date(t).getTime(), y: v }));
      if (Chart) {
        this.charts.push(new Chart(canvas, {
          type: 'line',
          data: { datasets: [{ data: points, borderColor: '#1f5fbf', backgroundColor: '#1f5fbf', pointRadius: 2, borderWidth: 1.5 }] },
          options: {
            animation: false, responsive: true, maintainAspectRatio: false, parsing: false,
            plugins: { legend: { display: false }, tooltip: { callbacks: { title: (items) => shortTime(new Date(items[0].parsed.x).toISOString()) } } },
            scales: { x: { type: 'linear', min: range.min, max: range.max, ticks: { maxTicksLimit: 6, callback: (v) => shortTime(new Date(v).toISOString()).slice(5, 16) } } },
          },
        }));
      }
      canvas.dataset.points = String(points.length);
    }
  }
}
