'use strict';
// The package against nimbrel-probe on the simulated platform: a call that
// starts and ends, as typed events.
const test = require('node:test');
const assert = require('node:assert');
const { Probe } = require('..');
const { PROBE, onWorld, once } = require('../testing/programs');

test('a call: hello, then a change for each owner that comes and goes', async () => {
  const talker = { pid: 4242, input: true, output: true, app: { name: 'Talker' } };
  const { env } = onWorld({ script: [{ onListRead: 3, processes: [talker] }, { onListRead: 5, processes: [] }] });
  const probe = new Probe({ path: PROBE, args: ['--interval-ms', '200'], env });
  const events = [];
  probe.on('hello', (hello) => events.push(hello.intervalMs));
  probe.on('change', ({ micHotChanged, state, owners }) =>
    events.push([micHotChanged, state.micHot, owners.added.map((o) => o.name), owners.removed.map((o) => o.pid)]));
  probe.on('bad-input', (bad) => events.push(bad.problem));
  probe.on('exit', (exit) => events.push(exit.expected));
  probe.start().start();
  while (events.length < 4) await once(probe, 'change');
  const result = await probe.stop();
  // One probe, and its exit event before stop() resolves.
  assert.deepStrictEqual(events, [200, [true, false, [], []], [true, true, ['Talker'], []], [true, false, [], [4242]], true]);
  assert.deepStrictEqual([result.step, result.code, result.explanation], ['stdin-end', 0, 'orderly stop']);
});
