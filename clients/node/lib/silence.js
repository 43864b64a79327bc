'use strict';
// The hint of a denied system-audio permission: the tap delivers nothing but
// exact zeros while the probe shows someone playing that the tap should hear.
// A denied permission is no error, so only this pairing can tell.
const { EventEmitter } = require('node:events');

const TEXT = 'The tap has recorded only digital silence while something plays: the system-audio recording ' +
  'permission may be denied. Point the user to System Settings, Privacy & Security, System Audio Recording; ' +
  'once it is granted, start a new tap.';

/**
 * Events: 'long-silence' ({ seconds, atFrame, players, text }), at most once
 * per tap run, once every sample since "format" has been 0 for thresholdMs
 * of PCM (10000) while a player was listed. `excludedPids` are the tap's
 * --exclude-pid processes: what they play is not recorded anyway.
 */
class SilenceWatch extends EventEmitter {
  constructor({ excludedPids = [], thresholdMs = 10000 } = {}) {
    super();
    this.excluded = new Set(excludedPids);
    this.thresholdMs = thresholdMs;
    this.players = [];
    this.tap = null;
    this.restart(0);
  }

  /** A new tap run, at `sampleRate`: its PCM is judged afresh. */
  restart(sampleRate) {
    this.rate = sampleRate;
    this.frames = 0;
    this.heard = false; // a sample other than 0: the permission is there
    this.reported = false;
    this.since = this.players.length ? 0 : null; // frame where silence with a player began
  }

  /** A probe "state": who plays now that the tap would hear. */
  state(state) {
    this.players = state.owners.filter((o) => o.output && !o.ignored && !this.excluded.has(o.pid));
    if (!this.players.length) this.since = null;
    else if (this.since === null) this.since = this.frames;
  }

  /** The tap's samples; returns the report when this is the one that makes it. */
  pcm(samples) {
    if (this.heard || this.reported) return null;
    if (samples.some((s) => s !== 0)) {
      this.heard = true;
      return null;
    }
    this.frames += samples.length;
    const silent = this.since === null ? 0 : this.frames - this.since;
    if (!this.rate || silent < (this.thresholdMs / 1000) * this.rate) return null;
    this.reported = true;
    const report = { seconds: silent / this.rate, atFrame: this.since, players: this.players, text: TEXT };
    this.emit('long-silence', report);
    return report;
  }

  /** Follows `tap` (a Tap, or the Recorder's newest one): later taps replace earlier ones. */
  watchTap(tap) {
    this.tap = tap;
    tap.on('format', (format) => this.tap === tap && this.restart(format.sampleRate));
    tap.on('pcm', (samples) => this.tap === tap && this.pcm(samples));
    return this;
  }

  /** Follows a Probe's every "state". */
  watchProbe(probe) {
    probe.on('state', (state) => this.state(state));
    return this;
  }
}

module.exports = { SilenceWatch };
