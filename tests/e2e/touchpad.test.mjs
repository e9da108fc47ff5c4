// The touchpad page with real touches in Chromium, driving the pointer of a real X server through
// a real agent: what the X server saw is what a window over its whole screen printed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { setUp, startDisplay, pairByPin, shot, until, SHIPPED } from './harness.mjs';

const world = setUp(async (w) => {
  w.desktop = await startDisplay(w.atEnd);
  return { env: { DISPLAY: w.desktop.display } };
});

// Pairs `page`, opens its touchpad and gives touches through the browser's own input pipeline,
// as a phone's screen makes them.
async function openPad(page) {
  await world.agent.call('/api/config', { pages: [{ name: 'Remote', icon: '🖱️', tiles: [
    { type: 'touchpad', label: 'Touchpad', emoji: '🖱️' }] }], settings: { columns: 3, iconScale: 1, labels: true } });
  await pairByPin(page, world.agent);
  await page.getByRole('button', { name: /Touchpad/ }).click();
  await page.locator('#pad').waitFor();
  assert.equal(new URL(page.url()).hash, '#touchpad');
  const cdp = await page.context().newCDPSession(page);
  const box = await page.locator('#pad').boundingBox();
  const send = (type, points) => cdp.send('Input.dispatchTouchEvent',
    { type, touchPoints: points.map(([x, y], id) => ({ x: box.x + x, y: box.y + y, id })) });
  return {
    tap: async (points) => { await send('touchStart', points); await send('touchEnd', []); },
    // Fingers put down at `points`, moved by (dx, dy) in `steps` frames, then lifted.
    swipe: async (points, dx, dy, steps = 10) => {
      await send('touchStart', points);
      for (let i = 1; i <= steps; i++) {
        await send('touchMove', points.map(([x, y]) => [x + (dx * i) / steps, y + (dy * i) / steps]));
        await page.evaluate(() => new Promise((ok) => requestAnimationFrame(ok)));
      }
      await send('touchEnd', []);
    },
  };
}

// Does each of `acts`, then gives what the X server reported since, once it reported `pattern`.
async function seen(pattern, ...acts) {
  const { observer } = world.desktop;
  const mark = observer.output().length;
  for (const act of acts) await act();
  await observer.waitFor(pattern, mark);
  return observer.output().slice(mark);
}

// The pointer's position the last time the X server reported a motion.
const lastMotion = (output) => [...output.matchAll(/motion (\d+) (\d+)\n/g)].at(-1).slice(1).map(Number);

test('over the LAN the pad moves, clicks, right-clicks, scrolls and drags through its socket', async () => {
  const page = await world.phone('dark');
  const posts = [];
  page.on('request', (request) => { if (request.url().endsWith('/api/pointer')) posts.push(request); });
  const socketOpened = page.waitForEvent('websocket', (socket) => socket.url().endsWith('/api/pointer'));
  const hand = await openPad(page);
  let frames = 0;
  (await socketOpened).on('framesent', () => { frames++; });
  await shot(page, 'touchpad-dark');

  // A click comes after every move before it: where the pointer was then is where it stopped.
  const [x0, y0] = lastMotion(await seen(/button 3 press\nbutton 3 release\n/,
    () => hand.swipe([[100, 300]], 120, 0), () => hand.tap([[150, 300], [220, 300]])));
  const click = await seen(/button 1 press\nbutton 1 release\n/, () => hand.swipe([[100, 300]], 120, 0), () => hand.tap([[150, 300]]));
  const [x1, y1] = lastMotion(click);
  assert.ok(x1 > x0 + 100, `moved right: ${x0} → ${x1}`);
  assert.equal(y1, y0, 'a horizontal swipe keeps the pointer\'s height');
  assert.doesNotMatch(click, /button 1 press\nmotion/, 'a tap after a move is no drag');

  // Two fingers going up push the content up: the view scrolls down (wheel button 5).
  assert.doesNotMatch(await seen(/button 5 press/, () => hand.swipe([[150, 400], [220, 400]], 0, -200, 12)), /button [134] press/);
  // Tap, then hold and move: the button stays down over the move.
  await seen(/button 1 press\nbutton 1 release\nbutton 1 press\n(motion.*\n)+button 1 release\n/,
    () => hand.tap([[150, 300]]), () => hand.swipe([[150, 300]], 60, 40));
  assert.ok(frames > 0, 'the events went through the socket');
  assert.equal(posts.length, 0, 'and never as POSTs');
});

test('without a socket (as through the relay) the pad sends a POST per batch, and the keyboard types live', async () => {
  const page = await world.phone();
  await page.routeWebSocket(/\/api\/pointer$/, (socket) => socket.close());
  const posts = [];
  page.on('request', (request) => { if (request.url().endsWith('/api/pointer')) posts.push(request.postDataJSON().events); });
  const hand = await openPad(page);
  const started = Date.now();
  let elapsed;
  await seen(/motion \d+ \d+\n/, () => hand.swipe([[100, 300]], 0, 150, 30), () => { elapsed = Date.now() - started; });
  await until(() => posts.length, 'a POST');
  const moves = posts.flat().filter(([kind]) => kind === 'move');
  assert.ok(moves.length >= 2, 'every frame\'s move is sent');
  assert.ok(posts.length < moves.length, `${moves.length} frames went as ${posts.length} POSTs`);
  assert.ok(posts.length <= Math.ceil(elapsed / 50) + 2, `${posts.length} POSTs in ${elapsed} ms`);

  await page.getByRole('button', { name: 'Keyboard' }).click();
  const typing = page.locator('#pad-typing');
  await seen(/0 o\n0 k\n0 BackSpace\n0 Return\n/, () => typing.pressSequentially('ok'), () => typing.press('Backspace'),
    () => typing.press('Enter'));
  await shot(page, 'touchpad-light');
});

test('the shipped Presenter page presses its keys in the window that has the focus', async () => {
  await world.agent.call('/api/config', SHIPPED);
  const page = await world.paired();
  await page.getByRole('tab', { name: /Presenter/ }).click();
  await page.getByRole('button', { name: /Next slide/ }).waitFor();
  await shot(page, 'phone-presenter');
  await seen(/0 Right\n0 b\n/, () => page.getByRole('button', { name: /Next slide/ }).click(),
    () => page.getByRole('button', { name: /Black screen/ }).click());
});
