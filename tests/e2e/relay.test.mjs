// The phone page reached from away: a real relay on loopback that gives each computer an origin of
// its own (https://ID.relay.test:PORT/), with a wildcard certificate that the agents and the
// browser trust, between Chromium and two agents.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { BUILD, setUp, run, pairByPin, visit, selfSignedCertificate, freePort } from './harness.mjs';

const SCREENSAVER = { type: 'system', value: 'screensaver', label: 'Screen Saver', emoji: '🌌' };

let port;
const home = (agent) => `https://${agent.relayId()}.relay.test:${port}/`;
const world = setUp(async ({ atEnd }) => {
  const work = mkdtempSync(join(tmpdir(), 'tapdeck-relay-e2e-'));
  atEnd(() => rmSync(work, { recursive: true, force: true }));
  // The relay's name, every computer's name under it, and 127.0.0.1 (where the agents reach
  // it), the agents' only authority.
  const spki = selfSignedCertificate(work, 'relay', 'DNS:relay.test,DNS:*.relay.test,IP:127.0.0.1');
  port = await freePort();
  const relay = run(join(BUILD, 'tapdeck-relay'), ['--listen', `127.0.0.1:${port}`, '--phone-domain', `relay.test:${port}`,
    '--name', `127.0.0.1:${port}`, '--cert', join(work, 'relay.pem'), '--key', join(work, 'relay-key.pem')]);
  atEnd(relay.stop);
  await relay.waitFor(/^Relay listening on 127\.0\.0\.1:\d+ \(tls\)$/m);
  return { agents: 2,
    env: { TD_RELAY_HOST: `127.0.0.1:${port}`, SSL_CERT_FILE: join(work, 'relay.pem'), SSL_CERT_DIR: join(work, 'no-certs') },
    browserArgs: ['--host-resolver-rules=MAP *.relay.test 127.0.0.1, MAP relay.test 127.0.0.1',
      `--ignore-certificate-errors-spki-list=${spki}`] };
});

// Turns the relay on with one page of `tiles`, and waits for the agent to be connected.
async function relayOn(agent, tiles) {
  const { config } = await agent.call('/api/admin', undefined, 'GET');
  const withTiles = { ...config, pages: [{ name: 'Away', icon: '🛰️', tiles }], settings: { ...config.settings, relayEnabled: true } };
  assert.equal((await agent.call('/api/config', withTiles)).ok, true);
  await agent.logged(/Relay connected/);
}

// The relay passing bytes that are not text whole is RelayTest.RelayedRequestsAreAnsweredByTheAgentAsARemotePhonesAre's.
test('a phone pairs, taps, follows changes and opens the admin page at its computer\'s own origin', { timeout: 90000 }, async () => {
  const [agent] = world.agents;
  await relayOn(agent, [SCREENSAVER]);
  const page = await world.phone();
  // The old address, on the relay's own name, leads to the computer's origin.
  await visit(page, `https://relay.test:${port}/phone/${agent.relayId()}/`);
  assert.equal(page.url(), home(agent));
  const requested = [];
  page.on('request', (request) => requested.push(request.url()));

  await pairByPin(page, agent, home(agent));
  await page.getByRole('button', { name: /Screen Saver/ }).click();
  await agent.called(/xdg-screensaver activate/);

  // No event stream comes through a relay that reads requests: the page asks for one once, hears
  // at once that there is none, and asks again on coming to the foreground.
  await relayOn(agent, [SCREENSAVER, { type: 'media', value: 'next', label: 'Next', emoji: '⏭️' }]);
  await page.evaluate(() => document.dispatchEvent(new Event('visibilitychange')));
  await page.getByRole('button', { name: /Next/ }).waitFor();
  assert.ok(requested.every((url) => url.startsWith(home(agent))), requested.join(' '));
  assert.ok(requested.filter((url) => url.endsWith('/api/events')).length <= 1, requested.join(' '));

  // The admin page, with the same token, gives out the computer's own address, but not its PIN.
  await page.getByRole('button', { name: 'Settings' }).click();
  await page.getByRole('link', { name: 'Edit pages and tiles' }).click();
  await page.locator('#pin').filter({ hasText: 'shown on the computer' }).waitFor();
  assert.ok(await page.locator('#pin-form').isHidden());
  assert.equal(await page.locator('#relay-url').textContent(), home(agent));
});

test('two computers behind one relay keep their tokens apart, and the installed page opens while its computer is away', { timeout: 90000 }, async () => {
  const [first, second] = world.agents;
  await relayOn(second, [SCREENSAVER]);
  // Both in one browser profile, as on one phone: each origin keeps its own token only (one origin
  // for both would have kept the second alone).
  const pages = [await world.phone()];
  pages.push(await pages[0].context().newPage());
  await pairByPin(pages[0], first, home(first));
  await pairByPin(pages[1], second, home(second));
  const tokens = await Promise.all(pages.map((page) => page.evaluate(() => ({ ...localStorage }))));
  assert.deepEqual(tokens.map(Object.keys), [['tapdeck.token'], ['tapdeck.token']]);
  assert.notEqual(tokens[0]['tapdeck.token'], tokens[1]['tapdeck.token']);

  // Installed: the shell was kept; with the computer away, the page still opens and says so.
  await pages[1].evaluate(() => navigator.serviceWorker.ready);
  await second.stop();
  await pages[1].reload();
  await pages[1].getByRole('heading', { name: 'Cannot reach your computer' }).waitFor();
});
