'use strict';
// Splits a byte stream into lines across chunks; a last line without its
// "\n" at the end of the stream is handed back as truncated. A line longer
// than maxLength is cut off and skipped, so a program that never ends its
// line cannot make the parent hold it all.
const { StringDecoder } = require('node:string_decoder');

class LineSplitter {
  /** onTooLong(head) gets the first 200 characters of each line skipped for its length. */
  constructor({ maxLength = 1 << 20, onTooLong = () => {} } = {}) {
    this.decoder = new StringDecoder('utf8'); // a character may span chunks
    this.pending = '';
    this.maxLength = maxLength;
    this.onTooLong = onTooLong;
    this.skipping = false; // inside a line already reported as too long
  }

  /** The complete lines so far of `chunk` (Buffer), without their "\n". */
  push(chunk) {
    const lines = (this.pending + this.decoder.write(chunk)).split('\n');
    this.pending = lines.pop();
    const whole = [];
    for (const line of lines) {
      if (this.skipping) this.skipping = false; // the end of the skipped line
      else if (line.length > this.maxLength) this.onTooLong(line.slice(0, 200));
      else whole.push(line);
    }
    if (this.pending.length > this.maxLength) {
      if (!this.skipping) this.onTooLong(this.pending.slice(0, 200));
      this.skipping = true;
      this.pending = '';
    }
    return whole;
  }

  /** At the stream's end: the cut-off last line, or undefined if none. */
  end() {
    const rest = this.pending + this.decoder.end();
    const skipped = this.skipping;
    this.pending = '';
    this.skipping = false;
    return rest === '' || skipped ? undefined : rest;
  }
}

module.exports = { LineSplitter };
