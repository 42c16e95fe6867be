// Accounts: the user table, with super users added, suspended, reinstated,
// given a new password or deleted.
import { api, el, saveBlob, ApiError } from './api.js';

const $ = (id) => document.getElementById(id);
const KIND = { super: 'Super user', suspended: 'Suspended', normal: 'User' };

export class AccountsPage {
  constructor() {
    this.onError = () => {};
    $('account-add').addEventListener('submit', async (e) => {
      e.preventDefault();
      await this.act(() => api('POST', '/api/accounts',
        { user: $('account-user').value.trim(), password: $('account-password').value }),
        `Added ${$('account-user').value.trim()}.`);
      $('account-password').value = '';
    });
    this.selected = '';
    $('assign-form').addEventListener('submit', async (e) => {
      e.preventDefault();
      const user = $('assign-user').value.trim();
      const code = $('assign-code').value.trim();
      try {
        await api('POST', '/api/accounts/units',
          { user, code, name: $('assign-name').value.trim(), type: $('assign-type').value.trim() });
        this.assignMessage(`${code} assigned to ${user}.`);
        $('assign-code').value = '';
        $('assign-name').value = '';
      } catch (err) { this.onError(err, (m) => this.assignMessage(m, true)); }
      this.select(user);
    });
    $('accounts-export').addEventListener('click', () => this.exportFile());
    $('accounts-import').addEventListener('click', () => this.importFile());
  }

  assignMessage(text, bad) {
    $('assign-message').textContent = text;
    $('assign-message').classList.toggle('error', !!bad);
  }

  // The account's units, each with a button that takes it away.
  async select(user) {
    this.selected = user;
    $('assign-user').value = user;
    $('assign-account').textContent = user;
    for (const tr of $('accounts-body').rows) tr.classList.toggle('selected', tr.dataset.user === user);
    let data;
    try { data = await api('GET', `/api/accounts/units?user=${encodeURIComponent(user)}`); }
    catch (e) { this.onError(e, (m) => this.assignMessage(m, true)); return; }
    if (user !== this.selected) return;
    const list = document.createDocumentFragment();
    for (const u of data.units) {
      const li = el('li');
      li.dataset.unit = u.code;
      const link = el('a', u.code, 'mono');
      link.href = `#unit/${encodeURIComponent(u.code)}`;
      const remove = el('button', 'Remove', 'danger');
      remove.dataset.unit = u.code;
      remove.addEventListener('click', async () => {
        try {
          await api('DELETE', '/api/accounts/units', { user, code: u.code });
          this.assignMessage(`${u.code} taken from ${user}.`);
        } catch (e) { this.onError(e, (m) => this.assignMessage(m, true)); }
        this.select(user);
      });
      li.append(link, el('span', u.name), el('span', null, 'spacer'), remove);
      list.append(li);
    }
    if (!data.units.length) list.append(el('li', 'No units assigned.', 'muted'));
    $('assign-units').replaceChildren(list);
  }

  async exportFile() {
    try {
      const response = await fetch('/api/accounts/export', { credentials: 'same-origin' });
      if (!response.ok) {
        let message = response.statusText;
        try { message = (await response.json()).error || message; } catch { /* not JSON */ }
        throw new ApiError(response.status, message);
      }
      saveBlob(await response.blob(), 'UserTable.hd');
      this.message('Account file exported.');
    } catch (e) { this.onError(e, (m) => this.message(m, true)); }
  }

  async importFile() {
    const file = $('accounts-import-file').files[0];
    if (!file) { this.message('Choose the account file first.', true); return; }
    if (!confirm('Import replaces every account and assignment and then ends the server program. Go on?')) return;
    const bytes = new Uint8Array(await file.arrayBuffer());
    let binary = '';
    for (let i = 0; i < bytes.length; i += 0x8000)
      binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    try {
      const r = await api('POST', '/api/accounts/import', { file: btoa(binary) });
      this.message(`Imported ${r.imported || ''}. The server program is ending to complete the import.` +
        (r.warning ? ` ${r.warning}` : ''));
    } catch (e) { this.onError(e, (m) => this.message(m, true)); }
  }

  show(onError) { this.onError = onError; this.load(); if (this.selected) this.select(this.selected); }
  hide() {}

  onEvent(e) {
    // A client logging in or out changes the "on line" column.
    if (e.user && (e.kind === 'connect' || e.kind === 'disconnect') && !$('page-accounts').hidden)
      this.load();
  }

  message(text, bad) {
    $('account-message').textContent = text;
    $('account-message').classList.toggle('error', !!bad);
  }

  async act(call, done) {
    try { await call(); this.message(done); } catch (e) { this.onError(e, (m) => this.message(m, true)); }
    this.load();
  }

  async load() {
    let data;
    try { data = await api('GET', '/api/accounts'); } catch (e) { this.onError(e, (m) => this.message(m, true)); return; }
    const body = document.createDocumentFragment();
    for (const a of data.accounts) {
      const tr = el('tr', null, a.state);
      tr.dataset.user = a.user;
      if (a.user === this.selected) tr.classList.add('selected');
      const name = el('td');
      const pick = el('a', a.user);
      pick.href = '#accounts';
      pick.title = 'Show and assign units';
      pick.addEventListener('click', (e) => { e.preventDefault(); this.select(a.user); });
      name.append(pick);
      tr.append(name, el('td', KIND[a.state] || a.state), el('td', a.email),
        el('td', a.phone), el('td', a.registered), el('td', a.lastLogin),
        el('td', a.loggedIn ? 'yes' : ''));
      const actions = el('td', null, 'actions');
      if (a.state !== 'super') {
        const suspend = el('button', a.state === 'suspended' ? 'Reinstate' : 'Suspend', 'quiet');
        suspend.addEventListener('click', () => this.act(
          () => api('POST', '/api/accounts/suspend', { user: a.user, suspended: a.state !== 'suspended' }),
          `${a.user}: ${a.state === 'suspended' ? 'reinstated' : 'suspended'}.`));
        actions.append(suspend);
      }
      const password = el('button', 'Password', 'quiet');
      password.addEventListener('click', () => {
        const value = prompt(`New password for ${a.user}`);
        if (value) this.act(() => api('POST', '/api/accounts/password', { user: a.user, password: value }),
          `${a.user}: password set.`);
      });
      const remove = el('button', 'Delete', 'danger');
      remove.addEventListener('click', () => {
        if (confirm(`Delete the account ${a.user}?`))
          this.act(() => api('POST', '/api/accounts/delete', { user: a.user }), `${a.user}: deleted.`);
      });
      actions.append(password, remove);
      tr.append(actions);
      body.append(tr);
    }
    $('accounts-body').replaceChildren(body);
  }
}
