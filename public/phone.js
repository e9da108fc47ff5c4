// The phone's remote: pairing, the pages of tiles, the planner box, and files and words sent
// between the phone and its computer.
import { api, token, relayed, sharedOrigin, Unauthorized, Unreachable, watchReloads, toast, el, ask, imageAddress, PLAN_ERRORS,
  fetchWithToken, upload, liveChannels, READING_RELAY, throughReadingRelay } from './api.js';
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
    onclick: () => choosePage(i),
  }, `${page.icon || ''} ${page.name || 'Page'}`.trim())));
  $('keep-page').hidden = !pages.some((page) => appsOf(page).length);
  $('keep-page').setAttribute('aria-pressed', String(keepingPage()));

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
  $('tabs').querySelector('[aria-selected="true"]')?.scrollIntoView({ block: 'nearest', inline: 'nearest' });
  refreshLive();
}

// The person's own choice of page: the one to come back to once the app in front has no page.
function choosePage(index) {
  following.returnTo = null;
  showPage(index);
}

// ---------- pages that follow the app in front ----------

// The page shows the first page that lists the app in front on the computer, and goes back to
// the page the person chose once no page lists it. Never under a finger, nor behind the
// touchpad or a sheet: the latest app is followed once they are put away. A pinned page stays.
const KEEP_KEY = 'tapdeck.keepPage';
// The app in front as last told (undefined: not told yet), the one the page last followed, and
// the page to go back to (null: the one shown is the person's own choice).
const following = { app: undefined, followed: undefined, returnTo: null, touching: false };
// How many times the event stream told of the app in front: a GET answered after it is older.
const focusNews = { count: 0 };

const appsOf = (page) => (Array.isArray(page?.apps) ? page.apps.filter((app) => typeof app === 'string' && app) : []);
const keepingPage = () => localStorage.getItem(KEEP_KEY) === 'yes';

function followApp(app) {
  following.app = typeof app === 'string' && app ? app : null;
  followFocus();
}

// Whether the person is busy with something a page change would pull away.
function occupied() {
  return following.touching || $('deck').hidden || !$('touchpad').hidden
    || Boolean(document.querySelector('dialog[open]'));
}

function followFocus() {
  if (following.app === undefined || following.app === following.followed || keepingPage() || occupied()) return;
  following.followed = following.app;
  const pages = state.config?.pages || [];
  const app = following.app?.toLowerCase();
  const shown = app ? pages.findIndex((page) => appsOf(page).some((name) => name.toLowerCase() === app)) : -1;
  if (shown >= 0) {
    following.returnTo ??= state.page;
    if (shown !== state.page) showPage(shown);
  } else if (following.returnTo !== null) {
    const back = Math.min(following.returnTo, Math.max(0, pages.length - 1));
    following.returnTo = null;
    if (back !== state.page) showPage(back);
  }
}

// The pin: while pressed, the page stays whatever comes to the front; let go, it follows again.
function toggleKeepPage() {
  if (keepingPage()) localStorage.removeItem(KEEP_KEY);
  else localStorage.setItem(KEEP_KEY, 'yes');
  $('keep-page').setAttribute('aria-pressed', String(keepingPage()));
  if (!keepingPage()) {
    following.followed = undefined;  // the app in front now, whichever it is
    followFocus();
  }
}

// What holds the page back from following ends: a finger lifted, a sheet or the touchpad put away.
function watchForCalm() {
  $('pages').addEventListener('pointerdown', () => { following.touching = true; });
  for (const end of ['pointerup', 'pointercancel']) {
    window.addEventListener(end, () => {
      following.touching = false;
      setTimeout(followFocus);  // after the tap's own work (a sheet it opens)
    });
  }
  document.addEventListener('close', () => setTimeout(followFocus), true);  // a dialog's
  document.addEventListener('touchpadclose', () => followFocus());
}

const TILE_GLYPHS = { url: '🌐', shortcut: '⚙️', gesture: '✋', keys: '⌘', media: '⏯️', volume: '🔊', system: '💤', text: '⌨️', flow: '⚡', app: '🖥️', touchpad: '🖱️', toggle: '💡', slider: '🎚️', status: '📊', clipboard: '📋' };

// A tile's caption: the one its state gives before the configured one.
function tileLabel(tile) {
  return liveTile(tile).label || tile.label || tile.value || tile.type;
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
  // A tile that only shows something has no control to disable.
  if (node.matches('button') || node.querySelector('input, button')) node.setAttribute('aria-disabled', 'true');
  node.title = reason;
  let timer = null;
  node.addEventListener('pointerdown', () => { timer = setTimeout(() => toast(reason), 500); });
  for (const end of ['pointerup', 'pointerleave', 'pointercancel']) node.addEventListener(end, () => clearTimeout(timer));
  node.addEventListener('contextmenu', (event) => event.preventDefault());
  return node;
}

function renderTile(tile) {
  const reason = unavailableReason(tile);
  const tap = (event) => (reason ? toast(reason) : press(event.currentTarget, tile));
  let node;
  if (tile.type === 'volume') node = renderVolume(tile);
  else if (tile.type === 'media' && !reason) node = renderMedia(tile);
  else if (tile.type === 'toggle') node = renderToggle(tile, tap);
  else if (tile.type === 'slider') node = renderSlider(tile, reason);
  else if (tile.type === 'status') node = renderStatus(tile, tap);
  else if (tile.type === 'clipboard' && !reason) node = renderClipboard(tile);
  else node = renderButton(tile, tap);
  if (tile.id) node.dataset.tileId = tile.id;
  return reason ? markUnavailable(node, reason) : node;
}

function configuredIcon(tile) {
  if (tile.type !== 'app') return el('span', { class: 'tile-glyph' }, tile.emoji || TILE_GLYPHS[tile.type] || '•');
  return el('img', { class: 'tile-icon', alt: '', src: `api/icon?app=${encodeURIComponent(tile.value || '')}`,
    onerror: (e) => e.target.replaceWith(el('span', { class: 'tile-glyph' }, tile.emoji || TILE_GLYPHS.app)) });
}

// A picture a tile's state may show: what the agent accepts, and nothing an <img> would fetch.
const ICON_PICTURE = /^data:image\/(png|jpeg|webp);base64,[A-Za-z0-9+/]+=*$/;

// Puts the tile's icon in `slot`: its state's emoji or picture before the configured one; drawn
// again only when that changes, so that an app's icon is not fetched again.
function drawIcon(slot, tile) {
  const icon = liveTile(tile).icon || '';
  if (slot.shownIcon === icon) return;
  slot.shownIcon = icon;
  if (ICON_PICTURE.test(icon)) slot.replaceChildren(el('img', { class: 'tile-icon', alt: '', src: icon }));
  else slot.replaceChildren(icon ? el('span', { class: 'tile-glyph' }, icon) : configuredIcon(tile));
}

// Draws a tile now and, for one with an id, again at each change of the computer's state.
function showState(node, tile, draw) {
  if (tile.id) follow(node, draw);
  else draw();
}

// A tile a tap runs: its icon, caption and, when its state gives one, a value.
function renderButton(tile, tap) {
  const icon = el('span', { class: 'tile-face' });
  const label = el('span', { class: 'tile-label' });
  const value = el('span', { class: 'tile-value' });
  const button = el('button', { class: `tile tile-${tile.type}`, 'data-type': tile.type, onclick: tap }, icon, label, value);
  showState(button, tile, () => {
    drawIcon(icon, tile);
    label.textContent = tileLabel(tile);
    value.textContent = liveTile(tile).value ?? '';
    value.hidden = !value.textContent;
  });
  return button;
}

// A switch: pressed while the computer says it is on. "On" and "Off" are written on it, and a
// toggle whose state is not known yet is drawn as neither.
function renderToggle(tile, tap) {
  const icon = el('span', { class: 'tile-face' });
  const label = el('span', { class: 'tile-label' });
  const word = el('span', { class: 'toggle-state', 'aria-hidden': 'true' });
  const button = el('button', { class: 'tile tile-toggle', 'data-type': 'toggle', 'aria-pressed': 'false', onclick: tap },
    icon, label, word);
  showState(button, tile, () => {
    const { state: now } = liveTile(tile);
    const known = now === 'on' || now === 'off';
    button.setAttribute('aria-pressed', String(now === 'on'));
    button.dataset.state = known ? now : 'unknown';
    button.title = known ? '' : 'Not known yet';
    word.textContent = known ? (now === 'on' ? 'On' : 'Off') : '—';
    drawIcon(icon, tile);
    label.textContent = tileLabel(tile);
  });
  return button;
}

// A value the computer reports, large; a tap runs the tile's step when it has one, and a tile
// without one is not a button at all.
function renderStatus(tile, tap) {
  const icon = el('span', { class: 'tile-face' });
  const value = el('span', { class: 'status-value' });
  const label = el('span', { class: 'tile-label' });
  const node = tile.run
    ? el('button', { class: 'tile tile-status', 'data-type': 'status', onclick: tap }, icon, value, label)
    : el('div', { class: 'tile tile-status', 'data-type': 'status' }, icon, value, label);
  showState(node, tile, () => {
    drawIcon(icon, tile);
    value.textContent = liveTile(tile).value ?? '—';
    value.title = value.textContent;
    const length = [...value.textContent].length;
    value.dataset.length = length <= 4 ? 'short' : length <= 7 ? 'medium' : 'long';
    label.textContent = tileLabel(tile);
  });
  return node;
}

const SLIDER_PAUSE_MS = 100;

// A level from `min` to `max`, shown as a number, that the computer is told as it moves: at
// most one post every 100 ms and one at a time, the last position always. Every phone's slider
// follows the level the computer reports, but never one under a finger, nor while this phone's
// own posts are on their way.
function renderSlider(tile, reason) {
  const bound = (value, fallback) => (Number.isFinite(Number(value)) && value !== '' && value !== null
    ? Math.max(0, Math.min(100, Number(value))) : fallback);
  const min = bound(tile.min, 0);
  const max = Math.max(min, bound(tile.max, 100));
  const step = Number(tile.step) > 0 ? Number(tile.step) : 1;
  const input = el('input', { type: 'range', min: String(min), max: String(max), step: String(step), value: String(min), disabled: Boolean(reason) });
  const icon = el('span', { class: 'tile-face' });
  const label = el('span', { class: 'tile-label' });
  const shown = el('span', { class: 'slider-value' });
  const box = el('div', { class: 'tile tile-slider', 'data-type': 'slider' },
    el('div', { class: 'slider-head' }, icon, label, shown), input);
  let held = false;     // a finger (or a key) is moving it
  let pending = null;   // the level to post next
  let sending = null;   // the level posted, until the agent answers
  let sent = null;      // the last level posted, while it is the slider's last word
  let lastPost = -Infinity;
  let timer = null;
  let seen = null;      // the state last drawn
  const busy = () => held || pending !== null || sending !== null;
  const draw = () => {
    const now = liveTile(tile);
    if (now !== seen) {
      seen = now;  // a level that comes while busy is passed over: the finger's is the newer
      if (!busy() && Number.isFinite(now.level)) {
        input.value = String(now.level);
        sent = null;
      }
    }
    drawIcon(icon, tile);
    label.textContent = tileLabel(tile);
    input.setAttribute('aria-label', tileLabel(tile));
    shown.textContent = input.value;
  };
  const send = async () => {
    timer = null;
    if (pending === sent) pending = null;
    if (pending === null) return draw();
    [sending, pending] = [pending, null];
    sent = sending;
    lastPost = performance.now();
    try {
      const answer = await api(`api/tiles/${encodeURIComponent(tile.id)}/run`, { body: { level: sending } });
      if (!answer.ok) toast(answer.error || `${tileLabel(tile)} did not work.`);
    } catch (error) {
      handleError(error);
    } finally {
      sending = null;
      schedule();
    }
  };
  const schedule = () => {
    if (timer || sending !== null) return;
    if (pending === null) return draw();
    timer = setTimeout(send, Math.max(0, lastPost + SLIDER_PAUSE_MS - performance.now()));
  };
  const moved = () => {
    pending = Number(input.value);
    schedule();
    draw();
  };
  const release = () => {
    if (!held) return;
    held = false;
    moved();
  };
  input.addEventListener('pointerdown', () => {
    held = true;
    sent = null;
    window.addEventListener('pointerup', release, { once: true });
    window.addEventListener('pointercancel', release, { once: true });
  });
  input.addEventListener('input', () => { held = true; moved(); });
  input.addEventListener('change', release);
  showState(box, tile, draw);
  return box;
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
    case 'media': return ['api/media', mediaBody(tile.value)];
    case 'system': return ['api/system', { action: tile.value }];
    case 'flow': return ['api/run-plan', { steps: tile.steps || [] }];
    case 'toggle': case 'status': return tile.id ? [`api/tiles/${encodeURIComponent(tile.id)}/run`, {}] : null;
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
  const label = el('span', { class: 'tile-label' }, liveTile(tile).label || tile.label || 'Volume');
  const box = el('div', { class: 'tile tile-volume', 'data-type': 'volume' }, label, el('div', { class: 'volume-row' }, mute, slider));
  let muted = false;
  let dragging = false;
  const showMute = () => { mute.textContent = muted ? '🔇' : '🔊'; mute.setAttribute('aria-pressed', String(muted)); };
  // The computer's level, as it changes there; never under a finger that is moving the slider.
  follow(box, () => {
    label.textContent = liveTile(tile).label || tile.label || 'Volume';
    if (!live.volume) return;
    if (!dragging && live.volume.level >= 0) slider.value = String(live.volume.level);
    muted = Boolean(live.volume.muted);
    showMute();
  });
  slider.addEventListener('input', () => { dragging = true; });
  slider.addEventListener('change', async () => {
    dragging = false;
    const level = Number(slider.value);
    const answer = await api('api/volume', { body: { level } }).catch(handleError);
    if (answer?.ok) setLive({ volume: { level, muted } });
  });
  mute.addEventListener('click', async () => {
    muted = !muted;
    showMute();
    const answer = await api('api/volume', { body: { muted } }).catch(handleError);
    if (answer && !answer.ok) toast('The volume could not be changed.');
  });
  return box;
}

// ---------- now playing ----------

// What the computer plays and how loud, and the state of each tile with an id, as it last said;
// tiles follow it as it changes.
// Tiles' states are kept by id in objects without a prototype: an id such as "__proto__" or
// "constructor" is a key like any other.
const live = { media: null, players: [], volume: null, tiles: Object.create(null), followers: new Set() };
const NO_STATE = Object.freeze({});
// How many tile changes the event stream told of, and the count at each tile's last one: an
// answer to GET /api/tiles asked before a change must not undo it.
const tileNews = { count: 0, at: new Map() };

function liveTile(tile) {
  return (tile.id && live.tiles[tile.id]) || NO_STATE;
}
const PLAYER_KEY = 'tapdeck.player';

function setLive(change) {
  Object.assign(live, change);
  for (const follower of live.followers) follower();
}

// Calls `draw` now and at each change while the tile is on the page.
function follow(node, draw) {
  const follower = () => (node.isConnected ? draw() : live.followers.delete(follower));
  live.followers.add(follower);
  draw();
}

// Asks for the player and the volume when a tile shows them, for what the computer offers, and
// for the app in front when a page follows one:
// at start, after a reload, and every 30 s through a relay that carries no event stream.
async function refreshLive() {
  const tiles = (state.config?.pages || []).flatMap((page) => (Array.isArray(page.tiles) ? page.tiles : []));
  const types = new Set(tiles.map((tile) => tile.type));
  const asked = tileNews.count;
  const offersAsked = inboxNews.count;
  // A phone unpaired meanwhile learns it here; an agent away is said by the deck's own load.
  const ask = (path) => api(path, { method: 'GET' }).catch((error) => {
    if (error instanceof Unauthorized) handleError(error);
    return null;
  });
  const focusAsked = focusNews.count;
  const [playing, volume, states, offered, focus] = await Promise.all([types.has('media') ? ask('api/now-playing') : null,
    types.has('volume') ? ask('api/volume') : null, tiles.some((tile) => tile.id) ? ask('api/tiles') : null,
    ask('api/inbox'), (state.config?.pages || []).some((page) => appsOf(page).length) ? ask('api/focus') : null]);
  // The event stream's word, when it came meanwhile, is the newer.
  if (offered?.ok && inboxNews.count === offersAsked) showInbox(offered.inbox);
  if (focus?.ok && focusNews.count === focusAsked) followApp(focus.app);
  const change = {};
  if (playing?.ok) {
    change.players = playing.players || [];
    change.media = change.players.find((player) => player.id === playing.active) || null;
  }
  if (volume?.ok) change.volume = { level: volume.level, muted: Boolean(volume.muted) };
  if (states?.ok) change.tiles = tilesAsOf(states.tiles || {}, asked);
  setLive(change);
}

// The states of GET /api/tiles asked when `asked` changes had been told, with what the event
// stream told of since kept.
function tilesAsOf(answered, asked) {
  const tiles = Object.create(null);
  for (const id of new Set([...Object.keys(answered), ...Object.keys(live.tiles)])) {
    const now = (tileNews.at.get(id) ?? -1) > asked ? live.tiles[id] : (Object.hasOwn(answered, id) ? answered[id] : null);
    if (now && typeof now === 'object' && Object.keys(now).length) tiles[id] = now;
  }
  return tiles;
}

// A change the event stream told of: the active player, the volume, tiles' states (each whole;
// an empty one has none left), the whole list of what the computer offers, that the clipboard
// changed, a notification, or the app in front.
function onState(change) {
  if (change.clipboard && typeof change.clipboard === 'object') {
    clipboardNews.count++;
    setLive({});
  }
  if ('notification' in change) showNotification(change.notification);
  if (change.focus && typeof change.focus === 'object') {
    focusNews.count++;
    followApp(change.focus.app);
  }
  if ('inbox' in change) {
    inboxNews.count++;
    showInbox(change.inbox);
  }
  if ('volume' in change) setLive({ volume: change.volume });
  if (change.tiles && typeof change.tiles === 'object') {
    const tiles = Object.assign(Object.create(null), live.tiles);
    for (const [id, now] of Object.entries(change.tiles)) {
      tileNews.at.set(id, ++tileNews.count);
      if (now && typeof now === 'object' && Object.keys(now).length) tiles[id] = now;
      else delete tiles[id];
    }
    setLive({ tiles });
  }
  if ('media' in change) {
    // No active player means none is left.
    const others = live.players.filter((player) => change.media && player.id !== change.media.id);
    setLive({ media: change.media, players: change.media ? [change.media, ...others] : [] });
  }
}

// The player this phone chose to control, while it is there; else the computer's active one.
function chosenPlayer() {
  const chosen = localStorage.getItem(PLAYER_KEY);
  return live.players.some((player) => player.id === chosen) ? chosen : null;
}

function shownPlayer() {
  const chosen = chosenPlayer();
  return live.players.find((player) => player.id === chosen) || live.media;
}

function mediaBody(action) {
  const player = chosenPlayer();
  return player ? { action, player } : { action };
}

// Each artwork is fetched once (with the token) and kept while it may be shown again.
const artwork = new Map();
function artworkFor(address) {
  if (!address) return Promise.resolve(null);
  if (!artwork.has(address)) {
    artwork.set(address, imageAddress(address.replace(/^\//, '')));
    if (artwork.size > 8) {
      const [oldest, image] = artwork.entries().next().value;
      artwork.delete(oldest);
      image.then((url) => url && URL.revokeObjectURL(url));
    }
  }
  return artwork.get(address);
}

const MEDIA_GLYPHS = { next: '⏭', prev: '⏮', previous: '⏮' };

function renderMedia(tile) {
  const art = el('img', { class: 'media-art', alt: '', hidden: true });
  const glyph = el('span', { class: 'tile-glyph' });
  const title = el('span', { class: 'tile-label' });
  const artist = el('span', { class: 'media-artist' });
  const button = el('button', { class: 'tile tile-media', 'data-type': 'media' }, art, glyph, title, artist);
  follow(button, () => {
    const player = shownPlayer();
    const playing = player?.status === 'Playing';
    glyph.textContent = tile.emoji || MEDIA_GLYPHS[tile.value] || (playing ? '⏸' : '▶');
    title.textContent = player?.title || tileLabel(tile);
    artist.textContent = player?.title ? player.artist || player.name : '';
    button.classList.toggle('playing', playing);
    button.dataset.status = player?.status || 'none';
    button.setAttribute('aria-label', player?.title ? `${tileLabel(tile)}: ${player.title}` : tileLabel(tile));
    const address = player?.art || null;
    if (art.dataset.address === (address || '')) return;
    art.dataset.address = address || '';
    artworkFor(address).then((url) => {
      if (art.dataset.address !== (address || '')) return;  // another track meanwhile
      art.hidden = !url;
      button.classList.toggle('with-art', Boolean(url));
      if (url) art.src = url;
    });
  });
  onHold(button, () => openMediaSheet(), () => press(button, tile));
  return button;
}

// A tap runs `tap`; a finger held half a second runs `hold` instead.
function onHold(node, hold, tap) {
  let timer = null;
  let held = false;
  node.addEventListener('pointerdown', () => {
    held = false;
    timer = setTimeout(() => { held = true; navigator.vibrate?.(20); hold(); }, 500);
  });
  for (const end of ['pointerup', 'pointerleave', 'pointercancel']) node.addEventListener(end, () => clearTimeout(timer));
  node.addEventListener('contextmenu', (event) => event.preventDefault());
  node.addEventListener('click', () => { if (!held) tap(); held = false; });
}

// Previous, play/pause and next for the shown player, and which player when there are several.
function openMediaSheet() {
  const send = (action) => api('api/media', { body: mediaBody(action) })
    .then((answer) => { if (!answer.ok) toast(answer.error || 'The player did not answer.'); })
    .catch(handleError);
  const heading = el('h2');
  const detail = el('p', { class: 'hint' });
  const playPause = el('button', { class: 'primary media-key', 'aria-label': 'Play or pause', onclick: () => send('playpause') });
  const choice = el('select', { 'aria-label': 'Player', onchange: () => {
    if (choice.value) localStorage.setItem(PLAYER_KEY, choice.value);
    else localStorage.removeItem(PLAYER_KEY);
    setLive({});
  } });
  const dialog = el('dialog', { class: 'sheet media-sheet' },
    heading, detail,
    el('div', { class: 'row media-keys' },
      el('button', { class: 'media-key', 'aria-label': 'Previous', onclick: () => send('prev') }, '⏮'),
      playPause,
      el('button', { class: 'media-key', 'aria-label': 'Next', onclick: () => send('next') }, '⏭')),
    el('label', { class: 'field media-choice' }, 'Player', choice),
    el('form', { method: 'dialog', class: 'row end' }, el('button', {}, 'Done')));
  follow(dialog, () => {
    const player = shownPlayer();
    heading.textContent = player?.title || player?.name || 'Nothing playing';
    detail.textContent = player ? [player.artist, player.album].filter(Boolean).join(' — ') || player.name : '';
    playPause.textContent = player?.status === 'Playing' ? '⏸' : '▶';
    choice.parentElement.hidden = live.players.length < 2;
    const chosen = chosenPlayer() || '';
    choice.replaceChildren(el('option', { value: '' }, 'The one playing'),
      ...live.players.map((p) => el('option', { value: p.id }, p.name || p.id)));
    choice.value = chosen;
  });
  dialog.addEventListener('close', () => dialog.remove());
  document.body.append(dialog);
  dialog.showModal();
}

// ---------- files and words between the phone and the computer ----------

const SIZE_UNITS = ['byte', 'kilobyte', 'megabyte', 'gigabyte'];

// "3.2 MB": a size read at a glance.
function formatSize(bytes) {
  const power = Math.min(SIZE_UNITS.length - 1, Math.floor(Math.log10(Math.max(bytes, 1)) / 3));
  if (!power) return plural(bytes, 'byte');
  return new Intl.NumberFormat(undefined, { style: 'unit', unit: SIZE_UNITS[power], unitDisplay: 'short',
    maximumFractionDigits: 1 }).format(bytes / 1000 ** power);
}

const plural = (count, word) => `${count} ${word}${count === 1 ? '' : 's'}`;

// What a refusal without words of its own means.
const SEND_FAILURES = {
  400: 'The computer could not read what was sent.',
  413: 'That is too large for the computer to take.',
  503: 'The computer is busy with other uploads. Try again in a moment.',
  507: 'The computer\'s disk is too full.',
};
const sendFailure = (why, status) => why || SEND_FAILURES[status] || 'The computer could not take it.';

// What the phone's share sheet gave, as the service worker kept it: never sent until the person
// says so, for a form posted to the page's share target may come from any web site.
const SHARED = 'tapdeck-shared';
const SHARED_KEY = 'pending-share';

// The share kept, as the form to send and what it holds; null when there is none. On a relay's
// shared name no worker keeps any (a page of another computer could have written it).
async function keptShare() {
  if (sharedOrigin || !window.caches) return null;
  try {
    const kept = await caches.match(SHARED_KEY, { cacheName: SHARED });
    if (!kept) return null;
    const given = await kept.formData();
    // Only what is shown is sent: the texts the share target names, and files.
    const form = new FormData();
    const texts = [];
    for (const name of ['title', 'text', 'url']) {
      const value = given.get(name);
      if (typeof value === 'string' && value.trim()) {
        form.append(name, value);
        texts.push({ name, value });
      }
    }
    const files = [...given.values()].filter((value) => value instanceof File && value.name);
    for (const file of files) form.append('files', file, file.name);
    return texts.length || files.length ? { form, texts, files } : null;
  } catch {
    return null;
  }
}

const forgetShare = () => (window.caches ? caches.delete(SHARED).catch(() => {}) : Promise.resolve());

// The share kept, while the sheet offers it.
let pending = null;
const SHARED_TEXTS = { title: ['📝', 'Title'], text: ['📝', 'Text'], url: ['🔗', 'Link'] };

// Shows what the share sheet gave and asks before sending it; at each start, so that a share
// outlives a reload, and waits for the phone to be paired.
async function offerShare() {
  if ($('send-sheet').open) return;
  const share = await keptShare();
  // Through a relay, what it is (one that reads requests takes no files) is known first.
  if (share && relayed) await Promise.race([liveChannels.heard, new Promise((known) => setTimeout(known, 5000))]);
  if (!share || $('send-sheet').open) return;
  pending = share;
  $('send-title').textContent = 'Send to the computer?';
  $('send-outcome').textContent = '';
  listWhat([...share.texts.map(({ name, value }) => ({ glyph: SHARED_TEXTS[name][0], name: value, detail: SHARED_TEXTS[name][1] })),
    ...share.files.map(fileShown)]);
  if (throughReadingRelay()) showOutcome(false, READING_RELAY);
  showSheet('confirm');
  $('send-sheet').showModal();
}

// What the sheet lists: a glyph, a name and a detail each.
function listWhat(items) {
  $('send-list').replaceChildren(...items.map((item) => el('li', {},
    el('span', { class: 'send-glyph', 'aria-hidden': 'true' }, item.glyph),
    el('span', { class: 'send-what' }, el('span', { class: 'send-name' }, item.name),
      el('small', { class: 'hint' }, item.detail)))));
}

const fileShown = (file) => ({ glyph: '📄', name: file.name, detail: formatSize(file.size) });

// The sheet's parts for `step`: 'confirm' (a share kept, before it is sent), 'sending' or
// 'finished' (its outcome said; a share not sent may be sent again, or discarded).
function showSheet(step) {
  const offered = Boolean(pending) && step !== 'sending';
  $('send-hint').hidden = step !== 'confirm';
  $('send-progress').hidden = $('send-amount').hidden = step === 'confirm' || !$('send-list').childElementCount;
  $('send-cancel').hidden = step !== 'sending';
  $('send-discard').hidden = !offered;
  $('send-confirm').hidden = !offered || throughReadingRelay();
  $('send-done').hidden = step !== 'finished' || offered;
  $('send-confirm').textContent = step === 'confirm' ? 'Send to the computer' : 'Send again';
  (step === 'sending' ? $('send-cancel') : offered ? $('send-discard') : $('send-done')).focus();
}

function showOutcome(ok, text) {
  $('send-outcome').textContent = text;
  $('send-outcome').dataset.kind = ok ? 'ok' : 'error';
}

// What the computer did with a share, in its words.
function sharedOutcome(answer) {
  const saved = Array.isArray(answer.saved) ? answer.saved.length : 0;
  const done = [saved && `${plural(saved, 'file')} saved in its downloads`,
    answer.opened && 'the link opened in its browser', answer.copied && 'the text put on its clipboard'].filter(Boolean);
  return done.length ? `Sent to the computer: ${done.join(', ')}.` : 'Sent to the computer.';
}

async function sendShare() {
  const share = pending;
  if (!share || sending) return;
  if (throughReadingRelay()) {  // learned since the sheet opened
    showOutcome(false, READING_RELAY);
    return showSheet('confirm');
  }
  const answer = await sendForm(share.form, share.files);
  if (!answer?.ok || pending !== share) return;
  pending = null;
  await forgetShare();
  $('send-sheet').close();
  toast(sharedOutcome(answer), 'ok');
}

async function discardShare() {
  pending = null;
  await forgetShare();
  $('send-sheet').close();
}

// The upload under way, while there is one.
let sending = null;

function pickFiles() {
  $('settings').close();
  if (throughReadingRelay()) {  // said before anything is chosen, let alone sent
    $('send-title').textContent = 'Not sent';
    listWhat([]);
    showOutcome(false, READING_RELAY);
    $('send-sheet').showModal();
    return showSheet('finished');
  }
  $('send-picker').value = '';  // the same files picked again are sent again
  $('send-picker').click();
}

function showProgress(sent, total) {
  $('send-progress').max = Math.max(total, 1);
  $('send-progress').value = sent;
  const share = total ? Math.floor((sent / total) * 100) : 100;
  $('send-amount').textContent = `${share} % · ${formatSize(sent)} of ${formatSize(total)}`;
}

function sendFinished(ok, text) {
  $('send-title').textContent = ok ? 'Sent' : 'Not sent';
  showOutcome(ok, text);
  showSheet('finished');
}

// Sends the files picked to the computer's download folder; works on plain HTTP too, where the
// phone's share sheet cannot reach the page.
async function sendFiles(files) {
  pending = null;
  listWhat(files.map(fileShown));
  const answer = await sendForm(files.reduce((form, file) => {
    form.append('files', file, file.name);
    return form;
  }, new FormData()), files);
  if (answer?.ok) sendFinished(true, answer.saved.length ? `Saved in the computer's downloads: ${answer.saved.join(', ')}.` : 'Sent.');
}

// Sends `form` (with `files` in it), showing how far it got; says why when it was not taken, and
// gives the computer's answer (null when it was not).
async function sendForm(form, files) {
  $('send-title').textContent = files.length ? `Sending ${plural(files.length, 'file')}` : 'Sending';
  $('send-outcome').textContent = '';
  showProgress(0, files.reduce((sum, file) => sum + file.size, 0));
  if (!$('send-sheet').open) $('send-sheet').showModal();
  showSheet('sending');
  sending = upload('api/share', form, showProgress);
  try {
    const answer = await sending.answer;
    if (!answer) sendFinished(false, 'Cancelled.');
    else if (!answer.ok) {
      // A refusal part of the way through names the files saved before it.
      const saved = Array.isArray(answer.saved) && answer.saved.length
        ? `Saved in the computer's downloads: ${answer.saved.join(', ')}.` : '';
      sendFinished(false, [sendFailure(answer.error, answer.status), saved].join(' ').trim());
    }
    return answer?.ok ? { ...answer, saved: Array.isArray(answer.saved) ? answer.saved : [] } : null;
  } catch (error) {
    if (error instanceof Unauthorized) {
      $('send-sheet').close();
      handleError(error);
    } else {
      sendFinished(false, UNREACHABLE);
    }
    return null;
  } finally {
    sending = null;
  }
}

const INBOX_ACTIONS = { file: 'Save', url: 'Open link', text: 'Copy' };
const INBOX_GLYPHS = { file: '📄', url: '🔗', text: '📝' };
// How many times the event stream told of the inbox: a GET answered after it is the older word.
const inboxNews = { count: 0 };

// What the computer offers this phone, newest first; nothing at all when it offers nothing.
// Drawn again only when it changed, so that a button being tapped stays.
function showInbox(items) {
  const offered = (Array.isArray(items) ? items : []).filter((item) => INBOX_ACTIONS[item?.kind]).reverse();
  const drawn = JSON.stringify(offered);
  if (drawn === state.inbox) return;
  state.inbox = drawn;
  $('inbox').hidden = !offered.length;
  $('inbox-list').replaceChildren(...offered.map((item, i) => {
    const name = el('span', { class: 'inbox-name', id: `inbox-name-${i}` }, item.name || item.kind);
    return el('li', { class: 'inbox-item', 'data-kind': item.kind },
      el('span', { class: 'inbox-glyph', 'aria-hidden': 'true' }, INBOX_GLYPHS[item.kind]),
      el('span', { class: 'inbox-what' }, name,
        item.kind === 'file' && Number.isFinite(item.size) ? el('small', { class: 'hint' }, formatSize(item.size)) : null),
      el('button', { 'aria-describedby': name.id, onclick: (event) => takeItem(item, event.currentTarget) },
        INBOX_ACTIONS[item.kind]));
  }));
}

// What an item's refusal without words of its own means.
const ITEM_FAILURES = {
  404: 'That is no longer offered: the computer offers each thing for an hour.',
  409: 'That file changed or went away on the computer since it was offered.',
};

// A file is saved, a link opened and a text copied, each fetched with the token when tapped.
async function takeItem(item, button) {
  if (button.dataset.busy) return;
  button.dataset.busy = 'yes';
  // A new tab opens only while the tap is fresh: it is opened now, and shown the link once known.
  const tab = item.kind === 'url' ? window.open('', '_blank') : null;
  try {
    const response = await fetchWithToken(`api/inbox/${encodeURIComponent(item.id)}`);
    if (!response.ok) {
      tab?.close();
      const answer = await response.json().catch(() => ({}));
      toast(answer.error || ITEM_FAILURES[response.status] || 'The computer could not give it.');
    } else if (item.kind === 'file') {
      saveFile(await response.blob(), item.name);
    } else if (item.kind === 'url') {
      openLink(tab, (await response.text()).trim());
    } else {
      await copyText(await response.text());
    }
  } catch (error) {
    tab?.close();
    handleError(error);
  } finally {
    delete button.dataset.busy;
  }
}

function saveFile(blob, name) {
  const address = URL.createObjectURL(blob);
  const link = el('a', { href: address, download: name || 'download', hidden: true });
  document.body.append(link);
  link.click();
  link.remove();
  // The download has long taken its bytes by then; the address would keep them in memory.
  setTimeout(() => URL.revokeObjectURL(address), 60000);
}

// Only a web address is opened: never a script's.
function openLink(tab, text) {
  let url = null;
  try {
    url = new URL(text);
  } catch { /* said below */ }
  if (!url || !['http:', 'https:'].includes(url.protocol)) {
    tab?.close();
    toast('That is not a link this phone can open.');
  } else if (tab) {
    tab.opener = null;
    tab.location.href = url.href;
  } else {
    offerByHand('A link from the computer', 'This phone did not let the page open a tab.', { link: url.href });
  }
}

// The clipboard API needs a secure origin (the agent's plain HTTP on the LAN is not one) and may
// be refused, or the tap's moment may have passed while the text came: the text is then shown
// selected, with a button that copies it.
async function copyText(text, title = 'Text from the computer') {
  if (window.isSecureContext && navigator.clipboard?.writeText) {
    try {
      await navigator.clipboard.writeText(text);
      toast('Copied.', 'ok');
      return;
    } catch { /* by hand, below */ }
  }
  copyByHand(title, text);
}

// A sheet with a text selected in a field, and a Copy button: a tap on it is the gesture a
// browser wants before it copies, on plain HTTP too. The text leaves the page with the sheet.
function copyByHand(title, text) {
  const field = el('textarea', { readonly: true, rows: '4', 'aria-label': title, spellcheck: 'false' });
  field.value = text;
  const select = () => {
    field.focus();
    field.setSelectionRange(0, field.value.length);  // iOS selects nothing with select()
  };
  const copy = () => {
    select();
    let copied = false;
    try {
      copied = document.execCommand('copy');
    } catch { /* said below */ }
    if (!copied) return toast('This browser did not copy it: hold the text to copy it.');
    toast('Copied.', 'ok');
    dialog.close();
  };
  const dialog = el('dialog', { class: 'sheet copy-sheet' },
    el('h2', {}, title),
    el('p', { class: 'hint' }, 'Selected: tap Copy, or hold it to copy it yourself.'),
    field,
    el('form', { method: 'dialog', class: 'row end' },
      el('button', { value: 'done' }, 'Done'),
      el('button', { type: 'button', class: 'primary', onclick: copy }, 'Copy')));
  forgetOnClose(dialog, field);
  document.body.append(dialog);
  dialog.showModal();
  select();
}

// A sheet's field may hold a password: emptied as the sheet goes, and the sheet with it.
function forgetOnClose(dialog, field) {
  dialog.addEventListener('close', () => {
    field.value = '';
    dialog.remove();
  });
}

// A sheet with a link to tap, when the page could not open a tab by itself.
function offerByHand(title, hint, { link }) {
  const dialog = el('dialog', { class: 'sheet' },
    el('h2', {}, title),
    el('p', { class: 'hint' }, hint),
    el('a', { class: 'button primary', href: link, target: '_blank', rel: 'noopener' }, 'Open link'),
    el('form', { method: 'dialog', class: 'row end' }, el('button', {}, 'Done')));
  dialog.addEventListener('close', () => dialog.remove());
  document.body.append(dialog);
  dialog.showModal();
}

// ---------- the clipboard both ways ----------

// Each change of the computer's clipboard its event stream told of (never what it holds), and
// the count when this phone last took it.
const clipboardNews = { count: 0, taken: 0 };
// What the computer's clipboard takes from a phone at once.
const CLIPBOARD_MAX_BYTES = 1024 * 1024;

// A tap copies the computer's clipboard onto the phone; a finger held sends the phone's to the
// computer. A dot says that the computer's clipboard changed since the last tap.
function renderClipboard(tile) {
  const button = renderButton(tile, () => {});
  const dot = el('span', { class: 'tile-dot', hidden: true }, el('span', { class: 'visually-hidden' }, ', changed on the computer'));
  button.append(dot);
  follow(button, () => { dot.hidden = clipboardNews.count === clipboardNews.taken; });
  onHold(button, () => sendClipboard(button), () => takeClipboard(button));
  return button;
}

// Copies the computer's clipboard onto this phone.
async function takeClipboard(button) {
  if (button.classList.contains('busy')) return;
  button.classList.add('busy');
  clipboardNews.taken = clipboardNews.count;
  setLive({});
  try {
    const answer = await api('api/clipboard', { method: 'GET' });
    if (!answer.ok) toast(answer.error || 'The computer\'s clipboard could not be read.');
    else if (answer.tooLarge) toast('The computer\'s clipboard holds more than 1 MiB of text.');
    else if (typeof answer.text !== 'string' || !answer.text) toast('The computer\'s clipboard holds no text.');
    else await copyText(answer.text, 'The computer\'s clipboard');
  } catch (error) {
    handleError(error);
  } finally {
    button.classList.remove('busy');
  }
}

// Sends this phone's clipboard to the computer's: read at once where the browser lets the page
// read it, else pasted into a sheet by the person.
async function sendClipboard(button) {
  let text = '';
  if (window.isSecureContext && navigator.clipboard?.readText) {
    try {
      text = await navigator.clipboard.readText();
    } catch { /* refused: pasted by hand, below */ }
  }
  if (!text) return pasteSheet();
  button.classList.add('busy');
  await putOnComputer(text);
  button.classList.remove('busy');
}

// Puts `text` on the computer's clipboard; says how it went, and whether it did.
async function putOnComputer(text) {
  if (new Blob([text]).size > CLIPBOARD_MAX_BYTES) {
    toast('That is more than 1 MiB of text: the computer takes less at once.');
    return false;
  }
  try {
    const answer = await api('api/clipboard', { body: { text } });
    if (answer.ok) toast('Sent to the computer\'s clipboard.', 'ok');
    else toast(answer.error || 'The computer\'s clipboard could not be set.');
    return answer.ok;
  } catch (error) {
    handleError(error);
    return false;
  }
}

// A field to paste into, and a button that sends what it holds.
function pasteSheet() {
  const field = el('textarea', { rows: '4', 'aria-label': 'Paste here', placeholder: 'Paste here',
    autocomplete: 'off', autocapitalize: 'off', autocorrect: 'off', spellcheck: 'false' });
  const send = el('button', { class: 'primary' }, 'Send to computer');
  const form = el('form', { class: 'paste-form' }, field,
    el('div', { class: 'row end' }, el('button', { type: 'button', onclick: () => dialog.close() }, 'Cancel'), send));
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    if (!field.value || send.disabled) return field.focus();
    send.disabled = true;
    if (await putOnComputer(field.value)) dialog.close();
    send.disabled = false;
  });
  const dialog = el('dialog', { class: 'sheet paste-sheet', 'aria-labelledby': 'paste-title' },
    el('h2', { id: 'paste-title' }, 'Send to the computer\'s clipboard'),
    el('p', { class: 'hint' }, 'Paste the text here. It goes to the computer and is not kept on this phone.'),
    form);
  forgetOnClose(dialog, field);
  document.body.append(dialog);
  dialog.showModal();
  field.focus();
}

// ---------- the computer's notifications ----------

const NOTICE_MS = 6000;
const MOST_NOTICES = 3;

// A notification of the computer's, told by its event stream: a quiet note at the top of the
// page for a few seconds (the newest three at most), and, while the page is not in sight and the
// person allowed it, one of the phone's own.
function showNotification(notification) {
  if (!notification || typeof notification !== 'object') return;
  const text = (value) => (typeof value === 'string' ? value : '');
  const [app, summary, body] = [text(notification.app), text(notification.summary), text(notification.body)];
  if (!summary && !body) return;
  const notice = el('div', { class: 'notice' },
    app ? el('p', { class: 'notice-app', dir: 'auto' }, app) : null,
    summary ? el('p', { class: 'notice-summary', dir: 'auto' }, summary) : null,
    body ? el('p', { class: 'notice-body', dir: 'auto' }, body) : null);
  notice.addEventListener('click', () => notice.remove());  // a tap puts it away early
  const list = $('notices');
  list.append(notice);
  while (list.childElementCount > MOST_NOTICES) list.firstElementChild.remove();
  setTimeout(() => notice.remove(), NOTICE_MS);
  if (document.visibilityState !== 'visible') showOnPhone(app, summary, body);
}

// Where this page may show notifications of the phone's own: a secure page, asked by the person.
const phoneNotifications = () => ('Notification' in window) && window.isSecureContext;

async function showOnPhone(app, summary, body) {
  if (!phoneNotifications() || Notification.permission !== 'granted') return;
  const title = [app, summary].filter(Boolean).join(': ');
  const options = { body, dir: 'auto', icon: 'icon-192.png' };
  try {
    // Android's browsers show notifications only through a service worker.
    const registration = await navigator.serviceWorker?.getRegistration();
    if (registration) await registration.showNotification(title, options);
    else new Notification(title, options);
  } catch { /* the browser would not: the note on the page said it */ }
}

// The menu's offer to show the computer's notifications as the phone's own, or why it cannot.
function drawNotificationChoice() {
  const button = $('show-notifications');
  const hint = $('notifications-hint');
  const known = 'Notification' in window;
  const permission = known ? Notification.permission : 'default';
  button.hidden = !phoneNotifications() || permission !== 'default';
  hint.hidden = !known || (phoneNotifications() && permission === 'default');
  hint.textContent = !phoneNotifications()
    ? 'The computer\'s notifications show here while this page is open. To see them when it is in the background, open it over HTTPS (through the relay).'
    : permission === 'granted'
      ? 'This phone shows the computer\'s notifications, also while this page is in the background.'
      : 'This browser blocks notifications from this page: allow them in its settings for this site.';
}

async function askForNotifications() {
  try {
    await Notification.requestPermission();
  } catch { /* an old browser's: said by the permission, below */ }
  drawNotificationChoice();
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
    refreshLive();
    $('unreachable').hidden = true;
    $('deck').hidden = false;
    stopWatching ??= watchReloads(() => loadConfig().then(refreshLive).catch(loadFailed), onState, refreshLive);
    offerShare();
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
    // A finger moving a slider is not turning the page.
    if (event.target.closest?.('input[type="range"]')) {
      start = null;
      return;
    }
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
    if (next >= 0 && next < count) choosePage(next);
  });
}

function init() {
  // Installed from the relay, the page opens even when the computer cannot be reached; but not
  // on a relay's shared name, where a page of another computer could write what a worker serves
  // (one registered there before is taken away).
  if (relayed && window.isSecureContext && 'serviceWorker' in navigator) {
    if (sharedOrigin) {
      navigator.serviceWorker.getRegistrations()
        .then((all) => all.forEach((registration) => registration.unregister()))
        .catch(() => {});
    } else {
      navigator.serviceWorker.register('sw.js').catch(() => {});
    }
  }
  $('retry').addEventListener('click', start);
  setUpTouchpad();
  window.addEventListener('online', () => { if (!$('unreachable').hidden) start(); });
  buildPinPad();
  enableSwipes();
  $('plan-form').addEventListener('submit', plan);
  $('open-settings').addEventListener('click', () => {
    drawNotificationChoice();
    $('settings').showModal();
  });
  $('show-notifications').addEventListener('click', askForNotifications);
  $('keep-page').addEventListener('click', toggleKeepPage);
  watchForCalm();
  $('close-settings').addEventListener('click', () => $('settings').close());
  $('send-files').addEventListener('click', pickFiles);
  $('send-picker').addEventListener('change', () => {
    const files = [...$('send-picker').files];
    if (files.length) sendFiles(files);
  });
  $('send-cancel').addEventListener('click', () => sending?.abort());
  $('send-done').addEventListener('click', () => $('send-sheet').close());
  $('send-confirm').addEventListener('click', sendShare);
  $('send-discard').addEventListener('click', discardShare);
  $('send-sheet').addEventListener('close', () => {
    sending?.abort();  // Escape stops it too
    pending = null;  // a share not sent nor discarded is offered again at the next start
  });
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
  const params = new URLSearchParams(location.search);
  const code = params.get('pair');
  // What the service worker did with a share: kept it (the page offers it once the deck is up),
  // or could not read it. Out of the address at once: the share kept is what counts.
  const shared = params.get('shared');
  if (shared) history.replaceState(null, '', location.pathname + location.hash);
  if (code) pairWithCode(code);
  else if (token.get()) start().then(() => { if (location.hash === '#touchpad') openTouchpad(); });
  else {
    showPairing();
    keptShare().then((share) => {
      if (share && !token.get()) $('pair-error').textContent = 'Pair this phone first, then share again.';
    });
  }
  if (shared === 'unreadable') toast('What was shared could not be read.');
}

init();
