// The agent's JSON API and event stream, shared by the phone and the admin page. Every address
// is relative: the pages work at the agent's root and under the relay's /phone/ID/ alike.

// The folder the page is served from: "/" at the agent and at a computer's own origin on the
// relay, "/phone/ID/" on the relay's shared name.
const BASE = location.pathname.replace(/[^/]*$/, '');
// The agent itself serves plain HTTP: a page over HTTPS came through the relay.
export const relayed = location.protocol === 'https:' || BASE !== '/';
// On a relay's shared name (/phone/ID/) every computer's pages share one origin.
export const sharedOrigin = BASE !== '/';
// Whether the event stream and the touchpad's socket may work here: at the agent, and at a
// computer's own origin when the relay passes its connections through unread (a relay that
// reads requests carries neither, and says so at once).
export const liveChannels = { possible: !sharedOrigin };
// Settles once the event stream first answered or failed (at once where none may open): from
// then on `possible` says whether the relay reads requests.
let heard;
liveChannels.heard = new Promise((resolve) => { heard = resolve; });
if (!liveChannels.possible) heard();

// Why files cannot be sent here, as the computer says it: through a relay that reads requests
// (no live channel goes through it) the computer takes none.
export const READING_RELAY = 'Files cannot go through this relay: it reads what it carries. Send them on the '
  + 'computer\'s own network, or through a relay that passes connections through unread.';
export const throughReadingRelay = () => relayed && !liveChannels.possible;

// One token per computer: on the relay's shared name every computer has the same origin, so
// the key names the folder (the key at the root is the one phones paired before already hold).
const TOKEN_KEY = BASE !== '/' ? `tapdeck.token:${BASE}` : 'tapdeck.token';

export const token = {
  get: () => localStorage.getItem(TOKEN_KEY) || '',
  set: (value) => localStorage.setItem(TOKEN_KEY, value),
  clear: () => localStorage.removeItem(TOKEN_KEY),
};
// The page once kept a copy of the token in IndexedDB for the service worker, which passed shares
// on by itself. None does now: the copy goes, and a worker of before that still runs finds none.
if (!sharedOrigin) {
  try {
    window.indexedDB?.deleteDatabase('tapdeck');
  } catch { /* storage refused (a private window): nothing was kept */ }
}

// Raised when the agent refuses the token: the page goes back to pairing.
export class Unauthorized extends Error {}
// Raised when the computer cannot be reached: no network, or the relay says it is away.
export class Unreachable extends Error {}

// The relay's own answers when the computer is not connected, busy or silent.
const relayAway = (status) => relayed && [502, 503, 504].includes(status);

// Calls an endpoint and returns its JSON answer (with `status`), whatever the status.
// `keepalive`: the request outlives the page (a last word as it closes).
export async function api(path, { method = 'POST', body, keepalive = false } = {}) {
  const headers = {};
  if (token.get()) headers['x-td-token'] = token.get();
  if (body !== undefined) headers['content-type'] = 'application/json';
  let response;
  try {
    response = await fetch(path, {
      method,
      headers,
      body: body === undefined ? undefined : JSON.stringify(body),
      cache: 'no-store',
      keepalive,
    });
  } catch {
    throw new Unreachable();
  }
  if (relayAway(response.status)) throw new Unreachable();
  let answer = {};
  try {
    answer = await response.json();
  } catch {
    answer = { ok: false };
  }
  answer.status = response.status;
  if (response.status === 401 && !path.startsWith('api/pair')) throw new Unauthorized();
  return answer;
}

// A GET with the token whose answer is not JSON (a file, a text): the response as it came,
// refusals thrown as api() throws them.
export async function fetchWithToken(path) {
  let response;
  try {
    response = await fetch(path, { headers: token.get() ? { 'x-td-token': token.get() } : {}, cache: 'no-store' });
  } catch {
    throw new Unreachable();
  }
  if (relayAway(response.status)) throw new Unreachable();
  if (response.status === 401) throw new Unauthorized();
  return response;
}

// Posts `form` (multipart) with the token, telling `onProgress(sent, total)` as its bytes leave:
// fetch cannot tell an upload's progress. Gives `answer`, the JSON answer with `status` (null
// once `abort()` stopped it), and `abort`.
export function upload(path, form, onProgress) {
  const request = new XMLHttpRequest();
  const answer = new Promise((resolve, reject) => {
    request.open('POST', path);
    if (token.get()) request.setRequestHeader('x-td-token', token.get());
    for (const kind of ['progress', 'load']) {
      request.upload.addEventListener(kind, (event) => onProgress(event.loaded, event.total));
    }
    request.onload = () => {
      let parsed = {};
      try {
        parsed = { ...JSON.parse(request.responseText) };
      } catch { /* the relay's or the server's own refusal: its status says enough */ }
      // A relay that reads requests refuses a form past its own limit (1 MiB) in words of its
      // own, before the computer could say that it takes no files that way.
      if (request.status === 413 && !parsed.error && relayed) parsed.error = READING_RELAY;
      // The computer's own 503 (busy with other uploads) comes with its words.
      if (relayAway(request.status) && !parsed.error) reject(new Unreachable());
      else if (request.status === 401) reject(new Unauthorized());
      else resolve({ ok: false, ...parsed, status: request.status });
    };
    request.onerror = () => reject(new Unreachable());
    request.onabort = () => resolve(null);
    request.send(form);
  });
  return { answer, abort: () => request.abort() };
}

const POLL_MS = 30000;
// An event stream's messages are small, but for tiles' pictures: every tile's state at once is
// at most 512 KiB. A longer run without a blank line is not a message.
const MAX_PENDING = 1024 * 1024;

// Reads the agent's event stream with the token (an EventSource could not send it): calls
// `onOpen` once it answers and `onEvent(name, data)` per message; resolves when it ends.
async function readEvents(signal, onOpen, onEvent) {
  const headers = token.get() ? { 'x-td-token': token.get() } : {};
  const response = await fetch('api/events', { headers, signal, cache: 'no-store' });
  if (response.status === 501) liveChannels.possible = false;
  heard();
  if (!response.ok || !response.body) throw new Error(`event stream: ${response.status}`);
  onOpen();
  const reader = response.body.pipeThrough(new TextDecoderStream()).getReader();
  let pending = '';
  for (;;) {
    const { value, done } = await reader.read();
    if (done) return;
    pending += value;
    for (let end = pending.indexOf('\n\n'); end >= 0; end = pending.indexOf('\n\n')) {
      const lines = pending.slice(0, end).split('\n');
      pending = pending.slice(end + 2);
      const name = lines.find((line) => line.startsWith('event:'))?.slice(6).trim();
      const data = lines.filter((line) => line.startsWith('data:')).map((line) => line.slice(5).trim()).join('\n');
      if (name) onEvent(name, data);
    }
    if (pending.length > MAX_PENDING) throw new Error('event stream: message too long');
  }
}

// Calls `onReload` whenever the configuration may have changed, `onState(change)` when the
// computer's player, volume, a tile's state or what it offers the phone changes, and `onOpen` each time the event stream
// opens (what changed before it did is asked for then). Its event stream says so (reconnecting
// with a growing pause while the computer is away), at the agent and through a relay that
// passes connections unread. Through the relay, while no stream is open (a relay that reads
// requests carries none), the page asks again every 30 s while it is shown. Either way it asks
// on coming back to the foreground, when a phone has likely missed changes.
export function watchReloads(onReload, onState = () => {}, onOpen = () => {}) {
  let controller = null;
  let retry;
  let poll;
  let pause = 2000;
  let streaming = false;
  const open = async () => {
    controller = new AbortController();
    const { signal } = controller;
    try {
      await readEvents(signal, () => {
        if (pause > 2000) onReload();  // back after a gap: changes may have been missed
        pause = 2000;
        streaming = true;
        schedule();
        onOpen();
      }, (name, data) => {
        if (name === 'reload') onReload();
        else if (name === 'state') {
          try { onState(JSON.parse(data)); } catch { /* not ours to show */ }
        }
      });
    } catch { /* away: try again below */ }
    heard();
    streaming = false;
    if (signal.aborted) return;
    schedule();
    if (!liveChannels.possible) return;  // the relay carries no stream: polling it is
    clearTimeout(retry);
    retry = setTimeout(open, pause);
    pause = Math.min(pause * 2, POLL_MS);
  };
  const schedule = () => {
    clearInterval(poll);
    if (relayed && !streaming && document.visibilityState === 'visible') poll = setInterval(onReload, POLL_MS);
  };
  const onVisibility = () => {
    schedule();
    if (document.visibilityState === 'visible') onReload();
  };
  if (liveChannels.possible) open();
  schedule();
  document.addEventListener('visibilitychange', onVisibility);
  return () => {
    clearTimeout(retry);
    clearInterval(poll);
    controller?.abort();
    document.removeEventListener('visibilitychange', onVisibility);
  };
}

// An image the agent serves only with the token (artwork), as an address an <img> can show;
// null when there is none.
export async function imageAddress(path) {
  const headers = token.get() ? { 'x-td-token': token.get() } : {};
  try {
    const response = await fetch(path, { headers });
    return response.ok ? URL.createObjectURL(await response.blob()) : null;
  } catch {
    return null;
  }
}

// A short message at the bottom of the screen.
export function toast(text, kind = 'error') {
  let box = document.querySelector('.toast');
  if (!box) {
    box = document.createElement('div');
    box.className = 'toast';
    box.setAttribute('role', 'status');
    document.body.append(box);
  }
  box.textContent = text;
  box.dataset.kind = kind;
  box.classList.add('shown');
  clearTimeout(box.hideTimer);
  box.hideTimer = setTimeout(() => box.classList.remove('shown'), 3500);
}

export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === 'class') node.className = value;
    else if (name.startsWith('on')) node.addEventListener(name.slice(2), value);
    else if (value === true) node.setAttribute(name, '');
    else if (value !== false && value != null) node.setAttribute(name, value);
  }
  node.append(...children.flat().filter((c) => c != null && c !== false));
  return node;
}

// What the planner's error codes mean to a person.
export const PLAN_ERRORS = {
  no_key: 'The planner is not set up on this computer (no Anthropic API key).',
  plan_failed: 'The planner could not be reached. Try again in a moment.',
  parse_failed: 'The planner answered, but not with steps. Try saying it differently.',
};

// A small sheet that asks for a few values (or just for a yes); resolves to the values, or null
// when cancelled.
export function ask({ title, fields = [], confirm = 'OK', danger = false }) {
  return new Promise((done) => {
    const inputs = fields.map((field) => el('input', {
      name: field.name, value: field.value ?? '', placeholder: field.placeholder ?? '',
      'aria-label': field.label, maxlength: field.maxlength, inputmode: field.inputmode,
    }));
    const dialog = el('dialog', { class: 'sheet ask' },
      el('form', { method: 'dialog' },
        el('h2', {}, title),
        fields.map((field, i) => el('label', { class: 'field' }, field.label, inputs[i])),
        el('div', { class: 'row end' },
          el('button', { value: 'cancel', formnovalidate: true }, 'Cancel'),
          el('button', { value: 'ok', class: danger ? 'primary danger-fill' : 'primary' }, confirm))));
    dialog.addEventListener('close', () => {
      dialog.remove();
      done(dialog.returnValue === 'ok'
        ? Object.fromEntries(fields.map((field, i) => [field.name, inputs[i].value.trim()])) : null);
    });
    document.body.append(dialog);
    dialog.showModal();
    inputs[0]?.focus();
  });
}
