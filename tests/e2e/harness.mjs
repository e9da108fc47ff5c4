// Starts a real agent on loopback with a temp support folder, a mock of the Messages API and
// stand-ins for the tools that must not really run (suspend), and Debian's Chromium.
import { spawn } from 'node:child_process';
import { mkdtempSync, writeFileSync, chmodSync, mkdirSync, rmSync, readFileSync, existsSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const ROOT = resolve(dirname(fileURLToPath(import.meta.url)), '../..');
export const BUILD = process.env.TD_BUILD_DIR || join(ROOT, 'build');
export const SHOTS = join(BUILD, 'e2e-shots');

// A mock of the Messages API: answers every plan with the steps given to `reply`.
export async function startPlanner() {
  const calls = [];
  let steps = [];
  const server = createServer((req, res) => {
    let body = '';
    req.on('data', (chunk) => { body += chunk; });
    req.on('end', () => {
      calls.push({ headers: req.headers, body: JSON.parse(body || '{}') });
      res.setHeader('content-type', 'application/json');
      res.end(JSON.stringify({ content: [{ type: 'text', text: `Here:\n${JSON.stringify({ steps })}` }] }));
    });
  });
  await new Promise((ok) => server.listen(0, '127.0.0.1', ok));
  return { url: `http://127.0.0.1:${server.address().port}`, calls, reply: (s) => { steps = s; }, close: () => server.close() };
}

export async function startAgent(planner, extraEnv = {}) {
  const work = mkdtempSync(join(tmpdir(), 'tapdeck-e2e-'));
  const bin = join(work, 'bin');
  mkdirSync(bin);
  const log = join(work, 'tools.log');
  for (const tool of ['systemctl', 'xdg-screensaver', 'wl-copy']) {
    writeFileSync(join(bin, tool), `#!/bin/sh\necho "${tool} $*" >> "${log}"\ncat >/dev/null 2>&1 || true\n`);
    chmodSync(join(bin, tool), 0o755);
  }
  const env = { ...process.env, TD_PORT: '0', TD_SUPPORT: join(work, 'support'),
    TD_UPDATE_URL: 'http://127.0.0.1:1/latest.json', PATH: `${bin}:${process.env.PATH}`,
    ANTHROPIC_API_KEY: 'sk-e2e', ANTHROPIC_BASE_URL: planner.url, ...extraEnv };
  // A Wayland desktop that lets no program send keys (the stock case the phone must explain),
  // unless the test brings an X server; no sound server to find, and no session bus unless the
  // test brings one.
  if (extraEnv.DISPLAY) {
    delete env.WAYLAND_DISPLAY;
  } else {
    delete env.DISPLAY;
    env.WAYLAND_DISPLAY = join(work, 'no-compositor');
  }
  env.DBUS_SESSION_BUS_ADDRESS = extraEnv.DBUS_SESSION_BUS_ADDRESS || `unix:path=${join(work, 'no-bus')}`;
  env.PULSE_SERVER = `unix:${join(work, 'no-pulse')}`;
  const child = spawn(join(BUILD, 'tapdeck'), ['--headless'], { env, stdio: ['ignore', 'pipe', 'inherit'] });
  let output = '';
  const port = await new Promise((ok, fail) => {
    const timer = setTimeout(() => fail(new Error(`agent did not start: ${output}`)), 10000);
    child.stdout.on('data', (data) => {
      output += data;
      const match = output.match(/Listening on port (\d+)/);
      if (match) { clearTimeout(timer); ok(Number(match[1])); }
    });
  });
  const state = () => JSON.parse(readFileSync(join(work, 'support', 'state.json'), 'utf8'));
  return {
    port,
    local: `http://127.0.0.1:${port}`,
    // 127.0.0.2 is not "this computer" to the agent: pages opened there are a phone's.
    phone: `http://127.0.0.2:${port}`,
    pin: () => state().pin,
    relayId: () => state().relayId,
    // Waits, at most `ms`, for the agent to log a line matching `pattern`.
    logged: async (pattern, ms) => {
      for (const end = Date.now() + ms; !pattern.test(output); await new Promise((ok) => setTimeout(ok, 50))) {
        if (Date.now() > end) throw new Error(`agent never logged ${pattern}: ${output}`);
      }
    },
    toolCalls: () => (existsSync(log) ? readFileSync(log, 'utf8') : ''),
    // From this computer (loopback, no token), as the control panel calls it.
    call: async (path, body, method = 'POST') => (await fetch(`http://127.0.0.1:${port}${path}`, {
      method, body: body === undefined ? undefined : JSON.stringify(body) })).json(),
    stop: async () => {
      if (child.exitCode === null && child.signalCode === null) {
        child.kill('SIGTERM');
        await new Promise((ok) => child.once('exit', ok));
      }
      rmSync(work, { recursive: true, force: true });
    },
  };
}

// Lines a child prints, and a way to wait (at most `ms`) for one matching `pattern`.
function watchLines(child, name) {
  let output = '';
  child.stdout.on('data', (data) => { output += data; });
  return {
    output: () => output,
    waitFor: async (pattern, ms = 5000, from = 0) => {
      for (const end = Date.now() + ms; ; await new Promise((ok) => setTimeout(ok, 10))) {
        const match = output.slice(from).match(pattern);
        if (match) return match;
        if (Date.now() > end) throw new Error(`${name} never printed ${pattern}: ${output.slice(from)}`);
      }
    },
  };
}

// An X server of its own (Xvfb) and, over its whole screen, a window that prints what the
// pointer and the keyboard do to it ("motion X Y", "button N press").
export async function startDisplay() {
  const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1280x800x24', '-nolisten', 'tcp'],
    { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  const display = await new Promise((ok, fail) => {
    const timer = setTimeout(() => fail(new Error('Xvfb did not start')), 10000);
    let text = '';
    xvfb.stdio[3].on('data', (data) => {
      text += data;
      if (text.includes('\n')) { clearTimeout(timer); ok(`:${text.trim()}`); }
    });
  });
  const child = spawn(join(BUILD, 'tests/host/key_observer'), [], { env: { ...process.env, DISPLAY: display },
    stdio: ['ignore', 'pipe', 'inherit'] });
  const observer = watchLines(child, 'the X observer');
  await observer.waitFor(/ready\n/, 10000);
  return {
    display,
    observer,
    lines: child.stdout,
    stop: () => { child.kill(); xvfb.kill(); },
  };
}

// A session bus of its own, with a media player on it (python3-dbusmock) that `set` changes
// as a real player does, one property at a time; `calls` counts a method's calls.
export async function startPlayer(name, properties) {
  // No services to start on demand: a desktop's portal would come up and fail without one.
  const config = join(mkdtempSync(join(tmpdir(), 'tapdeck-bus-')), 'bus.conf');
  writeFileSync(config, '<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>'
    + '<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>'
    + '<allow own="*"/></policy></busconfig>');
  const bus = spawn('dbus-daemon', [`--config-file=${config}`, '--nofork', '--print-address=1'], { stdio: ['ignore', 'pipe', 'ignore'] });
  const address = (await watchLines(bus, 'dbus-daemon').waitFor(/^(unix:\S+)/m))[1];
  const env = { ...process.env, DBUS_SESSION_BUS_ADDRESS: address };
  const busName = `org.mpris.MediaPlayer2.${name}`;
  const mock = spawn('/usr/bin/python3', ['-m', 'dbusmock', busName, '/org/mpris/MediaPlayer2', 'org.mpris.MediaPlayer2.Player'],
    { env, stdio: ['ignore', 'pipe', 'inherit'] });
  const gdbus = async (method, ...args) => {
    for (const end = Date.now() + 10000; ;) {
      const call = spawn('gdbus', ['call', '--address', address, '--dest', busName, '--object-path', '/org/mpris/MediaPlayer2',
        '--method', method, ...args], { stdio: ['ignore', 'pipe', 'ignore'] });
      const lines = watchLines(call, 'gdbus');
      if (await new Promise((ok) => call.once('exit', ok)) === 0) return lines.output();
      if (Date.now() > end) throw new Error(`gdbus ${method} failed`);
      await new Promise((ok) => setTimeout(ok, 50));  // the player is still claiming its name
    }
  };
  await gdbus('org.freedesktop.DBus.Mock.AddProperties', 'org.mpris.MediaPlayer2.Player', properties);
  await gdbus('org.freedesktop.DBus.Mock.AddProperties', 'org.mpris.MediaPlayer2', "{'Identity': <'Test Player'>}");
  for (const method of ['PlayPause', 'Next', 'Previous']) {
    await gdbus('org.freedesktop.DBus.Mock.AddMethod', 'org.mpris.MediaPlayer2.Player', method, '', '', '');
  }
  return {
    address,
    set: (property, value) => gdbus('org.freedesktop.DBus.Properties.Set', 'org.mpris.MediaPlayer2.Player', property, value),
    // gdbus names the type of the first call's time only: "[(uint64 5, @av []), (6, [])]".
    calls: async (method) => (await gdbus('org.freedesktop.DBus.Mock.GetMethodCalls', method)).match(/\((uint64 )?\d+,/g)?.length ?? 0,
    stop: () => { mock.kill(); bus.kill(); },
  };
}

export async function launchBrowser(extraArgs = []) {
  return chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', ...extraArgs],
  });
}

// What any page reported as refused by the agent's content security policy.
export const policyViolations = [];
export function watchPolicy(page) {
  page.on('console', (message) => {
    if (/Content Security Policy/i.test(message.text())) policyViolations.push(message.text());
  });
  return page;
}

// A phone-sized page.
export async function phonePage(browser, colorScheme = 'light') {
  const context = await browser.newContext({ viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, colorScheme, hasTouch: true });
  return watchPolicy(await context.newPage());
}

export async function pairByPin(page, agent) {
  await page.goto(agent.phone);
  for (const digit of agent.pin()) await page.getByRole('button', { name: digit, exact: true }).click();
  await page.getByRole('button', { name: 'OK' }).click();
  await page.locator('#deck').waitFor();
  await page.locator('#tabs [role="tab"]').first().waitFor();  // the deck is drawn
}

export function shot(page, name) {
  mkdirSync(SHOTS, { recursive: true });
  return page.screenshot({ path: join(SHOTS, `${name}.png`) });
}
