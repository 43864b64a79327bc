'use strict';
// A Node parent with child_process defaults (stdio 'pipe': stdin is a
// socket) stops both programs by ending their standard input.
const test = require('node:test');
const assert = require('node:assert');
const { spawn } = require('node:child_process');
const { stopChild } = require('..');
const { PROBE, TAP } = require('../testing/programs');

for (const [program, file] of [['probe', PROBE], ['tap', TAP]]) {
  test(`${program}: stdin.end() from a default spawn exits 0`, async () => {
    const child = spawn(file, [], { env: { ...process.env, NIMBREL_SIM_WORLD: '' } });
    let bytes = 0;
    child.stdout.on('data', (chunk) => (bytes += chunk.length));
    child.stderr.resume();
    await new Promise((resolve) => setTimeout(resolve, 300));
    const result = await stopChild(child, program, { endWaitMs: 5000 });
    console.log(`${program}: ${result.step} -> exit ${result.code} (${result.explanation}), ${bytes} bytes read`);
    assert.deepStrictEqual(
      [result.step, result.code, result.signal, result.explanation],
      ['stdin-end', 0, null, 'orderly stop'],
    );
    assert.ok(bytes > 0);
  });
}

test('a program that ignores its stdin end is sent SIGTERM, then SIGKILL', async () => {
  const stubborn = 'process.on("SIGTERM", () => {}); setInterval(() => {}, 1000); console.log("ready")';
  const child = spawn(process.execPath, ['-e', stubborn]);
  await new Promise((resolve) => child.stdout.once('data', resolve));
  const result = await stopChild(child, 'probe', { endWaitMs: 100, termWaitMs: 100 });
  assert.deepStrictEqual([result.step, result.code, result.signal], ['SIGKILL', null, 'SIGKILL']);
  assert.match(result.explanation, /did not stop/);
});
