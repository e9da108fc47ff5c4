// Pages that follow the app in front: a real agent on a real X server whose active window the
// test sets as a window manager does (the root window's _NET_ACTIVE_WINDOW), with X programs'
// windows of known names in front.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { AxeBuilder } from '@axe-core/playwright';
import { setUp, startDisplay, run, shot, until } from './harness.mjs';

const world = setUp(async (w) => {
  w.desktop = await startDisplay(w.atEnd);
  return { env: { DISPLAY: w.desktop.display } };
});

const X = () => ({ ...process.env, DISPLAY: world.desktop.display });
const NOBODY = '0x0';

// A program's window, named `name`: its id once it is shown.
async function openWindow(program, name, ...args) {
  const shown = run(program, ['-name', name, ...args], { env: X(), stdio: ['ignore', 'pipe', 'ignore'] });
  world.atEnd(shown.stop);
  return until(() => {
    try {
      return execFileSync('xwininfo', ['-name', name], { env: X(), stdio: ['ignore', 'pipe', 'ignore'] }).toString().match(/Window id: (0x[0-9a-f]+)/)?.[1];
    } catch {
      return null;  // not shown yet
    }
  }, `${name}'s window shown`);
}

const inFront = async () => (await world.agent.call('/api/focus', undefined, 'GET')).app ?? null;

// Puts the window `id` in front (none for NOBODY) and gives the app the agent names for it.
async function bringForward(id) {
  const before = await inFront();
  execFileSync('xprop', ['-root', '-f', '_NET_ACTIVE_WINDOW', '32x', '-set', '_NET_ACTIVE_WINDOW', id], { env: X() });
  const [app] = await until(async () => {
    const now = await inFront();
    return (id === NOBODY ? now === null : now !== null && now !== before) && [now];
  }, () => `the agent saw ${id} in front`);
  return app;
}

// Once the phone shows a tile state pushed now, it has heard all the agent told it before.
let count = 0;
async function heard(page) {
  const value = String(++count);
  assert.equal((await world.agent.call('/api/tiles/clock', { value })).ok, true);
  await page.waitForFunction((v) => document.querySelector('[data-tile-id="clock"] .status-value')?.textContent === v, value);
}

async function accessibilityFaults(page) {
  const { violations } = await new AxeBuilder({ page }).analyze();
  return violations.filter((v) => ['serious', 'critical'].includes(v.impact))
    .map((v) => `${v.id}: ${v.nodes.map((node) => node.target.join(' ')).join(', ')}`);
}

const DECK = { pages: [{ name: 'Home', icon: '🏠', tiles: [] }, { name: 'Code', icon: '💻', tiles: [] },
  { name: 'Mail', icon: '✉️', tiles: [] }, { name: 'Music', icon: '🎵', tiles: [{ type: 'status', id: 'clock', label: 'Clock' }] }],
settings: { columns: 4, iconScale: 1.12, labels: true } };

test('a phone shows the page of the app in front and goes back to the page chosen; the pin and open sheets hold it', { timeout: 120000 }, async () => {
  const { agent } = world;
  const editor = await openWindow('xmessage', 'editor', 'Editing');
  const mail = await openWindow('xfontsel', 'mail');
  assert.equal((await agent.call('/api/config', DECK)).ok, true);

  // The admin page adds the app in front to a page, and offers the others lately in front.
  const admin = await world.page({ viewport: { width: 1000, height: 900 } });
  await admin.goto(`${agent.local}/admin`);
  const apps = admin.locator('#page-apps');
  const codeApp = await bringForward(editor);
  await admin.locator('#page-tabs button', { hasText: 'Code' }).click();
  await apps.getByRole('button', { name: 'Add the app in front' }).click();
  await apps.getByRole('button', { name: `Remove ${codeApp}` }).waitFor();
  const mailApp = await bringForward(mail);
  await admin.locator('#page-tabs button', { hasText: 'Mail' }).click();
  await apps.getByRole('button', { name: 'Add the app in front' }).click();
  await apps.getByRole('button', { name: `Remove ${mailApp}` }).waitFor();
  await apps.getByRole('button', { name: `Add ${codeApp}` }).waitFor();
  assert.deepEqual(await accessibilityFaults(admin), [], 'admin: serious or critical accessibility faults');
  await admin.getByRole('button', { name: 'Save' }).click();
  const saved = async () => (await agent.call('/api/admin', undefined, 'GET')).config.pages.map((page) => page.apps);
  await until(async () => (await saved())[2], 'the pages\' apps were saved');
  assert.deepEqual(await saved(), [undefined, [codeApp], [mailApp], undefined]);

  for (const scheme of ['light', 'dark']) {
    await bringForward(NOBODY);
    const page = await world.paired(scheme);
    const showing = (name) => page.locator('#tabs [role="tab"][aria-selected="true"]', { hasText: name }).waitFor();
    await showing('Home');
    await bringForward(editor);
    await showing('Code');
    await shot(page, `focus-${scheme}`);
    assert.deepEqual(await accessibilityFaults(page), [], `${scheme}: serious or critical accessibility faults`);
    await bringForward(mail);
    await showing('Mail');
    await bringForward(NOBODY);
    await showing('Home');  // the page it came from
    // A page chosen on the phone is the one it comes back to.
    await page.getByRole('tab', { name: /Music/ }).click();
    await bringForward(editor);
    await showing('Code');
    await bringForward(NOBODY);
    await showing('Music');

    // Pinned, the page stays whatever comes to the front; let go, it follows again.
    const pin = page.getByRole('button', { name: 'Keep this page' });
    await pin.click();
    assert.equal(await pin.getAttribute('aria-pressed'), 'true');
    await bringForward(mail);
    await heard(page);
    await showing('Music');
    await pin.click();
    await showing('Mail');

    // Under an open sheet the page waits, and follows once the sheet is put away.
    await page.getByRole('button', { name: 'Settings' }).click();
    await bringForward(editor);
    await heard(page);
    await showing('Mail');
    await page.getByRole('button', { name: 'Done' }).click();
    await showing('Code');
  }
});
