// The clipboard both ways between a phone on plain HTTP and the computer, and the computer's
// notifications on the phone: a real agent on a real X server, with a notification service on a
// session bus of its own (python3-dbusmock's) whose calls the agent sees as a desktop's.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile, execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { promisify } from 'node:util';
import { AxeBuilder } from '@axe-core/playwright';
import { setUp, startDisplay, run, pairByPin, shot, until } from './harness.mjs';

const world = setUp(async (w) => {
  w.desktop = await startDisplay(w.atEnd);
  const folder = mkdtempSync(join(tmpdir(), 'tapdeck-bus-'));
  writeFileSync(join(folder, 'bus.conf'), '<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>'
    + '<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>'
    + '<allow own="*"/></policy></busconfig>');
  const bus = run('dbus-daemon', [`--config-file=${join(folder, 'bus.conf')}`, '--nofork', '--print-address=1'], { stdio: ['ignore', 'pipe', 'ignore'] });
  w.bus = (await bus.waitFor(/^(unix:\S+)/m))[1];
  const service = run('/usr/bin/python3', ['-m', 'dbusmock', '--template', 'notification_daemon'],
    { env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: w.bus }, stdio: ['ignore', 'pipe', 'ignore'] });
  w.atEnd(async () => { await service.stop(); await bus.stop(); rmSync(folder, { recursive: true, force: true }); });
  // desk.lan is this computer as a phone at home reaches it: plain HTTP there is no secure context.
  return { env: { DISPLAY: w.desktop.display, DBUS_SESSION_BUS_ADDRESS: w.bus }, browserArgs: ['--host-resolver-rules=MAP desk.lan 127.0.0.2'] };
});

const X = () => ({ ...process.env, DISPLAY: world.desktop.display });
// xclip stays to hold what it was given: nothing of it waits on our pipes.
const setClipboard = (text) => execFileSync('xclip', ['-selection', 'clipboard'], { input: text, env: X(), stdio: ['pipe', 'ignore', 'ignore'] });
const clipboard = () => execFileSync('xclip', ['-o', '-selection', 'clipboard'], { env: X() }).toString();
// An app's notification, sent as apps send theirs (GVariant strings, quoted).
const quoted = (text) => `'${text.replace(/[\\']/g, '\\$&')}'`;
const notify = (app, summary, body) => promisify(execFile)('gdbus', ['call', '--address', world.bus, '--dest', 'org.freedesktop.Notifications',
  '--object-path', '/org/freedesktop/Notifications', '--method', 'org.freedesktop.Notifications.Notify',
  quoted(app), '0', "''", quoted(summary), quoted(body), '[]', '{}', '5000']);
const DECK = { pages: [{ name: 'Home', icon: '🏠', tiles: [{ type: 'clipboard', label: 'Clipboard', emoji: '📋' }] }],
  settings: { columns: 4, iconScale: 1.12, labels: true } };

const onLan = async (scheme) => {
  const page = await world.phone(scheme);
  await pairByPin(page, world.agent, `http://desk.lan:${world.agent.port}/`);
  assert.equal(await page.evaluate(() => window.isSecureContext), false);
  return page;
};

// The page's serious and critical accessibility faults, each with where it is.
async function accessibilityFaults(page) {
  const { violations } = await new AxeBuilder({ page }).analyze();
  return violations.filter((v) => ['serious', 'critical'].includes(v.impact))
    .map((v) => `${v.id}: ${v.nodes.map((node) => node.target.join(' ')).join(', ')}`);
}

test('on plain HTTP the computer\'s clipboard is shown selected to copy, and a pasted text reaches it', async () => {
  assert.equal((await world.agent.call('/api/config', DECK)).ok, true);
  for (const scheme of ['light', 'dark']) {
    const page = await onLan(scheme);
    const tile = page.locator('[data-type="clipboard"]');
    const copied = `Wi-Fi: hunter2 <b>x</b>\nпароль ✓ ${scheme}`;
    // The computer's clipboard changes: the tile says so (once its event stream is open).
    let set = 0;
    await until(async () => {
      if (Date.now() - set > 1000) {
        set = Date.now();
        setClipboard(copied);
      }
      return tile.locator('.tile-dot:not([hidden])').isVisible();
    }, 'the tile said the clipboard changed');
    await tile.click();
    const field = page.getByRole('textbox', { name: 'The computer\'s clipboard' });
    assert.equal(await field.evaluate((f) => f.value.slice(f.selectionStart, f.selectionEnd)), copied);
    assert.ok(await tile.locator('.tile-dot').isHidden());
    await shot(page, `bridge-clipboard-${scheme}`);
    assert.deepEqual(await accessibilityFaults(page), [], `${scheme}: serious or critical accessibility faults`);
    const shown = await field.elementHandle();
    await page.getByRole('button', { name: 'Copy', exact: true }).click();
    await page.locator('.toast.shown', { hasText: 'Copied.' }).waitFor();
    await page.locator('dialog.copy-sheet').waitFor({ state: 'detached' });  // its close event
    assert.equal(await shown.evaluate((f) => [f.isConnected, f.value].join()), 'false,');  // nothing kept

    // Held, the tile asks for the phone's text (no clipboard to read here) and sends it.
    await tile.hover();
    await page.mouse.down();
    const paste = page.getByRole('textbox', { name: 'Paste here' });
    await paste.waitFor();
    await page.mouse.up();
    const sent = `from the phone <i>${scheme}</i>\n✓`;
    await paste.fill(sent);
    assert.deepEqual(await accessibilityFaults(page), [], `${scheme}: serious or critical accessibility faults`);
    const pasted = await paste.elementHandle();
    await page.getByRole('button', { name: 'Send to computer' }).click();
    await page.locator('.toast.shown', { hasText: 'Sent to the computer\'s clipboard.' }).waitFor();
    await paste.waitFor({ state: 'detached' });
    assert.equal(clipboard(), sent);
    assert.equal(await pasted.evaluate((f) => [f.isConnected, f.value].join()), 'false,');
  }
});

test('the allowed apps\' notifications show on the phone as plain text; the admin page lists the apps seen', async () => {
  const { agent } = world;
  assert.equal((await agent.call('/api/config', DECK)).ok, true);
  const admin = await world.page({ viewport: { width: 1000, height: 900 }, colorScheme: 'dark' });  // light: focus.test.mjs
  await admin.goto(`${agent.local}/admin`);
  const saved = async () => (await agent.call('/api/admin', undefined, 'GET')).config.settings;
  await admin.getByRole('switch', { name: 'Show the computer\'s notifications on phones' }).check();
  await admin.getByRole('button', { name: 'Save' }).click();
  await until(async () => (await saved()).notifications === true, 'notifications were switched on');
  // Seen once watched (from when the setting is saved on), but allowed for no app yet.
  const seen = async () => (await agent.call('/api/admin', undefined, 'GET')).notificationAppsSeen;
  let sent = 0;
  await until(async () => {
    if (Date.now() - sent > 500) {
      sent = Date.now();
      await Promise.all([notify('Mail', 'Hello', ''), notify('Chat', 'Hi', '')]);
    }
    return (await seen()).length === 2;
  }, 'the agent saw both apps');
  await admin.reload();
  const apps = admin.getByRole('group', { name: 'Apps whose notifications phones show' });
  await apps.getByRole('checkbox', { name: 'Mail' }).waitFor();
  assert.deepEqual(await apps.getByRole('checkbox').evaluateAll((boxes) => boxes.map((b) => `${b.parentNode.textContent} ${b.checked}`)),
    ['Chat false', 'Mail false']);
  await apps.getByRole('checkbox', { name: 'Mail' }).check();
  await admin.getByRole('button', { name: 'Save' }).click();
  await until(async () => (await saved()).notificationApps?.length, 'the app allowed was saved');
  assert.deepEqual([(await saved()).notifications, (await saved()).notificationApps], [true, ['Mail']]);
  assert.deepEqual(await accessibilityFaults(admin), [], 'admin: serious or critical accessibility faults');

  for (const scheme of ['light', 'dark']) {
    const page = await onLan(scheme);
    const notices = page.getByRole('status', { name: 'The computer\'s notifications' });
    const mail = notices.locator('.notice', { hasText: 'Mail' });
    sent = 0;
    await until(async () => {
      if (Date.now() - sent > 1000) {
        sent = Date.now();
        await notify('Chat', 'Not for phones', '');
        // A summary is plain text, shown as written; a body's markup loses its tags: text either way.
        await notify('Mail', '<b>Lunch</b> at 1?', 'שלום — see you <i>there</i>');
      }
      return mail.isVisible();
    }, 'the phone showed Mail\'s notification');
    await mail.getByText('<b>Lunch</b> at 1?', { exact: true }).waitFor();
    assert.equal(await notices.locator('b, i').count(), 0);
    assert.equal(await notices.getByText('Not for phones').count(), 0);  // told before Mail's, were it told
    // This computer's own scripts' (tapdeck notify), whatever the apps allowed.
    assert.deepEqual(await agent.call('/api/notify', { summary: 'Backup done', body: `${scheme}: 42 files` }), { ok: true });
    await notices.locator('.notice', { hasText: 'Tapdeck' }).getByText(`${scheme}: 42 files`).waitFor();
    await notices.evaluate((list) => Promise.all(list.getAnimations({ subtree: true }).map((shown) => shown.finished)));
    await shot(page, `bridge-notification-${scheme}`);
    assert.deepEqual(await accessibilityFaults(page), [], `${scheme}: serious or critical accessibility faults`);
    // The phone's own notifications need a secure page: the menu says so instead of asking.
    await page.getByRole('button', { name: 'Settings' }).click();
    await page.getByText(/open it over HTTPS/).waitFor();
    assert.ok(await page.getByRole('button', { name: 'Show computer notifications' }).isHidden());
  }
});
