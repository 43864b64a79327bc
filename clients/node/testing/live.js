'use strict';
// Real players on the live tests' audio server, and
// tones measured as a listener would hear them (which pitch, how loud).
const fs = require('node:fs');
const path = require('node:path');
const { spawn, execFileSync } = require('node:child_process');
const { WavWriter } = require('..');
const { scratchDir, sleep } = require('./programs');

const RATE = 48000;

/** A mono WAV of a sine at `frequency`, `amplitude` of 32767; the server plays it on both channels. */
function writeTone(file, frequency, amplitude, seconds) {
  const samples = new Int16Array(RATE * seconds);
  for (let n = 0; n < samples.length; n++) samples[n] = Math.round(amplitude * Math.sin((2 * Math.PI * frequency * n) / RATE));
  const wav = new WavWriter(file, RATE);
  wav.write(samples);
  wav.close();
}

/** The mono samples and rate of a WAV file the package wrote. */
function readWav(file) {
  const bytes = fs.readFileSync(file);
  const samples = new Int16Array(bytes.readUInt32LE(40) / 2);
  for (let i = 0; i < samples.length; i++) samples[i] = bytes.readInt16LE(44 + 2 * i);
  return { samples, rate: bytes.readUInt32LE(24) };
}

/** The amplitude of the sine at `frequency` in `samples` (Goertzel). */
function amplitudeAt(samples, frequency, rate) {
  const k = 2 * Math.cos((2 * Math.PI * frequency) / rate);
  let s1 = 0;
  let s2 = 0;
  for (let i = 0; i < samples.length; i++) {
    const s0 = samples[i] + k * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return (2 * Math.sqrt(s1 * s1 + s2 * s2 - k * s1 * s2)) / samples.length;
}

/** The loudest pitch within 10 % of `near`, and its amplitude. */
function toneNear(samples, near, rate) {
  // Steps of half the main lobe's half-width never miss the peak; then refine.
  const loudest = (from, to, step) => {
    let best = { frequency: from, amplitude: -1 };
    for (let f = from; f <= to; f += step) {
      const amplitude = amplitudeAt(samples, f, rate);
      if (amplitude > best.amplitude) best = { frequency: f, amplitude };
    }
    return best;
  };
  const step = rate / samples.length / 2;
  const coarse = loudest(near * 0.9, near * 1.1, step);
  return loudest(coarse.frequency - step, coarse.frequency + step, step / 25);
}

/**
 * The server the live tests started (the environment points at it, with the
 * sinks "speakers", the default, and "headset"), and players on it.
 */
function liveServer() {
  const dir = scratchDir();
  const env = process.env;
  const players = [];
  const pactl = (...args) => execFileSync('pactl', args, { env, encoding: 'utf8', timeout: 10000, stdio: ['ignore', 'pipe', 'pipe'] });
  const server = {
    dir, env, pactl,
    /** A paplay of a tone; resolves once its stream is on the server. */
    async play(frequency, amplitude, seconds) {
      const file = path.join(dir, `tone-${frequency}.wav`);
      writeTone(file, frequency, amplitude, seconds);
      const streams = pactl('list', 'short', 'sink-inputs').split('\n').filter(Boolean).length;
      players.push(spawn('paplay', [file], { env, stdio: 'ignore' }));
      await until(() => pactl('list', 'short', 'sink-inputs').split('\n').filter(Boolean).length > streams, 'paplay');
    },
    /** Kills the players; safe to call twice. */
    stop() {
      for (const player of players) if (player.exitCode === null && player.signalCode === null) player.kill('SIGKILL');
    },
  };
  process.on('exit', () => server.stop()); // even when the test dies half-way
  return server;
}

/** Polls `check` until it returns true without throwing, for up to 20 s. */
async function until(check, what) {
  const deadline = Date.now() + 20000;
  for (;;) {
    try {
      if (check()) return;
    } catch {} // not yet
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

module.exports = { liveServer, until, readWav, toneNear, amplitudeAt };
