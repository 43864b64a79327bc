// Uses every export of the package once, so that `tsc --noEmit` checks the
// declarations against how an app calls them.
import { spawn } from 'node:child_process';
import {
  Probe, Tap, Recorder, WavWriter, PcmDecoder, PcmTimeline, LineSplitter, parseLine,
  errorAdvice, changeAdvice, diffOwners, probeExclusionArgs, tapExclusionArgs, stopChild, explainExit,
  Change, Format, PlacedChange, TapError, Drop, RecordedFile, StopResult,
} from '../..';

const helperPids = [101, 102]; // in Electron: app.getAppMetrics().map((m) => m.pid)
const probe = new Probe({
  path: '/app/Helpers/nimbrel-probe',
  args: ['--interval-ms', '500', ...probeExclusionArgs({ helperPids, bundlePrefixes: ['com.example.nimbrel'] })],
  backoff: { firstMs: 1000 },
});
probe.on('change', (change: Change) => {
  const added: string[] = change.owners.added.map((owner) => owner.name);
  console.log(change.state.micHot, change.micHotChanged, added, change.owners.changed.length);
});
probe.on('restart', ({ attempt, delayMs }) => console.log(attempt + delayMs));
probe.on('bad-input', (bad) => console.log(bad.program, bad.problem));
probe.start();

const tap = new Tap({ path: '/app/Helpers/nimbrel-tap', args: tapExclusionArgs({ helperPids }) });
tap.on('format', (format: Format) => {
  const wav = new WavWriter('/tmp/far.wav', format.sampleRate);
  tap.on('pcm', (samples: Int16Array, atFrame: number) => {
    if (atFrame >= 0) wav.write(samples);
  });
  tap.on('exit', (exit) => console.log(wav.close().seconds, exit.explanation, exit.position?.frames));
});
tap.on('device-changed', (change: PlacedChange) => console.log(change.advice.text, change.position?.frames));
tap.on('tap-error', (error: TapError) => console.log(error.code, error.advice.retries, error.formatToDiscard));
tap.on('drop', (drop: Drop) => console.log(drop.frames, drop.atFrame, drop.seconds));
tap.start();

const recorder = new Recorder({ path: '/app/Helpers/nimbrel-tap', directory: '/tmp', fileName: (run) => `far-${run}.wav` });
recorder.on('file-closed', (file: RecordedFile) => console.log(file.path, file.frames, file.drops.length));
recorder.on('replacing', ({ run, change }) => console.log(run, change.reason));
recorder.start();

async function stopAll(): Promise<void> {
  const results: (StopResult | null)[] = [await probe.stop(), await tap.stop({ endWaitMs: 2000 })];
  const files: RecordedFile[] = await recorder.stop();
  console.log(results.map((r) => r?.step), files.length);
  const child = spawn('/app/Helpers/nimbrel-probe');
  const result = await stopChild(child, 'probe', { endWaitMs: 1000, termWaitMs: 1000, killWaitMs: 1000 });
  console.log(result.explanation, explainExit('tap', 1, null));
}

const decoder = new PcmDecoder();
const samples: Int16Array = decoder.push(new Buffer());
const timeline = new PcmTimeline(48000, { windowMs: 1000, thresholdMs: 50 });
const drop: Drop | null = timeline.add(samples.length);
const lines: string[] = new LineSplitter().push(new Buffer());
const parsed = parseLine('tap', lines[0] ?? '');
if (parsed.problem === undefined) console.log(parsed.message.type, parsed.unknownKeys);
console.log(drop, decoder.start(), decoder.leftover(), timeline.position().clockFrames);
console.log(errorAdvice('TAP_CREATE_FAILED').text, changeAdvice('aggregate-dead').restart);
console.log(diffOwners([], probe.state?.owners ?? []).added);
void stopAll();
