'use strict';
// The package against nimbrel-tap on the simulated platform: a call, a
// device change, start-up errors and a stalled reader.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const { Tap, Recorder } = require('..');
const { TAP, onWorld, captureWorld, once } = require('../testing/programs');

const QUARTER = Math.trunc(0.25 * 32767);

test('a call: format first, then whole samples of what plays, counted', async () => {
  const { env } = onWorld(captureWorld());
  const tap = new Tap({ path: TAP, env });
  const seen = [];
  let samples = 0;
  let wrong = 0;
  for (const name of ['format', 'started', 'bad-input']) tap.on(name, () => seen.push(name));
  tap.on('pcm', (chunk, at) => {
    if (at !== samples) wrong++;
    samples += chunk.length;
    wrong += chunk.filter((s) => s !== QUARTER).length;
  });
  tap.start();
  await once(tap, 'started');
  await new Promise((resolve) => setTimeout(resolve, 500));
  const result = await tap.stop();
  assert.deepStrictEqual(seen, ['format', 'started']);
  assert.strictEqual(tap.format.sampleRate, 48000);
  assert.deepStrictEqual([result.step, result.code, wrong], ['stdin-end', 0, 0]);
  assert.strictEqual(result.position.frames, samples);
  assert.strictEqual(samples % 512, 0);
  assert.ok(result.position.droppedFrames === 0 && typeof result.position.firstFrameNs === 'bigint');
});

test('a device change: the recorder writes one WAV file per tap run', async () => {
  const world = captureWorld({ extra: { script: [{ atCycle: 30, defaultOutput: 'usb-dac' }] } });
  const { env, dir } = onWorld(world);
  const recorder = new Recorder({ path: TAP, env, directory: dir });
  const changes = [];
  const devices = [];
  recorder.on('device-changed', (change, run) => changes.push([run, change.reason, change.to, change.position.frames]));
  recorder.on('file-opened', (file) => devices.push(file.format.outputDeviceUID));
  recorder.start();
  await once(recorder, 'started');
  // Each run is a process of its own: the replacement finds the world as the change left it.
  fs.writeFileSync(env.NIMBREL_SIM_WORLD, JSON.stringify({ ...world, defaultOutput: 'usb-dac', script: [] }));
  await once(recorder, 'replacing');
  await once(recorder, 'file-closed'); // the first run, stopped once the second has its format
  await new Promise((resolve) => setTimeout(resolve, 300));
  const files = await recorder.stop();
  assert.deepStrictEqual(changes.map((c) => c.slice(0, 3)), [[1, 'default-output-changed', 'usb-dac']]);
  assert.ok(changes[0][3] > 0);
  assert.deepStrictEqual(devices, ['speakers', 'usb-dac']);
  assert.deepStrictEqual(files.map((f) => [f.run, f.exit.code]), [[1, 0], [2, 0]]);
  for (const file of files) {
    const bytes = fs.readFileSync(file.path);
    assert.strictEqual(bytes.readUInt32LE(40), bytes.length - 44);
    assert.strictEqual(bytes.readUInt32LE(24), 48000);
    assert.ok(file.frames > 0);
    for (let i = 44; i < bytes.length; i += 2) assert.strictEqual(bytes.readInt16LE(i), QUARTER);
  }
});

const ERRORS = [
  { code: 'TAP_CREATE_FAILED', failures: [{ op: 'createProcessTap', status: -50 }], status: -50, format: false, retries: 1 },
  { code: 'NO_OUTPUT_DEVICE', world: { defaultOutput: null }, format: false, retries: 0 },
  { code: 'WRITER_START_FAILED', failures: [{ op: 'startThread', status: 1 }], format: true, retries: 1 },
  { code: 'DEVICE_START_FAILED', failures: [{ op: 'start', status: -10 }], status: -10, format: true, retries: 3 },
];
for (const row of ERRORS) {
  test(`start-up error ${row.code}: an event with advice, exit 1 explained`, async () => {
    const { env } = onWorld(captureWorld({ extra: { failures: row.failures || [], ...row.world } }));
    const tap = new Tap({ path: TAP, env });
    const pcm = [];
    tap.on('pcm', (samples) => pcm.push(samples));
    const [error] = await Promise.all([once(tap, 'tap-error').then(([e]) => e), tap.start()]);
    const [exit] = await once(tap, 'exit');
    assert.deepStrictEqual(
      [error.code, error.status, error.advice.retries, Boolean(error.formatToDiscard)],
      [row.code, row.status, row.retries, row.format],
    );
    assert.ok(error.advice.text.length > 0);
    assert.deepStrictEqual([exit.code, exit.explanation, pcm.length], [1, 'start-up error (see the "error" event)', 0]);
  });
}

test('a stalled reader: the audio the tap dropped is reported as a drop', async () => {
  // At 96 kHz the tap's queue holds 2 s; a 4 s stall loses about 1.7 s of it.
  const { env, calls } = onWorld(captureWorld({ rate: 96000, extra: { logCycles: true } }));
  const tap = new Tap({ path: TAP, env });
  const drops = [];
  tap.on('drop', (drop) => drops.push(drop));
  tap.start();
  await once(tap, 'started');
  await new Promise((resolve) => setTimeout(resolve, 1200));
  tap.child.stdout.pause();
  await new Promise((resolve) => setTimeout(resolve, 4000));
  tap.child.stdout.resume();
  await new Promise((resolve) => setTimeout(resolve, 2500));
  const result = await tap.stop();
  const cycles = calls().find((line) => line.startsWith('cycles 400 '));
  const delivered = 512 * Number(cycles.split(' ')[2]);
  const dropped = drops.reduce((sum, d) => sum + d.frames, 0);
  assert.strictEqual(drops.length, 1, JSON.stringify(drops));
  assert.ok(drops[0].atFrame > 0.9 * 96000 && drops[0].atFrame < 1.6 * 96000, `at ${drops[0].atFrame}`);
  // What came plus what was inferred lost is what the device delivered, within 50 ms.
  assert.ok(Math.abs(result.position.frames + dropped - delivered) < 4800, `${result.position.frames} + ${dropped} vs ${delivered}`);
});
