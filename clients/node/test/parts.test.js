'use strict';
// The package's parts on their own: the traps a parent falls into.
const test = require('node:test');
const assert = require('node:assert');
const fs = require('node:fs');
const path = require('node:path');
const lib = require('..');
const { scratchDir, once } = require('../testing/programs');
const { readmeTypeScript } = require('../testing/readme');

test('lines split across chunks, characters too; a cut-off last line is handed back', () => {
  const lines = new lib.LineSplitter();
  const bytes = Buffer.from('{"a":1}\n{"name":"M\u00fczik"}\n{"tr', 'utf8');
  const cut = bytes.indexOf(0xc3) + 1; // inside the two bytes of the u-umlaut
  assert.deepStrictEqual(lines.push(bytes.subarray(0, cut)), ['{"a":1}']);
  assert.deepStrictEqual(lines.push(bytes.subarray(cut)), ['{"name":"M\u00fczik"}']);
  assert.deepStrictEqual([lines.end(), lines.end()], ['{"tr', undefined]);
});

test('a line past the cap is skipped and reported once, the next one kept', () => {
  const heads = [];
  const lines = new lib.LineSplitter({ maxLength: 10, onTooLong: (head) => heads.push(head) });
  const out = ['x'.repeat(8), 'x'.repeat(8), 'x'.repeat(8) + '\nok\n'].flatMap((part) => lines.push(Buffer.from(part)));
  assert.deepStrictEqual([out, heads, lines.pending], [['ok'], ['x'.repeat(16)], '']);
});

const FORMAT = { type: 'format', channels: 2, deviceInputChannels: 0, encoding: 's16le', outputDeviceUID: 'x', sampleRate: 48000, sourceIsFloat: true, tapRate: 48000 };
for (const [program, message, problem] of [
  ['tap', { ...FORMAT, sampleRate: 0 }, 'sampleRate is not rate'],
  ['tap', { ...FORMAT, encoding: 'f32le' }, 'encoding is not s16le'],
  ['probe', { type: 'state', audioPlaying: true, micHot: false, owners: [{ pid: '7', name: 'n', gui: true, ignored: false, input: false, output: true }] }, 'owners.pid is not int'],
]) {
  test(`parseLine checks values: ${problem}`, () => {
    assert.strictEqual(lib.parseLine(program, JSON.stringify(message)).problem, problem);
  });
}

test('PCM: nothing before start and no more held than the cap, odd bytes carried into whole samples', () => {
  const pcm = new lib.PcmDecoder({ maxHeldBytes: 3 });
  assert.strictEqual(pcm.push(Buffer.from([0x01, 0x00, 0xff, 0xee, 0xee])).length, 0);
  assert.deepStrictEqual([pcm.droppedBytes, [...pcm.start()]], [2, [1]]);
  assert.deepStrictEqual([...pcm.push(Buffer.from([0x7f]))], [0x7fff]);
  assert.deepStrictEqual([[...pcm.push(Buffer.from([0x00]))], pcm.leftover()], [[], 1]);
  assert.deepStrictEqual([...pcm.push(Buffer.from([0x80, 0x02, 0x00]))], [-32768, 2]);
});

// 1000 frames a second read 10 every 10 ms; the tap keeps the last 300 of a stall.
const steady = (n) => Array(n).fill([10, 10]);
const lost = (frames, atFrame, atMost = false) => ({ frames, atFrame, seconds: frames / 1000, placed: true, atMost });
for (const [name, reads, atStop, drops] of [
  ['a lag that stays once reading is steady again is one drop', [...steady(30), [1000, 300], ...steady(30)], false, [lost(700, 300)]],
  ['the gap lies after what was in flight, before the queue', [...steady(30), [1000, 200], [1, 300], ...steady(30)], false, [lost(501, 499)]],
  ['a stall just before the stop', [...steady(30), [1000, 200], [1, 300], ...steady(3)], true, [lost(501, 499)]],
  ['a stall before the first read', [[2000, 200], [1, 300], ...steady(30)], false, [lost(1501, 199, true)]],
]) {
  test(`timeline: ${name}`, () => {
    let ns = 0n;
    const timeline = new lib.PcmTimeline(1000, { windowMs: 100, thresholdMs: 50, queueFrames: 300, startNs: 0n, clock: () => ns });
    const seen = reads.map(([ms, frames]) => {
      ns += BigInt(ms * 1e6);
      return timeline.add(frames);
    });
    if (atStop) seen.push(...timeline.finish());
    assert.deepStrictEqual(seen.filter(Boolean), drops);
  });
}

test('WAV: header sizes true every second and on close, a fractional rate rounded', () => {
  const file = path.join(scratchDir(), 'a.wav');
  let ms = 0;
  const wav = new lib.WavWriter(file, 44100.5, { clock: () => ms });
  wav.write(new Int16Array([1, -2]));
  ms = 1000;
  wav.write(new Int16Array([3]));
  const cut = fs.readFileSync(file); // as a crash would leave it
  assert.deepStrictEqual([cut.readUInt32LE(4), cut.readUInt32LE(40)], [42, 6]);
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
  const format = JSON.stringify({ ...FORMAT, sampleRate: 0 });
  const garbage = `process.stdout.write(Buffer.alloc(5 << 20)); process.stderr.write('not json\\n{"type":"started","extra":1}\\n{"type":"mystery"}\\n${format}\\n{"type":"sta')`;
  const tap = new lib.Tap({ path: process.execPath, args: ['-e', garbage] });
  const problems = [];
  tap.on('bad-input', (bad) => problems.push(bad.problem));
  const [[exit]] = await Promise.all([once(tap, 'exit'), tap.start().start()]);
  assert.deepStrictEqual(problems.sort(), ['1048576 PCM bytes left over at exit', 'PCM before "format" beyond 1048576 bytes, dropped',
    'not JSON', 'sampleRate is not rate', 'truncated line at exit', 'unknown keys extra', 'unknown type "mystery"']);
  assert.deepStrictEqual([exit.code, exit.expected, exit.explanation], [0, false, 'ended before its format: nothing was captured']);
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

test('a tap killed unasked is unexpected; the recorder starts once and restarts with growing pauses', async () => {
  const recorder = new lib.Recorder({ path: process.execPath, args: ['-e', 'process.kill(process.pid, "SIGKILL")'], directory: scratchDir(), backoff: { firstMs: 10 } });
  const seen = [];
  recorder.on('exit', (exit) => seen.push(exit.expected));
  recorder.on('restart', (r) => seen.push(r.delayMs));
  recorder.start().start();
  while (seen.length < 6) await once(recorder, 'restart');
  await recorder.stop();
  assert.deepStrictEqual(seen.slice(0, 6), [false, 10, false, 20, false, 40]);
});

test('exclusion arguments: PIDs as numbers or decimal strings, anything else thrown at once', () => {
  assert.deepStrictEqual(lib.tapExclusionArgs({ pid: 5, helperPids: ['7'] }), ['--exclude-pid', '5', '--exclude-pid', '7']);
  assert.throws(() => lib.probeExclusionArgs({ helperPids: ['7a'] }), TypeError);
});

test('the type test holds the README\'s snippets as they are', () => {
  assert.ok(fs.readFileSync(path.join(__dirname, 'types/readme.ts'), 'utf8') === readmeTypeScript(), 'stale: node testing/readme.js > test/types/readme.ts');
});

test('every export has a declaration in index.d.ts', () => {
  const declarations = fs.readFileSync(path.join(__dirname, '../index.d.ts'), 'utf8');
  const declared = [...declarations.matchAll(/^export (?:declare class|function) (\w+)/gm)].map((m) => m[1]);
  assert.deepStrictEqual([...new Set(declared)].sort(), Object.keys(lib).sort());
});
