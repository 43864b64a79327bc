'use strict';
// The package against nimbrel-tap on the simulated platform: a call with a
// device change, start-up errors and a stalled reader.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const { pipeline, Writable } = require('node:stream');
const { Tap, Recorder, Probe, SilenceWatch } = require('..');
const { PROBE, TAP, onWorld, captureWorld, once, sleep } = require('../testing/programs');

const QUARTER = Math.trunc(0.25 * 32767);

test('a device change: the recorder writes one WAV file per tap run', async () => {
  const world = captureWorld({ script: [{ atCycle: 30, defaultOutput: 'usb-dac' }] });
  const { env, dir } = onWorld(world);
  const recorder = new Recorder({ path: TAP, env, directory: dir });
  const seen = [];
  recorder.on('device-changed', (change, run) => seen.push([run, change.reason, change.to, change.position.frames > 0]));
  recorder.on('file-opened', (file) => seen.push(file.format.outputDeviceUID));
  recorder.on('bad-input', (bad) => seen.push(bad.problem));
  await once(recorder.start().start(), 'started');
  // Each run is a process of its own: the replacement finds the world as the change left it.
  fs.writeFileSync(env.NIMBREL_SIM_WORLD, JSON.stringify({ ...world, defaultOutput: 'usb-dac', script: [] }));
  await once(recorder, 'file-closed'); // the first run, stopped once the second has its format
  await sleep(300);
  const files = await recorder.stop();
  assert.deepStrictEqual(seen, ['speakers', [1, 'default-output-changed', 'usb-dac', true], 'usb-dac']);
  assert.deepStrictEqual(files.map((f) => [f.run, f.exit.code, f.frames > 0]), [[1, 0, true], [2, 0, true]]);
  for (const file of files) {
    const bytes = fs.readFileSync(file.path);
    assert.deepStrictEqual([bytes.readUInt32LE(40), bytes.readUInt32LE(24)], [bytes.length - 44, 48000]);
    for (let i = 44; i < bytes.length; i += 2) assert.strictEqual(bytes.readInt16LE(i), QUARTER);
  }
});

test('the output device gone, then back: the recorder waits, retries and records into a new file', { timeout: 15000 }, async () => {
  const world = captureWorld({ script: [{ atCycle: 30, defaultOutput: null }] });
  const { env, dir } = onWorld(world);
  const rewrite = (defaultOutput) => fs.writeFileSync(env.NIMBREL_SIM_WORLD, JSON.stringify({ ...world, defaultOutput, script: [] }));
  const recorder = new Recorder({ path: TAP, env, directory: dir, backoff: { firstMs: 100 } });
  const seen = [];
  recorder.on('file-opened', (file) => seen.push(file.format.outputDeviceUID));
  recorder.on('restart', (restart) => seen.push(restart.reason) && rewrite('usb-dac'));
  recorder.on('device-changed', () => rewrite(null)).start();
  const [gap] = await once(recorder, 'gap');
  const files = await recorder.stop();
  assert.deepStrictEqual([seen, gap.previousRun, gap.seconds > 0.1], [['speakers', 'NO_OUTPUT_DEVICE', 'usb-dac'], 1, true]);
  assert.deepStrictEqual(files.map((f) => [f.run, f.frames > 0]), [[1, true], [3, true]]);
});

test('a file that cannot be opened: a file-error event, nothing thrown, no file', async () => {
  const { env, dir } = onWorld(captureWorld());
  const recorder = new Recorder({ path: TAP, env, directory: `${dir}/missing` });
  const errors = [];
  recorder.on('file-error', (e) => errors.push([e.run, e.op, e.error.code]));
  await once(recorder.start(), 'started');
  await sleep(300);
  assert.deepStrictEqual([errors, await recorder.stop()], [[[1, 'open', 'ENOENT']], []]);
});

for (const [code, world, status, retries, formatFirst] of [
  ['TAP_CREATE_FAILED', { failures: [{ op: 'createProcessTap', status: -50 }] }, -50, 1, false],
  ['NO_OUTPUT_DEVICE', { defaultOutput: null }, undefined, 0, false],
  ['WRITER_START_FAILED', { failures: [{ op: 'startThread', status: 1 }] }, undefined, 1, true],
  ['DEVICE_START_FAILED', { failures: [{ op: 'start', status: -10 }] }, -10, 3, true],
]) {
  test(`start-up error ${code}: an event with advice, exit 1 explained`, async () => {
    const tap = new Tap({ path: TAP, env: onWorld(captureWorld(world)).env });
    tap.on('pcm', () => assert.fail('PCM after a failed start'));
    const [[error], [exit]] = await Promise.all([once(tap, 'tap-error'), once(tap, 'exit'), tap.start(), assert.rejects(tap.ready, { message: new RegExp(code) })]);
    assert.deepStrictEqual(
      [error.code, error.status, error.advice.retries, Boolean(error.formatToDiscard), exit.code, exit.explanation],
      [code, status, retries, formatFirst, 1, 'start-up error (see the "error" event)'],
    );
  });
}

// A ramp that tells each sample's place in the device's stream, to 31 samples.
const RAMP = { kind: 'ramp', start: -0.9, step: 1e-6, period: 2 ** 30 };
const stallEventLoop = (ms) => Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, ms);

// At 96 kHz the tap's queue holds 2 s; a 4 s stall loses over a second. The
// PCM comes through stream(), and an AbortSignal stops the tap.
for (const [name, stallAfterMs, stopAfterMs] of [['mid-recording', 1200, 1700], ['just before the stop', 1200, 500], ['before the first read', 0, 1500]]) {
  test(`an event loop stalled ${name}: a drop the size of the gap in the PCM, where it lies`, async () => {
    const tap = new Tap({ path: TAP, env: onWorld(captureWorld({ rate: 96000, processes: [{ object: 100, pid: 4242, output: true, signal: RAMP }] })).env });
    const drops = [];
    const chunks = [];
    const controller = new AbortController();
    tap.on('drop', (drop) => drops.push(drop));
    const piped = new Promise((resolve) => pipeline(tap.start({ signal: controller.signal }).stream(), new Writable({ write: (c, _, done) => done(null, chunks.push(c)) }), resolve));
    if (stallAfterMs) await sleep(stallAfterMs);
    stallEventLoop(4000);
    await sleep(stopAfterMs);
    controller.abort();
    const [[exit]] = await Promise.all([once(tap, 'exit'), piped]);
    await sleep(20);
    assert.deepStrictEqual([tap.position(), exit.expected], [exit.position, true], 'the position stops moving at exit');
    const pcm = new Int16Array(new Uint8Array(Buffer.concat(chunks)).buffer);
    assert.strictEqual(pcm.length, exit.position.frames);
    const place = (i) => Math.round((pcm[i] / 32767 + 0.9) / 1e-6);
    const gaps = [];
    for (let i = 1; i < pcm.length; i++) if (place(i) - place(i - 1) > 960) gaps.push({ frames: place(i) - place(i - 1) - 1, atFrame: i });
    const seen = JSON.stringify({ drops, gaps });
    assert.deepStrictEqual([drops.length, gaps.length], [1, 1], seen);
    assert.ok(Math.abs(drops[0].frames / gaps[0].frames - 1) < 0.1 && Math.abs(drops[0].atFrame - gaps[0].atFrame) < 9600, seen);
  });
}

for (const [value, reported] of [[0, [[4242]]], [0.25, []]]) {
  test(`a listed player heard at ${value}: ${reported.length ? 'long silence reported' : 'no report'}`, async () => {
    const { env, dir } = onWorld(captureWorld({ processes: [{ pid: 4242, output: true, signal: { kind: 'constant', value } }] }));
    const probe = new Probe({ path: PROBE, args: ['--interval-ms', '100'], env }).start();
    const recorder = new Recorder({ path: TAP, env, directory: dir });
    const watch = new SilenceWatch({ thresholdMs: 400 }).watchProbe(probe);
    const seen = [];
    watch.on('long-silence', (silence) => seen.push(silence.players.map((p) => p.pid)));
    recorder.on('tap', (tap) => watch.watchTap(tap)).start();
    await sleep(1500);
    await Promise.all([probe.stop(), recorder.stop()]);
    assert.deepStrictEqual(seen, reported);
  });
}
