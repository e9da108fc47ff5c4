// The media tile shows what the computer plays, and follows it as it changes.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { join } from 'node:path';
import { setUp, startPlayer, shot, until, ROOT } from './harness.mjs';

const track = (title, artist, art = '') => `<{'xesam:title': <'${title}'>, 'xesam:artist': <['${artist}']>, 'mpris:artUrl': <'${art}'>}>`;
const world = setUp(async (w) => {
  w.player = await startPlayer(w.atEnd, 'e2e', `{'PlaybackStatus': <'Playing'>, 'Metadata': ${track('First Song', 'Ann')}}`);
  return { env: { DBUS_SESSION_BUS_ADDRESS: w.player.address } };
});

test('the media tile shows the track, changes when the player does and offers its keys when held', async () => {
  const { agent, player } = world;
  await agent.call('/api/config', { pages: [{ name: 'Media', icon: '🎵', tiles: [{ type: 'media', value: 'playpause', label: 'Play' },
    { type: 'media', value: 'next', label: 'Next' }, { type: 'volume', label: 'Volume' }] }],
  settings: { columns: 2, iconScale: 1.12, labels: true } });
  for (const scheme of ['light', 'dark']) {
    await player.set('Metadata', track('First Song', 'Ann'));
    await player.set('PlaybackStatus', "<'Playing'>");
    const page = await world.paired(scheme);
    const tile = page.locator('.tile-media').first();
    await tile.getByText('First Song').waitFor();
    assert.equal(await tile.getAttribute('data-status'), 'Playing');
    await player.set('Metadata', track(`Second Song ${scheme}`, 'Bo', `file://${join(ROOT, 'public', 'icon-512.png')}`));
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
    await until(async () => await player.calls('Next') > skips, 'the player was told Next');
  }
});
