// Decoding and display scaling of the viewer page.
import test from 'node:test';
import assert from 'node:assert/strict';
import { parseFrameMessage, decodePixels, minMax, percentileLimits, zscale, stretch, level, colourTable, render,
         histogram, kPixelTypes } from '../../web/scaling.mjs';

const kSizes = { Char: 1, Byte: 1, Int16: 2, UInt16: 2, Int32: 4, UInt32: 4, Int64: 8, UInt64: 8, Float: 4, Double: 8 };
const kWriters = {
  Char: (v, o, x) => v.setInt8(o, x), Byte: (v, o, x) => v.setUint8(o, x),
  Int16: (v, o, x, le) => v.setInt16(o, x, le), UInt16: (v, o, x, le) => v.setUint16(o, x, le),
  Int32: (v, o, x, le) => v.setInt32(o, x, le), UInt32: (v, o, x, le) => v.setUint32(o, x, le),
  Int64: (v, o, x, le) => v.setBigInt64(o, BigInt(x), le), UInt64: (v, o, x, le) => v.setBigUint64(o, BigInt(x), le),
  Float: (v, o, x, le) => v.setFloat32(o, x, le), Double: (v, o, x, le) => v.setFloat64(o, x, le),
};

// A frame message as the server builds it.
function message(header, values) {
  const json = new TextEncoder().encode(JSON.stringify(header));
  const at = Math.ceil((4 + json.length) / 8) * 8;
  const buffer = new ArrayBuffer(at + values.length * header.bytes_per_pixel);
  const view = new DataView(buffer);
  view.setUint32(0, json.length, true);
  new Uint8Array(buffer, 4).set(json);
  values.forEach((x, i) => kWriters[header.data_type](view, at + i * header.bytes_per_pixel, x, !header.big_endian));
  return buffer;
}

test('every pixel type decodes in both byte orders', () => {
  const samples = { Char: [-128, 0, 127], Byte: [0, 128, 255], Int16: [-32768, 1, 32767], UInt16: [0, 1, 65535],
                    Int32: [-2147483648, 5, 2147483647], UInt32: [0, 7, 4294967295], Int64: [-(2 ** 40), 0, 2 ** 50],
                    UInt64: [0, 3, 2 ** 52], Float: [-1.5, 0.25, Math.fround(3e38)], Double: [-1e300, Math.PI, 1e-300] };
  assert.deepEqual(kPixelTypes.sort(), Object.keys(samples).sort());
  for (const type of kPixelTypes) {
    for (const big of [false, true]) {
      const header = { width: 3, height: 1, data_type: type, bytes_per_pixel: kSizes[type], big_endian: big,
                       sample_id: '9' };
      const parsed = parseFrameMessage(message(header, samples[type]));
      assert.equal(parsed.header.sample_id, '9');
      assert.deepEqual(Array.from(decodePixels(parsed.pixels, parsed.header)), samples[type], `${type} big=${big}`);
    }
  }
  const header = { width: 4, height: 1, data_type: 'Int16', bytes_per_pixel: 2 };
  assert.throws(() => decodePixels(parseFrameMessage(message(header, [1, 2])).pixels, header), /shorter/);
});

test('min/max and percentile limits ignore non-finite values and cut the tails', () => {
  assert.deepEqual(minMax([3, NaN, -2, Infinity, 7]), [-2, 7]);
  const values = new Float64Array(1000).map((_, i) => i);  // 0..999
  values[0] = -1e9;
  values[999] = 1e9;
  const [lo, hi] = percentileLimits(values, 99);
  assert.ok(lo > 0 && lo < 10, `lo ${lo}`);
  assert.ok(hi > 990 && hi < 999, `hi ${hi}`);
  assert.deepEqual(percentileLimits(values, 100), [-1e9, 1e9]);
});

test('zscale keeps the bulk of a noisy flat image and rejects hot pixels', () => {
  let seed = 1;
  const random = () => ((seed = (seed * 1103515245 + 12345) % 2147483648) / 2147483648);
  const values = new Float64Array(200 * 200).map(() => 1000 + 10 * (random() + random() + random() - 1.5));
  for (let i = 0; i < values.length; i += 97) values[i] = 60000;  // hot pixels
  const [lo, hi] = zscale(values);
  assert.ok(lo > 970 && lo < 1000, `lo ${lo}`);
  assert.ok(hi > 1000 && hi < 1040, `hi ${hi}`);
  // A clean ramp: the limits are its ends.
  const ramp = new Float64Array(1000).map((_, i) => i);
  const [rlo, rhi] = zscale(ramp);
  assert.equal(rlo, 0);
  assert.ok(rhi >= 990, `ramp hi ${rhi}`);
});

test('stretches map the limits to black and white and differ in between', () => {
  for (const kind of ['linear', 'log', 'asinh']) {
    assert.equal(stretch(0, kind), 0);
    assert.equal(stretch(1, kind), 1);
    assert.equal(stretch(-5, kind), 0);
    assert.equal(stretch(5, kind), 1);
  }
  assert.equal(stretch(0.5, 'linear'), 0.5);
  assert.ok(stretch(0.01, 'log') > 0.3);
  assert.ok(stretch(0.01, 'asinh') > 0.02 && stretch(0.01, 'asinh') < stretch(0.01, 'log'));
  assert.equal(level(150, 100, 200, 'linear'), 128);
});

test('rendering uses the colour table and the histogram counts within the limits', () => {
  const grey = colourTable('grey');
  const viridis = colourTable('viridis');
  assert.deepEqual(Array.from(grey.slice(3 * 200, 3 * 201)), [200, 200, 200]);
  assert.deepEqual(Array.from(viridis.slice(0, 3)), [68, 1, 84]);
  assert.deepEqual(Array.from(viridis.slice(765, 768)), [253, 231, 37]);
  const out = render([0, 50, 100, NaN], 0, 100, 'linear', grey, new Uint8Array(16));
  assert.deepEqual(Array.from(out), [0, 0, 0, 255, 128, 128, 128, 255, 255, 255, 255, 255, 0, 0, 0, 255]);
  assert.deepEqual(Array.from(histogram([0, 1, 2, 9.99, 10, 11, -1], 0, 10, 5)), [2, 1, 0, 0, 2]);
});
