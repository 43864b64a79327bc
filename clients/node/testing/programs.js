'use strict';
// Where the tests find the two programs, and simulated worlds for them.
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const build = path.resolve(__dirname, '../../../build/sim');
const PROBE = process.env.NIMBREL_PROBE || path.join(build, 'probe/nimbrel-probe');
const TAP = process.env.NIMBREL_TAP || path.join(build, 'tap/nimbrel-tap');

function scratchDir() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'nimbrel-node-'));
  process.on('exit', () => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

/** The environment that puts a program on `world`, which logs its calls. */
function onWorld(world) {
  const dir = scratchDir();
  const file = path.join(dir, 'world.json');
  const callLog = path.join(dir, 'calls.log');
  fs.writeFileSync(file, JSON.stringify({ callLog, ...world }));
  const calls = () => (fs.existsSync(callLog) ? fs.readFileSync(callLog, 'utf8').split('\n') : []);
  return { env: { ...process.env, NIMBREL_SIM_WORLD: file }, calls, dir };
}

/** A constant 0.25 playing on "speakers", and a "usb-dac" to switch to. */
const captureWorld = ({ rate = 48000, ...extra } = {}) => ({
  processes: [{ object: 100, pid: 4242, output: true, signal: { kind: 'constant', value: 0.25 } }],
  devices: [{ id: 50, uid: 'speakers', rate }, { id: 51, uid: 'usb-dac', rate: 48000 }],
  tap: { rate, float: true, buffers: [1] },
  ...extra,
});

const once = (emitter, name) => new Promise((resolve) => emitter.once(name, (...a) => resolve(a)));
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

module.exports = { PROBE, TAP, onWorld, captureWorld, scratchDir, once, sleep };
