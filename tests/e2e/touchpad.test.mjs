// The touchpad page with real touches in Chromium, driving the pointer of a real X server through
// a real agent: what the X server saw is what a window over its whole screen printed.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { startAgent, startPlanner, startDisplay, launchBrowser, phonePage, pairByPin, shot } from './harness.mjs';

let planner;
let desktop;
let agent;
let browser;

before(async () => {
  planner = await startPlanner();
  desktop = await startDisplay();
  agent = await startAgent(planner, { DISPLAY: desktop.display });
  browser = await launchBrowser();
  await agent.call('/api/config', { pages: [{ name: 'Remote', icon: '🖱️', tiles: [
    { type: 'touchpad', label: 'Touchpad', emoji: '🖱️' },
  ] }], settings: { columns: 3, iconScale: 1, labels: true } });
});

after(async () => {
  await browser?.close();
  await agent?.stop();
  desktop?.stop();
  planner?.close();
});

// Touches through the browser's own input pipeline, as a phone's screen makes them.
async function fingers(page) {
  const cdp = await page.context().newCDPSession(page);
  const box = await page.locator('#pad').boundingBox();
  const at = (points) => points.map(([x, y], id) => ({ x: box.x + x, y: box.y + y, id }));
  const frame = () => page.evaluate(() => new Promise((ok) => requestAnimationFrame(ok)));
  const send = (type, points) => cdp.send('Input.dispatchTouchEvent', { type, touchPoints: at(points) });
  return {
    tap: async (points) => { await send('touchStart', points); await send('touchEnd', []); },
    // Fingers put down at `points`, moved by (dx, dy) in `steps` frames, then lifted.
    swipe: async (points, dx, dy, steps = 10) => {
      await send('touchStart', points);
      for (let i = 1; i <= steps; i++) {
        await send('touchMove', points.map(([x, y]) => [x + (dx * i) / steps, y + (dy * i) / steps]));
        await frame();
      }
      await send('touchEnd', []);
    },
  };
}

// The pointer's position the last time the X server reported a motion.
function lastMotion(desktop) {
  const all = [...desktop.observer.output().matchAll(/motion (\d+) (\d+)\n/g)];
  return all.length ? all.at(-1).slice(1).map(Number) : null;
}

async function openPad(page) {
  await pairByPin(page, agent);
  await page.getByRole('button', { name: /Touchpad/ }).click();
  await page.locator('#pad').waitFor();
  assert.equal(new URL(page.url()).hash, '#touchpad');
}

test('over the LAN the pad moves, clicks, right-clicks, scrolls and drags through its socket', async () => {
  const page = await phonePage(browser, 'dark');
  const posts = [];
  page.on('request', (request) => { if (request.url().endsWith('/api/pointer')) posts.push(request); });
  const socketOpened = page.waitForEvent('websocket', (socket) => socket.url().endsWith('/api/pointer'));
  await openPad(page);
  const socket = await socketOpened;
  let frames = 0;
  socket.on('framesent', () => { frames++; });
  await shot(page, 'touchpad-dark');
  const hand = await fingers(page);
  const { observer } = desktop;

  // A click comes after every move before it: where the pointer was then is where it stopped.
  let mark = observer.output().length;
  await hand.swipe([[100, 300]], 120, 0);
  await hand.tap([[150, 300], [220, 300]]);
  await observer.waitFor(/button 3 press\nbutton 3 release\n/, 5000, mark);
  const [x0, y0] = lastMotion(desktop);
  mark = observer.output().length;
  await hand.swipe([[100, 300]], 120, 0);
  await hand.tap([[150, 300]]);
  await observer.waitFor(/button 1 press\nbutton 1 release\n/, 5000, mark);
  const [x1, y1] = lastMotion(desktop);
  assert.ok(x1 > x0 + 100, `moved right: ${x0} → ${x1}`);
  assert.equal(y1, y0, 'a horizontal swipe keeps the pointer\'s height');
  assert.doesNotMatch(observer.output().slice(mark), /button 1 press\nmotion/, 'a tap after a move is no drag');

  // Two fingers going up push the content up: the view scrolls down (wheel button 5).
  mark = observer.output().length;
  await hand.swipe([[150, 400], [220, 400]], 0, -200, 12);
  await observer.waitFor(/button 5 press/, 5000, mark);
  assert.doesNotMatch(observer.output().slice(mark), /button [134] press/);
  // Tap, then hold and move: the button stays down over the move.
  mark = observer.output().length;
  await hand.tap([[150, 300]]);
  await hand.swipe([[150, 300]], 60, 40);
  const drag = await observer.waitFor(/button 1 press\nbutton 1 release\nbutton 1 press\n(motion.*\n)+button 1 release\n/, 5000, mark);
  assert.ok(drag);

  assert.ok(frames > 0, 'the events went through the socket');
  assert.equal(posts.length, 0, 'and never as POSTs');
  await page.context().close();
});

test('without a socket (as through the relay) the pad sends a POST per batch, and the keyboard types live', async () => {
  const page = await phonePage(browser);
  await page.routeWebSocket(/\/api\/pointer$/, (socket) => socket.close());
  const posts = [];
  page.on('request', (request) => {
    if (request.url().endsWith('/api/pointer')) posts.push(request.postDataJSON().events);
  });
  await openPad(page);
  const hand = await fingers(page);
  const { observer } = desktop;

  const mark = observer.output().length;
  const started = Date.now();
  await hand.swipe([[100, 300]], 0, 150, 30);
  const elapsed = Date.now() - started;
  await observer.waitFor(/motion \d+ \d+\n/, 5000, mark);
  await page.waitForFunction((count) => count > 0, posts.length);
  const moves = posts.flat().filter(([kind]) => kind === 'move');
  assert.ok(moves.length >= 2, 'every frame\'s move is sent');
  assert.ok(posts.length < moves.length, `${moves.length} frames went as ${posts.length} POSTs`);
  assert.ok(posts.length <= Math.ceil(elapsed / 50) + 2, `${posts.length} POSTs in ${elapsed} ms`);

  await page.getByRole('button', { name: 'Keyboard' }).click();
  const typed = observer.output().length;
  await page.locator('#pad-typing').pressSequentially('ok');
  await page.locator('#pad-typing').press('Backspace');
  await page.locator('#pad-typing').press('Enter');
  await observer.waitFor(/0 o\n0 k\n0 BackSpace\n0 Return\n/, 5000, typed);
  await shot(page, 'touchpad-light');
  await page.context().close();
});

test('the shipped Presenter page presses its keys in the window that has the focus', async () => {
  const shipped = JSON.parse(readFileSync(new URL('../../resources/config.json', import.meta.url), 'utf8'));
  await agent.call('/api/config', shipped);
  const page = await phonePage(browser);
  await pairByPin(page, agent);
  await page.getByRole('tab', { name: /Presenter/ }).click();
  await page.getByRole('button', { name: /Next slide/ }).waitFor();
  await shot(page, 'phone-presenter');
  const { observer } = desktop;
  const mark = observer.output().length;
  await page.getByRole('button', { name: /Next slide/ }).click();
  await page.getByRole('button', { name: /Black screen/ }).click();
  await observer.waitFor(/0 Right\n0 b\n/, 5000, mark);
  await page.context().close();
});
