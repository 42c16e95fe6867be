// Accounts: the user table, with super users added, suspended, reinstated,
// given a new password or deleted.
import { api, el } from './api.js';

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
  }

  show(onError) { this.onError = onError; this.load(); }
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
      tr.append(el('td', a.user), el('td', KIND[a.state] || a.state), el('td', a.email),
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
