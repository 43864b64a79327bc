'use strict';
// The package on a live Linux audio server: a Recorder records real players
// while the default sink switches, as an app on a desktop would. Run by the
// linux build's CTest (`node --test live/record.live.js`); a plain
// `node --test` here finds test/ only.
const test = require('node:test');
const assert = require('node:assert');
const { Recorder, tapExclusionArgs } = require('..');
const { TAP, once, sleep } = require('../testing/programs');
const { startServer, readWav, toneNear, amplitudeAt } = require('../testing/live');

const LOW = { frequency: 440, amplitude: 8000 };
const HIGH = { frequency: 660, amplitude: 4000 }; // starts after the switch

const within = (promise, ms, what) =>
  Promise.race([promise, sleep(ms).then(() => { throw new Error(`no ${what} within ${ms} ms`); })]);

// Pitch within 1 %, level within 3 %: what a listener would call the same tone.
function expectTone(samples, rate, tone, where) {
  const heard = toneNear(samples, tone.frequency, rate);
  console.log(`${where}: ${heard.frequency.toFixed(2)} Hz at ${heard.amplitude.toFixed(0)} (played ${tone.frequency} Hz at ${tone.amplitude})`);
  assert.ok(Math.abs(heard.frequency / tone.frequency - 1) < 0.01, `${where}: pitch ${heard.frequency}`);
  assert.ok(Math.abs(heard.amplitude / tone.amplitude - 1) < 0.03, `${where}: level ${heard.amplitude}`);
}

test('a recording across a default-sink switch: a file per sink, each tone at its level, the switch and drops placed', async () => {
  const server = await startServer();
  try {
    await server.play(LOW.frequency, LOW.amplitude, 20);
    const recorder = new Recorder({
      path: TAP, args: tapExclusionArgs(), env: server.env, directory: server.dir, fileName: (run) => `far-${run}.wav`,
    });
    const trouble = [];
    recorder.on('tap-error', (error, run) => trouble.push(`run ${run}: ${error.code} ${error.message}`));
    recorder.on('bad-input', (bad, run) => trouble.push(`run ${run}: ${bad.problem}: ${bad.line}`));
    const opened = [];
    recorder.on('file-opened', (file) => opened.push(file.format.outputDeviceUID));
    recorder.start();
    await within(once(recorder, 'started'), 10000, '"started"');
    await sleep(3500);
    const switchedAtMs = Date.now();
    server.pactl('set-default-sink', 'headset'); // paplay's stream follows the default
    const [change, changedRun] = await within(once(recorder, 'device-changed'), 5000, '"device-changed"');
    await within(once(recorder, 'file-opened'), 10000, 'the second file');
    await server.play(HIGH.frequency, HIGH.amplitude, 20);
    await sleep(3500);
    const files = await recorder.stop();

    const at = change.position.frames;
    const rate = 48000;
    console.log(`switch: ${change.reason} ${change.from} -> ${change.to} in run ${changedRun} at frame ${at} (${(at / rate).toFixed(3)} s)`);
    for (const file of files) {
      console.log(`file ${file.path}: ${file.frames} frames (${file.seconds.toFixed(3)} s), ${file.exit.explanation}, drops ${JSON.stringify(file.drops)}`);
    }
    assert.deepStrictEqual(trouble, []);
    assert.deepStrictEqual(opened, ['speakers', 'headset']);
    assert.deepStrictEqual(files.map((f) => [f.run, f.exit.code]), [[1, 0], [2, 0]]);
    assert.deepStrictEqual([changedRun, change.reason, change.from, change.to], [1, 'default-output-changed', 'speakers', 'headset']);
    // Placed in the PCM where the host clock puts the switch, within 0.3 s.
    const expectedAt = ((switchedAtMs - change.position.firstFrameEpochMs) / 1000) * rate;
    assert.ok(at > 0 && at <= files[0].frames && Math.abs(at - expectedAt) < 0.3 * rate, `at ${at}, by the clock ${expectedAt}`);
    for (const file of files) {
      for (const drop of file.drops) assert.ok(drop.frames > 0 && drop.atFrame >= 0 && drop.atFrame <= file.frames, JSON.stringify(drop));
    }

    const first = readWav(files[0].path);
    assert.strictEqual(first.rate, rate);
    const beforeSwitch = first.samples.subarray(rate / 2, at - rate / 4);
    expectTone(beforeSwitch, rate, LOW, 'file 1 before the switch');
    assert.ok(amplitudeAt(beforeSwitch, HIGH.frequency, rate) < HIGH.amplitude * 0.03, 'file 1 has no 660 Hz');
    const second = readWav(files[1].path);
    const lastTwoSeconds = second.samples.subarray(second.samples.length - 2.2 * rate, second.samples.length - 0.2 * rate);
    expectTone(lastTwoSeconds, rate, LOW, 'file 2, last 2 s');
    expectTone(lastTwoSeconds, rate, HIGH, 'file 2, last 2 s');
  } finally {
    server.stop();
  }
});
