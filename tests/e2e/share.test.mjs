// Files sent from the page's picker or the phone's share sheet land in the computer's downloads
// as they were; what the computer offers is listed on the phone as it comes, to save, open or copy.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { AxeBuilder } from '@axe-core/playwright';
import { setUp, shot, until, pairByPin } from './harness.mjs';

let work;
const world = setUp(async ({ atEnd }) => {
  work = mkdtempSync(join(tmpdir(), 'tapdeck-share-e2e-'));
  atEnd(() => rmSync(work, { recursive: true, force: true }));
  // The computer's browser: a program that writes down the links it is given.
  mkdirSync(join(work, 'downloads'));
  mkdirSync(join(work, 'applications'));
  writeFileSync(join(work, 'browser'), `#!/bin/sh\necho "$1" >> "${work}/opened"\n`, { mode: 0o755 });
  writeFileSync(join(work, 'applications/browser.desktop'),
    `[Desktop Entry]\nType=Application\nName=Browser\nExec=${work}/browser %u\nMimeType=x-scheme-handler/https;\n`);
  writeFileSync(join(work, 'mimeapps.list'), '[Default Applications]\nx-scheme-handler/https=browser.desktop\n');
  return { env: { TD_DOWNLOADS: join(work, 'downloads'), XDG_DATA_HOME: work, XDG_CONFIG_HOME: work } };
});

// The files the downloads folder gained since `before` (what downloads() gave), by name.
const downloads = () => Object.fromEntries(readdirSync(join(work, 'downloads')).map((name) => [name, readFileSync(join(work, 'downloads', name))]));
const added = (before) => Object.fromEntries(Object.entries(downloads()).filter(([name]) => !(name in before)));

// The page's serious and critical accessibility faults, each with where it is.
async function accessibilityFaults(page) {
  const { violations } = await new AxeBuilder({ page }).analyze();
  return violations.filter((v) => ['serious', 'critical'].includes(v.impact))
    .map((v) => `${v.id}: ${v.nodes.map((node) => node.target.join(' ')).join(', ')}`);
}

const FILES = [{ name: 'noise.bin', mimeType: 'application/octet-stream', buffer: randomBytes(4 * 1024 * 1024 + 7) },
  { name: 'trip notes.txt', mimeType: 'text/plain', buffer: Buffer.from('Day one: the sea.\n') }];

test('files sent from the picker or the share sheet land in the computer\'s downloads as they were', { timeout: 120000 }, async () => {
  for (const scheme of ['light', 'dark']) {
    const page = await world.paired(scheme);
    const sheet = page.locator('#send-sheet');
    const pick = async () => {
      await page.getByRole('button', { name: 'Settings' }).click();
      const [chooser] = await Promise.all([page.waitForEvent('filechooser'),
        page.getByRole('button', { name: 'Send files to the computer' }).click()]);
      await chooser.setFiles(FILES);
    };
    // Held back to a crawl, the upload shows how far it got, and Cancel stops it.
    const cdp = await page.context().newCDPSession(page);
    await cdp.send('Network.enable');
    const uploadAt = (uploadThroughput) => cdp.send('Network.emulateNetworkConditions',
      { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput });
    await uploadAt(200 * 1024);
    const before = downloads();
    await pick();
    await page.waitForFunction(() => document.querySelector('#send-progress').position > 0.05);
    await shot(page, `send-progress-${scheme}`);
    assert.deepEqual(await accessibilityFaults(page), [], `${scheme}: serious or critical accessibility faults`);
    await sheet.getByRole('button', { name: 'Cancel' }).click();
    await sheet.getByRole('status').getByText('Cancelled.').waitFor();
    await sheet.getByRole('button', { name: 'Done' }).click();

    await uploadAt(-1);
    const answered = page.waitForResponse((response) => response.url().endsWith('/api/share'));
    await pick();
    const { saved } = await (await answered).json();
    if (scheme === 'light') assert.deepEqual(saved, FILES.map((file) => file.name));
    await sheet.getByRole('status').getByText(`Saved in the computer's downloads: ${saved.join(', ')}.`).waitFor();
    assert.ok(await sheet.getByRole('progressbar', { name: 'Sent so far' }).evaluate((bar) => bar.value === bar.max));
    assert.match(await sheet.locator('#send-amount').textContent(), /^100 % /);
    // What was sent whole, and nothing of what was cancelled.
    assert.deepEqual(added(before), Object.fromEntries(saved.map((name, i) => [name, FILES[i].buffer])));
    await sheet.getByRole('button', { name: 'Done' }).click();

    // The share sheet posts to the page's share target, which its service worker answers. The page
    // registers its worker at an HTTPS origin (through a relay); loopback is as secure.
    await page.evaluate(() => navigator.serviceWorker.register('sw.js'));
    await page.waitForFunction(() => navigator.serviceWorker.controller);
    await page.evaluate(() => document.body.insertAdjacentHTML('beforeend', '<form method="post" action="share" '
      + 'enctype="multipart/form-data"><textarea name="text"></textarea><input type="file" name="files"></form>'));
    await page.locator('form textarea').fill('Look\n\nhttps://example.org/x');
    const photo = randomBytes(300000);
    await page.locator('form input[type="file"]').setInputFiles({ name: 'beach.jpg', mimeType: 'image/jpeg', buffer: photo });
    const shared = downloads();
    await page.locator('form[action="share"]').evaluate((form) => form.submit());
    // The words around a link are its title, as apps share one: the link is opened, not copied.
    await page.locator('.toast.shown', { hasText: 'Sent to the computer: 1 file saved in its downloads, the link opened in its browser.' })
      .waitFor();
    await shot(page, `share-sheet-${scheme}`);
    assert.equal(new URL(page.url()).search, '');
    assert.deepEqual(Object.values(added(shared)), [photo]);
    const opened = () => existsSync(join(work, 'opened')) && readFileSync(join(work, 'opened'), 'utf8');
    await until(() => opened()?.includes('https://example.org/x'), () => `the link opened on the computer: ${opened()}`);
  }
});

test('what the computer offers is listed as it comes, and saved, opened or copied on the phone', async () => {
  const { agent } = world;
  const page = await world.phone('light');
  let asked = 0;
  page.on('response', (response) => { asked += response.url().endsWith('/api/inbox'); });
  await pairByPin(page, agent);
  // Asked for at start and as the event stream opened; after that only the stream tells of it.
  await until(() => asked === 2, 'the page asked for the inbox twice');
  await page.context().grantPermissions(['clipboard-read', 'clipboard-write'], { origin: agent.phone });
  const [report, draft, link] = [join(work, 'report 2024.pdf'), join(work, 'draft.txt'), `${agent.phone}/icon.svg`];
  writeFileSync(report, randomBytes(200000));
  writeFileSync(draft, 'first');
  assert.ok((await agent.call('/api/inbox', { items: [{ text: 'Meet at 6' }, { url: link }, { path: report }, { path: draft }] })).ok);
  const item = (p, kind, name = '') => p.getByRole('region', { name: 'From the computer' }).locator(`li[data-kind="${kind}"]`, { hasText: name });
  await item(page, 'file', 'draft.txt').waitFor();
  assert.equal(asked, 2);
  await shot(page, 'inbox-light');
  assert.deepEqual(await accessibilityFaults(page), [], 'light: serious or critical accessibility faults');

  await item(page, 'text').getByRole('button', { name: 'Copy' }).click();
  await page.locator('.toast.shown', { hasText: 'Copied.' }).waitFor();
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), 'Meet at 6');
  const [download] = await Promise.all([page.waitForEvent('download'),
    item(page, 'file', 'report 2024.pdf').getByRole('button', { name: 'Save' }).click()]);
  assert.equal(download.suggestedFilename(), 'report 2024.pdf');
  assert.deepEqual(readFileSync(await download.path()), readFileSync(report));
  const [tab] = await Promise.all([page.context().waitForEvent('page'), item(page, 'url').getByRole('button', { name: 'Open link' }).click()]);
  await tab.waitForURL(link);
  // Changed on the computer since it was offered: the phone says so in the computer's words.
  writeFileSync(draft, 'second, longer');
  const [refused] = await Promise.all([page.waitForResponse((response) => response.url().includes('/api/inbox/')),
    item(page, 'file', 'draft.txt').getByRole('button', { name: 'Save' }).click()]);
  assert.equal(refused.status(), 409);
  await page.locator('.toast.shown', { hasText: (await refused.json()).error }).waitFor();

  // Without the clipboard API (plain HTTP on the LAN) the text is shown selected, to copy by hand.
  const dark = await world.phone('dark');
  await dark.addInitScript(() => delete Navigator.prototype.clipboard);
  await pairByPin(dark, agent);
  await item(dark, 'text').getByRole('button', { name: 'Copy' }).click();
  const field = dark.getByRole('textbox', { name: 'Text from the computer' });
  assert.equal(await field.evaluate((f) => f.value.slice(f.selectionStart, f.selectionEnd)), 'Meet at 6');
  await shot(dark, 'inbox-copy-by-hand-dark');
  assert.deepEqual(await accessibilityFaults(dark), [], 'dark: serious or critical accessibility faults');
});
