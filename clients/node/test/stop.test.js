'use strict';
// A Node parent with child_process defaults (stdio 'pipe': stdin is a
// socket) stops both programs by ending their standard input.
const test = require('node:test');
const assert = require('node:assert');
const { spawn } = require('node:child_process');
const { stopChild } = require('..');
const { PROBE, TAP, once, sleep } = require('../testing/programs');

test('stdin.end() from a default spawn stops the probe and the tap: exit 0', async () => {
  const env = { ...process.env, NIMBREL_SIM_WORLD: '' };
  const children = [spawn(PROBE, [], { env }), spawn(TAP, [], { env })];
  await Promise.all(children.map((child) => once(child.stdout, 'data')));
  await sleep(300);
  const results = await Promise.all(children.map((child, i) => stopChild(child, ['probe', 'tap'][i])));
  console.log(results.map((r, i) => `${['probe', 'tap'][i]}: ${r.step} -> exit ${r.code} (${r.explanation})`).join('\n'));
  for (const r of results) assert.deepStrictEqual([r.step, r.code, r.signal], ['stdin-end', 0, null]);
});

test('a program that ignores its stdin end is sent SIGTERM, then SIGKILL', async () => {
  const stubborn = 'process.on("SIGTERM", () => {}); setInterval(() => {}, 1000); console.log("ready")';
  const child = spawn(process.execPath, ['-e', stubborn]);
  await once(child.stdout, 'data');
  const result = await stopChild(child, 'probe', { endWaitMs: 100, termWaitMs: 100 });
  assert.deepStrictEqual([result.step, result.signal, result.explanation], ['SIGKILL', 'SIGKILL', 'killed by SIGKILL: it did not stop when asked']);
});
