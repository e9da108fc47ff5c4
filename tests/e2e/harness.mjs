// Starts a real agent on loopback with a temp support folder, a mock of the Messages API and
// stand-ins for the tools that must not really run (suspend), and Debian's Chromium.
import { after, afterEach, before } from 'node:test';
import assert from 'node:assert/strict';
import { execFile, execFileSync, spawn } from 'node:child_process';
import { createHash, X509Certificate } from 'node:crypto';
import { once } from 'node:events';
import { mkdtempSync, writeFileSync, rmSync, readFileSync, existsSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';
import { chromium } from 'playwright-core';

export const ROOT = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
export const BUILD = process.env.TD_BUILD_DIR || join(ROOT, 'build');
export const SHIPPED = JSON.parse(readFileSync(join(ROOT, 'resources/config.json'), 'utf8'));

// Waits, at most `ms`, for `check` to give something: for what happens outside the browser (a
// program's output, a tool called, a player told), which no page event announces.
export async function until(check, what, ms = 10000) {
  for (const end = Date.now() + ms; ; await new Promise((ok) => setTimeout(ok, 20))) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`never ${typeof what === 'function' ? what() : what}`);
  }
}

// A program and what it printed; `waitFor` gives the first match of `pattern` printed from `from` on.
export function run(command, args, options = {}) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'inherit'], ...options });
  let output = '';
  child.stdout.on('data', (data) => { output += data; });
  return {
    child,
    output: () => output,
    waitFor: (pattern, from = 0, ms = 10000) => until(() => output.slice(from).match(pattern),
      () => `${command} printed ${pattern}: ${output.slice(from)}`, ms),
    // Ends the program, if it still runs, and waits for it to go.
    stop: async () => { if (child.exitCode === null && child.signalCode === null && child.kill()) await once(child, 'exit'); },
  };
}

// Each start* function below hands its stop to `atEnd`, to run once the file's tests are over.

// A mock of the Messages API: answers every plan with the steps given to `reply`.
export async function startPlanner(atEnd) {
  const calls = [];
  let steps = [];
  const server = createServer(async (req, res) => {
    let body = '';
    for await (const chunk of req) body += chunk;
    calls.push(JSON.parse(body || '{}'));
    res.setHeader('content-type', 'application/json');
    res.end(JSON.stringify({ content: [{ type: 'text', text: `Here:\n${JSON.stringify({ steps })}` }] }));
  });
  await new Promise((ok) => server.listen(0, '127.0.0.1', ok));
  atEnd(() => server.close());
  return { url: `http://127.0.0.1:${server.address().port}`, calls, reply: (s) => { steps = s; } };
}

export async function startAgent(atEnd, planner, extraEnv = {}) {
  const work = mkdtempSync(join(tmpdir(), 'tapdeck-e2e-'));
  const log = join(work, 'tools.log');
  for (const tool of ['systemctl', 'xdg-screensaver', 'wl-copy']) {
    writeFileSync(join(work, tool), `#!/bin/sh\necho "${tool} $*" >> "${log}"\ncat >/dev/null 2>&1 || true\n`, { mode: 0o755 });
  }
  // A Wayland desktop that lets no program send keys (the stock case the phone must explain),
  // unless the test brings an X server; no sound server to find, and no session bus unless the
  // test brings one.
  const env = { ...process.env, TD_PORT: '0', TD_SUPPORT: join(work, 'support'),
    TD_UPDATE_URL: 'http://127.0.0.1:1/latest.json', PATH: `${work}:${process.env.PATH}`,
    ANTHROPIC_API_KEY: 'sk-e2e', ANTHROPIC_BASE_URL: planner.url, PULSE_SERVER: `unix:${join(work, 'no-pulse')}`,
    DBUS_SESSION_BUS_ADDRESS: `unix:path=${join(work, 'no-bus')}`, WAYLAND_DISPLAY: join(work, 'no-compositor'), ...extraEnv };
  delete env[extraEnv.DISPLAY ? 'WAYLAND_DISPLAY' : 'DISPLAY'];
  const agent = run(join(BUILD, 'tapdeck'), ['--headless'], { env });
  const stop = async () => {
    await agent.stop();
    rmSync(work, { recursive: true, force: true });
  };
  atEnd(stop);
  const port = Number((await agent.waitFor(/Listening on port (\d+)/))[1]);
  const state = () => JSON.parse(readFileSync(join(work, 'support', 'state.json'), 'utf8'));
  const toolCalls = () => (existsSync(log) ? readFileSync(log, 'utf8') : '');
  return {
    stop,
    port,
    local: `http://127.0.0.1:${port}`,
    // 127.0.0.2 is not "this computer" to the agent: pages opened there are a phone's.
    phone: `http://127.0.0.2:${port}`,
    pin: () => state().pin,
    relayId: () => state().relayId,
    logged: (pattern) => agent.waitFor(pattern, 0, 15000),
    called: (pattern) => until(() => pattern.test(toolCalls()), () => `called ${pattern}: ${toolCalls()}`),
    // From this computer (loopback, no token), as the control panel calls it.
    call: async (path, body, method = 'POST') => (await fetch(`http://127.0.0.1:${port}${path}`, {
      method, body: body === undefined ? undefined : JSON.stringify(body) })).json(),
  };
}

// A self-signed certificate for `names` (openssl's subjectAltName form) as NAME.pem and
// NAME-key.pem in `folder`, and its key's hash, for Chromium to trust it.
export function selfSignedCertificate(folder, name, names) {
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes', '-days', '2',
    '-keyout', `${name}-key.pem`, '-out', `${name}.pem`, '-subj', `/CN=${name}`,
    '-addext', `subjectAltName=${names}`], { cwd: folder, stdio: 'pipe' });
  const key = new X509Certificate(readFileSync(join(folder, `${name}.pem`))).publicKey.export({ type: 'spki', format: 'der' });
  return createHash('sha256').update(key).digest('base64');
}

// A port nothing listens on now (a relay must know its port before it starts: it is part of
// every computer's origin).
export async function freePort() {
  const server = createServer();
  await new Promise((ok) => server.listen(0, '127.0.0.1', ok));
  const { port } = server.address();
  await new Promise((ok) => server.close(ok));
  return port;
}

// An X server of its own (Xvfb) and, over its whole screen, a window that prints what the
// pointer and the keyboard do to it ("motion X Y", "button N press").
export async function startDisplay(atEnd) {
  const xvfb = run('Xvfb', ['-displayfd', '1', '-screen', '0', '1280x800x24', '-nolisten', 'tcp'], { stdio: ['ignore', 'pipe', 'ignore'] });
  const display = `:${(await xvfb.waitFor(/^(\d+)\n/))[1]}`;
  const observer = run(join(ROOT, 'tests/host/helpers/key_observer.sh'), [], { env: { ...process.env, DISPLAY: display } });
  atEnd(async () => { await observer.stop(); await xvfb.stop(); });
  await observer.waitFor(/ready\n/);
  return { display, observer };
}

// A session bus of its own, with a media player on it (python3-dbusmock) that `set` changes
// as a real player does, one property at a time; `calls` counts a method's calls.
export async function startPlayer(atEnd, name, properties) {
  // No services to start on demand: a desktop's portal would come up and fail without one.
  const config = join(mkdtempSync(join(tmpdir(), 'tapdeck-bus-')), 'bus.conf');
  writeFileSync(config, '<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>'
    + '<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>'
    + '<allow own="*"/></policy></busconfig>');
  const bus = run('dbus-daemon', [`--config-file=${config}`, '--nofork', '--print-address=1'], { stdio: ['ignore', 'pipe', 'ignore'] });
  const address = (await bus.waitFor(/^(unix:\S+)/m))[1];
  const busName = `org.mpris.MediaPlayer2.${name}`;
  const mock = run('/usr/bin/python3', ['-m', 'dbusmock', busName, '/org/mpris/MediaPlayer2', 'org.mpris.MediaPlayer2.Player'],
    { env: { ...process.env, DBUS_SESSION_BUS_ADDRESS: address } });
  atEnd(async () => { await mock.stop(); await bus.stop(); });
  // Asked again while the player is still claiming its name.
  const gdbus = (method, ...args) => until(() => promisify(execFile)('gdbus', ['call', '--address', address, '--dest', busName,
    '--object-path', '/org/mpris/MediaPlayer2', '--method', method, ...args]).then(({ stdout }) => stdout, () => ''), `gdbus ${method}`);
  await gdbus('org.freedesktop.DBus.Mock.AddProperties', 'org.mpris.MediaPlayer2.Player', properties);
  await gdbus('org.freedesktop.DBus.Mock.AddProperties', 'org.mpris.MediaPlayer2', "{'Identity': <'Test Player'>}");
  await gdbus('org.freedesktop.DBus.Mock.AddMethods', 'org.mpris.MediaPlayer2.Player',
    "[('PlayPause', '', '', ''), ('Next', '', '', ''), ('Previous', '', '', '')]");
  return {
    address,
    set: (property, value) => gdbus('org.freedesktop.DBus.Properties.Set', 'org.mpris.MediaPlayer2.Player', property, value),
    // gdbus names the type of the first call's time only: "[(uint64 5, @av []), (6, [])]".
    calls: async (method) => (await gdbus('org.freedesktop.DBus.Mock.GetMethodCalls', method)).match(/\((uint64 )?\d+,/g)?.length ?? 0,
  };
}

// Chromium, just started in the test's own network, may report the network as changed and drop
// a first navigation, or a script it needs (the page then never starts): that one is asked again.
export async function visit(page, url) {
  for (let attempt = 1; ; attempt++) {
    const dropped = [];
    const onFailed = (request) => { if (/ERR_NETWORK_CHANGED/.test(request.failure()?.errorText ?? '')) dropped.push(request.url()); };
    page.on('requestfailed', onFailed);
    try {
      const response = await page.goto(url);
      if (!dropped.length || attempt === 3) return response;
    } catch (error) {
      if (attempt === 3 || !/ERR_NETWORK_CHANGED/.test(error.message)) throw error;
    } finally {
      page.off('requestfailed', onFailed);
    }
  }
}

export async function enterPin(page, pin) {
  for (const digit of pin) await page.getByRole('button', { name: digit, exact: true }).click();
  await page.getByRole('button', { name: 'OK' }).click();
}

export async function pairByPin(page, agent, home = agent.phone) {
  await visit(page, home);
  await enterPin(page, agent.pin());
  await page.locator('#deck').waitFor();
  await page.locator('#tabs [role="tab"]').first().waitFor();  // the deck is drawn
}

// Debian's Chromium.
export const launchBrowser = (args = []) => chromium.launch({ executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', ...args] });

export const shot = (page, name) => page.screenshot({ path: join(BUILD, 'e2e-shots', `${name}.png`) });

// Before a file's tests: the planner, what `prepare` starts (it may give the agents' `env`, how
// many `agents` and the browser's `browserArgs`), the agents and Chromium. After each test its
// pages are closed; after the file the rest is, and no page may have needed anything the agent's
// content security policy refuses.
export function setUp(prepare = async () => ({})) {
  const stops = [];
  const refused = [];
  const world = { agents: [], atEnd: (stop) => stops.push(stop) };
  // A page in a browser profile of its own.
  world.page = async (options) => {
    const context = await world.browser.newContext(options);
    context.on('console', (message) => { if (/Content Security Policy/i.test(message.text())) refused.push(message.text()); });
    return context.newPage();
  };
  const phoneSized = { viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, hasTouch: true };
  world.phone = (colorScheme = 'light') => world.page({ ...phoneSized, colorScheme });
  world.paired = async (colorScheme, agent = world.agent) => {
    const page = await world.phone(colorScheme);
    await pairByPin(page, agent);
    return page;
  };
  before(async () => {
    world.planner = await startPlanner(world.atEnd);
    const { env = {}, agents = 1, browserArgs = [] } = await prepare(world);
    for (let i = 0; i < agents; i++) world.agents.push(await startAgent(world.atEnd, world.planner, env));
    [world.agent] = world.agents;
    world.browser = await launchBrowser(browserArgs);
    world.atEnd(() => world.browser.close());
  });
  afterEach(() => Promise.all(world.browser.contexts().map((context) => context.close())));
  after(async () => {
    for (const stop of stops.reverse()) await stop();
    assert.deepEqual(refused, [], 'what the content security policy refused');
  });
  return world;
}
