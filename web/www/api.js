// The JSON API with the session's cross-site request token.
let csrf = '';

export function setCsrf(token) { csrf = token || ''; }

export class ApiError extends Error {
  constructor(status, message) { super(message); this.status = status; }
}

export async function api(method, path, body) {
  const options = { method, headers: {}, credentials: 'same-origin' };
  if (method !== 'GET') options.headers['X-CSRF-Token'] = csrf;
  if (body !== undefined) {
    options.headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const response = await fetch(path, options);
  let data = null;
  try { data = await response.json(); } catch { data = null; }
  if (!response.ok) {
    const message = data && typeof data.error === 'string' ? data.error : response.statusText;
    throw new ApiError(response.status, message);
  }
  return data;
}

// An element with text content only: server text never becomes markup.
export function el(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined && text !== null) node.textContent = String(text);
  if (className) node.className = className;
  return node;
}

// Hands `blob` to the browser as a download named `name`.
export function saveBlob(blob, name) {
  const url = URL.createObjectURL(blob);
  const a = el('a');
  a.href = url;
  a.download = name;
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
}

const two = (n) => String(n).padStart(2, '0');

// "2024-03-05 08:09:10" in the browser's time zone; empty when not a time.
export function shortTime(iso) {
  if (!iso) return '';
  const d = new Date(iso);
  if (Number.isNaN(d.getTime())) return '';
  return `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())} ` +
    `${two(d.getHours())}:${two(d.getMinutes())}:${two(d.getSeconds())}`;
}

// The time alone for a moment of today, the whole date and time otherwise:
// for tables where a column of today's times should read at a glance.
export function dayTime(iso) {
  const text = shortTime(iso);
  const d = new Date(iso);
  const now = new Date();
  return text && d.toDateString() === now.toDateString() ? text.slice(11) : text;
}

// Unit codes sort as people read them: SIM2 before SIM10.
export const compareText = new Intl.Collator(undefined, { numeric: true, sensitivity: 'base' }).compare;

// A Date as a datetime-local input's value, in the browser's time zone.
export function localInput(d) {
  return `${d.getFullYear()}-${two(d.getMonth() + 1)}-${two(d.getDate())}T` +
    `${two(d.getHours())}:${two(d.getMinutes())}`;
}

// A datetime-local input's value as an ISO time for the API; '' when empty.
export function isoOfInput(value) {
  if (!value) return '';
  const d = new Date(value);
  return Number.isNaN(d.getTime()) ? '' : d.toISOString();
}
