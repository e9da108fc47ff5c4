// Live tiles: what the computer reports shows on every phone as it changes, taps and slides
// reach the agent and the Shortcuts behind the tiles, and the admin page edits them.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, readFileSync, writeFileSync, existsSync } from 'node:fs';
import { join } from 'node:path';
import { AxeBuilder } from '@axe-core/playwright';
import { setUp, shot, until } from './harness.mjs';

const world = setUp();

const LAMP = { type: 'toggle', id: 'lamp', label: 'Desk lamp', emoji: '💡',
  on: [{ type: 'shortcut', value: 'lamp-on' }], off: [{ type: 'shortcut', value: 'lamp-off' }] };
const DECK = { pages: [{ name: 'Home', icon: '🏠', tiles: [
  LAMP,
  { type: 'status', id: 'cpu', label: 'CPU', emoji: '🌡️', watch: 'cpu-temp', every: 1 },
  { type: 'status', id: 'mail', label: 'Inbox', emoji: '📬' },
  { type: 'toggle', id: 'vpn', label: 'VPN', emoji: '🛡️' },
  { type: 'slider', id: 'fan', label: 'Fan', emoji: '🌀', min: 0, max: 100, step: 1, set: 'fan-speed' },
  { type: 'url', id: 'news', label: 'News', emoji: '📰', value: 'https://example.com/' },
] }], settings: { columns: 4, iconScale: 1.12, labels: true } };

// The agent's Shortcuts folder, with Shortcuts that write what they were run with to `log`.
async function writeShortcuts(scripts) {
  const folder = (await world.agent.call('/api/capabilities', undefined, 'GET')).shortcuts.folder;
  mkdirSync(folder, { recursive: true, mode: 0o700 });
  for (const [name, body] of Object.entries(scripts)) writeFileSync(join(folder, name), `#!/bin/sh\n${body}\n`, { mode: 0o755 });
  return folder;
}

const push = async (id, state) => assert.deepEqual(await world.agent.call(`/api/tiles/${id}`, state), { ok: true });

// The page's serious and critical accessibility faults, each with where it is.
async function accessibilityFaults(page) {
  const { violations } = await new AxeBuilder({ page }).analyze();
  return violations.filter((v) => ['serious', 'critical'].includes(v.impact))
    .map((v) => `${v.id}: ${v.nodes.map((node) => node.target.join(' ')).join(', ')}`);
}

test('live tiles show what the computer reports on every phone; a tap and a slide reach their Shortcuts', async () => {
  const { agent } = world;
  const folder = await writeShortcuts({
    'lamp-on': `echo on >> "$(dirname "$0")/log"`,
    'lamp-off': `echo off >> "$(dirname "$0")/log"`,
    'fan-speed': `echo "fan $1" >> "$(dirname "$0")/log"`,
    'cpu-temp': `[ "$1" = --read ] && echo '{"value":"47 °C"}'`,
  });
  const log = () => (existsSync(join(folder, 'log')) ? readFileSync(join(folder, 'log'), 'utf8') : '');
  assert.equal((await agent.call('/api/config', DECK)).ok, true);
  await push('lamp', { state: 'on' });
  await push('mail', { value: '3', icon: '📨' });
  await push('news', { label: 'Headlines', value: '12 new' });
  await push('fan', { level: 30 });

  const phones = [];
  for (const scheme of ['light', 'dark']) {
    const page = await world.paired(scheme);
    phones.push(page);
    const tile = (id) => page.locator(`[data-tile-id="${id}"]`);
    await page.locator('[data-tile-id="lamp"][aria-pressed="true"]').getByText('On', { exact: true }).waitFor();
    await tile('cpu').getByText('47 °C').waitFor();  // read by its Shortcut
    await tile('mail').getByText('📨').waitFor();
    assert.equal(await tile('mail').evaluate((node) => node.tagName), 'DIV');  // nothing to tap
    await tile('news').filter({ hasText: 'Headlines' }).getByText('12 new').waitFor();  // any tile follows its state
    await tile('fan').locator('.slider-value', { hasText: '30' }).waitFor();
    assert.equal(await page.getByRole('slider', { name: 'Fan' }).inputValue(), '30');
    // Not known yet: not pressed, and not said to be on or off.
    assert.equal(await tile('vpn').getAttribute('aria-pressed'), 'false');
    assert.equal(await tile('vpn').locator('.toggle-state').textContent(), '—');
    await shot(page, `tiles-${scheme}`);
    assert.deepEqual(await accessibilityFaults(page), [], `${scheme}: serious or critical accessibility faults`);
  }
  const [phone, other] = phones;

  // A tap turns the lamp off through its "off" steps, and every phone shows it off.
  const [answer] = await Promise.all([phone.waitForResponse((r) => r.url().endsWith('/api/tiles/lamp/run')),
    phone.getByRole('button', { name: /Desk lamp/ }).click()]);
  assert.equal((await answer.json()).ok, true);
  await until(() => log().includes('off'), 'the lamp\'s "off" Shortcut ran');
  for (const page of phones) await page.locator('[data-tile-id="lamp"][aria-pressed="false"]').getByText('Off', { exact: true }).waitFor();

  // A finger drags the fan's slider: the agent hears of it at most every 100 ms and last of where
  // the finger left it; a level reported meanwhile does not move it under the finger.
  const slider = phone.getByRole('slider', { name: 'Fan' });
  const posts = [];
  phone.on('requestfinished', (request) => {
    if (request.url().endsWith('/api/tiles/fan/run')) posts.push({ level: JSON.parse(request.postData()).level, at: request.timing().startTime });
  });
  const box = await slider.boundingBox();
  const cdp = await phone.context().newCDPSession(phone);
  const touch = (type, share) => cdp.send('Input.dispatchTouchEvent',
    { type, touchPoints: share === undefined ? [] : [{ x: box.x + box.width * share, y: box.y + box.height / 2, id: 0 }] });
  await touch('touchStart', 0.2);
  for (let i = 1; i <= 24; i++) {
    await touch('touchMove', 0.2 + i * 0.025);
    await phone.evaluate(() => new Promise((ok) => requestAnimationFrame(ok)));
    if (i === 12) {
      const held = await slider.inputValue();
      await push('fan', { level: 5 });
      await push('mail', { value: '4' });  // told after the fan's level: once it shows, that came too
      await phone.locator('[data-tile-id="mail"]').getByText('4', { exact: true }).waitFor();
      assert.equal(await slider.inputValue(), held);
    }
  }
  await touch('touchEnd');
  const level = await slider.inputValue();
  assert.ok(Number(level) > 60, `dragged to ${level}`);
  await until(() => log().trim().endsWith(`fan ${level}`), () => `the fan's Shortcut ran with ${level}: ${log()}`);
  await until(() => posts.at(-1)?.level === Number(level), () => `the last post was ${level}: ${JSON.stringify(posts)}`);
  assert.ok(posts.length > 2, JSON.stringify(posts));
  for (let i = 1; i < posts.length; i++) assert.ok(posts[i].at - posts[i - 1].at >= 90, `posts 100 ms apart: ${JSON.stringify(posts)}`);
  await other.waitForFunction((at) => {
    const fan = document.querySelector('[data-tile-id="fan"]');
    return fan.querySelector('input').value === at && fan.querySelector('.slider-value').textContent === at;
  }, level);
  await shot(phone, 'tiles-after-drag');
});

test('the admin page gives live tiles ids and Shortcuts, shows the agent\'s refusal, and what is wrong with a Shortcut', async () => {
  const { agent } = world;
  await writeShortcuts({ 'cpu-temp': `[ "$1" = --read ] && echo '{"value":"47 °C"}'` });
  assert.equal((await agent.call('/api/config', { pages: [{ name: 'Home', icon: '🏠', tiles: [
    { ...LAMP, watch: 'no-such-shortcut' }] }], settings: { columns: 4, iconScale: 1.12, labels: true } })).ok, true);
  const admin = await world.page({ viewport: { width: 1100, height: 1000 } });
  await admin.goto(`${agent.local}/admin`);
  // The toggle's Shortcut cannot run: said in words beside the tile.
  await admin.locator('[data-source-for="lamp"] .source-problem', { hasText: 'no-such-shortcut' }).waitFor();

  await admin.getByText('Add a tile').click();
  await admin.locator('#tile-type').selectOption('status');
  const adder = admin.locator('#tile-form');
  await adder.getByLabel('Caption').fill('CPU');
  assert.equal(await adder.getByLabel('Id').inputValue(), 'cpu');
  await adder.getByRole('button', { name: 'Add' }).click();
  const editor = admin.locator('#tile-list li[data-tile-id="cpu"] .tile-editor');
  await editor.getByLabel('Reported by').selectOption('every');
  await editor.getByLabel('Reporting Shortcut').fill('cpu-temp');
  await editor.getByLabel('Seconds between reads').fill('2');

  // An id another tile has: the page says so, and so does the agent when it is saved anyway.
  await editor.getByLabel('Id').fill('lamp');
  await admin.locator('#tile-list .tile-problem', { hasText: 'Another tile has the id "lamp"' }).first().waitFor();
  await admin.getByRole('button', { name: 'Save' }).click();
  await admin.locator('#save-error', { hasText: /Not saved: .*lamp/ }).waitFor();
  await shot(admin, 'admin-tiles-refused');
  await editor.getByLabel('Id').fill('cpu');
  await admin.getByRole('button', { name: 'Save' }).click();
  await admin.locator('#save-error:empty').waitFor({ state: 'attached' });
  const saved = (await agent.call('/api/admin', undefined, 'GET')).config.pages[0].tiles[1];
  assert.deepEqual({ type: saved.type, id: saved.id, watch: saved.watch, every: saved.every }, { type: 'status', id: 'cpu', watch: 'cpu-temp', every: 2 });
  await until(async () => (await agent.call('/api/tiles', undefined, 'GET')).tiles.cpu?.value === '47 °C', 'the saved tile read by its Shortcut');
  await admin.locator('[data-source-for="cpu"]', { hasText: 'cpu-temp' }).waitFor();
  await admin.locator('#tile-list').scrollIntoViewIfNeeded();
  await shot(admin, 'admin-tiles');
});
