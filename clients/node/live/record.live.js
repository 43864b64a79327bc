'use strict';
// The package on a live Linux audio server: a Recorder records real players
// while the default sink switches, as an app on a desktop would. Run inside
// the server of tests/linux (LiveNodeClient); a plain `node --test` here
// finds test/ only.
const test = require('node:test');
const assert = require('node:assert');
const { Recorder, tapExclusionArgs } = require('..');
const { TAP, once } = require('../testing/programs');
const { liveServer, until, readWav, toneNear, amplitudeAt } = require('../testing/live');

const LOW = { frequency: 440, amplitude: 8000 };
const HIGH = { frequency: 660, amplitude: 4000 }; // starts after the switch

const RATE = 48000;

function within(promise, ms, what) {
  let timer;
  const late = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`no ${what} within ${ms} ms`)), ms); });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

// Pitch within 1 %, level within 3 %: what a listener would call the same tone.
function expectTone(samples, tone, where) {
  const heard = toneNear(samples, tone.frequency, RATE);
  console.log(`${where}: ${heard.frequency.toFixed(2)} Hz at ${heard.amplitude.toFixed(0)} (played ${tone.frequency} Hz at ${tone.amplitude})`);
  assert.ok(Math.abs(heard.frequency / tone.frequency - 1) < 0.01, `${where}: pitch ${heard.frequency}`);
  assert.ok(Math.abs(heard.amplitude / tone.amplitude - 1) < 0.03, `${where}: level ${heard.amplitude}`);
}

test('a recording across a default-sink switch: a file per sink, each tone at its level, the switch and drops placed', async () => {
  const server = liveServer();
  let recorder = null;
  try {
    await server.play(LOW.frequency, LOW.amplitude, 20);
    recorder = new Recorder({
      path: TAP, args: tapExclusionArgs(), env: server.env, directory: server.dir, fileName: (run) => `far-${run}.wav`,
    });
    const trouble = [];
    recorder.on('tap-error', (error, run) => trouble.push(`run ${run}: ${error.code} ${error.message}`));
    recorder.on('bad-input', (bad, run) => trouble.push(`run ${run}: ${bad.problem}: ${bad.line}`));
    const opened = [];
    recorder.on('file-opened', (file) => opened.push(file.format.outputDeviceUID));
    const taps = [];
    recorder.on('tap', (tap, run) => { taps[run] = tap; });
    const framesOf = (run) => (taps[run] && taps[run].position() ? taps[run].position().frames : 0);
    const startedAt = [];
    recorder.on('started', () => startedAt.push(Date.now()));
    const gaps = [];
    recorder.on('gap', (gap) => gaps.push(gap));
    recorder.start();
    // The first PCM may come a second or two after "started": wait for the PCM itself.
    await until(() => framesOf(1) >= 2.5 * RATE, '2.5 s of PCM');
    const switchedAtMs = Date.now();
    const changed = once(recorder, 'device-changed');
    // paplay's stream follows the default, asked for until the server names it.
    const named = () => server.pactl('set-default-sink', 'headset') + server.pactl('get-default-sink');
    await until(() => named().trim() === 'headset', 'headset as the default');
    // The tap's time to notice, not the server's to switch (seconds under load).
    const namedAtMs = Date.now();
    console.log(`the server named headset ${namedAtMs - switchedAtMs} ms after the first request`);
    const [change, changedRun] = await within(changed, 8000, '"device-changed"');
    await until(() => framesOf(2) >= RATE / 2, 'PCM of the second run');
    await server.play(HIGH.frequency, HIGH.amplitude, 20);
    // Surely heard from here: PipeWire links a new stream a moment after it appears.
    const highFrom = framesOf(2) + RATE / 2;
    await until(() => framesOf(2) >= highFrom + 2.2 * RATE, '2 s of the second tone');
    const files = await recorder.stop();

    const at = change.position.frames;
    console.log(`first PCM ${(change.position.firstFrameEpochMs - startedAt[0]).toFixed(0)} ms after "started"`);
    console.log(`switch: ${change.reason} ${change.from} -> ${change.to} in run ${changedRun} at frame ${at} (${(at / RATE).toFixed(3)} s)`);
    for (const file of files) {
      console.log(`file ${file.path}: ${file.frames} frames (${file.seconds.toFixed(3)} s), ${file.exit.explanation}, drops ${JSON.stringify(file.drops)}`);
    }
    assert.deepStrictEqual(trouble, []);
    assert.deepStrictEqual(opened, ['speakers', 'headset']);
    assert.deepStrictEqual(files.map((f) => [f.run, f.exit.code]), [[1, 0], [2, 0]]);
    assert.deepStrictEqual([changedRun, change.reason, change.from, change.to], [1, 'default-output-changed', 'speakers', 'headset']);
    // Placed in the PCM where the host clock puts the switch: between the
    // first request and the server naming it, within 0.3 s.
    const frameAt = (ms) => ((ms - change.position.firstFrameEpochMs) / 1000) * RATE;
    const [earliest, latest] = [frameAt(switchedAtMs) - 0.3 * RATE, frameAt(namedAtMs) + 0.3 * RATE];
    assert.ok(at > 0 && at <= files[0].frames && at > earliest && at < latest, `at ${at}, by the clock ${earliest}..${latest}`);
    // What the switch left in neither file: at most the new sink's first block (paplay asks for 2 s).
    assert.ok(gaps.length === 1 && gaps[0].seconds > 0 && gaps[0].seconds < 2.5, `gaps ${JSON.stringify(gaps)}`);
    for (const file of files) {
      for (const drop of file.drops) assert.ok(drop.frames > 0 && drop.atFrame >= 0 && drop.atFrame <= file.frames, JSON.stringify(drop));
    }

    const first = readWav(files[0].path);
    const second = readWav(files[1].path);
    assert.deepStrictEqual([first.rate, second.rate], [RATE, RATE]);
    const beforeSwitch = first.samples.subarray(RATE / 4, at - RATE / 4);
    expectTone(beforeSwitch, LOW, `file 1, frames ${RATE / 4}-${at - RATE / 4}`);
    assert.ok(amplitudeAt(beforeSwitch, HIGH.frequency, RATE) < HIGH.amplitude * 0.03, 'file 1 has no 660 Hz');
    const bothTones = second.samples.subarray(highFrom, highFrom + 2 * RATE);
    expectTone(bothTones, LOW, `file 2, frames ${highFrom}-${highFrom + 2 * RATE}`);
    expectTone(bothTones, HIGH, `file 2, frames ${highFrom}-${highFrom + 2 * RATE}`);
  } finally {
    if (recorder) await recorder.stop({ endWaitMs: 1000, termWaitMs: 1000 }); // a no-op once stopped
    server.stop();
  }
});
