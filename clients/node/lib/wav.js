'use strict';
// A mono 16-bit WAV file written as the samples come; its sizes are filled
// in when it is closed.
const fs = require('node:fs');

const LITTLE_ENDIAN = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

function header(sampleRate, dataBytes) {
  const h = Buffer.alloc(44);
  h.write('RIFF', 0);
  h.writeUInt32LE(36 + dataBytes, 4);
  h.write('WAVEfmt ', 8);
  h.writeUInt32LE(16, 16); // size of the fmt chunk
  h.writeUInt16LE(1, 20); // integer PCM
  h.writeUInt16LE(1, 22); // one channel
  h.writeUInt32LE(sampleRate, 24);
  h.writeUInt32LE(sampleRate * 2, 28); // bytes per second
  h.writeUInt16LE(2, 32); // bytes per frame
  h.writeUInt16LE(16, 34);
  h.write('data', 36);
  h.writeUInt32LE(dataBytes, 40);
  return h;
}

class WavWriter {
  /** A WAV file holds a whole rate: a fractional sampleRate is rounded. */
  constructor(path, sampleRate) {
    this.path = path;
    this.sampleRate = Math.round(sampleRate);
    this.fd = fs.openSync(path, 'w');
    this.bytes = 0;
    fs.writeSync(this.fd, header(this.sampleRate, 0));
  }

  write(samples) {
    let bytes = Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength);
    // The file is little-endian whatever the machine; the caller's samples stay as they are.
    if (!LITTLE_ENDIAN) bytes = Buffer.from(bytes).swap16();
    fs.writeSync(this.fd, bytes);
    this.bytes += bytes.length;
  }

  /** Fills in the sizes and closes; returns { path, frames, seconds }. */
  close() {
    fs.writeSync(this.fd, header(this.sampleRate, this.bytes), 0, 44, 0);
    fs.closeSync(this.fd);
    const frames = this.bytes / 2;
    return { path: this.path, frames, seconds: frames / this.sampleRate };
  }
}

module.exports = { WavWriter };
