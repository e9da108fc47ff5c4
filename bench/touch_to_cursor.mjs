// Phone to cursor: the time from a touch moving on the touchpad page in Chromium (the event's own
// time) to the X server's motion event, through a real agent over its WebSocket, on loopback;
// and the part of it from the page's handler on. The touch goes through the browser's own input
// pipeline (the DevTools protocol), and the page's one message per animation frame is part of
// what is measured. Goal: median under 16 ms.
//
//   node bench/touch_to_cursor.mjs [moves]     (after the README's test setup: Xvfb, Chromium)
import { startAgent, startPlanner, startDisplay, launchBrowser, phonePage, pairByPin }
  from '../tests/e2e/harness.mjs';

const MOVES = Number(process.argv[2] || 200);

const planner = await startPlanner();
const desktop = await startDisplay();
const agent = await startAgent(planner, { DISPLAY: desktop.display });
const browser = await launchBrowser();
try {
  await agent.call('/api/config', { pages: [{ name: 'Remote', icon: '🖱️', tiles: [
    { type: 'touchpad', label: 'Touchpad', emoji: '🖱️' }] }],
  settings: { columns: 3, iconScale: 1, labels: true } });
  const page = await phonePage(browser);
  const socketOpened = page.waitForEvent('websocket', (socket) => socket.url().endsWith('/api/pointer'));
  await pairByPin(page, agent);
  await page.getByRole('button', { name: /Touchpad/ }).click();
  await page.locator('#pad').waitFor();
  await socketOpened;

  const cdp = await page.context().newCDPSession(page);
  const box = await page.locator('#pad').boundingBox();
  const touch = (type, x) => cdp.send('Input.dispatchTouchEvent',
    { type, touchPoints: type === 'touchEnd' ? [] : [{ x: box.x + x, y: box.y + 300, id: 0 }] });
  let motion = null;
  desktop.lines.on('data', (data) => { if (motion && /motion /.test(data)) motion(); });
  const nextMotion = () => new Promise((ok, fail) => {
    const timer = setTimeout(() => fail(new Error('no motion in 2 s')), 2000);
    motion = () => {
      motionTimes.push(performance.timeOrigin + performance.now());
      clearTimeout(timer); motion = null; ok();
    };
  });

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
  for (let i = 0; i < MOVES; i++) {
    // Touches come at any moment of a frame: wait a different part of one between moves.
    await new Promise((ok) => setTimeout(ok, 20 + (i * 7) % 17));
    const seen = nextMotion();
    await touch('touchMove', i % 2 === 0 ? 160 : 150);
    await seen;
  }
  await touch('touchEnd');
  const [touchTimes, handlerTimes] = await page.evaluate(() => [touchTimes, handlerTimes]);
  const figures = (values) => {
    const sorted = [...values].sort((a, b) => a - b);
    const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(sorted.length * q))].toFixed(2);
    return `median ${at(0.5)} ms  p99 ${at(0.99)} ms`;
  };
  const since = (times) => figures(motionTimes.map((t, i) => t - times[i]));
  console.log(`touch event to X motion in Chromium: ${since(touchTimes)}  (${MOVES} moves)`);
  console.log(`  of which the page's handler to X motion: ${since(handlerTimes)}`);
} finally {
  await browser.close();
  await agent.stop();
  desktop.stop();
  planner.close();
}
