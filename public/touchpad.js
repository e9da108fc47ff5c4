// The touchpad: one finger moves the pointer, a tap clicks, two fingers tap for the right button
// and move to scroll, a tap then hold and move drags. Speed and acceleration are applied here, so
// the computer moves its pointer by exactly what it is sent. The events go through a WebSocket,
// one message per animation frame, on the LAN and through a relay that passes connections
// unread; through a relay that reads requests (no WebSocket there) as one POST every 50 ms.
import { api, token, relayed, liveChannels, toast } from './api.js';

const TAP_MS = 220;             // a touch shorter than this, and
const TAP_SLOP_PX = 10;         // that moved less than this, is a tap
const DRAG_AFTER_TAP_MS = 300;  // a touch this soon after a tap holds the button: a drag
const ACCELERATION = 0.9;       // extra gain per px/ms of finger speed
const MAX_GAIN_SPEED = 3;       // px/ms past which the gain grows no more
const RELAY_BATCH_MS = 50;
const RETRIES = 20;             // a batch the computer was too busy for is sent again, this often
const REOPEN_AFTER_MS = 5000;   // a socket the computer closed (idle, restart) is opened again
const SPEED_KEY = 'tapdeck.touchpad.speed';

// Where events go: the socket when it is open, else a POST per batch.
class Channel {
  constructor() {
    this.queue = [];
    this.socket = null;
    this.timer = null;
    this.openedAt = -Infinity;
    this.posting = false;
    if (liveChannels.possible) this.open();
  }

  open() {
    this.openedAt = performance.now();
    const url = new URL('api/pointer', location.href);
    url.protocol = url.protocol === 'https:' ? 'wss:' : 'ws:';
    const protocols = ['tapdeck-pointer', ...(token.get() ? [`tapdeck-token.${token.get()}`] : [])];
    const socket = new WebSocket(url, protocols);
    socket.onopen = () => { this.socket = socket; this.opened = true; this.flush(); };
    socket.onclose = () => {
      // Through a relay that reads requests no socket ever opens: POSTs carry the events.
      if (relayed && !this.opened) liveChannels.possible = false;
      if (this.socket === socket) this.socket = null;
      if (this.pending === socket) this.pending = null;
    };
    this.pending = socket;
  }

  send(events) {
    if (!events.length) return;
    if (liveChannels.possible && !this.pending && performance.now() - this.openedAt > REOPEN_AFTER_MS) this.open();
    this.queue.push(...events);
    if (this.socket?.readyState === WebSocket.OPEN) return this.flush();
    this.timer ??= setTimeout(() => this.flush(), RELAY_BATCH_MS);
  }

  // `last`: the page is going away, and what is sent must outlive it. Over HTTP one batch is
  // in flight at a time, so that batches arrive in order.
  flush(last = false) {
    clearTimeout(this.timer);
    this.timer = null;
    if (this.socket?.readyState === WebSocket.OPEN) {
      const events = this.queue.splice(0, 256);
      if (events.length) this.socket.send(JSON.stringify(events));
    } else if (!this.posting || last) {
      const events = this.queue.splice(0, 256);
      if (events.length) this.post(events, last, RETRIES);
    }
    if (this.queue.length && !this.posting) this.timer = setTimeout(() => this.flush(), RELAY_BATCH_MS);
  }

  // A batch the computer (or the relay) was too busy for is sent again before what came since:
  // a button let go must arrive.
  post(events, last, retries) {
    this.posting = true;
    const next = () => {
      this.posting = false;
      if (this.queue.length) this.timer ??= setTimeout(() => this.flush(), RELAY_BATCH_MS);
    };
    const again = () => {
      if (retries > 0) return setTimeout(() => this.post(events, last, retries - 1), RELAY_BATCH_MS);
      toast('The computer did not answer.');
      next();
    };
    api('api/pointer', { body: { events }, keepalive: last }).then((answer) => {
      if (answer.status === 503) return again();
      if (!answer.ok && answer.error) toast(answer.error);
      next();
    }).catch(again);
  }

  close() {
    this.flush(true);
    const socket = this.pending;
    this.pending = null;
    this.socket = null;
    socket?.close();
  }
}

// Moves coalesced until the next animation frame: one message per frame, however many touch
// events the phone fires.
class Pad {
  constructor(surface, channel, speed) {
    this.surface = surface;
    this.channel = channel;
    this.speed = speed;
    this.touches = new Map();   // pointerId → { x, y, startX, startY, t, start }
    this.move = [0, 0];
    this.scroll = [0, 0];
    this.frame = 0;
    this.lastTapAt = -Infinity;
    this.dragging = false;
    this.mayDrag = false;
    this.maxTouches = 0;
    this.gestureStart = 0;
    this.moved = 0;
    for (const type of ['pointerdown', 'pointermove', 'pointerup', 'pointercancel']) {
      surface.addEventListener(type, (event) => this[type](event));
    }
  }

  pointerdown(event) {
    event.preventDefault();
    this.surface.classList.add('used');
    this.surface.setPointerCapture?.(event.pointerId);
    const now = event.timeStamp;
    if (this.touches.size === 0) {
      this.gestureStart = now;
      this.maxTouches = 0;
      this.moved = 0;
      // Soon after a tap this may be a drag: that is known at the first move of one finger
      // (a second finger makes it a right click or a scroll, lifting it a double click).
      this.mayDrag = now - this.lastTapAt < DRAG_AFTER_TAP_MS;
      this.lastTapAt = -Infinity;
    }
    this.touches.set(event.pointerId, { x: event.clientX, y: event.clientY, t: now });
    this.maxTouches = Math.max(this.maxTouches, this.touches.size);
    if (this.touches.size > 1) this.mayDrag = false;
  }

  pointermove(event) {
    const touch = this.touches.get(event.pointerId);
    if (!touch) return;
    event.preventDefault();
    const dx = event.clientX - touch.x;
    const dy = event.clientY - touch.y;
    const dt = Math.max(1, event.timeStamp - touch.t);
    Object.assign(touch, { x: event.clientX, y: event.clientY, t: event.timeStamp });
    this.moved += Math.hypot(dx, dy);
    if (this.touches.size >= 2) {
      // Two fingers: each contributes half, and content follows them (natural scrolling).
      this.scroll[0] -= dx / this.touches.size;
      this.scroll[1] -= dy / this.touches.size;
    } else {
      if (this.mayDrag) {
        this.mayDrag = false;
        this.dragging = true;
        this.queueNow([['button', 'left', 'down']]);
      }
      const gain = this.speed * (1 + ACCELERATION * Math.min(Math.hypot(dx, dy) / dt, MAX_GAIN_SPEED));
      this.move[0] += dx * gain;
      this.move[1] += dy * gain;
    }
    if (!this.frame) this.sendNowThenEachFrame();
  }

  // The first move of a frame leaves at once (the browser hands moves over once a frame
  // already); what comes later in the same frame leaves with the next one.
  sendNowThenEachFrame() {
    this.sendFrame();
    this.frame = requestAnimationFrame(() => {
      this.frame = 0;
      if (this.move[0] || this.move[1] || this.scroll[0] || this.scroll[1]) this.sendNowThenEachFrame();
    });
  }

  pointerup(event) {
    if (!this.touches.delete(event.pointerId) || this.touches.size) return;
    const quick = event.timeStamp - this.gestureStart < TAP_MS && this.moved < TAP_SLOP_PX;
    if (this.dragging) {
      this.dragging = false;
      this.queueNow([['button', 'left', 'up']]);
    } else if (quick && this.maxTouches >= 2) {
      this.click('right');
    } else if (quick) {
      this.click('left');
      this.lastTapAt = event.timeStamp;
    }
  }

  pointercancel(event) { this.pointerup(event); }

  // The page closes or hides mid-drag: the button is let go, not left held on the computer.
  letGo() {
    this.touches.clear();
    if (!this.dragging) return;
    this.dragging = false;
    this.queueNow([['button', 'left', 'up']]);
  }

  click(button) {
    navigator.vibrate?.(10);
    this.queueNow([['button', button, 'click']]);
  }

  // Moves first, so that a click lands where the pointer is now.
  queueNow(events) {
    this.sendFrame();
    this.channel.send(events);
  }

  sendFrame() {
    cancelAnimationFrame(this.frame);
    this.frame = 0;
    const events = [];
    const round = (value) => Math.round(value * 100) / 100;
    if (this.move[0] || this.move[1]) events.push(['move', round(this.move[0]), round(this.move[1])]);
    if (this.scroll[0] || this.scroll[1]) events.push(['scroll', round(this.scroll[0]), round(this.scroll[1])]);
    this.move = [0, 0];
    this.scroll = [0, 0];
    this.channel.send(events);
  }
}

// The phone's keyboard typing live: characters through /api/type, Backspace and Enter as keys.
// The field keeps one space, so that a Backspace on an empty line is still heard.
function liveTyping(field) {
  const SENTINEL = ' ';
  let chain = Promise.resolve();
  const send = (path, body) => { chain = chain.then(() => api(path, { body })).catch(() => {}); };
  const reset = () => { field.value = SENTINEL; field.setSelectionRange(1, 1); };
  field.addEventListener('keydown', (event) => {
    if (event.key === 'Enter') {
      event.preventDefault();
      send('api/keys', { combo: 'Return' });
    }
  });
  field.addEventListener('input', () => {
    const value = field.value;
    if (value.length < SENTINEL.length) send('api/keys', { combo: 'BackSpace' });
    else if (value.length > SENTINEL.length) send('api/type', { text: value.slice(SENTINEL.length) });
    reset();
  });
  field.addEventListener('focus', reset);
}

let wakeLock = null;
async function keepAwake() {
  try {
    wakeLock = await navigator.wakeLock?.request('screen');
  } catch {
    wakeLock = null;  // not allowed here (plain HTTP, or the browser says no)
  }
}

let open = null;

export function openTouchpad() {
  if (open) return;
  const $ = (id) => document.getElementById(id);
  const speedInput = $('pad-speed');
  speedInput.value = localStorage.getItem(SPEED_KEY) || speedInput.value;
  const channel = new Channel();
  const pad = new Pad($('pad'), channel, Number(speedInput.value));
  speedInput.oninput = () => {
    pad.speed = Number(speedInput.value);
    localStorage.setItem(SPEED_KEY, speedInput.value);
  };
  const onVisible = () => {
    if (document.visibilityState === 'visible') return keepAwake();
    pad.letGo();
    channel.flush(true);
  };
  const onHide = () => { pad.letGo(); channel.flush(true); };
  document.addEventListener('visibilitychange', onVisible);
  addEventListener('pagehide', onHide);
  open = { channel, pad, onVisible, onHide };
  document.body.classList.add('pad-open');
  $('touchpad').hidden = false;
  keepAwake();
  if (location.hash !== '#touchpad') history.pushState(null, '', '#touchpad');
}

export function closeTouchpad() {
  if (!open) return;
  open.pad.letGo();
  open.channel.close();
  document.removeEventListener('visibilitychange', open.onVisible);
  removeEventListener('pagehide', open.onHide);
  open = null;
  wakeLock?.release().catch(() => {});
  wakeLock = null;
  document.body.classList.remove('pad-open');
  document.getElementById('touchpad').hidden = true;
  if (location.hash === '#touchpad') history.back();
  document.dispatchEvent(new Event('touchpadclose'));  // what waited for it may go on
}

export function setUpTouchpad() {
  const $ = (id) => document.getElementById(id);
  liveTyping($('pad-typing'));
  $('pad-close').addEventListener('click', closeTouchpad);
  $('pad-keyboard').addEventListener('click', () => $('pad-typing').focus());
  window.addEventListener('popstate', () => {
    if (location.hash === '#touchpad') openTouchpad();
    else closeTouchpad();
  });
}
