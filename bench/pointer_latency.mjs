#!/usr/bin/env node
// The touchpad's speed on X11, with an Xvfb of its own and a real agent on loopback: first
// pointer_latency_bench (bench/pointer_latency.cpp) times its WebSocket and its POST from the
// send to the X server's motion event, against OPTIONS / as the reference; then phone to cursor
// in Chromium: the time from a touch moving on the touchpad page (the event's own time) to the
// motion event that the window of the tests' key_observer sees, and the part of it from the
// page's handler on. The touch goes through the browser's own input pipeline (the DevTools
// protocol), and the page's one message per animation frame is part of what is measured.
// Goals: >= 2,000 events/s; median under 1 ms and p99 under 5 ms; Chromium's median under 16 ms.
//
//   bench/pointer_latency.mjs [moves]     (after the README's test command has built everything)
import { spawnSync } from 'node:child_process';
import { join } from 'node:path';
import { BUILD, startAgent, startPlanner, startDisplay, launchBrowser, pairByPin }
  from '../tests/e2e/harness.mjs';

const TOUCHES = 200;

// The time of the next motion the key_observer's window sees.
let motion = null;
const nextMotion = () => new Promise((ok, fail) => {
  const timer = setTimeout(() => fail(new Error('no motion in 2 s')), 2000);
  motion = (at) => { clearTimeout(timer); motion = null; ok(at); };
});

const figures = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(sorted.length * q))].toFixed(2);
  return `median ${at(0.5)} ms  p99 ${at(0.99)} ms`;
};
const print = (what, text) => console.log(`${what.padEnd(30)} ${text}`);

// A touch moving on the touchpad page, to the motion it makes.
async function fromChromium(browser, agent) {
  await agent.call('/api/config', { pages: [{ name: 'Remote', icon: '🖱️', tiles: [
    { type: 'touchpad', label: 'Touchpad', emoji: '🖱️' }] }],
  settings: { columns: 3, iconScale: 1, labels: true } });
  const page = await browser.newPage({ viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, hasTouch: true });
  const socketOpened = page.waitForEvent('websocket', (socket) => socket.url().endsWith('/api/pointer'));
  await pairByPin(page, agent);
  await page.getByRole('button', { name: /Touchpad/ }).click();
  await page.locator('#pad').waitFor();
  await socketOpened;

  const cdp = await page.context().newCDPSession(page);
  const box = await page.locator('#pad').boundingBox();
  const touch = (type, x) => cdp.send('Input.dispatchTouchEvent',
    { type, touchPoints: type === 'touchEnd' ? [] : [{ x: box.x + x, y: box.y + 300, id: 0 }] });
  // When the browser took each touch in (the event's time) and when the page's handlers got it,
  // on the wall clock that this process reads too.
  await page.evaluate(() => {
    window.touchTimes = [];
    window.handlerTimes = [];
    addEventListener('pointermove', (e) => {
      touchTimes.push(performance.timeOrigin + e.timeStamp);
      handlerTimes.push(performance.timeOrigin + performance.now());
    }, true);
  });
  await touch('touchStart', 150);
  const motionTimes = [];
  for (let i = 0; i < TOUCHES; i++) {
    // Touches come at any moment of a frame: wait a different part of one between moves.
    await new Promise((ok) => setTimeout(ok, 20 + (i * 7) % 17));
    const seen = nextMotion();
    await touch('touchMove', i % 2 === 0 ? 160 : 150);
    motionTimes.push(performance.timeOrigin + await seen);
  }
  await touch('touchEnd');
  const [touchTimes, handlerTimes] = await page.evaluate(() => [touchTimes, handlerTimes]);
  const since = (times) => figures(motionTimes.map((t, i) => t - times[i]));
  print('touch event to X motion', `${since(touchTimes)}  (Chromium, ${TOUCHES} moves)`);
  print("  of which the page's handler", since(handlerTimes));
}

const stops = [];
const atEnd = (stop) => stops.push(stop);
let browser;
try {
  const planner = await startPlanner(atEnd);
  const desktop = await startDisplay(atEnd);
  // Whole lines only: a line may come in two pieces ("motion", " 641 400\n").
  let partial = '';
  desktop.observer.child.stdout.on('data', (data) => {
    const lines = (partial + data).split('\n');
    partial = lines.pop();
    if (motion && lines.some((line) => line.startsWith('motion '))) motion(performance.now());
  });
  const agent = await startAgent(atEnd, planner, { DISPLAY: desktop.display });
  const bench = spawnSync(join(BUILD, 'bench/pointer_latency_bench'), [String(agent.port), agent.pin(), process.argv[2] || '1000'],
    { env: { ...process.env, DISPLAY: desktop.display }, stdio: 'inherit' });
  if (bench.status !== 0) throw new Error('pointer_latency_bench failed');
  browser = await launchBrowser();
  await fromChromium(browser, agent);
} finally {
  await browser?.close();
  for (const stop of stops.reverse()) await stop();
}
