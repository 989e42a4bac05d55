// The viewer page: receives the newest frame over the WebSocket, scales and
// draws it, and asks for the next one once it is drawn.
import { parseFrameMessage, decodePixels, minMax, percentileLimits, zscale, colourTable, render, histogram }
  from './scaling.mjs';
import { makeFits } from './fits.mjs';

const $ = (id) => document.getElementById(id);
const canvas = $('image');
const context = canvas.getContext('2d');
let current = null;  // {header, pixels, values}
let paused = false;
let socket = null;
const shown = [];
const read = [];

function seconds(t) {
  const v = Number(t);
  return v > 0 ? new Date(v * 1000).toISOString().replace('T', ' ').replace('Z', '') : '–';
}

function rate(list) {
  const now = performance.now();
  while (list.length && now - list[0].t > 3000) list.shift();
  if (list.length < 2) return '–';
  const first = list[0];
  const last = list[list.length - 1];
  return ((last.n - first.n) / ((last.t - first.t) / 1000)).toFixed(1);
}

function setState(state, message) {
  const el = $('state');
  el.textContent = state;
  el.className = state === 'live' ? 'live' : (state === 'connecting' || state === 'no-stream') ? 'wait' : 'bad';
  $('message').textContent = message;
}

function limits(values) {
  switch ($('limits').value) {
    case 'minmax': return minMax(values);
    case 'zscale': return zscale(values);
    default: return percentileLimits(values, 99.5);
  }
}

function draw() {
  if (!current) return;
  const { header, values } = current;
  if (canvas.width !== header.width || canvas.height !== header.height) {
    canvas.width = header.width;
    canvas.height = header.height;
  }
  const [lo, hi] = limits(values);
  const image = context.createImageData(header.width, header.height);
  render(values, lo, hi, $('stretch').value, colourTable($('colours').value), image.data);
  context.putImageData(image, 0, 0);
  drawHistogram(values, lo, hi);
  $('range').textContent = `${lo.toPrecision(6)} … ${hi.toPrecision(6)}`;
  canvas.dataset.sampleId = header.sample_id ?? '';
  canvas.dataset.lo = lo;
  canvas.dataset.hi = hi;
  readout();
}

function drawHistogram(values, lo, hi) {
  const h = $('histogram');
  const g = h.getContext('2d');
  const counts = histogram(values, lo, hi, h.width);
  let top = 1;
  for (const c of counts) top = Math.max(top, c);
  g.fillStyle = '#111';
  g.fillRect(0, 0, h.width, h.height);
  g.fillStyle = '#9c9';
  for (let i = 0; i < counts.length; ++i) {
    const bar = counts[i] ? (Math.log(counts[i] + 1) / Math.log(top + 1)) * h.height : 0;
    g.fillRect(i, h.height - bar, 1, bar);
  }
}

function showFrame(buffer) {
  const { header, pixels } = parseFrameMessage(buffer);
  current = { header, pixels, values: decodePixels(pixels, header) };
  read.push({ t: performance.now(), n: header.frames_read });
  draw();
  shown.push({ t: performance.now(), n: (shown.length ? shown[shown.length - 1].n : 0) + 1 });
  const now = Date.now() / 1000;
  $('sample_id').textContent = header.sample_id ?? '–';
  $('shape').textContent = `${header.width} × ${header.height} ${header.data_type}` +
    (header.depth > 1 ? ` (plane 1 of ${header.depth})` : '');
  $('sender_time').textContent = seconds(header.sender_timestamp);
  $('receive_time').textContent = seconds(header.receive_time);
  const sender = Number(header.sender_timestamp);
  $('latency').textContent = sender > 0 ? `${((now - sender) * 1000).toFixed(0)} ms since sent, ` +
    `${((now - Number(header.publish_time)) * 1000).toFixed(0)} ms since published`
    : `${((now - Number(header.publish_time)) * 1000).toFixed(0)} ms since published`;
  $('fps_shown').textContent = rate(shown);
  $('fps_read').textContent = rate(read);
  $('skipped').textContent = `${header.bad_entries} bad image, ${header.too_large} too large`;
}

function askNext() {
  if (!paused && socket && socket.readyState === WebSocket.OPEN) socket.send('next');
}

function connect() {
  socket = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws`);
  socket.binaryType = 'arraybuffer';
  socket.onopen = askNext;
  socket.onmessage = (event) => {
    if (typeof event.data === 'string') {
      const status = JSON.parse(event.data);
      setState(status.state, status.message);
      return;
    }
    if (paused) return;  // resuming asks for the newest frame again
    try {
      showFrame(event.data);
    } catch (error) {
      setState('bad frame', String(error));
    }
    requestAnimationFrame(askNext);
  };
  socket.onclose = () => {
    setState('disconnected', 'the viewer server does not answer; retrying');
    setTimeout(connect, 1000);
  };
}

// The pixel under the cursor, or the one pinned with "?at=x,y" in the page address.
const pinned = new URLSearchParams(location.search).get('at')?.split(',').map(Number);
let pointer = pinned && pinned.length === 2 && pinned.every(Number.isInteger) ? pinned : null;

function readout() {
  if (!current || !pointer) return;
  const [x, y] = pointer;
  if (x < 0 || y < 0 || x >= current.header.width || y >= current.header.height) return;
  $('cursor').textContent = `${x}, ${y}`;
  $('value').textContent = String(current.values[y * current.header.width + x]);
  // What the canvas shows there, as drawn.
  $('value').dataset.rgb = Array.from(context.getImageData(x, y, 1, 1).data.slice(0, 3)).join(',');
}

canvas.addEventListener('mousemove', (event) => {
  if (!current) return;
  const rect = canvas.getBoundingClientRect();
  pointer = [Math.floor(((event.clientX - rect.left) / rect.width) * canvas.width),
             Math.floor(((event.clientY - rect.top) / rect.height) * canvas.height)];
  readout();
});
for (const id of ['limits', 'stretch', 'colours']) $(id).addEventListener('change', draw);
$('pause').addEventListener('click', () => {
  paused = !paused;
  $('pause').textContent = paused ? 'Resume' : 'Pause';
  askNext();
});
$('save').addEventListener('click', () => {
  if (!current) return;
  const blob = new Blob([makeFits(current.header, current.pixels)], { type: 'application/fits' });
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = `vidra-${current.header.sample_id ?? current.header.entry_id}.fits`;
  link.click();
  URL.revokeObjectURL(link.href);
});
connect();
