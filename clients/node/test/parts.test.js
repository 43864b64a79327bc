'use strict';
// The package's parts on their own: the traps a parent falls into.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const lib = require('..');
const { scratchDir, once } = require('../testing/programs');

test('lines split across chunks, characters too; a cut-off last line is handed back', () => {
  const lines = new lib.LineSplitter();
  const bytes = Buffer.from('{"a":1}\n{"name":"M\u00fczik"}\n{"tr', 'utf8');
  const cut = bytes.indexOf(0xc3) + 1; // inside the two bytes of the u-umlaut
  assert.deepStrictEqual(lines.push(bytes.subarray(0, cut)), ['{"a":1}']);
  assert.deepStrictEqual(lines.push(bytes.subarray(cut)), ['{"name":"M\u00fczik"}']);
  assert.deepStrictEqual([lines.end(), lines.end()], ['{"tr', undefined]);
});

test('PCM: nothing before start, odd bytes carried into whole samples', () => {
  const pcm = new lib.PcmDecoder();
  assert.strictEqual(pcm.push(Buffer.from([0x01, 0x00, 0xff])).length, 0);
  assert.deepStrictEqual([...pcm.start()], [1]);
  assert.deepStrictEqual([...pcm.push(Buffer.from([0x7f]))], [0x7fff]);
  assert.deepStrictEqual([[...pcm.push(Buffer.from([0x00]))], pcm.leftover()], [[], 1]);
  assert.deepStrictEqual([...pcm.push(Buffer.from([0x80, 0x02, 0x00]))], [-32768, 2]);
});

test('timeline: a lag that stays once reading is steady again is one drop', () => {
  let ns = 0n;
  const timeline = new lib.PcmTimeline(1000, { windowMs: 100, thresholdMs: 50, clock: () => ns });
  const read = (ms, frames) => {
    ns += BigInt(ms * 1e6);
    return timeline.add(frames);
  };
  for (let i = 0; i < 30; i++) read(10, 10); // 10 frames every 10 ms
  read(1000, 300); // a 1 s stall, of which the tap kept 300 frames
  const drops = Array.from({ length: 30 }, () => read(10, 10)).filter(Boolean);
  assert.deepStrictEqual(drops, [{ frames: 700, atFrame: 300, seconds: 0.7 }]);
  assert.deepStrictEqual(timeline.position(), { frames: 900, clockFrames: 1600, droppedFrames: 700 });
});

test('WAV: header sizes filled in on close, a fractional rate rounded', () => {
  const file = path.join(scratchDir(), 'a.wav');
  const wav = new lib.WavWriter(file, 44100.5);
  wav.write(new Int16Array([1, -2]));
  wav.write(new Int16Array([3]));
  assert.deepStrictEqual(wav.close(), { path: file, frames: 3, seconds: 3 / 44101 });
  const expected = '524946462a00000057415645666d7420100000000100010045ac00008a580100' +
    '0200100064617461060000000100feff0300';
  assert.strictEqual(fs.readFileSync(file).toString('hex'), expected);
});

const owner = (pid, extra) => ({ pid, name: 'p', gui: true, ignored: false, input: false, output: true, ...extra });
const state = (...owners) => ({ owners });
const zeros = (n) => (w) => w.pcm(new Int16Array(n));
for (const [name, steps, reports] of [
  ['zeros with a player for the threshold: one report', [state(owner(1)), zeros(500), zeros(500)], [[0, 0.5]]],
  ['silence before the player counts from the player', [zeros(300), state(owner(1)), zeros(400), zeros(100)], [[300, 0.5]]],
  ['one sample other than 0: the permission is there', [state(owner(1)), zeros(100), (w) => w.pcm(new Int16Array([0, -1])), zeros(900)], []],
  ['a player that leaves starts the count again', [state(owner(1)), zeros(400), state(), zeros(200), state(owner(1)), zeros(400), zeros(100)], [[600, 0.5]]],
  ['excluded, ignored and input-only owners are no players', [state(owner(7), owner(2, { ignored: true }), owner(3, { output: false })), zeros(900)], []],
  ['a new tap run is judged afresh', [state(owner(1)), (w) => w.pcm(new Int16Array([5])), (w) => w.restart(1000), zeros(500)], [[0, 0.5]]],
]) {
  test(`silence watch: ${name}`, () => {
    const watch = new lib.SilenceWatch({ excludedPids: [7], thresholdMs: 500 });
    const seen = [];
    watch.on('long-silence', (silence) => seen.push([silence.atFrame, silence.seconds]));
    watch.restart(1000);
    for (const step of steps) (typeof step === 'function' ? step(watch) : watch.state(step));
    assert.deepStrictEqual(seen, reports);
  });
}

test('a program that writes garbage and dies mid-line: reported, never thrown', async () => {
  const garbage = 'process.stderr.write(\'not json\\n{"type":"started","extra":1}\\n{"type":"mystery"}\\n{"type":"sta\')';
  const tap = new lib.Tap({ path: process.execPath, args: ['-e', garbage] });
  const problems = [];
  tap.on('bad-input', (bad) => problems.push(bad.problem));
  await once(tap.start(), 'exit');
  assert.deepStrictEqual(problems, ['not JSON', 'unknown keys extra', 'unknown type "mystery"', 'truncated line at exit']);
});

test('a probe that keeps dying is restarted with growing pauses', async () => {
  const probe = new lib.Probe({ path: process.execPath, args: ['-e', 'process.exit(3)'], backoff: { firstMs: 10 } });
  const restarts = [];
  probe.on('restart', (r) => restarts.push(r.delayMs));
  probe.start();
  while (restarts.length < 3) await once(probe, 'restart');
  const result = await probe.stop();
  assert.deepStrictEqual([restarts, result.code, result.step], [[10, 20, 40], 3, 'already-exited']);
});

test('every export has a declaration in index.d.ts', () => {
  const declarations = fs.readFileSync(path.join(__dirname, '../index.d.ts'), 'utf8');
  const declared = [...declarations.matchAll(/^export (?:declare class|function) (\w+)/gm)].map((m) => m[1]);
  assert.deepStrictEqual([...new Set(declared)].sort(), Object.keys(lib).sort());
});
