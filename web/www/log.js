// The operator log: the window's two panes, live, with pause, filters and a
// download of what is shown.
import { el, saveBlob, shortTime } from './api.js';

const KEEP = 2000; // lines per pane
const $ = (id) => document.getElementById(id);

// As the window shows it: time, "->", the text; a carriage return starts a
// new line.
function lineText(e) {
  return `${shortTime(e.time)}->${e.text.replace(/\r\n?/g, '\n')}`;
}

export class LogPage {
  constructor() {
    this.lines = { events: [], traffic: [] };
    this.paused = false;
    this.held = 0;
    $('log-pause').addEventListener('click', () => {
      this.paused = !this.paused;
      $('log-pause').textContent = this.paused ? 'Resume' : 'Pause';
      if (!this.paused) this.render();
      this.state();
    });
    $('log-filter').addEventListener('input', () => this.render());
    $('log-unit').addEventListener('input', () => this.render());
    $('log-clear').addEventListener('click', () => {
      this.lines = { events: [], traffic: [] };
      this.render();
    });
    $('log-download').addEventListener('click', () => this.download());
  }

  show() { this.render(); }
  hide() {}

  onEvent(e) {
    const pane = e.pane === 'traffic' ? 'traffic' : 'events';
    const list = this.lines[pane];
    list.push(e);
    if (list.length > KEEP) list.splice(0, list.length - KEEP);
    if (this.paused) { ++this.held; this.state(); return; }
    if (!$('page-log').hidden && this.matches(e)) this.append(pane, e);
  }

  matches(e) {
    const text = $('log-filter').value.trim().toLowerCase();
    const unit = $('log-unit').value.trim();
    if (unit && e.unit !== unit) return false;
    return !text || e.text.toLowerCase().includes(text);
  }

  line(e) {
    const node = el('div', lineText(e), 'line');
    if (/^#[0-9a-f]{6}$/i.test(e.colour)) node.style.color = e.colour;
    return node;
  }

  append(pane, e) {
    const box = $('log-' + pane);
    const atEnd = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
    box.append(this.line(e));
    while (box.childElementCount > KEEP) box.firstElementChild.remove();
    if (atEnd) box.scrollTop = box.scrollHeight;
  }

  render() {
    this.held = 0;
    for (const pane of ['events', 'traffic']) {
      const box = $('log-' + pane);
      const fragment = document.createDocumentFragment();
      for (const e of this.lines[pane]) if (this.matches(e)) fragment.append(this.line(e));
      box.replaceChildren(fragment);
      box.scrollTop = box.scrollHeight;
    }
    this.state();
  }

  state() {
    $('log-state').textContent = this.paused ? `Paused · ${this.held} new` : '';
  }

  download() {
    const text = ['events', 'traffic'].map((pane) =>
      `[${pane}]\n` + this.lines[pane].filter((e) => this.matches(e)).map(lineText).join('\n'))
      .join('\n\n') + '\n';
    saveBlob(new Blob([text], { type: 'text/plain' }), 'mms-log.txt');
  }
}
