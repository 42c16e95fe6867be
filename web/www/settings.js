// Settings and status: the retention periods and the log switch; version,
// uptime, ports, database and connection counts.
import { api, el, shortTime } from './api.js';

const $ = (id) => document.getElementById(id);

function duration(seconds) {
  const d = Math.floor(seconds / 86400), h = Math.floor(seconds % 86400 / 3600),
    m = Math.floor(seconds % 3600 / 60);
  return d ? `${d} d ${h} h` : h ? `${h} h ${m} min` : `${m} min`;
}

export class SettingsPage {
  constructor() {
    this.onError = () => {};
    this.timer = null;
    $('settings-form').addEventListener('submit', async (e) => {
      e.preventDefault();
      try {
        await api('PUT', '/api/settings', {
          queryDays: Number($('set-query').value), alarmDays: Number($('set-alarm').value),
          showInfoHint: $('set-log').checked });
        this.message('Saved.');
      } catch (error) { this.onError(error, (m) => this.message(m, true)); }
    });
  }

  message(text, bad) {
    $('settings-message').textContent = text;
    $('settings-message').classList.toggle('error', !!bad);
  }

  async show(onError) {
    this.onError = onError;
    try {
      const s = await api('GET', '/api/settings');
      $('set-query').value = s.queryDays;
      $('set-alarm').value = s.alarmDays;
      $('set-log').checked = s.showInfoHint;
    } catch (e) { onError(e, (m) => this.message(m, true)); }
    this.status();
  }

  hide() {}

  // Connection counts change with connect and disconnect events.
  onEvent(e) {
    if ((e.kind === 'connect' || e.kind === 'disconnect') && !$('page-settings').hidden && !this.timer)
      this.timer = setTimeout(() => { this.timer = null; this.status(); }, 1000);
  }

  async status() {
    let s;
    try { s = await api('GET', '/api/status'); } catch (e) { this.onError(e); return; }
    const facts = [
      ['Version', s.version], ['Up for', duration(s.uptimeSeconds)],
      ['Database', s.database],
      ['Units connected', s.unitsConnected], ['Clients connected', s.clientsConnected],
      ['Equipment port', s.ports?.equipment], ['Client port', s.ports?.clients],
      ['Remote data port', s.ports?.remoteData || 'off'], ['Metrics port', s.ports?.metrics || 'off'],
      ['Database state', s.databaseUp === false ? 'DOWN' : 'up'],
      ['Queues', s.queues ? `send ${s.queues.send} · receive ${s.queues.receive} · channel ${s.queues.channel} · log ${s.queues.log}` : ''],
      ['Last retention run', s.lastRetention ? `${shortTime(s.lastRetention.finished)} · ${s.lastRetention.ok ? `${s.lastRetention.rowsDeleted} rows deleted` : s.lastRetention.error}` : 'none yet'],
      ['Web sessions', s.webSessions], ['Operator log', s.showInfoHint ? 'on' : 'off'],
    ];
    const list = document.createDocumentFragment();
    for (const [name, value] of facts) list.append(el('dt', name), el('dd', value ?? ''));
    $('status-list').replaceChildren(list);
  }
}
