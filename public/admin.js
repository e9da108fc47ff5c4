// The admin page: pairing, pages and tiles, flows and settings, saved as one document.
import { api, watchReloads, toast, el, ask, PLAN_ERRORS, Unauthorized } from './api.js';

const $ = (id) => document.getElementById(id);
const state = { admin: null, doc: null, page: 0, dirty: false, flowSteps: [] };

const MEDIA = [['playpause', 'Play / Pause', '⏯️'], ['next', 'Next', '⏭️'], ['previous', 'Previous', '⏮️']];
const SYSTEM = [['sleep', 'Sleep', '😴'], ['screensaver', 'Screen Saver', '🌌']];
const TILE_KINDS = [['app', 'App'], ['gesture', 'Gesture'], ['keys', 'Key combination'], ['shortcut', 'Shortcut'],
  ['media', 'Media key'], ['volume', 'Volume'], ['url', 'Web address'], ['system', 'System'], ['text', 'Text'],
  ['touchpad', 'Touchpad']];
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
      && JSON.stringify(answer.config) === JSON.stringify(state.admin.config)) return;
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
}

// ---------- pages and tiles ----------

function renderPages() {
  state.page = Math.min(state.page, Math.max(0, pages().length - 1));
  $('page-tabs').replaceChildren(...pages().map((page, i) => el('button', {
    class: 'page-tab', 'aria-selected': String(i === state.page), onclick: () => { state.page = i; renderPages(); },
  }, `${page.icon || ''} ${page.name || 'Page'}`.trim())), el('button', { onclick: addPage }, '+ Page'));
  const page = pages()[state.page];
  $('page-tools').replaceChildren(...(page ? [
    el('button', { class: 'small', onclick: () => renamePage(page) }, 'Rename'),
    el('button', { class: 'small', onclick: () => movePage(-1), 'aria-label': 'Move page left' }, '←'),
    el('button', { class: 'small', onclick: () => movePage(1), 'aria-label': 'Move page right' }, '→'),
    el('button', { class: 'small danger', onclick: deletePage }, 'Delete page'),
  ] : []));
  renderTiles();
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
    const item = el('li', { draggable: 'true', 'data-index': String(i) },
      el('span', { class: 'grip', 'aria-hidden': 'true' }, '⠿'),
      tile.type === 'app' ? el('img', { alt: '', src: `api/icon?app=${encodeURIComponent(tile.value || '')}` })
        : el('span', {}, tile.emoji || ''),
      el('span', { class: 'kind' }, tile.type),
      el('input', { class: 'caption', value: tile.label ?? '', placeholder: tileTitle(tile), 'aria-label': 'Caption',
        oninput: (e) => { tile.label = e.target.value; markDirty(); } }),
      el('button', { class: 'small', 'aria-label': 'Move up', onclick: () => moveTile(i, i - 1) }, '↑'),
      el('button', { class: 'small danger', 'aria-label': 'Remove', onclick: () => { tiles.splice(i, 1); markDirty(); renderTiles(); } }, '✕'));
    item.addEventListener('dragstart', () => { dragFrom = i; item.classList.add('dragging'); });
    item.addEventListener('dragend', () => item.classList.remove('dragging'));
    item.addEventListener('dragover', (e) => e.preventDefault());
    item.addEventListener('drop', (e) => { e.preventDefault(); if (dragFrom !== null) moveTile(dragFrom, i); });
    return item;
  }));
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
  } else if (kind === 'volume') {
    form.replaceChildren(el('button', { onclick: () => addTile({ type: 'volume', label: 'Volume', emoji: '🔊' }) }, 'Add the volume slider'));
  } else if (kind === 'url') {
    const url = el('input', { type: 'url', placeholder: 'https://…', 'aria-label': 'Web address' });
    const label = el('input', { placeholder: 'Caption', 'aria-label': 'Caption' });
    form.replaceChildren(el('div', { class: 'row' }, url, label, el('button', { onclick: () => {
      if (!/^https?:\/\//i.test(url.value)) return toast('A web address starts with http:// or https://.');
      addTile({ type: 'url', value: url.value, label: label.value || url.value, emoji: '🌐' });
    } }, 'Add')));
  } else if (kind === 'text') {
    const mode = el('select', { 'aria-label': 'What the text does' }, el('option', { value: 'type' }, 'Type it'), el('option', { value: 'clipboard' }, 'Put it on the clipboard'));
    const text = el('input', { placeholder: 'Fixed text, or empty to ask each time', 'aria-label': 'Text' });
    form.replaceChildren(el('div', { class: 'row' }, mode, text, el('button', { onclick: () =>
      addTile({ type: 'text', mode: mode.value, value: text.value, label: text.value || (mode.value === 'type' ? 'Type text' : 'Clipboard'), emoji: mode.value === 'type' ? '⌨️' : '📋' }) }, 'Add')));
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
  const a = state.admin;
  // The kinds a flow may use, as the agent says.
  const kinds = state.report?.steps || ['app', 'url', 'shortcut', 'gesture', 'keys'];
  const type = el('select', { 'aria-label': 'Step kind' }, kinds.map((t) => el('option', { value: t }, t)));
  const value = el('input', { placeholder: 'App name, address, Shortcut, gesture or keys', 'aria-label': 'Step value', list: 'step-values' });
  const options = el('datalist', { id: 'step-values' });
  const fill = () => options.replaceChildren(...({
    app: [...new Set(pages().flatMap((p) => (p.tiles || []).filter((t) => t.type === 'app').map((t) => t.value)))],
    shortcut: a.shortcuts, gesture: a.gestures.map((g) => g.value),
  }[type.value] || []).map((v) => el('option', { value: v })));
  type.addEventListener('change', fill);
  fill();
  $('step-adder').replaceChildren(type, value, options, el('button', { onclick: () => {
    if (!value.value) return;
    state.flowSteps.push({ type: type.value, value: value.value });
    value.value = '';
    renderFlowSteps();
  } }, 'Add step'));
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
  ['clipboard', 'Clipboard'], ['suspend', 'Sleep'], ['screensaver', 'Screen saver'],
  ['shortcuts', 'Shortcuts'], ['relay', 'Relay'], ['planner', 'Planner']];

// What was found, in a few words, for a part that works.
function foundText(name, part) {
  switch (name) {
    case 'keys': case 'pointer': return `through ${part.backend}`;
    case 'media': return part.players.map((p) => p.replace('org.mpris.MediaPlayer2.', '')).join(', ');
    case 'sound': return `${part.server}${part.output ? ` → ${part.output}` : ''}`;
    case 'clipboard': case 'screensaver': return part.tool;
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
  if (answer.ok) {
    state.dirty = false;
    toast('Saved. Open phones update by themselves.', 'ok');
  } else {
    $('save').disabled = false;
    toast('The configuration could not be saved.');
  }
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
  ]) {
    $(id).addEventListener('change', (event) => { apply(event.target); markDirty(); });
  }
  // Another editor (or a flow added from a phone) changed the document: show it, unless this
  // page holds unsaved changes of its own.
  watchReloads(() => { if (!state.dirty) load({ onlyChanges: true }).catch(() => {}); });
  window.addEventListener('beforeunload', (event) => { if (state.dirty) event.preventDefault(); });
  load().then(renderTileForm).catch((error) => {
    $('load-error').textContent = error instanceof Unauthorized ? 'Not allowed.' : 'Tapdeck did not answer.';
  });
}

init();
