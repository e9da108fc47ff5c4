// The phone's remote: pairing, the pages of tiles, and the planner box.
import { api, token, relayed, Unauthorized, Unreachable, watchReloads, toast, el, ask, PLAN_ERRORS } from './api.js';
import { openTouchpad, setUpTouchpad } from './touchpad.js';

const $ = (id) => document.getElementById(id);
const state = { config: null, page: 0, pin: '' };

// ---------- pairing ----------

const UNREACHABLE = 'Cannot reach your computer. Is it on and running Tapdeck?';

function showPairing(message = '') {
  $('deck').hidden = true;
  $('unreachable').hidden = true;
  $('pairing').hidden = false;
  $('pair-error').textContent = message;
  state.pin = '';
  drawPin();
}

function drawPin() {
  const dots = $('pin-dots');
  dots.replaceChildren(...Array.from({ length: Math.max(4, state.pin.length) }, (_, i) =>
    el('span', { class: i < state.pin.length ? 'dot filled' : 'dot' })));
}

function buildPinPad() {
  const keys = ['1', '2', '3', '4', '5', '6', '7', '8', '9', '⌫', '0', 'OK'];
  $('pin-pad').replaceChildren(...keys.map((key) => el('button', {
    class: key === 'OK' ? 'key primary' : 'key',
    'aria-label': key === '⌫' ? 'Delete' : key,
    onclick: () => pressPinKey(key),
  }, key)));
}

function pressPinKey(key) {
  $('pair-error').textContent = '';
  if (key === '⌫') state.pin = state.pin.slice(0, -1);
  else if (key === 'OK') return submitPin();
  else if (state.pin.length < 8) state.pin += key;
  drawPin();
  if (state.pin.length === 8) submitPin();
}

async function submitPin() {
  if (state.pin.length < 4) {
    $('pair-error').textContent = 'The PIN has 4 to 8 digits.';
    return;
  }
  const answer = await api('api/pair', { body: { pin: state.pin } })
    .catch(() => ({ ok: false, error: UNREACHABLE }));
  if (answer.ok) return paired(answer.token);
  state.pin = '';
  drawPin();
  $('pair-error').textContent = answer.error || 'Pairing failed.';
  navigator.vibrate?.(80);
}

async function pairWithCode(code) {
  // The code works once: take it out of the address bar at once.
  history.replaceState(null, '', location.pathname);
  const answer = await api('api/pair-code', { body: { code } })
    .catch(() => ({ ok: false, error: UNREACHABLE }));
  if (answer.ok) return paired(answer.token);
  showPairing(answer.error || 'Invalid or expired code');
}

function paired(newToken) {
  token.set(newToken);
  start();
}

// ---------- the deck ----------

// Draws the deck again only when it changed: a reload may be a mere check, every 30 s through
// the relay, and drawing again would drop a tile's feedback or a half-moved slider.
async function loadConfig() {
  const [answer, capabilities] = await Promise.all([api('api/config', { method: 'GET' }),
    api('api/capabilities', { method: 'GET' }).catch(() => null)]);
  state.capabilities = capabilities?.ok ? capabilities : null;
  const drawn = JSON.stringify([answer.config, answer.host, state.capabilities]);
  if (drawn === state.drawn) return;
  state.drawn = drawn;
  state.config = answer.config || { pages: [], settings: {} };
  state.host = answer.host;
  render();
}

function settings() {
  return { columns: 4, iconScale: 1.12, labels: true, ...(state.config?.settings || {}) };
}

function render() {
  const pages = Array.isArray(state.config.pages) ? state.config.pages : [];
  state.page = Math.min(state.page, Math.max(0, pages.length - 1));
  const s = settings();
  document.documentElement.style.setProperty('--columns', String(Math.max(1, Math.min(8, Number(s.columns) || 4))));
  document.documentElement.style.setProperty('--icon-scale', String(Number(s.iconScale) || 1));
  document.body.classList.toggle('no-labels', s.labels === false);

  $('tabs').replaceChildren(...pages.map((page, i) => el('button', {
    role: 'tab',
    class: 'tab',
    'aria-selected': String(i === state.page),
    onclick: () => showPage(i),
  }, `${page.icon || ''} ${page.name || 'Page'}`.trim())));

  $('pages').replaceChildren(...pages.map((page, i) => el('section', {
    class: 'page',
    'data-page': String(i),
    hidden: i !== state.page,
  }, (Array.isArray(page.tiles) && page.tiles.length)
    ? el('div', { class: 'grid' }, page.tiles.map(renderTile))
    : el('p', { class: 'empty' }, 'No tiles yet. Add some from the admin page.'))));
  $('settings-host').textContent = state.host ? `Paired with ${state.host}` : '';
}

function showPage(index) {
  state.page = index;
  render();
}

const TILE_GLYPHS = { url: '🌐', shortcut: '⚙️', gesture: '✋', keys: '⌘', media: '⏯️', volume: '🔊', system: '💤', text: '⌨️', flow: '⚡', app: '🖥️', touchpad: '🖱️' };

function tileLabel(tile) {
  return tile.label || tile.value || tile.type;
}

// The agent's word on a tile: the entry of its report for the tile's type, the one that names a
// member of the tile (a text tile's "mode") before the type's plain one.
function tileReport(tile) {
  const entries = (state.capabilities?.tiles || []).filter((entry) => entry.type === tile.type
    && (!entry.member || String(tile[entry.member] ?? '') === entry.value));
  return entries.find((entry) => entry.member) || entries[0] || null;
}

// Why a tile cannot work on this computer now; null when it can (or when the report is
// missing: then the agent's answer to a tap says why). What the desktop has yet to allow stays
// usable: the tap is what asks.
function unavailableReason(tile) {
  const entry = tileReport(tile);
  if (!entry || entry.ok || entry.canAsk) return null;
  return entry.reason;
}

// A greyed tile says why on a tap and on a long press, and does nothing else.
function markUnavailable(node, reason) {
  node.classList.add('unavailable');
  node.setAttribute('aria-disabled', 'true');
  node.title = reason;
  let timer = null;
  node.addEventListener('pointerdown', () => { timer = setTimeout(() => toast(reason), 500); });
  for (const end of ['pointerup', 'pointerleave', 'pointercancel']) node.addEventListener(end, () => clearTimeout(timer));
  node.addEventListener('contextmenu', (event) => event.preventDefault());
  return node;
}

function renderTile(tile) {
  const reason = unavailableReason(tile);
  if (tile.type === 'volume') return reason ? markUnavailable(renderVolume(tile), reason) : renderVolume(tile);
  const icon = tile.type === 'app'
    ? el('img', { class: 'tile-icon', alt: '', src: `api/icon?app=${encodeURIComponent(tile.value || '')}`,
        onerror: (e) => e.target.replaceWith(el('span', { class: 'tile-glyph' }, tile.emoji || TILE_GLYPHS.app)) })
    : el('span', { class: 'tile-glyph' }, tile.emoji || TILE_GLYPHS[tile.type] || '•');
  const button = el('button', {
    class: `tile tile-${tile.type}`,
    'data-type': tile.type,
    onclick: (event) => (reason ? toast(reason) : press(event.currentTarget, tile)),
  }, icon, el('span', { class: 'tile-label' }, tileLabel(tile)));
  return reason ? markUnavailable(button, reason) : button;
}

// What each tile type asks of the agent (nothing when the user cancels).
async function actionFor(tile) {
  switch (tile.type) {
    case 'app': return ['api/launch', { app: tile.value }];
    case 'url': return ['api/url', { url: tile.value }];
    case 'shortcut': return ['api/shortcut', { name: tile.value }];
    case 'gesture': return ['api/gesture', { value: tile.value }];
    case 'keys': return ['api/keys', { combo: tile.value }];
    case 'touchpad': openTouchpad(); return null;
    case 'media': return ['api/media', { action: tile.value }];
    case 'system': return ['api/system', { action: tile.value }];
    case 'flow': return ['api/run-plan', { steps: tile.steps || [] }];
    case 'text': {
      const toClipboard = tile.mode === 'clipboard';
      const text = tile.value || (await ask({
        title: toClipboard ? 'Send to the clipboard' : 'Type on the computer',
        fields: [{ name: 'text', label: 'Text', placeholder: 'Hello!' }],
        confirm: toClipboard ? 'Send' : 'Type',
      }))?.text;
      if (!text) return null;
      return [toClipboard ? 'api/clipboard' : 'api/type', { text }];
    }
    default: return null;
  }
}

async function press(button, tile) {
  const action = await actionFor(tile);
  if (!action) return;
  navigator.vibrate?.(15);
  button.classList.add('busy');
  try {
    const answer = await api(action[0], { body: action[1] });
    if (answer.ok) {
      button.classList.add('done');
      setTimeout(() => button.classList.remove('done'), 600);
    } else {
      toast(answer.error || `${tileLabel(tile)} did not work.`);
    }
  } catch (error) {
    handleError(error);
  } finally {
    button.classList.remove('busy');
  }
}

function renderVolume(tile) {
  const slider = el('input', { type: 'range', min: '0', max: '100', value: '50', 'aria-label': 'Volume' });
  const mute = el('button', { class: 'mute', 'aria-label': 'Mute' }, '🔊');
  const box = el('div', { class: 'tile tile-volume', 'data-type': 'volume' },
    el('span', { class: 'tile-label' }, tile.label || 'Volume'), el('div', { class: 'volume-row' }, mute, slider));
  let muted = false;
  const showMute = () => { mute.textContent = muted ? '🔇' : '🔊'; mute.setAttribute('aria-pressed', String(muted)); };
  api('api/volume', { method: 'GET' }).then((answer) => {
    if (answer.level >= 0) slider.value = String(answer.level);
    muted = Boolean(answer.muted);
    showMute();
  }).catch(handleError);
  slider.addEventListener('change', () => api('api/volume', { body: { level: Number(slider.value) } }).catch(handleError));
  mute.addEventListener('click', async () => {
    muted = !muted;
    showMute();
    const answer = await api('api/volume', { body: { muted } }).catch(handleError);
    if (answer && !answer.ok) toast('The volume could not be changed.');
  });
  return box;
}

// ---------- the planner ----------

async function plan(event) {
  event.preventDefault();
  const intent = $('plan-input').value.trim();
  if (!intent) return;
  const box = $('plan-result');
  box.hidden = false;
  box.replaceChildren(el('p', { class: 'hint' }, 'Planning…'));
  $('plan-go').disabled = true;
  try {
    const answer = await api('api/plan', { body: { intent } });
    if (!answer.ok) {
      box.replaceChildren(el('p', { class: 'error' }, PLAN_ERRORS[answer.error] || 'The planner failed.'));
      return;
    }
    showPlan(intent, answer.steps);
  } catch (error) {
    handleError(error);
  } finally {
    $('plan-go').disabled = false;
  }
}

function showPlan(intent, steps) {
  const box = $('plan-result');
  if (!steps.length) {
    box.replaceChildren(el('p', { class: 'hint' }, 'Nothing this computer allows matches that.'));
    return;
  }
  const run = el('button', { class: 'primary', onclick: async () => {
    run.disabled = true;
    run.textContent = 'Running…';
    const answer = await api('api/run-plan', { body: { steps } }).catch(handleError);
    run.disabled = false;
    run.textContent = 'Run';
    if (answer?.ok) toast(`Ran ${answer.ran} step${answer.ran === 1 ? '' : 's'}.`, 'ok');
    else if (answer) toast(answer.error || 'The plan could not run.');
  } }, 'Run');
  const save = el('button', { onclick: async () => {
    const answer = await api('api/flows', { body: { steps, label: intent.slice(0, 40) } }).catch(handleError);
    if (answer?.ok) toast('Saved as a flow.', 'ok');
    else if (answer) toast(answer.error || 'The flow could not be saved.');
  } }, 'Save as flow');
  box.replaceChildren(
    el('ol', { class: 'steps' }, steps.map((step) => el('li', {}, `${step.label || step.value} `, el('small', {}, step.type)))),
    el('div', { class: 'row' }, run, save));
}

// ---------- start ----------

function handleError(error) {
  if (error instanceof Unauthorized) {
    token.clear();
    showPairing('This phone is no longer paired. Enter the PIN again.');
    return;
  }
  toast('The computer did not answer. Is Tapdeck running?');
}

let stopWatching = null;
const RETRY_MS = 5000;
let retryTimer;

// The whole screen says so when the deck cannot load, and tries again by itself: every few
// seconds, and at once when the phone is back online.
function showUnreachable() {
  $('deck').hidden = true;
  $('unreachable').hidden = false;
  clearTimeout(retryTimer);
  retryTimer = setTimeout(start, RETRY_MS);
}

async function start() {
  clearTimeout(retryTimer);
  $('pairing').hidden = true;
  $('deck').hidden = !$('unreachable').hidden;
  try {
    await loadConfig();
    $('unreachable').hidden = true;
    $('deck').hidden = false;
    stopWatching ??= watchReloads(() => loadConfig().catch(loadFailed));
  } catch (error) {
    loadFailed(error);
  }
}

function loadFailed(error) {
  if (error instanceof Unreachable) showUnreachable();
  else handleError(error);
}

// A horizontal swipe across the tiles moves to the next or previous page.
function enableSwipes() {
  let start = null;
  $('pages').addEventListener('touchstart', (event) => {
    const touch = event.touches[0];
    start = { x: touch.clientX, y: touch.clientY };
  }, { passive: true });
  $('pages').addEventListener('touchend', (event) => {
    if (!start) return;
    const touch = event.changedTouches[0];
    const dx = touch.clientX - start.x;
    const dy = touch.clientY - start.y;
    start = null;
    const count = state.config?.pages?.length || 0;
    if (Math.abs(dx) < 60 || Math.abs(dx) < 2 * Math.abs(dy)) return;
    const next = state.page + (dx < 0 ? 1 : -1);
    if (next >= 0 && next < count) showPage(next);
  });
}

function init() {
  // Installed from the relay, the page opens even when the computer cannot be reached.
  if (relayed && window.isSecureContext && 'serviceWorker' in navigator) {
    navigator.serviceWorker.register('sw.js').catch(() => {});
  }
  $('retry').addEventListener('click', start);
  setUpTouchpad();
  window.addEventListener('online', () => { if (!$('unreachable').hidden) start(); });
  buildPinPad();
  enableSwipes();
  $('plan-form').addEventListener('submit', plan);
  $('open-settings').addEventListener('click', () => $('settings').showModal());
  $('close-settings').addEventListener('click', () => $('settings').close());
  $('unpair').addEventListener('click', async () => {
    await api('api/unpair').catch(() => {});
    token.clear();
    $('settings').close();
    showPairing('Unpaired. Enter a PIN to pair again.');
  });
  document.addEventListener('keydown', (event) => {
    if ($('pairing').hidden) return;
    if (/^[0-9]$/.test(event.key)) pressPinKey(event.key);
    else if (event.key === 'Backspace') pressPinKey('⌫');
    else if (event.key === 'Enter') pressPinKey('OK');
  });
  const code = new URLSearchParams(location.search).get('pair');
  if (code) pairWithCode(code);
  else if (token.get()) start().then(() => { if (location.hash === '#touchpad') openTouchpad(); });
  else showPairing();
}

init();
