'use strict';
// Records the far side to WAV files, one per tap run. On "device-changed" it
// starts a replacement tap and stops the old one once the new one has its
// format; the audio between the change and the new tap's first frame is in
// neither file, and is reported as a 'gap'. A run that ends without being
// asked (or a replacement that fails) is followed by a new one after a
// backoff; no output device means waiting for one, retrying.
const path = require('node:path');
const { EventEmitter } = require('node:events');
const { Tap } = require('./tap');
const { WavWriter } = require('./wav');
const { stopWhenAborted } = require('./stop');

const FORWARDED = ['started', 'device-changed', 'tap-error', 'drop', 'bad-input', 'spawn-error', 'exit'];

/**
 * Events: 'tap' (each new Tap, and its run), 'file-opened' ({ path, format,
 * run }), 'file-closed' ({ path, frames, seconds, run, exit, drops, error }),
 * 'file-error' ({ run, path, op, error }), 'replacing' ({ run, change }),
 * 'restart' ({ run, attempt, delayMs, reason }), 'gave-up' ({ run, error }),
 * 'gap' ({ run, previousRun, cause, seconds }), and the taps' own events
 * with `run` added as a last argument.
 */
class Recorder extends EventEmitter {
  constructor({ path: tapPath, args = [], env, directory, fileName = (run) => `tap-${run}.wav`, timeline, backoff = {} }) {
    super();
    this.options = { path: tapPath, args, env, timeline };
    this.directory = directory;
    this.fileName = fileName;
    this.backoff = { firstMs: 500, maxMs: 30000, steadyMs: 60000, ...backoff };
    this.runs = 0;
    this.current = null;
    this.running = false;
    this.failures = 0;
    this.timer = null;
    this.finished = []; // promises of the closed files
  }

  /** Starts recording once; a second call does nothing. `signal` aborting stops it. */
  start({ signal } = {}) {
    if (this.running) return this;
    this.running = true;
    this.failures = 0;
    this.current = this.startRun(null);
    if (signal) stopWhenAborted(signal, () => this.stop());
    return this;
  }

  /** A new run; `after` is the run it follows, with why ({ record, cause, atMs, replaces }). */
  startRun(after) {
    const run = ++this.runs;
    const tap = new Tap(this.options);
    const record = { run, tap, wav: null, drops: [], error: null, fileError: null, after, startedAt: Date.now() };
    this.emit('tap', tap, run); // before it starts: a listener misses nothing
    for (const name of FORWARDED) tap.on(name, (event) => this.emit(name, event, run));
    tap.on('format', (format) => this.open(record, format));
    tap.on('pcm', (samples) => this.write(record, samples));
    tap.on('drop', (drop) => record.drops.push(drop));
    tap.on('tap-error', (error) => { record.error = error; });
    tap.on('device-changed', (change) => {
      if (this.current !== record) return;
      this.emit('replacing', { run, change });
      this.current = this.startRun({ record, cause: 'device-changed', atMs: Date.now(), replaces: record });
    });
    this.finished.push(tap.start().closed.then((exit) => this.ended(record, exit)));
    return record;
  }

  open(record, format) {
    this.lastCode = null; // a run that got this far ends a series of start-up errors
    const file = path.join(this.directory, this.fileName(record.run));
    try {
      record.wav = new WavWriter(file, format.sampleRate);
      this.emit('file-opened', { path: file, format, run: record.run });
    } catch (error) {
      this.fileFailed(record, error, file, 'open');
    }
    const replaced = record.after && record.after.replaces;
    if (replaced) replaced.tap.stop();
    if (record.after) this.measureGap(record);
  }

  /**
   * The gap runs from the change (or the previous run's last frame, when that
   * came first) to this run's first frame, known once a window of reads has
   * settled the first frame's time, or at this run's exit.
   */
  measureGap(record) {
    const { tap, after } = record;
    const report = () => {
      tap.off('pcm', onPcm);
      tap.off('exit', report);
      const first = tap.position() && tap.position().firstFrameEpochMs;
      if (first === null || first === undefined) return;
      const fromMs = Math.min(after.atMs, after.record.endMs ?? Infinity);
      this.emit('gap', { run: record.run, previousRun: after.record.run, cause: after.cause, seconds: (first - fromMs) / 1000 });
    };
    const onPcm = () => tap.timeline.anchored && report();
    tap.on('pcm', onPcm);
    tap.on('exit', report);
  }

  write(record, samples) {
    const line = record.tap.timeline; // the host time of the last frame so far, drops included
    record.endMs = line.firstFrameEpochMs + ((line.frames + line.dropped) / line.rate) * 1000;
    if (!record.wav) return; // no file: the PCM is let go, never held
    try {
      record.wav.write(samples);
    } catch (error) {
      this.fileFailed(record, error, record.wav.path, 'write');
    }
  }

  /** A file that cannot be written is closed as far as it got; the run goes on without one. */
  fileFailed(record, error, file, op) {
    const { wav } = record;
    record.wav = null;
    record.fileError = error;
    record.written = wav ? this.close(wav) : null;
    this.emit('file-error', { run: record.run, path: file, op, error });
  }

  close(wav) {
    try {
      return wav.close();
    } catch {
      return { path: wav.path, frames: wav.bytes / 2, seconds: wav.bytes / 2 / wav.sampleRate };
    }
  }

  ended(record, exit) {
    const written = record.wav ? this.close(record.wav) : record.written;
    record.wav = null;
    const file = written ? { ...written, run: record.run, exit, drops: record.drops, error: record.fileError } : null;
    if (file) this.emit('file-closed', file);
    if (this.running && this.current === record && !exit.expected) this.retry(record, exit);
    return file;
  }

  /** The current run ended by itself: a new one after a backoff, unless its error's advice says stop. */
  retry(record, exit) {
    const advice = record.error && record.error.advice;
    const sameError = advice && this.lastCode === advice.code;
    this.lastCode = advice ? advice.code : null;
    if (record.tap.format && Date.now() - record.startedAt > this.backoff.steadyMs) this.failures = 0;
    const attempt = sameError || !advice ? this.failures + 1 : 1;
    if (advice && !advice.waitForDevice && attempt > advice.retries) {
      this.running = false;
      this.current = null;
      if (record.after && record.after.replaces) record.after.replaces.tap.stop();
      this.emit('gave-up', { run: record.run, error: record.error });
      return;
    }
    this.failures = attempt;
    const waitMs = Math.min(this.backoff.maxMs, this.backoff.firstMs * 2 ** (attempt - 1));
    const delayMs = Math.max(advice ? advice.pauseMs : 0, waitMs);
    this.emit('restart', { run: record.run, attempt, delayMs, reason: record.error ? record.error.code : exit.explanation });
    // A failed replacement keeps what it replaces (which may still deliver) and the time the gap began.
    const after = record.after || { record, cause: 'exit', atMs: Date.now(), replaces: null };
    this.timer = setTimeout(() => {
      if (this.running) this.current = this.startRun({ ...after, record: after.record });
    }, delayMs);
  }

  /** Stops every tap still running; resolves with the files, in run order, after every tap's exit. */
  async stop(waits) {
    this.running = false;
    clearTimeout(this.timer);
    const running = [this.current, this.current && this.current.after && this.current.after.replaces].filter(Boolean);
    this.current = null;
    await Promise.all(running.map((record) => record.tap.stop(waits)));
    return (await Promise.all(this.finished)).filter(Boolean);
  }
}

module.exports = { Recorder };
