// The phone page and the admin page in a real browser against a real agent.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { setUp, enterPin, pairByPin, shot, SHIPPED } from './harness.mjs';

const world = setUp();
const URL_STEP = { type: 'url', value: 'https://example.com/news', label: 'News' };

// Five wrong PINs locking pairing is PairingApi.PinPairingWithLockOut's: the page shows what the
// agent says, as it does for a wrong PIN here.
test('pairing by PIN or by link shows the agent\'s words, then the deck', async () => {
  const page = await world.phone();
  await page.goto(world.agent.phone);
  await shot(page, 'pairing');
  await enterPin(page, '0000');
  await page.getByText('Wrong PIN').waitFor();
  await pairByPin(page, world.agent);
  assert.ok(await page.evaluate(() => localStorage.getItem('tapdeck.token')?.length === 48));

  // A pairing link pairs by itself and leaves the address bar; it works once.
  const code = new URL((await world.agent.call('/api/connect')).url).searchParams.get('pair');
  const other = await world.phone();
  await other.goto(`${world.agent.phone}/?pair=${code}`);
  await other.locator('#deck').waitFor();
  assert.equal(new URL(other.url()).search, '');
  await other.goto(`${world.agent.phone}/?pair=${code}`);
  await other.getByText('Invalid or expired code').waitFor();
});

test('tiles act through their endpoints and say why when they cannot', async () => {
  const { agent } = world;
  await agent.call('/api/config', { pages: [{ name: 'Test', icon: '🧪', tiles: [
    { type: 'system', value: 'sleep', label: 'Sleep', emoji: '😴' }, { type: 'gesture', value: 'spotlight', label: 'Search' },
    { type: 'flow', label: 'Read', emoji: '📰', steps: [URL_STEP] }, { type: 'volume', label: 'Volume' },
    { type: 'text', mode: 'clipboard', value: '', label: 'Clipboard' }] }], settings: { columns: 3, iconScale: 1.12, labels: true } });
  const page = await world.paired();
  await page.getByRole('button', { name: /Sleep/ }).click();
  await agent.called(/systemctl suspend/);
  // Keys cannot reach this desktop: the gesture tile is greyed, and says why when tapped or
  // held, without asking the agent.
  const search = page.getByRole('button', { name: /Search/ });
  assert.equal(await search.getAttribute('aria-disabled'), 'true');
  await search.click({ force: true });  // aria-disabled: Playwright would wait for it to enable
  await page.locator('.toast.shown', { hasText: 'lets no program send keys' }).waitFor();
  await page.locator('.toast.shown').waitFor({ state: 'hidden' });
  const volume = page.locator('.tile-volume');
  await volume.dispatchEvent('pointerdown');
  await page.locator('.toast.shown', { hasText: 'No sound server answers.' }).waitFor();
  await volume.dispatchEvent('pointerup');
  await shot(page, 'phone-unavailable');
  assert.equal(await page.locator('.grid').evaluate((g) => getComputedStyle(g).gridTemplateColumns.split(' ').length), 3);
  // A text tile without text asks for it.
  await page.getByRole('button', { name: /Clipboard/ }).click();
  await page.getByLabel('Text').fill('hello from the phone');
  await page.getByRole('button', { name: 'Send' }).click();
  await agent.called(/wl-copy/);
});

// On the LAN the phone asks again only when the agent's event stream tells it to.
test('the admin page edits what an open phone shows, which reloads by itself', async () => {
  const { agent } = world;
  await agent.call('/api/config', { pages: [{ name: 'Apps', icon: '🚀', tiles: [] }, { name: 'Flows', icon: '⚡', tiles: [] }],
    settings: { columns: 4, iconScale: 1.12, labels: true } });
  const phone = await world.paired();
  const admin = await world.page({ viewport: { width: 1100, height: 1000 } });
  await admin.goto(`${agent.local}/admin`);
  await admin.locator('#pin').filter({ hasText: agent.pin() }).waitFor();
  // The report on top: what works, and for what does not, what to do; no button that cannot
  // help (these keys cannot be asked for).
  for (const [part, state, hasText] of [['keys', 'missing', 'xdg-desktop-portal'], ['clipboard', 'works', 'wl-copy'],
    ['sound', 'missing', 'PipeWire']]) await admin.locator(`#report li[data-part="${part}"].${state}`, { hasText }).waitFor();
  assert.equal(await admin.locator('#allow-keys').count(), 0);

  await admin.getByText('Add a tile').click();
  await admin.locator('#tile-type').selectOption('media');
  await admin.getByRole('button', { name: /Next/ }).click();
  await admin.getByRole('button', { name: 'Save' }).click();
  await phone.getByRole('button', { name: /Next/ }).waitFor();

  await admin.getByRole('button', { name: '+ Page' }).click();
  const sheet = admin.locator('dialog[open]');
  await sheet.getByLabel('Name').fill('Media');
  await sheet.getByLabel('Emoji').fill('🎵');
  await shot(admin, 'admin-new-page');
  await sheet.getByRole('button', { name: 'Add page' }).click();
  await admin.getByRole('button', { name: 'Save' }).click();
  await phone.getByRole('tab', { name: /Media/ }).waitFor();

  await admin.getByText('Build a flow').click();
  await admin.locator('#flow-label').fill('Morning');
  await admin.getByLabel('Step kind').selectOption('url');
  await admin.getByLabel('Step value').fill('https://example.com/');
  await admin.getByRole('button', { name: 'Add step' }).click();
  await admin.getByRole('button', { name: 'Save flow' }).click();
  await phone.getByRole('tab', { name: /Flows/ }).click();
  await phone.getByRole('button', { name: /Morning/ }).waitFor();
  await admin.locator('.flow-list', { hasText: 'Morning' }).waitFor();

  await admin.getByRole('button', { name: 'Show QR code' }).click();
  await admin.locator('#qr-link').filter({ hasText: '?pair=' }).waitFor();
  // Every address of this computer, each with its own QR code, the default route's first (the
  // test command runs this in a network of its own with two; elsewhere, whatever there is).
  await admin.getByText('The phone cannot reach that address?').click();
  const lan = (process.env.TD_TEST_LAN || '').split(' ').filter(Boolean);
  const listed = await admin.locator('#addresses li').evaluateAll((items) => items.map((li) => li.dataset.address));
  assert.deepEqual(listed, lan.length ? lan : listed);
  assert.match(await admin.locator('#addresses li').first().textContent(), /default route/);
  assert.equal(await admin.locator('#addresses li img').count(), listed.length);
  await shot(admin, 'admin');
});

test('the planner box turns a sentence into steps to run or keep', async () => {
  world.planner.reply([URL_STEP, { type: 'app', value: 'Not Allowed' }]);
  const page = await world.paired('dark');
  await page.getByPlaceholder('Tell your computer what to do…').fill('read the news');
  await page.getByRole('button', { name: 'Plan' }).click();
  await page.locator('.steps li').first().waitFor();
  assert.equal(await page.locator('.steps li').count(), 1);
  assert.equal(world.planner.calls.at(-1).messages[0].content, 'read the news');
  await page.getByRole('button', { name: 'Run' }).click();
  await page.locator('.toast.shown', { hasText: 'Ran 1 step' }).waitFor();
  await page.getByRole('button', { name: 'Save as flow' }).click();
  await page.locator('.toast.shown', { hasText: 'Saved as a flow' }).waitFor();
  await page.getByRole('tab', { name: /Flows/ }).click();
  await shot(page, 'phone-dark');
});

test('the shipped pages turn with a swipe; unpairing, here or elsewhere, sends the phone back to pairing', async () => {
  await world.agent.call('/api/config', SHIPPED);
  const page = await world.paired('light');
  // A swipe to the left moves from the first page to the second.
  await page.locator('#pages').evaluate((pages) => {
    const touch = (x) => new Touch({ identifier: 1, target: pages, clientX: x, clientY: 300 });
    pages.dispatchEvent(new TouchEvent('touchstart', { touches: [touch(300)], changedTouches: [touch(300)] }));
    pages.dispatchEvent(new TouchEvent('touchend', { touches: [], changedTouches: [touch(100)] }));
  });
  await page.getByRole('tab', { name: /Controls/, selected: true }).waitFor();
  await shot(page, 'phone-light');

  await page.getByRole('button', { name: 'Settings' }).click();
  await page.getByRole('button', { name: 'Unpair this phone' }).click();
  await page.getByText('Unpaired. Enter a PIN to pair again.').waitFor();
  assert.equal(await page.evaluate(() => localStorage.getItem('tapdeck.token')), null);

  // A token revoked while the page is open: the next call (here, the volume tile reading the
  // volume as its page is shown) says so.
  await pairByPin(page, world.agent);
  const stale = await page.evaluate(() => localStorage.getItem('tapdeck.token'));
  await fetch(`${world.agent.local}/api/unpair`, { method: 'POST', headers: { 'x-td-token': stale } });
  await page.getByRole('tab', { name: /Controls/ }).click();
  await page.getByText('This phone is no longer paired. Enter the PIN again.').waitFor();
});
