'use strict';
// nimbrel-tap as typed events, its PCM as whole samples placed in time.
const { EventEmitter } = require('node:events');
const { spawnSidecar, readMessages } = require('./sidecar');
const { PcmDecoder } = require('./pcm');
const { PcmTimeline } = require('./timeline');
const { errorAdvice, changeAdvice } = require('./advice');
const { stopChild, explainExit } = require('./stop');

/**
 * Events: 'format', 'started', 'device-changed' (with advice and its place
 * in the PCM), 'tap-error' (the "error" line, with advice; not 'error',
 * which an EventEmitter throws when nobody listens), 'pcm' (Int16Array,
 * never before 'format'), 'drop', 'exit', 'bad-input', 'spawn-error'.
 */
class Tap extends EventEmitter {
  constructor({ path, args = [], env, timeline = {} }) {
    super();
    this.path = path;
    this.args = args;
    this.env = env;
    this.timelineOptions = timeline;
    this.format = null;
    this.timeline = null;
    this.child = null;
    this.closed = null;
  }

  start() {
    const child = spawnSidecar(this.path, this.args, this.env);
    this.child = child;
    const pcm = new PcmDecoder();
    child.on('error', (error) => this.emit('spawn-error', error));
    readMessages(child.stderr, 'tap', this, (message) => this.take(message, pcm));
    child.stdout.on('data', (chunk) => this.deliver(pcm.push(chunk)));
    this.pcm = pcm;
    this.closed = new Promise((resolve) => {
      child.on('close', (code, signal) => {
        const left = pcm.leftover();
        if (left) this.emit('bad-input', { program: 'tap', line: '', problem: `${left} PCM bytes left over at exit` });
        const result = { code, signal, explanation: explainExit('tap', code, signal), position: this.position() };
        this.emit('exit', result);
        resolve(result);
      });
    });
    return this;
  }

  take(message, pcm) {
    switch (message.type) {
      case 'format':
        this.format = message;
        this.timeline = new PcmTimeline(message.sampleRate, this.timelineOptions);
        this.emit('format', message);
        return this.deliver(pcm.start());
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

  /** Frames received, frames by the clock, frames inferred dropped; with the first frame's host time. */
  position() {
    if (!this.timeline) return null;
    return {
      ...this.timeline.position(),
      firstFrameNs: this.timeline.firstFrameNs,
      firstFrameEpochMs: this.timeline.firstFrameEpochMs,
    };
  }

  /** Ends stdin, then escalates; resolves once all PCM has been delivered. */
  async stop(waits) {
    if (!this.child) return null;
    const result = await stopChild(this.child, 'tap', waits);
    await this.closed;
    return { ...result, position: this.position() };
  }
}

module.exports = { Tap };
