// The phone page's shell, kept for when the computer cannot be reached: only these files, never
// an answer of the API. Each is asked of the network first, so a page that loads is current;
// the copy kept serves when there is no network, or when the relay answers for a computer that
// is away (502, 503, 504).
const SHELL = 'tapdeck-shell-v3';
const FILES = ['./', 'index.html', 'phone.js', 'api.js', 'touchpad.js', 'app.css', 'icon.svg',
  'icon-192.png', 'icon-512.png', 'manifest.webmanifest'];

// On a relay's shared name every computer's pages share one origin and its caches: a page of
// another computer could write what this worker would serve. There it keeps and serves nothing,
// and takes itself away.
const SHARED_ORIGIN = new URL(self.registration.scope).pathname !== '/';

self.addEventListener('install', (event) => {
  if (SHARED_ORIGIN) return self.skipWaiting();
  event.waitUntil(caches.open(SHELL).then((cache) => cache.addAll(FILES)).then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  if (SHARED_ORIGIN) return event.waitUntil(self.registration.unregister());
  event.waitUntil(caches.keys()
    .then((names) => Promise.all(names.filter((name) => name !== SHELL).map((name) => caches.delete(name))))
    .then(() => self.clients.claim()));
});

// A file of the shell, below the worker's own folder ("" is the folder itself).
function inShell(url) {
  const scope = new URL(self.registration.scope);
  if (url.origin !== scope.origin || !url.pathname.startsWith(scope.pathname)) return false;
  const file = url.pathname.slice(scope.pathname.length);
  return file === '' || FILES.includes(file);
}

// The token, which the page keeps in IndexedDB for this worker while the phone is paired; ''
// when there is none.
function keptToken() {
  return new Promise((resolve) => {
    const opening = indexedDB.open('tapdeck', 1);
    opening.onupgradeneeded = () => opening.result.createObjectStore('worker');
    opening.onerror = () => resolve('');
    opening.onsuccess = () => {
      const db = opening.result;
      const read = db.transaction('worker').objectStore('worker').get('token');
      read.onsuccess = () => resolve(typeof read.result === 'string' ? read.result : '');
      read.onerror = () => resolve('');
      read.transaction.oncomplete = () => db.close();
    };
  });
}

// What became of what the share sheet gave, in a few words for the page's address: the page
// says it in full.
async function passOn(request) {
  const form = await request.formData().catch(() => null);
  if (!form) return { shared: 'error', why: 'What was shared could not be read.' };
  const token = await keptToken();
  if (!token) return { shared: 'unpaired' };
  let response;
  try {
    response = await fetch(new URL('api/share', self.registration.scope), {
      method: 'POST', headers: { 'x-td-token': token }, body: form });
  } catch {
    return { shared: 'away' };
  }
  if (response.status === 401) return { shared: 'unpaired' };
  const answer = await response.json().catch(() => ({}));
  // The relay's own answers for a computer that is away have no words; the computer's have.
  if (!answer.error && [502, 503, 504].includes(response.status)) return { shared: 'away' };
  if (!answer.ok) return { shared: 'error', status: response.status, ...(answer.error ? { why: answer.error } : {}) };
  return { shared: 'ok', saved: Array.isArray(answer.saved) ? answer.saved.length : 0,
    ...(answer.opened ? { opened: 1 } : {}), ...(answer.copied ? { copied: 1 } : {}) };
}

// The share sheet posts to the share target named in the manifest; the computer is given the
// same form, and the page is opened saying what came of it (a redirect: a reload of the page
// shares nothing again).
function isShareTarget(request, url) {
  const scope = new URL(self.registration.scope);
  return request.method === 'POST' && url.origin === scope.origin && url.pathname === `${scope.pathname}share`;
}

self.addEventListener('fetch', (event) => {
  const url = new URL(event.request.url);
  if (SHARED_ORIGIN) return;
  if (isShareTarget(event.request, url)) {
    event.respondWith(passOn(event.request).catch(() => ({ shared: 'error' })).then((outcome) =>
      Response.redirect(`${self.registration.scope}?${new URLSearchParams(outcome)}`, 303)));
    return;
  }
  if (event.request.method !== 'GET' || !inShell(url)) return;  // the API goes to the network
  const kept = () => caches.match(url.pathname).then((copy) => copy || caches.match('./'));
  event.respondWith(fetch(event.request)
    .then((answer) => {
      if (answer.ok) {
        const copy = answer.clone();
        event.waitUntil(caches.open(SHELL).then((cache) => cache.put(url.pathname, copy)));
        return answer;
      }
      return answer.status >= 500 ? kept().then((copy) => copy || answer) : answer;
    })
    .catch(() => kept()));
});
