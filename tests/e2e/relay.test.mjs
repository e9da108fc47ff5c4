// The phone page reached from away: a real relay on loopback with a certificate from a test CA
// that only the agent trusts (the browser is told to accept it), between Chromium and the agent.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, readFileSync, writeFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { BUILD, startAgent, startPlanner, launchBrowser, watchPolicy } from './harness.mjs';

const work = mkdtempSync(join(tmpdir(), 'tapdeck-relay-e2e-'));
let relay;
let planner;
let agent;
let browser;

// A CA, and a certificate it signs for 127.0.0.1 (as an IP address, the way clients check it).
function makeCertificates() {
  const openssl = (...args) => execFileSync('openssl', args, { cwd: work, stdio: 'pipe' });
  const ec = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes'];
  openssl('req', '-x509', ...ec, '-keyout', 'ca.key', '-out', 'ca.pem', '-days', '2', '-subj', '/CN=Tapdeck test CA',
    '-addext', 'basicConstraints=critical,CA:TRUE', '-addext', 'keyUsage=critical,keyCertSign,cRLSign');
  openssl('req', ...ec, '-keyout', 'key.pem', '-out', 'relay.csr', '-subj', '/CN=127.0.0.1');
  writeFileSync(join(work, 'relay.ext'), 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n'
    + 'keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n');
  openssl('x509', '-req', '-in', 'relay.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key', '-set_serial', '2',
    '-days', '2', '-extfile', 'relay.ext', '-out', 'cert.pem');
}

async function startRelay() {
  const child = spawn(join(BUILD, 'tapdeck-relay'), ['--listen', '127.0.0.1:0',
    '--cert', join(work, 'cert.pem'), '--key', join(work, 'key.pem')], { stdio: ['ignore', 'pipe', 'inherit'] });
  let output = '';
  const address = await new Promise((ok, fail) => {
    const timer = setTimeout(() => fail(new Error(`relay did not start: ${output}`)), 10000);
    child.once('exit', (code) => fail(new Error(`relay exited (${code}): ${output}`)));
    child.stdout.on('data', (data) => {
      output += data;
      const match = output.match(/^Relay listening on (127\.0\.0\.1:\d+) \(tls\)$/m);
      if (match) { clearTimeout(timer); ok(match[1]); }
    });
  });
  return {
    address,
    stop: async () => {
      if (child.exitCode !== null) return;
      child.kill('SIGTERM');
      await new Promise((ok) => child.once('exit', ok));
    },
  };
}

before(async () => {
  makeCertificates();
  mkdirSync(join(work, 'no-certs'));
  relay = await startRelay();
  planner = await startPlanner();
  agent = await startAgent(planner, { TD_RELAY_HOST: relay.address,
    SSL_CERT_FILE: join(work, 'ca.pem'), SSL_CERT_DIR: join(work, 'no-certs') });
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await agent?.stop();
  await relay?.stop();
  planner?.close();
  rmSync(work, { recursive: true, force: true });
});

test('a phone pairs, taps, follows changes and opens the admin page through the relay', { timeout: 90000 }, async () => {
  const { config } = await agent.call('/api/admin', undefined, 'GET');
  const tiles = [{ type: 'system', value: 'screensaver', label: 'Screen Saver', emoji: '🌌' }];
  const withTiles = (list) => ({ ...config, pages: [{ name: 'Away', icon: '🛰️', tiles: list }],
    settings: { ...config.settings, relayEnabled: true } });
  assert.equal((await agent.call('/api/config', withTiles(tiles))).ok, true);
  await agent.logged(/Relay connected/, 15000);

  const home = `https://${relay.address}/phone/${agent.relayId()}/`;
  const context = await browser.newContext({ ignoreHTTPSErrors: true, viewport: { width: 390, height: 844 }, hasTouch: true });
  const page = watchPolicy(await context.newPage());
  page.setDefaultTimeout(10000);
  const requested = [];
  page.on('request', (request) => requested.push(new URL(request.url()).pathname));

  await page.goto(home);
  for (const digit of agent.pin()) await page.getByRole('button', { name: digit, exact: true }).click();
  await page.getByRole('button', { name: 'OK' }).click();
  await page.getByRole('tab', { name: /Away/ }).waitFor();
  await page.getByRole('button', { name: /Screen Saver/ }).click();
  for (let i = 0; i < 100 && !agent.toolCalls().includes('xdg-screensaver'); i++) await page.waitForTimeout(50);
  assert.match(agent.toolCalls(), /xdg-screensaver activate/);

  // One token per computer behind the relay, none under the agent's own key.
  const stored = await page.evaluate((key) => [localStorage.getItem(key), localStorage.getItem('tapdeck.token')],
    `tapdeck.token:/phone/${agent.relayId()}/`);
  assert.equal(stored[0]?.length, 48);
  assert.equal(stored[1], null);

  // No event stream comes through the relay: the page asks again on coming to the foreground.
  await agent.call('/api/config', withTiles([...tiles, { type: 'media', value: 'next', label: 'Next', emoji: '⏭️' }]));
  await page.evaluate(() => document.dispatchEvent(new Event('visibilitychange')));
  await page.getByRole('button', { name: /Next/ }).waitFor();
  assert.ok(requested.every((path) => path.startsWith(`/phone/${agent.relayId()}/`)), requested.join(' '));
  assert.ok(!requested.some((path) => path.endsWith('/api/events')));

  // Bytes that are not text arrive whole.
  const png = await context.request.get(`${home}icon-192.png`);
  assert.equal(png.headers()['content-type'], 'image/png');
  assert.deepEqual(await png.body(), readFileSync(new URL('../../public/icon-192.png', import.meta.url)));

  // The admin page, with the same token, shows the relay's phone page as the link to give out.
  await page.getByRole('button', { name: 'Settings' }).click();
  await page.getByRole('link', { name: 'Edit pages and tiles' }).click();
  await page.locator('#pin').filter({ hasText: agent.pin() }).waitFor();
  assert.equal(await page.locator('#relay-url').textContent(), home);
  await context.close();
});
