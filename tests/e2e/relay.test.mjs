// The phone page reached from away: a real relay on loopback that gives each computer an origin of
// its own (https://ID.relay.test:PORT/), with a wildcard certificate from a test CA that the agents
// and the browser trust, between Chromium and two agents.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, execFileSync } from 'node:child_process';
import { mkdtempSync, mkdirSync, readFileSync, writeFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { BUILD, startAgent, startPlanner, launchBrowser, watchPolicy } from './harness.mjs';

const work = mkdtempSync(join(tmpdir(), 'tapdeck-relay-e2e-'));
let relay;
let planner;
let agents;
let browser;

// A CA, and a certificate it signs for the relay's name, every computer's name under it, and
// 127.0.0.1 (where the agents reach it). Its key's hash, for Chromium to trust it.
function makeCertificates() {
  const openssl = (...args) => execFileSync('openssl', args, { cwd: work, stdio: 'pipe' });
  const ec = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes'];
  openssl('req', '-x509', ...ec, '-keyout', 'ca.key', '-out', 'ca.pem', '-days', '2', '-subj', '/CN=Tapdeck test CA',
    '-addext', 'basicConstraints=critical,CA:TRUE', '-addext', 'keyUsage=critical,keyCertSign,cRLSign');
  openssl('req', ...ec, '-keyout', 'key.pem', '-out', 'relay.csr', '-subj', '/CN=relay.test');
  writeFileSync(join(work, 'relay.ext'), 'subjectAltName=DNS:relay.test,DNS:*.relay.test,IP:127.0.0.1\n'
    + 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n');
  openssl('x509', '-req', '-in', 'relay.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key', '-set_serial', '2',
    '-days', '2', '-extfile', 'relay.ext', '-out', 'cert.pem');
  const spki = execFileSync('sh', ['-c', 'openssl x509 -in cert.pem -pubkey -noout | openssl pkey -pubin -outform der '
    + '| openssl dgst -sha256 -binary | base64'], { cwd: work }).toString().trim();
  return spki;
}

async function freePort() {
  const server = createServer();
  await new Promise((ok) => server.listen(0, '127.0.0.1', ok));
  const { port } = server.address();
  await new Promise((ok) => server.close(ok));
  return port;
}

async function startRelay(port) {
  const child = spawn(join(BUILD, 'tapdeck-relay'), ['--listen', `127.0.0.1:${port}`, '--phone-domain',
    `relay.test:${port}`, '--name', `127.0.0.1:${port}`, '--cert', join(work, 'cert.pem'), '--key', join(work, 'key.pem')],
  { stdio: ['ignore', 'pipe', 'inherit'] });
  let output = '';
  await new Promise((ok, fail) => {
    const timer = setTimeout(() => fail(new Error(`relay did not start: ${output}`)), 10000);
    child.once('exit', (code) => fail(new Error(`relay exited (${code}): ${output}`)));
    child.stdout.on('data', (data) => {
      output += data;
      if (/^Relay listening on 127\.0\.0\.1:\d+ \(tls\)$/m.test(output)) { clearTimeout(timer); ok(); }
    });
  });
  return {
    address: `127.0.0.1:${port}`,
    home: (agent) => `https://${agent.relayId()}.relay.test:${port}/`,
    stop: async () => {
      if (child.exitCode !== null) return;
      child.kill('SIGTERM');
      await new Promise((ok) => child.once('exit', ok));
    },
  };
}

before(async () => {
  const spki = makeCertificates();
  mkdirSync(join(work, 'no-certs'));
  relay = await startRelay(await freePort());
  planner = await startPlanner();
  const env = { TD_RELAY_HOST: relay.address, SSL_CERT_FILE: join(work, 'ca.pem'), SSL_CERT_DIR: join(work, 'no-certs') };
  agents = [await startAgent(planner, env), await startAgent(planner, env)];
  browser = await launchBrowser(['--host-resolver-rules=MAP *.relay.test 127.0.0.1, MAP relay.test 127.0.0.1',
    `--ignore-certificate-errors-spki-list=${spki}`]);
});

after(async () => {
  await browser?.close();
  for (const agent of agents ?? []) await agent.stop();
  await relay?.stop();
  planner?.close();
  rmSync(work, { recursive: true, force: true });
});

async function relayOn(agent, tiles) {
  const { config } = await agent.call('/api/admin', undefined, 'GET');
  const withTiles = { ...config, pages: [{ name: 'Away', icon: '🛰️', tiles }], settings: { ...config.settings, relayEnabled: true } };
  assert.equal((await agent.call('/api/config', withTiles)).ok, true);
  return withTiles;
}

// Chromium, just started in the test's own network, may report the network as changed and drop
// a first navigation: that one is asked again.
async function visit(page, url) {
  for (let attempt = 1; ; attempt++) {
    try {
      return await page.goto(url);
    } catch (error) {
      if (attempt === 3 || !/ERR_NETWORK_CHANGED/.test(error.message)) throw error;
    }
  }
}

async function pairAt(page, home, agent) {
  await visit(page, home);
  for (const digit of agent.pin()) await page.getByRole('button', { name: digit, exact: true }).click();
  await page.getByRole('button', { name: 'OK' }).click();
  await page.getByRole('tab', { name: /Away/ }).waitFor();
}

test('a phone pairs, taps, follows changes and opens the admin page at its computer\'s own origin', { timeout: 90000 }, async () => {
  const [agent] = agents;
  const tiles = [{ type: 'system', value: 'screensaver', label: 'Screen Saver', emoji: '🌌' }];
  const config = await relayOn(agent, tiles);
  await agent.logged(/Relay connected/, 15000);

  const home = relay.home(agent);
  const context = await browser.newContext({ viewport: { width: 390, height: 844 }, hasTouch: true });
  const page = watchPolicy(await context.newPage());
  page.setDefaultTimeout(10000);
  // The old address, on the relay's own name, leads to the computer's origin.
  await visit(page, `https://relay.test:${new URL(home).port}/phone/${agent.relayId()}/`);
  assert.equal(page.url(), home);
  const requested = [];
  page.on('request', (request) => requested.push(request.url()));

  await pairAt(page, home, agent);
  await page.getByRole('button', { name: /Screen Saver/ }).click();
  for (let i = 0; i < 100 && !agent.toolCalls().includes('xdg-screensaver'); i++) await page.waitForTimeout(50);
  assert.match(agent.toolCalls(), /xdg-screensaver activate/);

  // No event stream comes through the relay: the page asks again on coming to the foreground.
  await agent.call('/api/config', { ...config, pages: [{ ...config.pages[0], tiles: [...tiles,
    { type: 'media', value: 'next', label: 'Next', emoji: '⏭️' }] }] });
  await page.evaluate(() => document.dispatchEvent(new Event('visibilitychange')));
  await page.getByRole('button', { name: /Next/ }).waitFor();
  assert.ok(requested.every((url) => url.startsWith(home)), requested.join(' '));
  assert.ok(!requested.some((url) => url.endsWith('/api/events')));

  // Bytes that are not text arrive whole.
  const png = await page.evaluate(async (url) => {
    const answer = await fetch(url);
    return { type: answer.headers.get('content-type'), bytes: [...new Uint8Array(await answer.arrayBuffer())] };
  }, `${home}icon-192.png`);
  assert.equal(png.type, 'image/png');
  assert.deepEqual(Buffer.from(png.bytes), readFileSync(new URL('../../public/icon-192.png', import.meta.url)));

  // The admin page, with the same token, gives out the computer's own address.
  await page.getByRole('button', { name: 'Settings' }).click();
  await page.getByRole('link', { name: 'Edit pages and tiles' }).click();
  await page.locator('#pin').filter({ hasText: agent.pin() }).waitFor();
  assert.equal(await page.locator('#relay-url').textContent(), home);
  await context.close();
});

test('two computers behind one relay keep their tokens apart, and the installed page opens while its computer is away', { timeout: 90000 }, async () => {
  const [first, second] = agents;
  await relayOn(second, [{ type: 'system', value: 'screensaver', label: 'Screen Saver', emoji: '🌌' }]);
  await second.logged(/Relay connected/, 15000);
  const context = await browser.newContext({ viewport: { width: 390, height: 844 }, hasTouch: true });
  const pages = [];
  for (const agent of [first, second]) {
    const page = watchPolicy(await context.newPage());
    page.setDefaultTimeout(10000);
    await pairAt(page, relay.home(agent), agent);
    pages.push(page);
  }
  const tokens = await Promise.all(pages.map((page) => page.evaluate(() => ({ ...localStorage }))));
  assert.deepEqual(Object.keys(tokens[0]), ['tapdeck.token']);
  assert.deepEqual(Object.keys(tokens[1]), ['tapdeck.token']);
  assert.notEqual(tokens[0]['tapdeck.token'], tokens[1]['tapdeck.token']);
  // A page of one computer cannot reach into the other's storage.
  const reach = await pages[0].evaluate(async (other) => {
    const frame = document.createElement('iframe');
    frame.src = other;
    document.body.append(frame);
    await new Promise((ok) => { frame.onload = ok; setTimeout(ok, 3000); });
    try { return frame.contentWindow.localStorage.getItem('tapdeck.token'); } catch (error) { return error.name; }
  }, relay.home(second));
  assert.notEqual(reach, tokens[1]['tapdeck.token']);

  // Installed: the shell was kept; with the computer away, the page still opens and says so.
  await pages[1].evaluate(() => navigator.serviceWorker.ready);
  await pages[1].reload();
  await pages[1].evaluate(() => navigator.serviceWorker.ready);
  await second.stop();
  await pages[1].reload();
  await pages[1].getByRole('heading', { name: 'Cannot reach your computer' }).waitFor();
  await context.close();
});
