// The console's shell: login, navigation between the pages, and the one
// event socket that keeps every page live.
import { api, setCsrf, ApiError } from './api.js';
import { FleetPage } from './fleet.js';
import { LogPage } from './log.js';
import { AccountsPage } from './accounts.js';
import { SettingsPage } from './settings.js';
import { UnitPage } from './unit.js';
import { AlarmsPage } from './alarms.js';

const $ = (id) => document.getElementById(id);
const pages = {
  fleet: new FleetPage(),
  unit: new UnitPage(),
  alarms: new AlarmsPage(),
  log: new LogPage(),
  accounts: new AccountsPage(),
  settings: new SettingsPage(),
};
let socket = null;
let retry = 0;
let loggedIn = false;

function showLogin(message) {
  loggedIn = false;
  if (socket) { socket.onclose = null; socket.close(); socket = null; }
  $('shell').hidden = true;
  $('login').hidden = false;
  $('login-error').textContent = message || '';
  $('login-user').focus();
}

async function showShell(session) {
  loggedIn = true;
  setCsrf(session.csrf);
  $('whoami').textContent = session.user;
  $('login').hidden = true;
  $('shell').hidden = false;
  connect();
  route();
}

// Every API failure with 401 means the session has ended (unless the
// operator logged out, and the login page shows already).
export function handleError(error, show) {
  if (error instanceof ApiError && error.status === 401) {
    if (loggedIn) showLogin('Your session has ended. Please log in again.');
    return;
  }
  if (show) show(error.message);
}
window.addEventListener('unhandledrejection', (e) => handleError(e.reason));

// "#page" or "#page/argument" (the unit page: "#unit/CODE").
function route() {
  const hash = (location.hash || '#fleet').slice(1);
  const slash = hash.indexOf('/');
  const name = slash < 0 ? hash : hash.slice(0, slash);
  let arg = '';
  if (slash >= 0) { try { arg = decodeURIComponent(hash.slice(slash + 1)); } catch { arg = ''; } }
  const current = pages[name] && (name !== 'unit' || arg) ? name : 'fleet';
  for (const [key, page] of Object.entries(pages)) {
    $('page-' + key).hidden = key !== current;
    if (key === current) page.show(handleError, arg); else page.hide();
  }
  const tab = current === 'unit' ? 'fleet' : current;
  for (const a of $('nav').querySelectorAll('a'))
    a.classList.toggle('active', a.dataset.page === tab);
}

function setLive(on, text) {
  $('live').textContent = text;
  $('live').classList.toggle('off', !on);
}

function connect() {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  socket = new WebSocket(`${scheme}//${location.host}/api/events`);
  socket.onopen = () => { retry = 0; setLive(true, 'live'); };
  socket.onmessage = (message) => {
    let event;
    try { event = JSON.parse(message.data); } catch { return; }
    if (!event || typeof event !== 'object') return;
    // The fleet's changes go to the fleet page; every other message is an
    // event, or an array of events that happened together.
    if (event.fleet && typeof event.fleet === 'object') { pages.fleet.onFleet(event.fleet); return; }
    for (const e of Array.isArray(event) ? event : [event]) {
      if (!e || typeof e !== 'object') continue;
      for (const page of Object.values(pages)) page.onEvent(e);
    }
  };
  socket.onclose = async () => {
    socket = null;
    pages.fleet.feedLost();
    if (!loggedIn) return;
    setLive(false, 'reconnecting');
    // The session may have ended; otherwise try again, a little later each time.
    try { await api('GET', '/api/session'); } catch (e) { handleError(e); return; }
    retry = Math.min(retry + 1, 6);
    setTimeout(() => { if (loggedIn && !socket) connect(); }, 500 * 2 ** retry);
  };
}

$('login-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  $('login-error').textContent = '';
  try {
    const session = await api('POST', '/api/login',
      { user: $('login-user').value, password: $('login-password').value });
    $('login-password').value = '';
    await showShell(session);
  } catch (error) {
    $('login-error').textContent = error.message;
  }
});

$('logout').addEventListener('click', async () => {
  // The operator's own doing: the event socket the server closes and the
  // requests it refuses meanwhile do not mean a lost session.
  showLogin('');
  try { await api('POST', '/api/logout'); } catch { /* ended anyway */ }
});

window.addEventListener('hashchange', () => { if (loggedIn) route(); });

(async () => {
  try { await showShell(await api('GET', '/api/session')); }
  catch { showLogin(''); }
})();
