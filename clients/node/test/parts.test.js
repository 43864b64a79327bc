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
  assert.strictEqual(lines.end(), '{"tr');
  assert.strictEqual(lines.end(), undefined);
});

test('lines that are not what the protocol says are named, not thrown', () => {
  const rows = [
    ['tap', 'not json', 'not JSON'],
    ['tap', '[1]', 'not a JSON object'],
    ['tap', '{"type":"mystery"}', 'unknown type "mystery"'],
    ['tap', '{"type":"device-changed","from":"a","to":"b"}', 'missing reason'],
    ['probe', '{"type":"state","audioPlaying":false,"micHot":false,"owners":7}', 'owners is not a list'],
  ];
  for (const [program, line, problem] of rows) {
    assert.deepStrictEqual(lib.parseLine(program, line), { problem }, line);
  }
  const newer = lib.parseLine('probe', '{"type":"state","audioPlaying":false,"micHot":true,"owners":[{"pid":1,"name":"x","gui":false,"ignored":false,"input":true,"output":false,"color":"red"}],"extra":1}');
  assert.deepStrictEqual(newer.unknownKeys, ['extra', 'owners.color']);
});

test('PCM: nothing before start, odd bytes carried into whole samples', () => {
  const pcm = new lib.PcmDecoder();
  assert.strictEqual(pcm.push(Buffer.from([0x01, 0x00, 0xff])).length, 0);
  assert.deepStrictEqual([...pcm.start()], [1]);
  assert.deepStrictEqual([...pcm.push(Buffer.from([0x7f]))], [0x7fff]);
  assert.deepStrictEqual([...pcm.push(Buffer.from([0x00]))], []);
  assert.strictEqual(pcm.leftover(), 1);
  assert.deepStrictEqual([...pcm.push(Buffer.from([0x80, 0x02, 0x00]))], [-32768, 2]);
});

test('timeline: a lag that stays once reading is steady again is one drop', () => {
  let ns = 0n;
  const timeline = new lib.PcmTimeline(1000, { windowMs: 100, thresholdMs: 50, clock: () => ns });
  const read = (ms, frames) => {
    ns += BigInt(ms * 1e6);
    return timeline.add(frames);
  };
  const drops = [];
  for (let i = 0; i < 30; i++) read(10, 10); // steady: 10 frames per 10 ms
  read(1000, 300); // a 1 s stall; the tap kept 300 of its 1000 frames
  for (let i = 0; i < 30; i++) drops.push(read(10, 10));
  assert.deepStrictEqual(drops.filter(Boolean), [{ frames: 700, atFrame: 300, seconds: 0.7 }]);
  assert.deepStrictEqual(timeline.position(), { frames: 900, clockFrames: 1600, droppedFrames: 700 });
});

test('owners: added, removed and changed by PID', () => {
  const a = { pid: 1, name: 'a', input: true };
  const b = { pid: 2, name: 'b', input: false };
  const b2 = { pid: 2, name: 'b', input: true };
  const c = { pid: 3, name: 'c' };
  assert.deepStrictEqual(lib.diffOwners([a, b], [b2, c]), { added: [c], removed: [a], changed: [{ before: b, after: b2 }] });
});

test('exclusions: one argument pair per process, helpers included', () => {
  assert.deepStrictEqual(
    lib.probeExclusionArgs({ pid: 10, helperPids: [11, 10, 12], bundlePrefixes: ['com.example.app'] }),
    ['--exclude-pid', '10', '--exclude-pid', '11', '--exclude-pid', '12', '--exclude-bundle-prefix', 'com.example.app'],
  );
  assert.deepStrictEqual(lib.tapExclusionArgs({ pid: 10, helperPids: [13] }), ['--exclude-pid', '10', '--exclude-pid', '13']);
});

test('advice: every documented code and reason', () => {
  const rows = [
    ['TAP_CREATE_FAILED', 1], ['TAP_UID_FAILED', 1], ['NO_OUTPUT_DEVICE', 0], ['AGGREGATE_CREATE_FAILED', 3],
    ['TAP_FORMAT_FAILED', 1], ['WRITER_START_FAILED', 1], ['IOPROC_FAILED', 1], ['DEVICE_START_FAILED', 3], ['NEW_CODE', 0],
  ];
  for (const [code, retries] of rows) assert.strictEqual(lib.errorAdvice(code).retries, retries, code);
  for (const reason of ['default-output-changed', 'aggregate-dead', 'sample-rate-changed', 'device-sample-rate-changed']) {
    assert.ok(lib.changeAdvice(reason).restart);
  }
});

test('exit statuses explained', () => {
  const rows = [
    ['tap', 0, null, 'orderly stop'],
    ['tap', 1, null, 'start-up error (see the "error" event)'],
    ['probe', 1, null, 'exit status 1'],
    ['tap', null, 'SIGTERM', 'killed by SIGTERM before its device started (no orderly stop)'],
    ['probe', null, 'SIGPIPE', 'killed by SIGPIPE: its reader went away while it wrote'],
    ['tap', -2, null, 'could not be started (see the "spawn-error" event)'],
  ];
  for (const [program, code, signal, text] of rows) assert.strictEqual(lib.explainExit(program, code, signal), text);
});

test('WAV: header sizes filled in on close', () => {
  const file = path.join(scratchDir(), 'a.wav');
  const wav = new lib.WavWriter(file, 44100.5);
  wav.write(new Int16Array([1, -2]));
  wav.write(new Int16Array([3]));
  assert.deepStrictEqual(wav.close(), { path: file, frames: 3, seconds: 3 / 44101 });
  const expected = Buffer.from('524946462a00000057415645666d7420100000000100010045ac00008a580100' +
    '0200100064617461060000000100feff0300', 'hex');
  assert.deepStrictEqual(fs.readFileSync(file), expected);
});

test('a program that writes garbage and dies mid-line: reported, never thrown', async () => {
  const garbage = 'process.stderr.write(\'not json\\n{"type":"started","extra":1}\\n{"type":"mystery"}\\n{"type":"sta\')';
  const tap = new lib.Tap({ path: process.execPath, args: ['-e', garbage] });
  const problems = [];
  tap.on('bad-input', (bad) => problems.push(bad.problem));
  tap.start();
  await once(tap, 'exit');
  assert.deepStrictEqual(problems, ['not JSON', 'unknown keys extra', 'unknown type "mystery"', 'truncated line at exit']);
});

test('a probe that keeps dying is restarted with growing pauses', async () => {
  const probe = new lib.Probe({ path: process.execPath, args: ['-e', 'process.exit(3)'], backoff: { firstMs: 10 } });
  const restarts = [];
  probe.on('restart', (r) => restarts.push(r.delayMs));
  probe.start();
  while (restarts.length < 3) await once(probe, 'restart');
  const result = await probe.stop();
  assert.deepStrictEqual(restarts, [10, 20, 40]);
  assert.deepStrictEqual([result.code, result.step], [3, 'already-exited']);
});

test('every export has a declaration in index.d.ts', () => {
  const declarations = fs.readFileSync(path.join(__dirname, '../index.d.ts'), 'utf8');
  const declared = [...declarations.matchAll(/^export (?:declare class|function) (\w+)/gm)].map((m) => m[1]);
  assert.deepStrictEqual([...new Set(declared)].sort(), Object.keys(lib).sort());
});
