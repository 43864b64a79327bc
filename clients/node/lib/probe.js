'use strict';
// nimbrel-probe as typed events, restarted with backoff when it dies.
const { EventEmitter } = require('node:events');
const { spawnSidecar, readMessages } = require('./sidecar');
const { diffOwners } = require('./owners');
const { stopChild, explainExit, stopWhenAborted } = require('./stop');

const sameState = (a, b) => JSON.stringify(a) === JSON.stringify(b);

/**
 * Events: 'hello', 'state' (every report, heartbeats too), 'change' (a state
 * that differs from the last), 'exit', 'restart', 'bad-input', 'spawn-error'.
 */
class Probe extends EventEmitter {
  constructor({ path, args = [], env, backoff = {} }) {
    super();
    this.path = path;
    this.args = args;
    this.env = env;
    this.backoff = { firstMs: 500, maxMs: 30000, steadyMs: 60000, ...backoff };
    this.state = null;
    this.child = null;
    this.stopping = false;
    this.failures = 0;
    this.timer = null;
  }

  /** Starts the probe; a second call while it runs (or waits to restart) does nothing. `signal` aborting stops it. */
  start({ signal } = {}) {
    if (this.child && !this.stopping) return this;
    this.stopping = false;
    this.launch();
    if (signal) stopWhenAborted(signal, () => this.stop());
    return this;
  }

  launch() {
    const child = spawnSidecar(this.path, this.args, this.env);
    this.child = child;
    const startedAt = Date.now();
    child.on('error', (error) => this.emit('spawn-error', error));
    child.stderr.resume(); // the probe writes nothing there
    readMessages(child.stdout, 'probe', this, (message) => this.take(message));
    this.closed = new Promise((resolve) => child.on('close', resolve));
    child.on('close', (code, signal) => {
      const expected = this.stopping;
      this.emit('exit', { code, signal, expected, explanation: explainExit('probe', code, signal) });
      if (expected || this.child !== child) return;
      // A run that lasted resets the backoff; one that keeps dying waits longer.
      if (Date.now() - startedAt > this.backoff.steadyMs) this.failures = 0;
      const delayMs = Math.min(this.backoff.maxMs, this.backoff.firstMs * 2 ** this.failures);
      this.failures += 1;
      this.emit('restart', { attempt: this.failures, delayMs });
      this.timer = setTimeout(() => this.launch(), delayMs);
    });
  }

  take(message) {
    if (message.type === 'hello') return this.emit('hello', message);
    const previous = this.state;
    this.state = message;
    this.emit('state', message);
    if (previous && sameState(previous, message)) return;
    this.emit('change', {
      state: message,
      previous,
      micHotChanged: !previous || previous.micHot !== message.micHot,
      audioPlayingChanged: !previous || previous.audioPlaying !== message.audioPlaying,
      owners: diffOwners(previous ? previous.owners : [], message.owners),
    });
  }

  /** Ends stdin, then escalates; resolves with how it ended, after its 'exit' event. No restart after. */
  async stop(waits) {
    this.stopping = true;
    clearTimeout(this.timer);
    if (!this.child) return null;
    const result = await stopChild(this.child, 'probe', waits);
    await this.closed;
    return result;
  }
}

module.exports = { Probe };
