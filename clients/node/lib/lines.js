'use strict';
// Splits a byte stream into lines across chunks; a last line without its
// "\n" at the end of the stream is handed back as truncated.
const { StringDecoder } = require('node:string_decoder');

class LineSplitter {
  constructor() {
    this.decoder = new StringDecoder('utf8'); // a character may span chunks
    this.pending = '';
  }

  /** The complete lines so far of `chunk` (Buffer), without their "\n". */
  push(chunk) {
    const lines = (this.pending + this.decoder.write(chunk)).split('\n');
    this.pending = lines.pop();
    return lines;
  }

  /** At the stream's end: the cut-off last line, or undefined if none. */
  end() {
    const rest = this.pending + this.decoder.end();
    this.pending = '';
    return rest === '' ? undefined : rest;
  }
}

module.exports = { LineSplitter };
