// Made from README.md by testing/readme.js: do not edit.
import { LineSplitter, PcmDecoder, PcmTimeline, Probe, Recorder, SilenceWatch, Tap, WavWriter, changeAdvice, diffOwners, errorAdvice, explainExit, parseLine, probeExclusionArgs, stopChild, stopWhenAborted, tapExclusionArgs } from '../..';
import { pipeline } from 'node:stream';
import { createWriteStream } from 'node:fs';
declare const app: { getAppMetrics(): { pid: number }[] };
declare const tapPath: string, helperPids: number[], probe: Probe, recorder: Recorder;

export async function snippets(): Promise<void> {
  {
  }
  {
const helperPids = app.getAppMetrics().map((metric) => metric.pid);
probeExclusionArgs({ helperPids, bundlePrefixes: ['com.example.nimbrel'] });
// ['--exclude-pid', '<main>', '--exclude-pid', '<helper>', ..., '--exclude-bundle-prefix', 'com.example.nimbrel']
tapExclusionArgs({ helperPids }); // the tap knows no bundle prefix
  }
  {
const probe = new Probe({
  path: '/Applications/Nimbrel.app/Contents/Helpers/nimbrel-probe',
  args: probeExclusionArgs({ helperPids }),
  backoff: { firstMs: 500, maxMs: 30000 }, // restart pauses after it dies
});
probe.on('hello', (hello) => console.log('every', hello.intervalMs, 'ms'));
probe.on('change', ({ state, micHotChanged, owners }) => {
  if (micHotChanged) console.log(state.micHot ? 'mic in use' : 'mic free');
  for (const owner of owners.added) console.log('now using audio:', owner.name);
  for (const owner of owners.removed) console.log('stopped:', owner.name);
});
probe.on('restart', ({ attempt, delayMs }) => console.log('probe died; restart', attempt, 'in', delayMs, 'ms'));
probe.start();
// later
const stopped = await probe.stop(); // after its 'exit' event
console.log(stopped?.explanation); // 'orderly stop'
  }
  {
const tap = new Tap({ path: tapPath, args: tapExclusionArgs({ helperPids }) });
tap.on('format', (format) => console.log(format.sampleRate, 'Hz mono s16le'));
tap.on('pcm', (samples, atFrame) => {/* Int16Array, whole samples */});
tap.on('device-changed', (change) => console.log(change.reason, 'at frame', change.position?.frames, change.advice.text));
tap.on('tap-error', (error) => console.log(error.code, error.status, error.advice.text));
tap.on('drop', (drop) => console.log('lost', drop.seconds, 's at frame', drop.atFrame, drop.placed, drop.atMost));
tap.on('exit', (exit) => console.log(exit.expected ? 'stopped' : 'ended unasked:', exit.explanation));
tap.start();
await tap.ready; // rejects on a spawn error, an "error" line, or an exit before "started"
const result = await tap.stop();
console.log(result?.step, result?.explanation, result?.position);
  }
  {
const raw = new Tap({ path: tapPath });
raw.start();
pipeline(raw.stream(), createWriteStream('/tmp/far.s16le'), (error) => error && console.log(error.message));
  }
  {
const recorder = new Recorder({ path: tapPath, args: tapExclusionArgs({ helperPids }), directory: '/tmp/call', fileName: (run) => `far-${run}.wav` });
recorder.on('replacing', ({ run, change }) => console.log('route changed in run', run, change.reason));
recorder.on('gap', (gap) => console.log(gap.seconds, 's in neither file before run', gap.run, gap.cause));
recorder.on('restart', ({ run, delayMs, reason }) => console.log('run', run, 'ended:', reason, '- next in', delayMs, 'ms'));
recorder.on('file-error', ({ path, op, error }) => console.log('cannot', op, path, error.message));
recorder.on('file-closed', (file) => console.log(file.path, file.seconds, 's', file.drops.length, 'drops'));
recorder.start();
// later
const files = await recorder.stop(); // [{ path, frames, seconds, run, exit, drops, error }, ...]
  }
  {
const watch = new SilenceWatch({ excludedPids: [process.pid, ...helperPids] }).watchProbe(probe);
recorder.on('tap', (tap) => watch.watchTap(tap)); // or watch.watchTap(tap) for a single Tap
watch.on('long-silence', ({ seconds, atFrame, players, text }) => {
  console.log(`${seconds} s of zeros from frame ${atFrame} while`, players.map((p) => p.name), text);
});
  }
}
