'use strict';
// Turns the tap's standard output into whole 16-bit samples: a read may end
// in the middle of a sample, and the stream may be read before the "format"
// line that describes it; what is held then is capped at maxHeldBytes.

class PcmDecoder {
  constructor({ maxHeldBytes = 1 << 20 } = {}) {
    this.held = []; // chunks that came before the format
    this.heldBytes = 0;
    this.maxHeldBytes = maxHeldBytes;
    this.droppedBytes = 0; // beyond the cap, before the format
    this.odd = null; // the first byte of a sample cut by a read
    this.ready = false;
  }

  /** Releases what was held; returns its samples. */
  start() {
    this.ready = true;
    const held = Buffer.concat(this.held);
    this.held = [];
    this.heldBytes = 0;
    return this.push(held);
  }

  /** Samples of `chunk` (an Int16Array, possibly empty); none before start(). */
  push(chunk) {
    if (!this.ready) {
      const room = Math.max(0, this.maxHeldBytes - this.heldBytes);
      if (room < chunk.length) this.droppedBytes += chunk.length - room;
      if (room) this.held.push(Buffer.from(chunk.subarray(0, room)));
      this.heldBytes += Math.min(room, chunk.length);
      return new Int16Array(0);
    }
    let bytes = chunk;
    if (this.odd) {
      bytes = Buffer.concat([this.odd, chunk]);
      this.odd = null;
    }
    const whole = bytes.length & ~1;
    if (whole < bytes.length) this.odd = Buffer.from(bytes.subarray(whole));
    const samples = new Int16Array(whole / 2);
    // One copy, not a read per sample: the hosts (arm64, x86-64) are little-endian too.
    new Uint8Array(samples.buffer).set(bytes.subarray(0, whole));
    return samples;
  }

  /** Bytes left over at the end: an odd byte, or everything if never started. */
  leftover() {
    return (this.odd ? 1 : 0) + this.heldBytes;
  }
}

module.exports = { PcmDecoder };
