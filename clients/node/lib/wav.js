'use strict';
// A mono 16-bit WAV file written as the samples come. Its sizes are made
// true at least every headerEveryMs while it is written, and at close: a file
// cut off by a crash reads up to about its last second.
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
  constructor(path, sampleRate, { headerEveryMs = 1000, clock = Date.now } = {}) {
    this.path = path;
    this.sampleRate = Math.round(sampleRate);
    this.headerEveryMs = headerEveryMs;
    this.clock = clock;
    this.headerAt = clock();
    this.bytes = 0;
    this.fd = fs.openSync(path, 'w');
    try {
      fs.writeSync(this.fd, header(this.sampleRate, 0));
    } catch (error) {
      fs.closeSync(this.fd);
      throw error;
    }
  }

  write(samples) {
    let bytes = Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength);
    // The file is little-endian whatever the machine; the caller's samples stay as they are.
    if (!LITTLE_ENDIAN) bytes = Buffer.from(bytes).swap16();
    fs.writeSync(this.fd, bytes, 0, bytes.length, 44 + this.bytes);
    this.bytes += bytes.length;
    if (this.clock() - this.headerAt >= this.headerEveryMs) this.writeHeader();
  }

  writeHeader() {
    this.headerAt = this.clock();
    fs.writeSync(this.fd, header(this.sampleRate, this.bytes), 0, 44, 0);
  }

  /** Fills in the sizes and closes; returns { path, frames, seconds }. */
  close() {
    try {
      this.writeHeader();
    } finally {
      fs.closeSync(this.fd);
    }
    const frames = this.bytes / 2;
    return { path: this.path, frames, seconds: frames / this.sampleRate };
  }
}

module.exports = { WavWriter };
