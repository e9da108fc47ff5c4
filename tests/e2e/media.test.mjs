// The media tile shows what the computer plays, and follows it as it changes.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { startAgent, startPlanner, startPlayer, launchBrowser, phonePage, pairByPin, shot, ROOT } from './harness.mjs';

let planner;
let player;
let agent;
let browser;

const track = (title, artist, art = '') => `<{'xesam:title': <'${title}'>, 'xesam:artist': <['${artist}']>, 'mpris:artUrl': <'${art}'>}>`;

before(async () => {
  planner = await startPlanner();
  player = await startPlayer('e2e', `{'PlaybackStatus': <'Playing'>, 'Metadata': ${track('First Song', 'Ann')}}`);
  agent = await startAgent(planner, { DBUS_SESSION_BUS_ADDRESS: player.address });
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await agent?.stop();
  player?.stop();
  planner?.close();
});

test('the media tile shows the track, changes when the player does and offers its keys when held', async () => {
  await agent.call('/api/config', { pages: [{ name: 'Media', icon: '🎵', tiles: [
    { type: 'media', value: 'playpause', label: 'Play' },
    { type: 'media', value: 'next', label: 'Next' },
    { type: 'volume', label: 'Volume' },
  ] }], settings: { columns: 2, iconScale: 1.12, labels: true } });
  for (const scheme of ['light', 'dark']) {
    await player.set('Metadata', track('First Song', 'Ann'));
    await player.set('PlaybackStatus', "<'Playing'>");
    const page = await phonePage(browser, scheme);
    await pairByPin(page, agent);
    const tile = page.locator('.tile-media').first();
    await tile.getByText('First Song').waitFor();
    assert.equal(await tile.getAttribute('data-status'), 'Playing');
    const art = `file://${join(ROOT, 'public', 'icon-512.png')}`;
    await player.set('Metadata', track(`Second Song ${scheme}`, 'Bo', art));
    await tile.getByText(`Second Song ${scheme}`).waitFor();
    await tile.locator('img.media-art:not([hidden])').waitFor();
    await player.set('PlaybackStatus', "<'Paused'>");
    await page.locator('.tile-media[data-status="Paused"]').first().waitFor();
    await shot(page, `media-${scheme}`);
    // Held, it offers the player's keys.
    await tile.hover();
    await page.mouse.down();
    await page.locator('.media-sheet').waitFor();
    await page.mouse.up();
    const skips = await player.calls('Next');
    await page.locator('.media-sheet').getByRole('button', { name: 'Next', exact: true }).click();
    for (const end = Date.now() + 5000; await player.calls('Next') === skips;) assert.ok(Date.now() < end);
    await page.context().close();
  }
});
