'use strict';
// nimbrel-tap as typed events, its PCM as whole samples placed in time.
const { EventEmitter } = require('node:events');
const { Readable } = require('node:stream');
const { spawnSidecar, readMessages } = require('./sidecar');
const { PcmDecoder } = require('./pcm');
const { PcmTimeline } = require('./timeline');
const { errorAdvice, changeAdvice } = require('./advice');
const { stopChild, explainExit, stopWhenAborted } = require('./stop');

/**
 * Events: 'format', 'started', 'device-changed' (with advice and its place
 * in the PCM), 'tap-error' (the "error" line, with advice; not 'error',
 * which an EventEmitter throws when nobody listens), 'pcm' (Int16Array,
 * never before 'format'), 'drop', 'exit', 'bad-input', 'spawn-error'.
 */
class Tap extends EventEmitter {
  constructor({ path, args = [], env, timeline = {}, maxHeldBytes }) {
    super();
    this.path = path;
    this.args = args;
    this.env = env;
    this.timelineOptions = timeline;
    this.maxHeldBytes = maxHeldBytes;
    this.format = null;
    this.timeline = null;
    this.child = null;
    this.closed = null;
    this.ready = null;
    this.stopping = false;
    this.final = null; // the position at exit, which no longer moves
  }

  /** Starts the program once; a second call does nothing. `signal` aborting stops it. */
  start({ signal } = {}) {
    if (this.child) return this;
    const child = spawnSidecar(this.path, this.args, this.env);
    this.child = child;
    this.spawnNs = process.hrtime.bigint();
    const pcm = new PcmDecoder({ maxHeldBytes: this.maxHeldBytes });
    this.pcm = pcm;
    this.ready = new Promise((resolve, reject) => {
      this.once('started', resolve);
      this.once('tap-error', (error) => reject(Object.assign(new Error(`${error.code}: ${error.message}`), { tapError: error })));
      this.once('spawn-error', reject);
      this.once('exit', (exit) => reject(Object.assign(new Error(`tap ended before it started: ${exit.explanation}`), { exit })));
    });
    this.ready.catch(() => {}); // a failure nobody awaits is no unhandled rejection
    child.on('error', (error) => this.emit('spawn-error', error));
    readMessages(child.stderr, 'tap', this, (message) => this.take(message, pcm));
    child.stdout.on('data', (chunk) => {
      const samples = pcm.push(chunk);
      if (pcm.droppedBytes && !this.heldTooMuch) {
        this.heldTooMuch = true;
        this.bad(`PCM before "format" beyond ${pcm.maxHeldBytes} bytes, dropped`);
      }
      this.deliver(samples);
    });
    this.closed = new Promise((resolve) => {
      child.on('close', (code, signal) => {
        const left = pcm.leftover();
        if (left) this.bad(`${left} PCM bytes left over at exit`);
        for (const drop of this.timeline ? this.timeline.finish(this.stopNs) : []) this.emit('drop', drop);
        this.final = this.position();
        const expected = this.stopping;
        const explanation = code === 0 && !signal && !this.format
          ? 'ended before its format: nothing was captured'
          : explainExit('tap', code, signal);
        const result = { code, signal, expected, explanation, position: this.final };
        this.emit('exit', result);
        resolve(result);
      });
    });
    if (signal) stopWhenAborted(signal, () => this.stop());
    return this;
  }

  bad(problem) {
    this.emit('bad-input', { program: 'tap', line: '', problem });
  }

  take(message, pcm) {
    switch (message.type) {
      case 'format': {
        if (this.format) return this.bad('a second "format", ignored');
        this.format = message;
        this.timeline = new PcmTimeline(message.sampleRate, { startNs: this.spawnNs, ...this.timelineOptions });
        const held = pcm.start(); // before any listener runs: PCM never waits on one
        this.emit('format', message);
        return this.deliver(held);
      }
      case 'started':
        return this.emit('started', message);
      case 'device-changed':
        return this.emit('device-changed', { ...message, advice: changeAdvice(message.reason), position: this.position() });
      case 'error':
        return this.emit('tap-error', { ...message, advice: errorAdvice(message.code), formatToDiscard: this.format });
    }
  }

  deliver(samples) {
    if (!samples.length) return;
    const at = this.timeline.frames;
    const drop = this.timeline.add(samples.length);
    this.emit('pcm', samples, at);
    if (drop) this.emit('drop', drop);
  }

  /** Frames received, frames by the clock, frames inferred dropped; with the first frame's host time. Frozen at exit. */
  position() {
    if (this.final) return this.final;
    if (!this.timeline) return null;
    return {
      ...this.timeline.position(this.stopNs),
      firstFrameNs: this.timeline.firstFrameNs,
      firstFrameEpochMs: this.timeline.firstFrameEpochMs,
    };
  }

  /**
   * The PCM as a Readable of s16le bytes from "format" on, for
   * stream.pipeline; a reader that falls behind pauses the tap's output.
   */
  stream() {
    const readable = new Readable({ read: () => this.child && this.child.stdout.resume() });
    this.on('pcm', (samples) => {
      if (!readable.push(Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength))) this.child.stdout.pause();
    });
    this.on('exit', () => readable.push(null));
    return readable;
  }

  /** Ends stdin, then escalates; resolves after 'exit', once all PCM has been delivered. */
  async stop(waits) {
    if (!this.child) return null;
    if (!this.stopping) {
      this.stopping = true;
      this.stopNs = process.hrtime.bigint(); // capture ends about now
    }
    const result = await stopChild(this.child, 'tap', waits);
    const exit = await this.closed;
    return { ...result, explanation: exit.explanation, position: this.position() };
  }
}

module.exports = { Tap };
