// The phone page through a relay that passes connections unread: the computer ends the phone's
// TLS with its own certificate (https://ID.relay.test:PORT/), so the event stream and the
// touchpad's socket work as on the LAN, and the relay holds no key for that name.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdirSync, mkdtempSync, rmSync, copyFileSync, chmodSync } from 'node:fs';
import { connect } from 'node:tls';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { BUILD, setUp, run, pairByPin, until, selfSignedCertificate, freePort } from './harness.mjs';

const SCREENSAVER = { type: 'system', value: 'screensaver', label: 'Screen Saver', emoji: '🌌' };

let port;
let work;
const home = (agent) => `https://${agent.relayId()}.relay.test:${port}/`;
const world = setUp(async ({ atEnd }) => {
  work = mkdtempSync(join(tmpdir(), 'tapdeck-passthrough-e2e-'));
  atEnd(() => rmSync(work, { recursive: true, force: true }));
  // The relay's names (its own and the agents'), never a computer's; and the computers' own.
  const relaySpki = selfSignedCertificate(work, 'relay', 'DNS:relay.test,DNS:*.t.relay.test,IP:127.0.0.1');
  const computerSpki = selfSignedCertificate(work, 'computer', 'DNS:*.relay.test');
  port = await freePort();
  const relay = run(join(BUILD, 'tapdeck-relay'), ['--listen', `127.0.0.1:${port}`, '--passthrough',
    '--phone-domain', `relay.test:${port}`, '--cert', join(work, 'relay.pem'), '--key', join(work, 'relay-key.pem')]);
  atEnd(relay.stop);
  await relay.waitFor(/^Relay listening on 127\.0\.0\.1:\d+ \(tls\)$/m);
  return {
    env: { TD_RELAY_HOST: `relay.test:${port}`, TD_RELAY_CONNECT: `127.0.0.1:${port}`,
      SSL_CERT_FILE: join(work, 'relay.pem'), SSL_CERT_DIR: join(work, 'no-certs') },
    browserArgs: ['--host-resolver-rules=MAP *.relay.test 127.0.0.1, MAP relay.test 127.0.0.1',
      `--ignore-certificate-errors-spki-list=${relaySpki},${computerSpki}`] };
});

// Gives the computer its certificate (as ACME would), turns the relay on with `tiles`.
async function relayOn(agent, tiles) {
  const { shortcuts } = await agent.call('/api/capabilities', undefined, 'GET');
  const tls = join(dirname(shortcuts.folder), 'tls');
  mkdirSync(tls, { recursive: true, mode: 0o700 });
  for (const [from, to] of [['computer.pem', 'cert.pem'], ['computer-key.pem', 'key.pem']]) {
    copyFileSync(join(work, from), join(tls, to));
    chmodSync(join(tls, to), 0o600);
  }
  const { config } = await agent.call('/api/admin', undefined, 'GET');
  const withTiles = { ...config, pages: [{ name: 'Away', icon: '🛰️', tiles }], settings: { ...config.settings, relayEnabled: true } };
  assert.equal((await agent.call('/api/config', withTiles)).ok, true);
}

// The certificate a phone is shown for `name` through the relay: its subject's CN.
function presented(name) {
  return new Promise((resolve) => {
    const socket = connect({ host: '127.0.0.1', port, servername: name, rejectUnauthorized: false }, () => {
      resolve(socket.getPeerCertificate().subject?.CN ?? '');
      socket.end();
    });
    socket.on('error', () => resolve(''));
  });
}

test('through a relay that passes connections unread the page follows changes live, with the computer\'s own certificate', { timeout: 90000 }, async () => {
  const { agent } = world;
  await relayOn(agent, [SCREENSAVER]);
  // Told that this relay passes connections, the agent moves to its own name on it (ID.t.DOMAIN).
  await agent.logged(/Relay connected[\s\S]*Relay connected/);
  const name = `${agent.relayId()}.relay.test`;
  await until(async () => (await presented(name)) === 'computer', 'the computer reachable through the relay', 20000);
  assert.equal(await presented(`relay.test`), 'relay');

  const page = await world.phone();
  const requested = [];
  page.on('request', (request) => requested.push(request.url()));
  await pairByPin(page, agent, home(agent));
  await page.getByRole('button', { name: /Screen Saver/ }).click();
  await agent.called(/xdg-screensaver activate/);

  // A change on the computer reaches the page by its event stream: no coming to the foreground.
  await until(() => requested.some((url) => url.endsWith('/api/events')), 'the event stream');
  await relayOn(agent, [SCREENSAVER, { type: 'media', value: 'next', label: 'Next', emoji: '⏭️' }]);
  await page.getByRole('button', { name: /Next/ }).waitFor({ timeout: 10000 });
  assert.ok(requested.every((url) => url.startsWith(home(agent))), requested.join(' '));
});
