#!/usr/bin/env node
'use strict';
// Records what the machine plays for a while, one WAV file per tap run, and
// prints each event with its place in the PCM.
// usage: record.js TAP_PATH SECONDS DIRECTORY
const { Recorder, tapExclusionArgs } = require('..');

const [tapPath, seconds = '10', directory = '.'] = process.argv.slice(2);
const recorder = new Recorder({ path: tapPath, args: tapExclusionArgs(), directory });
const at = (position) => (position ? `at frame ${position.frames}` : '');
recorder.on('file-opened', ({ path, format, run }) => console.log(`run ${run}: ${format.sampleRate} Hz from ${format.outputDeviceUID} -> ${path}`));
recorder.on('device-changed', (change, run) => console.log(`run ${run}: ${change.reason} ${change.from} -> ${change.to} ${at(change.position)}`));
recorder.on('drop', (drop, run) => console.log(`run ${run}: lost ${drop.atMost ? 'at most ' : ''}${drop.seconds.toFixed(3)} s ${drop.placed ? 'at' : 'at or after'} frame ${drop.atFrame}`));
recorder.on('gap', (gap) => console.log(`run ${gap.run}: ${gap.seconds.toFixed(3)} s in neither file since the ${gap.cause} of run ${gap.previousRun}`));
recorder.on('restart', (r) => console.log(`run ${r.run} ended (${r.reason}): next run in ${r.delayMs} ms`));
recorder.on('file-error', (e) => console.log(`run ${e.run}: cannot ${e.op} ${e.path}: ${e.error.message}`));
recorder.on('tap-error', (error, run) => console.log(`run ${run}: ${error.code}: ${error.advice.text}`));
recorder.on('bad-input', (bad, run) => console.log(`run ${run}: bad input (${bad.problem}): ${bad.line}`));
recorder.on('file-closed', (file) => console.log(`run ${file.run}: ${file.path}: ${file.seconds.toFixed(3)} s, ${file.exit.explanation}, first frame at ${file.exit.position?.firstFrameEpochMs?.toFixed(1)} ms since the epoch`));
recorder.start();
setTimeout(async () => {
  const files = await recorder.stop();
  console.log(`${files.length} file(s)`);
}, Number(seconds) * 1000);
