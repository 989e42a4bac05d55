// A minimal FITS file (one primary image) of a frame, written in the page.

const kBitpix = {
  Char: [8, -128], Byte: [8, 0], Int16: [16, 0], UInt16: [16, 32768], Int32: [32, 0], UInt32: [32, 2147483648],
  Int64: [64, 0], UInt64: [64, 9223372036854775808n], Float: [-32, 0], Double: [-64, 0],
};

function card(key, value, comment = '') {
  const text = key.padEnd(8) + '= ' + String(value).padStart(20) + (comment ? ' / ' + comment : '');
  return text.slice(0, 80).padEnd(80);
}

function quoted(text) {
  return `'${String(text).replace(/'/g, "''").replace(/[^\x20-\x7e]/g, '?').slice(0, 60).padEnd(8)}'`;
}

// FITS bytes of the first plane of a frame: `header` as the server sent it,
// `pixels` a DataView of its raw pixels.
export function makeFits(header, pixels) {
  const entry = kBitpix[header.data_type];
  if (!entry) throw new Error(`unknown pixel type ${header.data_type}`);
  const [bitpix, bzero] = entry;
  const cards = [card('SIMPLE', 'T', 'FITS standard'), card('BITPIX', bitpix), card('NAXIS', 2),
                 card('NAXIS1', header.width), card('NAXIS2', header.height)];
  if (bzero !== 0) {
    cards.push(card('BZERO', bzero.toString()), card('BSCALE', 1));
  }
  if (header.sample_id !== undefined) cards.push(card('SAMPLEID', quoted(header.sample_id), 'VESK sample id'));
  if (header.entry_id !== undefined) cards.push(card('ENTRYID', quoted(header.entry_id), 'stream entry id'));
  cards.push('END'.padEnd(80));
  const headerBytes = Math.ceil((cards.length * 80) / 2880) * 2880;
  const size = Math.abs(bitpix) / 8;
  const count = header.width * header.height;
  const dataBytes = Math.ceil((count * size) / 2880) * 2880;
  const out = new Uint8Array(headerBytes + dataBytes);
  out.fill(0x20, 0, headerBytes);
  const text = cards.join('');
  for (let i = 0; i < text.length; ++i) out[i] = text.charCodeAt(i);
  const le = !header.big_endian;
  const dst = new DataView(out.buffer, headerBytes);
  for (let i = 0; i < count; ++i) {
    const o = i * size;
    switch (header.data_type) {
      case 'Char': dst.setUint8(o, pixels.getInt8(o) + 128); break;
      case 'Byte': dst.setUint8(o, pixels.getUint8(o)); break;
      case 'Int16': dst.setInt16(o, pixels.getInt16(o, le)); break;
      case 'UInt16': dst.setInt16(o, pixels.getUint16(o, le) - 32768); break;
      case 'Int32': dst.setInt32(o, pixels.getInt32(o, le)); break;
      case 'UInt32': dst.setInt32(o, pixels.getUint32(o, le) - 2147483648); break;
      case 'Int64': dst.setBigInt64(o, pixels.getBigInt64(o, le)); break;
      case 'UInt64': dst.setBigInt64(o, pixels.getBigUint64(o, le) - 9223372036854775808n); break;
      case 'Float': dst.setFloat32(o, pixels.getFloat32(o, le)); break;
      case 'Double': dst.setFloat64(o, pixels.getFloat64(o, le)); break;
    }
  }
  return out;
}
