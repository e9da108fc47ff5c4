// Files sent from the page's picker or the phone's share sheet land in the computer's downloads
// as they were; what the computer offers is listed on the phone as it comes, to save, open or copy.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { AxeBuilder } from '@axe-core/playwright';
import { BUILD, setUp, shot, until, pairByPin, visit, enterPin, run, freePort, selfSignedCertificate } from './harness.mjs';

let work;
const world = setUp(async ({ atEnd }) => {
  work = mkdtempSync(join(tmpdir(), 'tapdeck-share-e2e-'));
  atEnd(() => rmSync(work, { recursive: true, force: true }));
  // A relay that reads what it carries, which the computer uses once told to.
  const spki = selfSignedCertificate(work, 'relay', 'DNS:relay.test,DNS:*.relay.test,IP:127.0.0.1');
  const relayPort = world.relayPort = await freePort();
  const relay = run(join(BUILD, 'tapdeck-relay'), ['--listen', `127.0.0.1:${relayPort}`, '--phone-domain', `relay.test:${relayPort}`,
    '--name', `127.0.0.1:${relayPort}`, '--cert', join(work, 'relay.pem'), '--key', join(work, 'relay-key.pem')]);
  atEnd(relay.stop);
  await relay.waitFor(/^Relay listening on /m);
  // The computer's browser: a program that writes down the links it is given.
  mkdirSync(join(work, 'downloads'));
  mkdirSync(join(work, 'applications'));
  writeFileSync(join(work, 'browser'), `#!/bin/sh\necho "$1" >> "${work}/opened"\n`, { mode: 0o755 });
  writeFileSync(join(work, 'applications/browser.desktop'),
    `[Desktop Entry]\nType=Application\nName=Browser\nExec=${work}/browser %u\nMimeType=x-scheme-handler/https;\n`);
  writeFileSync(join(work, 'mimeapps.list'), '[Default Applications]\nx-scheme-handler/https=browser.desktop\n');
  return { env: { TD_DOWNLOADS: join(work, 'downloads'), XDG_DATA_HOME: work, XDG_CONFIG_HOME: work,
    TD_RELAY_HOST: `127.0.0.1:${relayPort}`, SSL_CERT_FILE: join(work, 'relay.pem'), SSL_CERT_DIR: join(work, 'no-certs') },
  browserArgs: ['--host-resolver-rules=MAP *.relay.test 127.0.0.1', `--ignore-certificate-errors-spki-list=${spki}`] };
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

test('files sent from the picker land in the computer\'s downloads as they were', { timeout: 120000 }, async () => {
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
  }
});

// The share sheet posts to the page's share target, which its service worker answers; so could any web
// site the phone visits. What is posted there is kept and shown, and sent only when the person says so.
test('a share is shown on the phone first, and only sent when the person says so', { timeout: 90000 }, async () => {
  const { agent } = world;
  const opened = () => (existsSync(join(work, 'opened')) ? readFileSync(join(work, 'opened'), 'utf8') : '');
  for (const scheme of ['light', 'dark']) {
    const page = await world.phone(scheme);
    const asked = [];
    page.context().on('request', (request) => { if (request.url().endsWith('/api/share')) asked.push(request.url()); });
    // The page registers its worker at an HTTPS origin (through a relay); loopback is as secure.
    await visit(page, agent.phone);
    await page.evaluate(() => navigator.serviceWorker.register('sw.js'));
    await page.waitForFunction(() => navigator.serviceWorker.controller);
    const share = async (text, file) => {
      await page.goto(`data:text/html,<form method=post enctype=multipart/form-data action="${agent.phone}/share">`
        + '<textarea name=text></textarea><input type=file name=files></form>');
      await page.locator('textarea').fill(text);
      await page.locator('input').setInputFiles(file);
      await page.locator('form').evaluate((form) => form.submit());
    };
    const [before, openedBefore] = [downloads(), opened()];
    const photo = { name: 'beach.jpg', mimeType: 'image/jpeg', buffer: randomBytes(300000) };
    await share('Look\n\nhttps://example.org/x', photo);
    // Unpaired, the phone says so and keeps the share, through a reload, for after pairing.
    await page.getByText('Pair this phone first, then share again.').waitFor();
    await page.reload();
    await page.getByText('Pair this phone first, then share again.').waitFor();
    await enterPin(page, agent.pin());
    const sheet = page.getByRole('dialog', { name: 'Send to the computer?' });
    await sheet.getByText('beach.jpg').waitFor();
    assert.deepEqual(await sheet.getByRole('listitem').allInnerTexts(), ['📝\nLook\n\nhttps://example.org/x\nText', '📄\nbeach.jpg\n300 kB']);
    await shot(page, `share-confirm-${scheme}`);
    assert.deepEqual(await accessibilityFaults(page), [], `${scheme}: serious or critical accessibility faults`);
    // Nothing reached the computer.
    assert.deepEqual([asked, added(before), opened()], [[], {}, openedBefore]);

    await sheet.getByRole('button', { name: 'Send to the computer' }).click();
    // The words around a link are its title, as apps share one: the link is opened, not copied.
    await page.locator('.toast.shown', { hasText: 'Sent to the computer: 1 file saved in its downloads, the link opened in its browser.' })
      .waitFor();
    await shot(page, `share-sheet-${scheme}`);
    assert.equal(new URL(page.url()).search, '');
    await until(() => opened().includes('https://example.org/x'), () => `the link opened on the computer: ${opened()}`);

    // Discarded, a share leaves nothing, on the computer or on the phone.
    await share('', { name: 'draft.txt', mimeType: 'text/plain', buffer: Buffer.from('not for the computer') });
    await sheet.getByRole('button', { name: 'Discard' }).click();
    await sheet.waitFor({ state: 'hidden' });
    assert.equal(await page.evaluate(() => caches.has('tapdeck-shared')), false);
    assert.deepEqual([asked.length, Object.values(added(before))], [1, [photo.buffer]]);
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

// Through a relay that reads what it carries the computer takes no files, and the phone says why.
test('through a relay that reads requests, the phone says why files cannot go that way', { timeout: 60000 }, async () => {
  const { agent } = world;
  const { config } = await agent.call('/api/admin', undefined, 'GET');
  assert.ok((await agent.call('/api/config', { ...config, settings: { ...config.settings, relayEnabled: true } })).ok);
  await agent.logged(/Relay connected/);
  const page = await world.phone();
  const why = () => page.getByText(/^Files cannot go through this relay: it reads what it carries\. Send them on/).waitFor();
  const sendFiles = () => page.getByRole('button', { name: 'Settings' }).click()
    .then(() => page.getByRole('button', { name: 'Send files to the computer' }).click());
  // Not knowing yet that no event stream comes this way, the page sends; the relay refuses in words of its own.
  await page.route('**/api/events', (route) => route.abort());
  await pairByPin(page, agent, `https://${agent.relayId()}.relay.test:${world.relayPort}/`);
  const [chooser] = await Promise.all([page.waitForEvent('filechooser'), sendFiles()]);
  const [refused] = await Promise.all([page.waitForResponse(/\/api\/share$/), chooser.setFiles(FILES)]);
  assert.deepEqual([refused.status(), await refused.text()], [413, 'Payload Too Large']);
  await why();
  // Once it knows, it says so before anything is chosen.
  await page.unroute('**/api/events');
  await Promise.all([page.waitForResponse((response) => response.url().endsWith('/api/events') && response.status() === 501), page.reload()]);
  await sendFiles();
  await why();
});
