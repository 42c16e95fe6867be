// The fleet: every unit the server knows, in a table that renders only the
// rows in view, so that ten thousand rows scroll as smoothly as ten.
import { api, compareText, dayTime, el, shortTime } from './api.js';

const ROW = 30; // px, as in style.css
const $ = (id) => document.getElementById(id);

export class FleetPage {
  constructor() {
    this.units = new Map();
    this.rows = [];
    this.sortKey = 'code';
    this.sortUp = true;
    this.visible = false;
    this.dirty = false;
    this.refetch = null;
    this.feed = false;
    $('fleet-viewport').addEventListener('scroll', () => this.paint());
    // A row opens its unit's page.
    $('fleet-viewport').addEventListener('click', (e) => {
      const row = e.target.closest('.row');
      if (row && row.dataset.unit) location.hash = `#unit/${encodeURIComponent(row.dataset.unit)}`;
    });
    $('fleet-search').addEventListener('input', () => this.update());
    $('fleet-filter').addEventListener('change', () => this.update());
    for (const head of $('fleet-head').querySelectorAll('span')) {
      head.addEventListener('click', () => {
        const key = head.dataset.key;
        this.sortUp = this.sortKey === key ? !this.sortUp : true;
        this.sortKey = key;
        this.update();
      });
    }
    window.addEventListener('resize', () => this.paint());
  }

  async show(onError) {
    this.visible = true;
    // With the server's change feed on the event socket the table is
    // current already; the fetch is for a server without it.
    if (this.feed) { this.update(); return; }
    try {
      const data = await api('GET', '/api/fleet');
      this.units = new Map(data.units.map((u) => [u.code, u]));
      this.update();
    } catch (e) { onError(e); }
  }

  hide() { this.visible = false; }

  // The fleet model's coalesced changes: whole rows of units whose state
  // changed, units gone, and heartbeat times. The first message of a socket
  // (reset) holds the whole fleet.
  onFleet(f) {
    if (f.reset) { this.units.clear(); this.feed = true; }
    if (!this.feed) return;
    for (const row of Array.isArray(f.rows) ? f.rows : []) if (row && row.code) this.units.set(row.code, row);
    for (const code of Array.isArray(f.removed) ? f.removed : []) this.units.delete(code);
    for (const beat of Array.isArray(f.beats) ? f.beats : []) {
      const unit = Array.isArray(beat) && this.units.get(beat[0]);
      if (unit) unit.lastSeen = beat[1];
    }
    this.schedule();
  }

  // The socket closed: until the next one's first message, events and fetches again.
  feedLost() { this.feed = false; }

  onEvent(e) {
    if (this.feed) return;
    // What only the server knows (owners, alarms) comes with a fresh copy
    // after connections change or units report.
    if (['connect', 'disconnect', 'report'].includes(e.kind) && !this.refetch)
      this.refetch = setTimeout(() => { this.refetch = null; if (this.visible) this.show(() => {}); }, 2000);
    const gone = e.kind === 'disconnect';
    if (e.unit) {
      const unit = this.units.get(e.unit) ||
        { code: e.unit, online: false, address: '', port: 0, since: e.time, lastSeen: e.time };
      if (gone) {
        if (unit.online) { unit.online = false; unit.since = e.time; }
      } else if (e.address && !e.user && e.kind !== 'request') {
        if (!unit.online || unit.address !== e.address || unit.port !== e.port) {
          unit.online = true; unit.since = e.time; unit.address = e.address; unit.port = e.port;
        }
      } else {
        return;
      }
      unit.lastSeen = e.time;
      this.units.set(e.unit, unit);
      this.schedule();
    } else if (gone && e.address) {
      for (const unit of this.units.values()) {
        if (unit.online && unit.address === e.address && unit.port === e.port) {
          unit.online = false; unit.since = e.time; this.schedule();
        }
      }
    }
  }

  // Events come in bursts: the table is rebuilt at most a few times a second.
  schedule() {
    if (this.dirty) return;
    this.dirty = true;
    setTimeout(() => { this.dirty = false; if (this.visible) this.update(); }, 250);
  }

  update() {
    const text = $('fleet-search').value.trim().toLowerCase();
    const filter = $('fleet-filter').value;
    let rows = [...this.units.values()];
    if (filter === 'online') rows = rows.filter((u) => u.online);
    if (filter === 'offline') rows = rows.filter((u) => !u.online);
    if (filter === 'alarm') rows = rows.filter((u) => u.alarmsActive > 0);
    if (text) rows = rows.filter((u) => [u.code, u.name, u.address, ...(u.owners || [])]
      .some((t) => (t || '').toLowerCase().includes(text)));
    const key = this.sortKey;
    const sign = this.sortUp ? 1 : -1;
    const compare = (x, y) => typeof x === 'string' ? compareText(x, y) : (x === y ? 0 : x < y ? -1 : 1);
    const value = (u) => Array.isArray(u[key]) ? u[key].join(', ') : u[key];
    rows.sort((a, b) => compare(value(a), value(b)) * sign || compareText(a.code, b.code));
    this.rows = rows;
    const online = [...this.units.values()].filter((u) => u.online).length;
    $('fleet-count').textContent =
      `${rows.length} shown · ${online} on line · ${this.units.size - online} off line`;
    $('fleet-spacer').style.height = `${rows.length * ROW}px`;
    for (const head of $('fleet-head').querySelectorAll('span'))
      head.classList.toggle('sorted', head.dataset.key === key);
    this.paint();
  }

  paint() {
    const viewport = $('fleet-viewport');
    const spacer = $('fleet-spacer');
    const first = Math.max(0, Math.floor(viewport.scrollTop / ROW) - 5);
    const count = Math.ceil(viewport.clientHeight / ROW) + 10;
    const fragment = document.createDocumentFragment();
    for (let i = first; i < Math.min(this.rows.length, first + count); ++i) {
      const u = this.rows[i];
      const alarm = u.alarmsActive > 0;
      const row = el('div', null, 'row' + (u.online ? ' online' : ' offline') + (alarm ? ' alarm' : ''));
      row.style.transform = `translateY(${i * ROW}px)`;
      row.dataset.unit = u.code;
      const last = u.lastAlarm ? `${u.lastAlarm.parameter} ${u.lastAlarm.state}` : '';
      row.append(el('span', u.online ? 'On line' : 'Off line', 'state'),
        el('span', u.code, 'code'),
        el('span', u.name || ''),
        el('span', u.typeName || u.type || ''),
        el('span', u.station ? `${u.station} · ${u.equipmentNo ?? ''}` : ''),
        el('span', (u.owners || []).join(', ')),
        el('span', u.address ? `${u.address}:${u.port}` : ''),
        el('span', dayTime(u.since)),
        el('span', dayTime(u.lastSeen)),
        el('span', alarm ? `${u.alarmsActive} · ${last}` : last, 'alarmtext'));
      // What a narrow column cuts short is read in full on hover.
      for (const cell of row.children) cell.title = cell.textContent;
      row.children[7].title = shortTime(u.since);
      row.children[8].title = shortTime(u.lastSeen);
      fragment.append(row);
    }
    spacer.replaceChildren(fragment);
  }
}
