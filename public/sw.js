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
    .then((names) => Promise.all(names.filter((name) => ![SHELL, SHARED].includes(name)).map((name) => caches.delete(name))))
    .then(() => self.clients.claim()));
});

// A file of the shell, below the worker's own folder ("" is the folder itself).
function inShell(url) {
  const scope = new URL(self.registration.scope);
  if (url.origin !== scope.origin || !url.pathname.startsWith(scope.pathname)) return false;
  const file = url.pathname.slice(scope.pathname.length);
  return file === '' || FILES.includes(file);
}

// What the share sheet gave, kept until the person sends it from the page or discards it: a form
// posted to the share target may come from any web site the phone visits (a top-level form
// navigation), so this worker never passes it on by itself. One at a time: a new share replaces
// the one kept. The page reads it here too.
const SHARED = 'tapdeck-shared';
const SHARED_KEY = 'pending-share';

async function keep(request) {
  const form = await request.formData().catch(() => null);
  if (!form) return 'unreadable';
  const kept = await caches.open(SHARED);
  await kept.put(new URL(SHARED_KEY, self.registration.scope).href, new Response(form));
  return 'pending';
}

// The share sheet posts to the share target named in the manifest; the page is opened to show
// what was shared and to ask before sending it (a redirect: a reload posts nothing again).
function isShareTarget(request, url) {
  const scope = new URL(self.registration.scope);
  return request.method === 'POST' && url.origin === scope.origin && url.pathname === `${scope.pathname}share`;
}

self.addEventListener('fetch', (event) => {
  const url = new URL(event.request.url);
  if (SHARED_ORIGIN) return;
  if (isShareTarget(event.request, url)) {
    event.respondWith(keep(event.request).catch(() => 'unreadable').then((shared) =>
      Response.redirect(`${self.registration.scope}?shared=${shared}`, 303)));
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

// A notification of the computer's that the page showed through this worker, tapped: the page
// comes to the front, opened again if it was closed meanwhile.
self.addEventListener('notificationclick', (event) => {
  event.notification.close();
  if (SHARED_ORIGIN) return;
  event.waitUntil(self.clients.matchAll({ type: 'window' }).then((pages) => {
    const page = pages.find((client) => client.url.startsWith(self.registration.scope));
    return page ? page.focus() : self.clients.openWindow(self.registration.scope);
  }));
});
