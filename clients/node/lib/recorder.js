'use strict';
// Records the far side to WAV files, one per tap run: on "device-changed" it
// starts a replacement tap and stops the old one once the new one has its
// format, so the two overlap briefly instead of leaving a gap.
const path = require('node:path');
const { EventEmitter } = require('node:events');
const { Tap } = require('./tap');
const { WavWriter } = require('./wav');

const FORWARDED = ['started', 'device-changed', 'tap-error', 'drop', 'bad-input', 'spawn-error', 'exit'];

/**
 * Events: 'tap' (each new Tap, and its run), 'file-opened' ({ path, format,
 * run }), 'file-closed' ({ path, frames, seconds, run, exit, drops }),
 * 'replacing' ({ run, change }), and
 * the taps' own events with `run` added as a last argument.
 */
class Recorder extends EventEmitter {
  constructor({ path: tapPath, args = [], env, directory, fileName = (run) => `tap-${run}.wav`, timeline }) {
    super();
    this.options = { path: tapPath, args, env, timeline };
    this.directory = directory;
    this.fileName = fileName;
    this.runs = 0;
    this.current = null;
    this.finished = []; // promises of the closed files
  }

  start() {
    this.current = this.startRun();
    return this;
  }

  startRun() {
    const run = ++this.runs;
    const tap = new Tap(this.options);
    const record = { run, tap, wav: null, drops: [] };
    this.emit('tap', tap, run); // before it starts: a listener misses nothing
    for (const name of FORWARDED) tap.on(name, (event) => this.emit(name, event, run));
    tap.on('format', (format) => {
      const file = path.join(this.directory, this.fileName(run));
      record.wav = new WavWriter(file, format.sampleRate);
      this.emit('file-opened', { path: file, format, run });
      if (record.replaces) record.replaces.tap.stop();
    });
    tap.on('pcm', (samples) => record.wav.write(samples));
    tap.on('drop', (drop) => record.drops.push(drop));
    tap.on('device-changed', (change) => {
      if (this.current !== record) return;
      this.emit('replacing', { run, change });
      this.current = this.startRun();
      this.current.replaces = record;
    });
    tap.on('tap-error', () => {
      // The replacement failed: keep the old one, which may still deliver.
      if (this.current === record && record.replaces) this.current = record.replaces;
    });
    this.finished.push(
      tap.start().closed.then((exit) => {
        if (!record.wav) return null;
        const file = { ...record.wav.close(), run, exit, drops: record.drops };
        this.emit('file-closed', file);
        return file;
      }),
    );
    return record;
  }

  /** Stops every tap still running; resolves with the files, in run order. */
  async stop(waits) {
    const running = [this.current, this.current && this.current.replaces].filter(Boolean);
    this.current = null;
    await Promise.all(running.map((record) => record.tap.stop(waits)));
    return (await Promise.all(this.finished)).filter(Boolean);
  }
}

module.exports = { Recorder };
