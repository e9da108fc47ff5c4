// The admin page: pairing, pages and tiles, flows and settings, saved as one document.
import { api, watchReloads, toast, el, ask, PLAN_ERRORS, Unauthorized } from './api.js';

const $ = (id) => document.getElementById(id);
const state = { admin: null, doc: null, page: 0, dirty: false, flowSteps: [], editing: new WeakSet() };

const MEDIA = [['playpause', 'Play / Pause', '⏯️'], ['next', 'Next', '⏭️'], ['previous', 'Previous', '⏮️']];
const SYSTEM = [['sleep', 'Sleep', '😴'], ['screensaver', 'Screen Saver', '🌌']];
const TILE_KINDS = [['app', 'App'], ['gesture', 'Gesture'], ['keys', 'Key combination'], ['shortcut', 'Shortcut'],
  ['media', 'Media key'], ['volume', 'Volume'], ['url', 'Web address'], ['system', 'System'], ['text', 'Text'],
  ['touchpad', 'Touchpad'], ['toggle', 'Toggle (on / off)'], ['slider', 'Slider'], ['status', 'Status'],
  ['clipboard', 'Clipboard (both ways)']];
// Tiles that show what the computer reports: each needs an id.
const LIVE_KINDS = new Set(['toggle', 'slider', 'status']);
const TILE_ID = /^[a-z0-9_-]{1,64}$/;
const DOCS = 'docs/tiles.md#live-tiles';
// What a key combination looks like to the agent: modifiers, then one key, joined by "+".
const COMBO = /^((ctrl|shift|alt|super)\+)*[A-Za-z0-9_]+$/i;

function markDirty() {
  state.dirty = true;
  $('save').disabled = false;
}

function pages() {
  if (!Array.isArray(state.doc.pages)) state.doc.pages = [];
  return state.doc.pages;
}

function currentTiles() {
  const page = pages()[state.page];
  if (!page) return [];
  if (!Array.isArray(page.tiles)) page.tiles = [];
  return page.tiles;
}

// With `onlyChanges`, keeps the page as it is when the document and PIN are the same: through the
// relay this runs every 30 s, and drawing again would drop what is being typed.
async function load({ onlyChanges = false } = {}) {
  const answer = await api('api/admin', { method: 'GET' });
  if (!answer.ok) {
    $('load-error').textContent = 'Open this page on the computer itself, or from a paired phone.';
    return;
  }
  loadReport();
  if (onlyChanges && state.admin && answer.pin === state.admin.pin && answer.relayEnabled === state.admin.relayEnabled
      && JSON.stringify(answer.config) === JSON.stringify(state.admin.config)) {
    state.admin.tileSources = answer.tileSources;
    renderSources();
    seeNotificationApps(answer.notificationAppsSeen);
    return;
  }
  state.admin = answer;
  state.doc = structuredClone(answer.config);
  state.dirty = false;
  $('save').disabled = true;
  $('admin').hidden = false;
  render();
}

function render() {
  const a = state.admin;
  $('about').textContent = `${a.host} · version ${a.version}`;
  // A phone is not shown the PIN, nor may it change it: both belong to the computer.
  $('pin').textContent = a.pin ?? '(shown on the computer)';
  $('pin-form').hidden = a.pin === null;
  renderPages();
  renderFlows();
  renderSettings();
  renderNotifications();
}

// ---------- pages and tiles ----------

function renderPages() {
  state.page = Math.min(state.page, Math.max(0, pages().length - 1));
  $('page-tabs').replaceChildren(...pages().map((page, i) => el('button', {
    class: 'page-tab', 'aria-current': String(i === state.page), onclick: () => { state.page = i; renderPages(); },
  }, `${page.icon || ''} ${page.name || 'Page'}`.trim())), el('button', { onclick: addPage }, '+ Page'));
  const page = pages()[state.page];
  $('page-tools').replaceChildren(...(page ? [
    el('button', { class: 'small', onclick: () => renamePage(page) }, 'Rename'),
    el('button', { class: 'small', onclick: () => movePage(-1), 'aria-label': 'Move page left' }, '←'),
    el('button', { class: 'small', onclick: () => movePage(1), 'aria-label': 'Move page right' }, '→'),
    el('button', { class: 'small danger', onclick: deletePage }, 'Delete page'),
  ] : []));
  renderPageApps();
  renderTiles();
}

// ---------- pages that follow the app in front ----------

// The apps the computer had in front lately (newest first), as it last said.
let recentApps = [];

// The apps whose coming to the front brings the page forward on phones: listed, removed, and
// added from what the computer had in front or by name.
function renderPageApps() {
  const page = pages()[state.page];
  const box = $('page-apps');
  box.hidden = !page;
  if (!page) return box.replaceChildren();
  const apps = Array.isArray(page.apps) ? page.apps.filter((app) => typeof app === 'string') : [];
  const listed = (app) => apps.some((other) => other.toLowerCase() === app.toLowerCase());
  const set = (next) => {
    if (next.length) page.apps = next;
    else delete page.apps;
    markDirty();
    renderPageApps();
  };
  const add = (app) => {
    const name = app.trim();
    if (name && !listed(name)) set([...apps, name]);
  };
  const named = el('input', { placeholder: 'firefox, org.gnome.Terminal…', 'aria-label': 'App id or window class',
    autocapitalize: 'off', spellcheck: 'false' });
  const others = recentApps.filter((app) => !listed(app));
  box.replaceChildren(
    el('h3', { id: 'page-apps-title' }, 'Shown when these apps are in front'),
    apps.length
      ? el('ul', { class: 'chips', 'aria-labelledby': 'page-apps-title' }, apps.map((app, i) => el('li', { class: 'chip' },
        el('span', { dir: 'auto' }, app),
        el('button', { class: 'chip-remove', 'aria-label': `Remove ${app}`, onclick: () => set(apps.filter((_, j) => j !== i)) }, '✕'))))
      : el('p', { class: 'hint' }, 'None: phones show this page when it is chosen.'),
    el('div', { class: 'row' },
      el('button', { class: 'small', onclick: () => addAppInFront(add) }, 'Add the app in front'),
      named, el('button', { class: 'small', onclick: () => { add(named.value); } }, 'Add')),
    others.length ? el('div', { class: 'row recent-apps' }, el('span', { class: 'hint' }, 'Lately in front:'),
      others.map((app) => el('button', { class: 'small chip', 'aria-label': `Add ${app}`, onclick: () => add(app) }, `+ ${app}`))) : '',
    el('p', { class: 'hint' }, 'Phones switch to the first page that lists the app in front on the computer, and back to the page chosen on them once no page lists it. Names are desktop ids or window classes; case does not matter.'));
}

// Asks which apps the computer had in front lately, to offer them.
async function loadRecentApps() {
  const answer = await api('api/focus', { method: 'GET' }).catch(() => null);
  if (answer?.ok) recentApps = (Array.isArray(answer.recent) ? answer.recent : []).filter((app) => typeof app === 'string' && app);
  return answer;
}

// Adds the app the computer last had in front (not Tapdeck's own windows), and offers the
// others it had lately.
async function addAppInFront(add) {
  const answer = await loadRecentApps();
  if (!answer?.ok) return toast(answer?.error || 'The computer did not say which app is in front.');
  const front = recentApps[0] || (typeof answer.app === 'string' ? answer.app : '');
  if (!front) {
    renderPageApps();
    return toast('No app is in front on the computer.');
  }
  add(front);
  renderPageApps();
}

const PAGE_FIELDS = (page = {}) => [
  { name: 'name', label: 'Name', value: page.name, placeholder: 'Media' },
  { name: 'icon', label: 'Emoji', value: page.icon ?? '⭐', maxlength: 8 },
];

async function addPage() {
  const values = await ask({ title: 'New page', fields: PAGE_FIELDS(), confirm: 'Add page' });
  if (!values?.name) return;
  pages().push({ name: values.name, icon: values.icon, tiles: [] });
  state.page = pages().length - 1;
  markDirty();
  renderPages();
}

async function renamePage(page) {
  const values = await ask({ title: 'Rename page', fields: PAGE_FIELDS(page), confirm: 'Rename' });
  if (!values?.name) return;
  page.name = values.name;
  page.icon = values.icon;
  markDirty();
  renderPages();
}

function movePage(step) {
  const list = pages();
  const to = state.page + step;
  if (to < 0 || to >= list.length) return;
  [list[state.page], list[to]] = [list[to], list[state.page]];
  state.page = to;
  markDirty();
  renderPages();
}

async function deletePage() {
  const page = pages()[state.page];
  if (!await ask({ title: `Delete the page "${page.name}" and its tiles?`, confirm: 'Delete', danger: true })) return;
  pages().splice(state.page, 1);
  markDirty();
  renderPages();
}

function tileTitle(tile) {
  return tile.type === 'flow' ? tile.label : (tile.value || tile.type);
}

function renderTiles() {
  const tiles = currentTiles();
  let dragFrom = null;
  $('tile-list').replaceChildren(...tiles.map((tile, i) => {
    const open = state.editing.has(tile);
    const item = el('li', { draggable: 'true', 'data-index': String(i), 'data-tile-id': tile.id },
      el('span', { class: 'grip', 'aria-hidden': 'true' }, '⠿'),
      tile.type === 'app' ? el('img', { alt: '', src: `api/icon?app=${encodeURIComponent(tile.value || '')}` })
        : el('span', {}, tile.emoji || ''),
      el('span', { class: 'kind' }, tile.type),
      el('input', { class: 'caption', value: tile.label ?? '', placeholder: tileTitle(tile), 'aria-label': 'Caption',
        oninput: (e) => { tile.label = e.target.value; markDirty(); } }),
      el('button', { class: 'small', 'aria-expanded': String(open), 'aria-label': `Edit ${tile.label || tileTitle(tile)}`, onclick: () => {
        if (open) state.editing.delete(tile);
        else state.editing.add(tile);
        renderTiles();
      } }, open ? 'Done' : 'Edit'),
      el('button', { class: 'small', 'aria-label': 'Move up', onclick: () => moveTile(i, i - 1) }, '↑'),
      el('button', { class: 'small danger', 'aria-label': 'Remove', onclick: () => { tiles.splice(i, 1); markDirty(); renderTiles(); } }, '✕'),
      el('div', { class: 'tile-notes' }, el('p', { class: 'error tile-problem', role: 'alert' }, tileProblem(tile)),
        el('div', { class: 'source-status', 'data-source-for': tile.id })),
      open ? tileEditor(tile) : null);
    item.addEventListener('dragstart', () => { dragFrom = i; item.classList.add('dragging'); });
    item.addEventListener('dragend', () => item.classList.remove('dragging'));
    item.addEventListener('dragover', (e) => e.preventDefault());
    item.addEventListener('drop', (e) => { e.preventDefault(); if (dragFrom !== null) moveTile(dragFrom, i); });
    return item;
  }));
  renderSources();
}

function moveTile(from, to) {
  const tiles = currentTiles();
  if (to < 0 || to >= tiles.length || from === to) return;
  const [tile] = tiles.splice(from, 1);
  tiles.splice(to, 0, tile);
  markDirty();
  renderTiles();
}

function addTile(tile) {
  if (!pages().length) pages().push({ name: 'Apps', icon: '🚀', tiles: [] });
  currentTiles().push(tile);
  markDirty();
  renderTiles();
  toast(`Added ${tile.label || tile.value || tile.type}.`, 'ok');
}

function choice(options, onPick) {
  return el('div', { class: 'row' }, options.map(([value, label, emoji]) =>
    el('button', { onclick: () => onPick(value, label, emoji) }, `${emoji || ''} ${label}`.trim())));
}

function renderTileForm() {
  const kind = $('tile-type').value;
  const form = $('tile-form');
  const a = state.admin;
  if (kind === 'app') {
    const search = el('input', { type: 'search', placeholder: 'Search apps', 'aria-label': 'Search apps' });
    const list = el('div', { class: 'app-picker' });
    const draw = () => list.replaceChildren(...a.apps
      .filter((name) => name.toLowerCase().includes(search.value.toLowerCase())).slice(0, 60)
      .map((name) => el('button', { onclick: () => addTile({ type: 'app', value: name, label: name }) },
        el('img', { alt: '', loading: 'lazy', src: `api/icon?app=${encodeURIComponent(name)}` }), name)));
    search.addEventListener('input', draw);
    draw();
    form.replaceChildren(search, list);
  } else if (kind === 'gesture') {
    form.replaceChildren(choice(a.gestures.map((g) => [g.value, g.label, g.emoji]),
      (value, label, emoji) => addTile({ type: 'gesture', value, label, emoji })));
  } else if (kind === 'shortcut') {
    form.replaceChildren(a.shortcuts.length
      ? choice(a.shortcuts.map((name) => [name, name, '⚙️']), (value) => addTile({ type: 'shortcut', value, label: value }))
      : el('p', { class: 'hint' }, 'No Shortcuts yet: put executable scripts in the shortcuts folder of Tapdeck\'s settings folder.'));
  } else if (kind === 'media') {
    form.replaceChildren(choice(MEDIA, (value, label, emoji) => addTile({ type: 'media', value, label, emoji })));
  } else if (kind === 'system') {
    form.replaceChildren(choice(SYSTEM, (value, label, emoji) => addTile({ type: 'system', value, label, emoji })));
  } else if (kind === 'keys') {
    const combo = el('input', { placeholder: 'ctrl+shift+t, Right, F5…', 'aria-label': 'Key combination' });
    const label = el('input', { placeholder: 'Caption', 'aria-label': 'Caption' });
    form.replaceChildren(el('div', { class: 'row' }, combo, label, el('button', { onclick: () => {
      if (!COMBO.test(combo.value)) return toast('Modifiers (ctrl, shift, alt, super) and one key, joined by +.');
      addTile({ type: 'keys', value: combo.value, label: label.value || combo.value, emoji: '⌘' });
    } }, 'Add')));
  } else if (kind === 'touchpad') {
    form.replaceChildren(el('button', { onclick: () => addTile({ type: 'touchpad', label: 'Touchpad', emoji: '🖱️' }) }, 'Add the touchpad'));
  } else if (kind === 'clipboard') {
    form.replaceChildren(el('button', { onclick: () => addTile({ type: 'clipboard', label: 'Clipboard', emoji: '📋' }) }, 'Add the clipboard'),
      el('p', { class: 'hint' }, 'A tap copies the computer\'s clipboard onto the phone; holding it sends the phone\'s to the computer.'));
  } else if (kind === 'volume') {
    form.replaceChildren(el('button', { onclick: () => addTile({ type: 'volume', label: 'Volume', emoji: '🔊' }) }, 'Add the volume slider'));
  } else if (kind === 'url') {
    const url = el('input', { type: 'url', placeholder: 'https://…', 'aria-label': 'Web address' });
    const label = el('input', { placeholder: 'Caption', 'aria-label': 'Caption' });
    form.replaceChildren(el('div', { class: 'row' }, url, label, el('button', { onclick: () => {
      if (!/^https?:\/\//i.test(url.value)) return toast('A web address starts with http:// or https://.');
      addTile({ type: 'url', value: url.value, label: label.value || url.value, emoji: '🌐' });
    } }, 'Add')));
  } else if (LIVE_KINDS.has(kind)) {
    const label = el('input', { placeholder: 'Caption', 'aria-label': 'Caption' });
    const emoji = el('input', { value: { toggle: '💡', slider: '🎚️', status: '📊' }[kind], maxlength: '8', size: '3', 'aria-label': 'Emoji' });
    const id = el('input', { placeholder: 'Id', maxlength: '64', autocapitalize: 'off', spellcheck: 'false', 'aria-label': 'Id' });
    let idTyped = false;
    label.addEventListener('input', () => { if (!idTyped) id.value = label.value ? idFor(label.value) : ''; });
    id.addEventListener('input', () => { idTyped = true; });
    const problem = el('p', { class: 'error', role: 'alert' });
    const members = { toggle: { on: [], off: [] }, slider: { min: 0, max: 100, step: 1 }, status: {} }[kind];
    form.replaceChildren(el('div', { class: 'row' }, label, emoji, id, el('button', { onclick: () => {
      const tile = { type: kind, id: id.value || idFor(label.value || kind), label: label.value || undefined, emoji: emoji.value || undefined, ...members };
      problem.textContent = tileProblem(tile) || (pages().some((p) => (p.tiles || []).some((t) => t.id === tile.id)) ? `Another tile has the id "${tile.id}".` : '');
      if (problem.textContent) return;
      state.editing.add(tile);
      addTile(tile);
      label.value = '';
      id.value = '';
      idTyped = false;
    } }, 'Add')), problem,
    el('p', { class: 'hint' }, {
      toggle: 'A switch: a tap runs its "on" or "off" steps, and it shows on or off as the computer reports.',
      slider: 'A level the computer is told as it moves (a Shortcut run with it), shown on every phone.',
      status: 'A value the computer reports, shown large: a temperature, a count, a state.',
    }[kind]), exampleShortcut(kind));
  } else if (kind === 'text') {
    const mode = el('select', { 'aria-label': 'What the text does' }, el('option', { value: 'type' }, 'Type it'), el('option', { value: 'clipboard' }, 'Put it on the clipboard'));
    const text = el('input', { placeholder: 'Fixed text, or empty to ask each time', 'aria-label': 'Text' });
    form.replaceChildren(el('div', { class: 'row' }, mode, text, el('button', { onclick: () =>
      addTile({ type: 'text', mode: mode.value, value: text.value, label: text.value || (mode.value === 'type' ? 'Type text' : 'Clipboard'), emoji: mode.value === 'type' ? '⌨️' : '📋' }) }, 'Add')));
  }
}

// ---------- live tiles ----------

// What is wrong with a tile's id, as the agent would say when saving; '' when nothing is.
function tileProblem(tile) {
  if (tile.id === undefined) return LIVE_KINDS.has(tile.type) ? 'This tile needs an id.' : '';
  if (!TILE_ID.test(tile.id)) return 'An id is 1 to 64 of the letters a-z, the digits 0-9, "_" and "-".';
  const uses = pages().flatMap((page) => page.tiles || []).filter((other) => other.id === tile.id).length;
  return uses > 1 ? `Another tile has the id "${tile.id}".` : '';
}

// An id made from a caption, that no other tile has.
function idFor(caption) {
  const base = caption.toLowerCase().normalize('NFKD').replace(/[\u0300-\u036f]/g, '')
    .replace(/[^a-z0-9]+/g, '-').replace(/^-+|-+$/g, '').slice(0, 56) || 'tile';
  const taken = new Set(pages().flatMap((page) => page.tiles || []).map((tile) => tile.id));
  for (let n = 1; ; n++) {
    const id = n === 1 ? base : `${base}-${n}`;
    if (!taken.has(id)) return id;
  }
}

// What feeds each tile: a Shortcut's problem in words, or that it runs.
function renderSources() {
  const sources = state.admin?.tileSources || [];
  for (const box of document.querySelectorAll('#tile-list [data-source-for]')) {
    const source = sources.find((s) => s.tile === box.dataset.sourceFor);
    if (!source) {
      box.replaceChildren();
      continue;
    }
    const how = source.mode === 'every' ? `Shortcut "${source.shortcut}" (read every few seconds)` : `Shortcut "${source.shortcut}" (watching)`;
    const restarts = source.restarts ? `, started again ${source.restarts} time${source.restarts === 1 ? '' : 's'}` : '';
    box.replaceChildren(source.problem
      ? el('p', { class: 'source-problem' }, el('strong', {}, `⚠️ Problem: ${how}`), ` ${source.problem}${restarts}.`)
      : el('p', { class: 'hint' }, `${source.running ? '▶ Running' : source.mode === 'every' ? '✓ Waiting for its next read' : '… Starting'}: ${how}${restarts}.`));
  }
}

let fieldCount = 0;

// A labelled field of the tile editor; `key` of `tile` follows what is typed (emptied: removed).
function field(label, input, tile, key, read = (value) => value) {
  input.value = tile[key] ?? '';
  input.addEventListener('input', () => {
    const value = input.value.trim() === '' ? undefined : read(input.value.trim());
    if (value === undefined) delete tile[key];
    else tile[key] = value;
    markDirty();
  });
  return el('label', { class: 'field' }, label, input);
}

// A text input offering `values` (Shortcut names, apps, gestures) as it is typed.
function suggesting(attributes, values) {
  const list = el('datalist', { id: `suggest-${++fieldCount}` }, values.map((value) => el('option', { value })));
  return { input: el('input', { ...attributes, list: list.id }), list };
}

function shortcutInput(label) {
  return suggesting({ placeholder: 'Shortcut name', 'aria-label': label }, state.admin.shortcuts);
}

const number = (text) => (Number.isFinite(Number(text)) ? Number(text) : undefined);
// The way each tile is fed as chosen here, while its Shortcut is still to be named.
const sourceModes = new WeakMap();

// The Shortcut that reports the tile's state: kept running (--watch), or read every S seconds
// (--read).
function sourceEditor(tile, render) {
  const mode = el('select', { 'aria-label': 'Reported by' },
    el('option', { value: '' }, 'Nothing (its taps and "tapdeck tile")'),
    el('option', { value: 'watch' }, 'A Shortcut that runs all along (--watch)'),
    el('option', { value: 'every' }, 'A Shortcut read every few seconds (--read)'));
  mode.value = sourceModes.get(tile) ?? (tile.watch ? (tile.every !== undefined ? 'every' : 'watch') : '');
  mode.addEventListener('change', () => {
    sourceModes.set(tile, mode.value);
    if (mode.value === '') {
      delete tile.watch;
      delete tile.every;
    } else if (mode.value === 'watch') {
      delete tile.every;
    } else {
      tile.every ??= 10;
    }
    markDirty();
    render();
  });
  const shortcut = shortcutInput('Reporting Shortcut');
  const seconds = el('input', { type: 'number', min: '1', max: '86400', step: '1', 'aria-label': 'Seconds between reads' });
  return [
    el('label', { class: 'field' }, 'Reported by', mode),
    mode.value ? field('Shortcut', shortcut.input, tile, 'watch') : null,
    mode.value ? shortcut.list : null,
    mode.value === 'every' ? field('Every (seconds)', seconds, tile, 'every', (v) => Math.max(1, Math.round(number(v) ?? 10))) : null,
  ];
}

// A list of steps (as a flow's) that `tile[key]` holds, with a row to add one.
function stepsEditor(title, tile, key) {
  const box = el('fieldset', { class: 'steps-editor' });
  const draw = () => {
    const steps = Array.isArray(tile[key]) ? tile[key] : [];
    const adder = stepAdder((step) => { tile[key] = [...steps, step]; markDirty(); draw(); });
    box.replaceChildren(el('legend', {}, title),
      el('ol', { class: 'flow-steps' }, steps.map((step, i) => {
        const problem = stepProblem(step);
        return el('li', { class: problem ? 'invalid' : '' },
          el('span', { class: 'kind' }, step.type), el('span', {}, step.label || step.value),
          problem ? el('span', { class: 'error' }, problem) : null,
          el('button', { class: 'small danger', 'aria-label': `Remove step ${i + 1}`, onclick: () => { tile[key] = steps.filter((_, j) => j !== i); markDirty(); draw(); } }, '✕'));
      })),
      ...(steps.length ? [] : [el('p', { class: 'hint' }, 'No steps.')]),
      adder);
  };
  draw();
  return box;
}

// A kind and a value, and a button that hands the step to `add`.
function stepAdder(add, { confirm = 'Add step' } = {}) {
  const a = state.admin;
  const kinds = state.report?.steps || ['app', 'url', 'shortcut', 'gesture', 'keys'];
  const type = el('select', { 'aria-label': 'Step kind' }, kinds.map((t) => el('option', { value: t }, t)));
  const { input: value, list } = suggesting({ placeholder: 'App, address, Shortcut, gesture or keys', 'aria-label': 'Step value' }, []);
  const fill = () => list.replaceChildren(...({
    app: [...new Set(pages().flatMap((p) => (p.tiles || []).filter((t) => t.type === 'app').map((t) => t.value)))],
    shortcut: a.shortcuts, gesture: a.gestures.map((g) => g.value),
  }[type.value] || []).map((v) => el('option', { value: v })));
  type.addEventListener('change', fill);
  fill();
  return el('div', { class: 'row' }, type, value, list, el('button', { class: 'small', onclick: () => {
    if (!value.value.trim()) return;
    add({ type: type.value, value: value.value.trim() });
    value.value = '';
  } }, confirm));
}

// What a tap on a status tile runs: one step, or nothing.
function runEditor(tile, render) {
  const box = el('fieldset', { class: 'steps-editor' }, el('legend', {}, 'A tap runs'));
  if (tile.run && typeof tile.run === 'object') {
    const problem = stepProblem(tile.run);
    box.append(el('p', { class: 'row' }, el('span', { class: 'kind' }, tile.run.type), el('span', {}, tile.run.value),
      problem ? el('span', { class: 'error' }, problem) : null,
      el('button', { class: 'small danger', onclick: () => { delete tile.run; markDirty(); render(); } }, 'Remove')));
  } else {
    box.append(el('p', { class: 'hint' }, 'Nothing: the tile only shows its value.'),
      stepAdder((step) => { tile.run = step; markDirty(); render(); }, { confirm: 'Set' }));
  }
  return box;
}

// The members of a tile beyond its caption: its id and, for a live tile, what feeds it and what a
// tap does.
function tileEditor(tile) {
  const box = el('div', { class: 'tile-editor' });
  const render = () => {
    const id = el('input', { placeholder: 'lamp', maxlength: '64', autocapitalize: 'off', spellcheck: 'false', 'aria-label': 'Id' });
    const idField = field('Id', id, tile, 'id');
    id.addEventListener('input', () => { box.closest('li').querySelector('.tile-problem').textContent = tileProblem(tile); });
    const parts = [el('div', { class: 'row' }, idField,
      el('span', { class: 'hint' }, 'Scripts and "tapdeck tile" change the tile by its id.'))];
    if (tile.type === 'toggle') {
      const source = el('select', { 'aria-label': 'Follows' },
        el('option', { value: '' }, 'Its own state'),
        el('option', { value: 'mute' }, 'The sound being muted'),
        el('option', { value: 'playing' }, 'A player playing'));
      source.value = tile.source || '';
      source.addEventListener('change', () => {
        if (source.value) tile.source = source.value;
        else delete tile.source;
        markDirty();
      });
      parts.push(el('div', { class: 'row' }, el('label', { class: 'field' }, 'Follows', source), ...sourceEditor(tile, render)),
        el('div', { class: 'steps-pair' }, stepsEditor('Turning it on runs', tile, 'on'), stepsEditor('Turning it off runs', tile, 'off')));
    } else if (tile.type === 'slider') {
      const set = shortcutInput('Shortcut run with the level');
      parts.push(el('div', { class: 'row' },
        field('From', el('input', { type: 'number', min: '0', max: '100', 'aria-label': 'Lowest level' }), tile, 'min', number),
        field('To', el('input', { type: 'number', min: '0', max: '100', 'aria-label': 'Highest level' }), tile, 'max', number),
        field('Step', el('input', { type: 'number', min: '1', max: '100', 'aria-label': 'Step' }), tile, 'step', number)),
      el('div', { class: 'row' }, field('Runs, with the level', set.input, tile, 'set'), set.list, ...sourceEditor(tile, render)));
    } else if (tile.type === 'status') {
      parts.push(el('div', { class: 'row' }, ...sourceEditor(tile, render)), runEditor(tile, render));
    }
    if (LIVE_KINDS.has(tile.type)) parts.push(exampleShortcut(tile.type));
    box.replaceChildren(...parts);
  };
  render();
  return box;
}

const EXAMPLES = {
  status: ['cpu-temp', 'read every 10 seconds, it prints the temperature', `#!/bin/sh
# Prints the CPU's temperature for a status tile: {"value":"47 °C"}
[ "$1" = --read ] || exit 1
millis=$(cat /sys/class/thermal/thermal_zone0/temp) || exit 1
printf '{"value":"%d °C"}\\n' $((millis / 1000))
`],
  toggle: ['desk-plug', 'read every 30 seconds, it prints the plug\'s state; the toggle\'s "on" and "off" steps run the links desk-plug-on and desk-plug-off to it (ln -s desk-plug desk-plug-on)', `#!/bin/sh
# A smart plug that answers Shelly's HTTP API: desk-plug on | off | --read
plug=http://192.168.1.50
action=\${1:-\${0##*-}}   # run as desk-plug-on: "on"
case "$action" in
  on|off) curl -fsS "$plug/relay/0?turn=$action" >/dev/null ;;
  --read) curl -fsS "$plug/relay/0" | grep -q '"ison": *true' \\
            && echo '{"state":"on"}' || echo '{"state":"off"}' ;;
  *) exit 2 ;;
esac
`],
  slider: ['screen-light', 'run with the level (0 to 100) as its argument', `#!/bin/sh
# The screen's brightness (brightnessctl): "screen-light 40" sets it, and read with
# --read it reports it: {"level":40}
if [ "$1" = --read ]; then
  echo "{\\"level\\":$(($(brightnessctl get) * 100 / $(brightnessctl max)))}"
else
  brightnessctl -q set "\${1:?a level from 0 to 100}%"
fi
`],
};

// A Shortcut to start from, to copy into the Shortcuts folder, and where the rest is told.
function exampleShortcut(type) {
  const [name, what, script] = EXAMPLES[type];
  const code = el('pre', { class: 'example' }, el('code', {}, script));
  return el('details', { class: 'example-shortcut' },
    el('summary', {}, 'An example Shortcut'),
    el('p', { class: 'hint' }, `Saved as ${state.report?.shortcuts?.folder || '~/.config/tapdeck/shortcuts'}/${name} and made executable (chmod +x), and ${what}.`),
    code,
    el('div', { class: 'row' }, el('button', { class: 'small', onclick: () => copyText(script, code) }, 'Copy'),
      el('span', { class: 'hint' }, 'More, with complete examples: ', el('code', {}, DOCS), ' in Tapdeck\'s documentation.')));
}

async function copyText(text, node) {
  try {
    await navigator.clipboard.writeText(text);
    toast('Copied.', 'ok');
  } catch {
    getSelection().selectAllChildren(node);  // no clipboard here: selected, to copy by hand
  }
}

// ---------- flows ----------

function flowsPage() {
  return pages().find((page) => page.name === 'Flows');
}

function renderFlows() {
  const flows = (flowsPage()?.tiles || []).filter((tile) => tile.type === 'flow');
  $('flow-list').replaceChildren(...(flows.length ? flows.map((flow) => el('li', {},
    el('span', {}, flow.emoji || '⚡'), el('strong', {}, flow.label),
    el('span', { class: 'hint' }, `${(flow.steps || []).length} steps`),
    el('button', { class: 'small danger', onclick: () => deleteFlow(flow.label) }, 'Delete'))) : [el('li', { class: 'hint' }, 'No flows yet.')]));
  renderFlowSteps();
}

async function deleteFlow(label) {
  if (!await ask({ title: `Delete the flow "${label}"?`, confirm: 'Delete', danger: true })) return;
  const answer = await api('api/flows', { method: 'DELETE', body: { label } });
  if (!answer.ok) toast('The flow could not be deleted.');
}

// Whether the agent will accept a step, as far as this page knows.
function stepProblem(step) {
  const a = state.admin;
  const apps = new Set(pages().flatMap((p) => (p.tiles || []).filter((t) => t.type === 'app').map((t) => t.value)));
  if (step.type === 'app' && !apps.has(step.value)) return 'Only apps with a tile can be launched.';
  if (step.type === 'url' && !/^https?:\/\//i.test(step.value)) return 'A web address starts with http:// or https://.';
  if (step.type === 'shortcut' && !a.shortcuts.includes(step.value)) return 'No such Shortcut.';
  if (step.type === 'gesture' && !a.gestures.some((g) => g.value === step.value)) return 'No such gesture.';
  if (step.type === 'keys' && !COMBO.test(step.value)) return 'Not a key combination.';
  return '';
}

function renderFlowSteps() {
  $('flow-steps').replaceChildren(...state.flowSteps.map((step, i) => {
    const problem = stepProblem(step);
    return el('li', { class: problem ? 'invalid' : '', title: problem },
      el('span', { class: 'kind' }, step.type), el('span', {}, step.label || step.value),
      problem ? el('span', { class: 'error' }, problem) : null,
      el('button', { class: 'small danger', 'aria-label': 'Remove step', onclick: () => { state.flowSteps.splice(i, 1); renderFlowSteps(); } }, '✕'));
  }));
  // The kinds a flow may use, as the agent says, with the values each may take suggested.
  const adder = stepAdder((step) => { state.flowSteps.push(step); renderFlowSteps(); });
  $('step-adder').replaceChildren(...adder.children);
}

async function planFlow(event) {
  event.preventDefault();
  const intent = $('flow-intent').value.trim();
  if (!intent) return;
  $('flow-error').textContent = 'Planning…';
  const answer = await api('api/plan', { body: { intent } });
  if (!answer.ok) {
    $('flow-error').textContent = PLAN_ERRORS[answer.error] || 'The planner failed.';
    return;
  }
  $('flow-error').textContent = answer.steps.length ? '' : 'Nothing this computer allows matches that.';
  state.flowSteps = answer.steps;
  if (!$('flow-label').value) $('flow-label').value = intent.slice(0, 40);
  renderFlowSteps();
}

async function saveFlow() {
  const steps = state.flowSteps;
  if (!steps.length) {
    $('flow-error').textContent = 'A flow needs at least one step.';
    return;
  }
  const answer = await api('api/flows', { body: { steps, label: $('flow-label').value || undefined, emoji: $('flow-emoji').value || undefined } });
  if (answer.ok) {
    state.flowSteps = [];
    $('flow-label').value = '';
    $('flow-error').textContent = '';
    toast('Flow saved.', 'ok');
  } else {
    $('flow-error').textContent = `${answer.error || 'Invalid flow'}: ${steps.map(stepProblem).find(Boolean) || 'a step is not allowed on this computer.'}`;
    renderFlowSteps();
  }
}

// ---------- what works on this computer ----------

const REPORT_PARTS = [['keys', 'Keys and typing'], ['pointer', 'Touchpad'], ['media', 'Media keys'], ['sound', 'Volume'],
  ['clipboard', 'Clipboard'], ['notifications', 'Notifications'], ['suspend', 'Sleep'], ['screensaver', 'Screen saver'],
  ['shortcuts', 'Shortcuts'], ['relay', 'Relay'], ['planner', 'Planner']];

// What was found, in a few words, for a part that works.
function foundText(name, part) {
  switch (name) {
    case 'keys': case 'pointer': return `through ${part.backend}`;
    case 'media': return part.players.map((p) => p.replace('org.mpris.MediaPlayer2.', '')).join(', ');
    case 'sound': return `${part.server}${part.output ? ` → ${part.output}` : ''}`;
    case 'clipboard': return `${part.tool}${part.follows?.ok ? `; phones hear of its changes${part.follows.how ? ` (${part.follows.how})` : ''}` : ''}`;
    case 'notifications': return part.on ? 'shown on phones' : 'not shown on phones (below)';
    case 'screensaver': return part.tool;
    case 'shortcuts': return `${part.count} in ${part.folder}`;
    case 'relay': return part.enabled ? 'connected' : 'off';
    default: return '';
  }
}

// The report at the top: each part with what was found or, when it does not work, what to do.
// Keys the desktop must allow get a button that asks.
function renderReport(report) {
  state.report = report;
  $('report-card').hidden = !report;
  if (!report) return;
  $('report').replaceChildren(...REPORT_PARTS.filter(([name]) => report[name]).map(([name, title]) => {
    const part = report[name];
    const row = el('li', { 'data-part': name, class: part.ok ? 'works' : 'missing' },
      el('span', { 'aria-label': part.ok ? 'works' : 'missing' }, part.ok ? '✅' : '⚠️'),
      el('strong', {}, title),
      el('span', {}, part.ok ? foundText(name, part) : part.reason));
    if (!part.ok) row.append(el('span', { class: 'fix' }, part.fix));
    // The clipboard works, but its changes reach no phone: said, with what to do.
    if (name === 'clipboard' && part.ok && part.follows && !part.follows.ok) {
      const sentence = (text) => (/[.!?]$/.test(text) ? text : `${text}.`);
      row.append(el('span', { class: 'fix' }, [part.follows.reason, part.follows.fix].filter(Boolean).map(sentence).join(' ')));
    }
    if (name === 'keys' && !part.ok && part.canAsk) {
      row.append(el('span', { class: 'fix' }, el('button', { class: 'primary', id: 'allow-keys', onclick: allowKeys }, 'Allow keys')));
    }
    return row;
  }));
}

async function loadReport() {
  renderReport(await api('api/capabilities', { method: 'GET' }).catch(() => null));
}

async function allowKeys() {
  $('allow-keys').disabled = true;
  let keys = await api('api/keys/allow').catch(() => null);
  // The desktop's dialog is answered on this screen; look for the grant for a minute.
  for (let i = 0; i < 30 && keys && !keys.ok; i++) {
    await new Promise((resolve) => setTimeout(resolve, 2000));
    keys = (await api('api/capabilities', { method: 'GET' }).catch(() => null))?.keys;
  }
  await loadReport();
  if (keys?.ok) toast('Keys allowed: gestures and typing work now.', 'ok');
}

// Every address of this computer with its own QR code (the one of the default route first),
// and the firewalls that may keep phones out.
function renderAddresses(answer) {
  const addresses = answer.relay ? [] : (answer.addresses || []);
  $('other-addresses').hidden = addresses.length === 0 && !(answer.firewall || []).length;
  $('addresses').replaceChildren(...addresses.map((a) => el('li', { 'data-address': a.address },
    el('img', { src: a.qr, alt: `QR code for ${a.address}` }),
    el('a', { href: a.url }, a.address),
    el('span', { class: 'hint' }, `${a.interface}${a.defaultRoute ? ' · default route' : ''}`))));
  $('firewall').replaceChildren(...(answer.firewall || []).map((f) => el('li', {}, f.advice)));
}

// ---------- notifications ----------

// The computer's notifications on phones: on or off, and which apps'. The apps offered are those
// allowed and those seen since the agent started.
function renderNotifications() {
  const s = settingsObject();
  $('notifications').checked = s.notifications === true;
  const allowed = notificationApps();
  const seen = (state.admin.notificationAppsSeen || []).filter((app) => typeof app === 'string');
  const offered = [...new Set([...allowed, ...seen])].sort((a, b) => a.localeCompare(b));
  $('notification-apps').replaceChildren(...offered.map((app) => el('li', {},
    el('label', {}, el('input', { type: 'checkbox', checked: allowed.includes(app), onchange: (event) => {
      const now = notificationApps().filter((other) => other !== app);
      settingsObject().notificationApps = event.target.checked ? [...now, app] : now;
      markDirty();
    } }), el('span', { dir: 'auto' }, app)))));
}

function notificationApps() {
  const apps = settingsObject().notificationApps;
  return Array.isArray(apps) ? apps.filter((app) => typeof app === 'string') : [];
}

// The apps seen, asked again as the page is: drawn again only when they changed, not to drop a
// checkbox being ticked.
function seeNotificationApps(seen) {
  if (!Array.isArray(seen) || JSON.stringify(seen) === JSON.stringify(state.admin.notificationAppsSeen)) return;
  state.admin.notificationAppsSeen = seen;
  renderNotifications();
}

// ---------- settings and saving ----------

function settingsObject() {
  if (!state.doc.settings || typeof state.doc.settings !== 'object') state.doc.settings = {};
  return state.doc.settings;
}

function renderSettings() {
  const s = settingsObject();
  $('columns').value = s.columns ?? 4;
  $('icon-scale').value = s.iconScale ?? 1.12;
  $('labels').checked = s.labels !== false;
  $('relay').checked = s.relayEnabled === true || s.relayEnabled === 1;
  // The phone page's own address: without the final slash the relay answers with a redirect.
  const relayPage = `${state.admin.relayUrl}/`;
  $('relay-url').textContent = relayPage;
  $('relay-url').href = relayPage;
  // A QR code drawn before the relay was turned on or off points where phones no longer go.
  if ($('qr-box').dataset.relay !== String(state.admin.relayEnabled)) $('qr-box').hidden = true;
}

async function save() {
  $('save').disabled = true;
  const answer = await api('api/config', { body: state.doc }).catch(() => ({ ok: false }));
  $('save-error').textContent = answer.ok ? '' : `Not saved: ${answer.error || 'Tapdeck did not answer.'}`;
  if (answer.ok) {
    state.dirty = false;
    toast('Saved. Open phones update by themselves.', 'ok');
    setTimeout(refreshSources, 1500);  // a Shortcut just set to feed a tile has had time to start
  } else {
    $('save').disabled = false;
    toast('The configuration could not be saved.');
  }
}

// How the Shortcuts that feed tiles fare, and the apps that showed notifications, asked again
// every 10 s while the page is shown and some tile has a Shortcut or notifications are on.
async function refreshSources() {
  if (!state.admin || document.visibilityState !== 'visible') return;
  if (!pages().some((page) => (page.tiles || []).some((tile) => tile.watch)) && !(state.admin.tileSources || []).length
    && settingsObject().notifications !== true) return;
  const answer = await api('api/admin', { method: 'GET' }).catch(() => null);
  if (!answer?.ok) return;
  state.admin.tileSources = answer.tileSources;
  renderSources();
  seeNotificationApps(answer.notificationAppsSeen);
}

function init() {
  $('tile-type').replaceChildren(...TILE_KINDS.map(([value, label]) => el('option', { value }, label)));
  $('tile-type').addEventListener('change', renderTileForm);
  $('save').addEventListener('click', save);
  $('pin-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const answer = await api('api/set-pin', { body: { pin: $('new-pin').value } });
    if (answer.ok) {
      $('pin').textContent = state.admin.pin = $('new-pin').value;
      $('new-pin').value = '';
      toast('PIN changed.', 'ok');
    } else {
      toast('A PIN has 4 to 8 digits.');
    }
  });
  $('show-qr').addEventListener('click', async () => {
    const answer = await api('api/connect');
    if (!answer.ok) return toast('No pairing link could be made.');
    $('qr-box').hidden = false;
    $('qr-box').dataset.relay = String(answer.relay);
    $('qr').src = answer.qr;
    $('qr-link').textContent = answer.url;
    $('qr-link').href = answer.url;
    renderAddresses(answer);
  });
  $('flow-plan').addEventListener('submit', planFlow);
  $('flow-save').addEventListener('click', saveFlow);
  for (const [id, apply] of [
    ['columns', (v) => { settingsObject().columns = Math.max(1, Math.min(8, Math.round(Number(v.value) || 4))); }],
    ['icon-scale', (v) => { settingsObject().iconScale = Number(v.value) || 1.12; }],
    ['labels', (v) => { settingsObject().labels = v.checked; }],
    ['relay', (v) => { settingsObject().relayEnabled = v.checked; }],
    ['notifications', (v) => { settingsObject().notifications = v.checked; }],
  ]) {
    $(id).addEventListener('change', (event) => { apply(event.target); markDirty(); });
  }
  // Another editor (or a flow added from a phone) changed the document: show it, unless this
  // page holds unsaved changes of its own.
  watchReloads(() => { if (!state.dirty) load({ onlyChanges: true }).catch(() => {}); });
  setInterval(refreshSources, 10000);
  window.addEventListener('beforeunload', (event) => { if (state.dirty) event.preventDefault(); });
  load().then(() => {
    renderTileForm();
    loadRecentApps().then(() => { if (state.doc) renderPageApps(); });
  }).catch((error) => {
    $('load-error').textContent = error instanceof Unauthorized ? 'Not allowed.' : 'Tapdeck did not answer.';
  });
}

init();
