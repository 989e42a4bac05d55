// The FITS file the page saves: header cards, big-endian data, BZERO for unsigned types.
import test from 'node:test';
import assert from 'node:assert/strict';
import { makeFits } from '../../web/fits.mjs';

function cards(bytes) {
  const text = new TextDecoder().decode(bytes.slice(0, 2880));
  const out = {};
  for (let i = 0; i < text.length; i += 80) {
    const card = text.slice(i, i + 80);
    if (card.startsWith('END ')) break;
    out[card.slice(0, 8).trim()] = card.slice(10, 30).trim();
  }
  return out;
}

test('UInt16 little-endian frame becomes BITPIX 16 with BZERO 32768', () => {
  const pixels = new DataView(new ArrayBuffer(6));
  [0, 1, 65535].forEach((v, i) => pixels.setUint16(2 * i, v, true));
  const fits = makeFits({ width: 3, height: 1, data_type: 'UInt16', big_endian: false, sample_id: '12' }, pixels);
  assert.equal(fits.length, 2 * 2880);
  const header = cards(fits);
  assert.equal(header.SIMPLE, 'T');
  assert.equal(header.BITPIX, '16');
  assert.equal(header.NAXIS1, '3');
  assert.equal(header.NAXIS2, '1');
  assert.equal(header.BZERO, '32768');
  assert.equal(header.SAMPLEID, "'12      '");
  const data = new DataView(fits.buffer, 2880);
  assert.deepEqual([0, 1, 2].map((i) => data.getInt16(2 * i, false) + 32768), [0, 1, 65535]);
});

test('Float and big-endian Int32 frames keep their values', () => {
  const floats = new DataView(new ArrayBuffer(8));
  floats.setFloat32(0, -1.5, true);
  floats.setFloat32(4, 1e30, true);
  const f = makeFits({ width: 1, height: 2, data_type: 'Float', big_endian: false }, floats);
  assert.equal(cards(f).BITPIX, '-32');
  assert.equal(cards(f).BZERO, undefined);
  assert.equal(new DataView(f.buffer, 2880).getFloat32(4, false), Math.fround(1e30));
  const ints = new DataView(new ArrayBuffer(4));
  ints.setInt32(0, -123456, false);
  const g = makeFits({ width: 1, height: 1, data_type: 'Int32', big_endian: true }, ints);
  assert.equal(new DataView(g.buffer, 2880).getInt32(0, false), -123456);
  assert.throws(() => makeFits({ width: 1, height: 1, data_type: 'Complex' }, ints), /unknown/);
});
