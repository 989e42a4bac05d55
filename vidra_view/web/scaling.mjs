// Pixel decoding and display scaling of the viewer page; plain functions so
// that node can test them.

const kTypeReaders = {
  Char: (v, o, le) => v.getInt8(o),
  Byte: (v, o, le) => v.getUint8(o),
  Int16: (v, o, le) => v.getInt16(o, le),
  UInt16: (v, o, le) => v.getUint16(o, le),
  Int32: (v, o, le) => v.getInt32(o, le),
  UInt32: (v, o, le) => v.getUint32(o, le),
  Int64: (v, o, le) => Number(v.getBigInt64(o, le)),
  UInt64: (v, o, le) => Number(v.getBigUint64(o, le)),
  Float: (v, o, le) => v.getFloat32(o, le),
  Double: (v, o, le) => v.getFloat64(o, le),
};

export const kPixelTypes = Object.keys(kTypeReaders);

// Splits a frame message: u32 LE JSON length, JSON, padding to 8, pixels.
export function parseFrameMessage(buffer) {
  const view = new DataView(buffer);
  const length = view.getUint32(0, true);
  const header = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 4, length)));
  const offset = Math.ceil((4 + length) / 8) * 8;
  return { header, pixels: new DataView(buffer, offset) };
}

// The pixel values (first plane) as numbers, row 0 first, x fastest.
export function decodePixels(pixels, header) {
  const read = kTypeReaders[header.data_type];
  if (!read) throw new Error(`unknown pixel type ${header.data_type}`);
  const count = header.width * header.height;
  const size = header.bytes_per_pixel;
  if (pixels.byteLength < count * size) throw new Error('frame shorter than its header states');
  const le = !header.big_endian;
  const values = new Float64Array(count);
  for (let i = 0; i < count; ++i) values[i] = read(pixels, i * size, le);
  return values;
}

function finite(values) {
  const out = [];
  for (const v of values) if (Number.isFinite(v)) out.push(v);
  return out;
}

// Up to `limit` finite values taken evenly over the image.
export function sample(values, limit) {
  const step = Math.max(1, Math.floor(values.length / limit));
  const out = [];
  for (let i = 0; i < values.length && out.length < limit; i += step) {
    if (Number.isFinite(values[i])) out.push(values[i]);
  }
  return out;
}

export function minMax(values) {
  let lo = Infinity;
  let hi = -Infinity;
  for (const v of values) {
    if (!Number.isFinite(v)) continue;
    if (v < lo) lo = v;
    if (v > hi) hi = v;
  }
  return lo <= hi ? [lo, hi] : [0, 1];
}

function quantile(sorted, q) {
  if (sorted.length === 0) return 0;
  const pos = q * (sorted.length - 1);
  const i = Math.floor(pos);
  const f = pos - i;
  return i + 1 < sorted.length ? sorted[i] * (1 - f) + sorted[i + 1] * f : sorted[i];
}

// Limits keeping the central `percent` of the values (99.5: 0.25% cut on each side).
export function percentileLimits(values, percent, limit = 200000) {
  const sorted = Float64Array.from(values.length > limit ? sample(values, limit) : finite(values)).sort();
  if (sorted.length === 0) return [0, 1];
  const cut = (1 - percent / 100) / 2;
  return [quantile(sorted, cut), quantile(sorted, 1 - cut)];
}

// IRAF's zscale: a line fitted to the sorted sample with iterative rejection
// of outliers; the limits follow its slope around the median.
export function zscale(values, { samples = 1000, contrast = 0.25, maxReject = 0.5, minPixels = 5, krej = 2.5,
                                 maxIterations = 5 } = {}) {
  const data = Float64Array.from(sample(values, samples)).sort();
  const n = data.length;
  if (n === 0) return [0, 1];
  let zmin = data[0];
  let zmax = data[n - 1];
  const minpix = Math.max(minPixels, Math.floor(n * maxReject));
  const ngrow = Math.max(1, Math.floor(n * 0.01));
  let bad = new Uint8Array(n);
  let good = n;
  let lastGood = n + 1;
  let slope = 0;
  for (let iter = 0; iter < maxIterations && good < lastGood && good >= minpix; ++iter) {
    // Least-squares line through the good points.
    let sx = 0, sy = 0, sxx = 0, sxy = 0, m = 0;
    for (let i = 0; i < n; ++i) {
      if (bad[i]) continue;
      sx += i; sy += data[i]; sxx += i * i; sxy += i * data[i]; ++m;
    }
    const denom = m * sxx - sx * sx;
    slope = denom !== 0 ? (m * sxy - sx * sy) / denom : 0;
    const intercept = (sy - slope * sx) / m;
    let s = 0, s2 = 0;
    const flat = new Float64Array(n);
    for (let i = 0; i < n; ++i) {
      flat[i] = data[i] - (slope * i + intercept);
      if (!bad[i]) { s += flat[i]; s2 += flat[i] * flat[i]; }
    }
    const mean = s / m;
    const threshold = krej * Math.sqrt(Math.max(0, s2 / m - mean * mean));
    const rejected = new Uint8Array(n);
    for (let i = 0; i < n; ++i) {
      if (bad[i] || flat[i] < -threshold || flat[i] > threshold) {
        // Grow each rejection to its neighbours.
        const from = i - Math.floor((ngrow - 1) / 2);
        for (let k = Math.max(0, from); k < Math.min(n, from + ngrow); ++k) rejected[k] = 1;
      }
    }
    bad = rejected;
    lastGood = good;
    good = n - bad.reduce((a, b) => a + b, 0);
  }
  if (good >= minpix) {
    if (contrast > 0) slope /= contrast;
    const center = Math.floor((n - 1) / 2);
    const median = n % 2 ? data[center] : (data[center] + data[center + 1]) / 2;
    zmin = Math.max(zmin, median - (center - 1) * slope);
    zmax = Math.min(zmax, median + (n - center) * slope);
  }
  return [zmin, zmax];
}

// Maps t in [0, 1] (clipped) through a display stretch to [0, 1].
export function stretch(t, kind) {
  const x = Math.min(1, Math.max(0, Number.isFinite(t) ? t : 0));
  switch (kind) {
    case 'log': return Math.log10(1000 * x + 1) / Math.log10(1001);
    case 'asinh': return Math.asinh(x / 0.1) / Math.asinh(10);
    default: return x;
  }
}

// Anchors of matplotlib's viridis at 0, 1/8, ..., 1.
const kViridis = [[68, 1, 84], [71, 44, 122], [59, 81, 139], [44, 113, 142], [33, 144, 141], [39, 173, 129],
                  [92, 200, 99], [170, 220, 50], [253, 231, 37]];

// 256 RGB entries of a colour map: 'grey' or 'viridis'.
export function colourTable(name) {
  const table = new Uint8Array(256 * 3);
  for (let i = 0; i < 256; ++i) {
    if (name === 'viridis') {
      const pos = (i / 255) * (kViridis.length - 1);
      const k = Math.min(kViridis.length - 2, Math.floor(pos));
      const f = pos - k;
      for (let c = 0; c < 3; ++c) table[3 * i + c] = Math.round(kViridis[k][c] * (1 - f) + kViridis[k + 1][c] * f);
    } else {
      table.fill(i, 3 * i, 3 * i + 3);
    }
  }
  return table;
}

// The display level (0..255) of a value between the limits.
export function level(value, lo, hi, kind) {
  const t = hi > lo ? (value - lo) / (hi - lo) : 0;
  return Math.round(255 * stretch(t, kind));
}

// RGBA bytes of the image for a canvas.
export function render(values, lo, hi, kind, table, out) {
  const lut = new Uint8Array(4096);
  for (let i = 0; i < 4096; ++i) lut[i] = Math.round(255 * stretch(i / 4095, kind));
  const scale = hi > lo ? 4095 / (hi - lo) : 0;
  for (let i = 0; i < values.length; ++i) {
    const v = values[i];
    const k = Number.isFinite(v) ? Math.min(4095, Math.max(0, Math.round((v - lo) * scale))) : 0;
    const l = lut[k];
    out[4 * i] = table[3 * l];
    out[4 * i + 1] = table[3 * l + 1];
    out[4 * i + 2] = table[3 * l + 2];
    out[4 * i + 3] = 255;
  }
  return out;
}

// Counts of the values in `bins` equal bins between the limits (outside: not counted).
export function histogram(values, lo, hi, bins) {
  const counts = new Uint32Array(bins);
  if (!(hi > lo)) return counts;
  const scale = bins / (hi - lo);
  for (const v of values) {
    if (!(v >= lo && v <= hi)) continue;
    counts[Math.min(bins - 1, Math.floor((v - lo) * scale))]++;
  }
  return counts;
}
