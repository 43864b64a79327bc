// Uses every export once, so that `tsc` checks the declarations against how
// an app calls them.
import { spawn } from 'node:child_process';
import {
  Probe, Tap, Recorder, WavWriter, PcmDecoder, PcmTimeline, LineSplitter, parseLine, errorAdvice,
  changeAdvice, diffOwners, probeExclusionArgs, tapExclusionArgs, stopChild, explainExit, Drop, RecordedFile,
  SilenceWatch, LongSilence, stopWhenAborted, Gap, FileError, TapExit,
} from '../..';

const helperPids = [101, 102]; // Electron: app.getAppMetrics().map((m) => m.pid)
const probe = new Probe({ path: 'nimbrel-probe', args: probeExclusionArgs({ helperPids: [...helperPids, '103'], bundlePrefixes: ['com.example'] }) });
probe.on('change', (c) => console.log(c.state.micHot, c.micHotChanged, c.owners.added.map((o) => o.name)));
probe.on('restart', ({ attempt, delayMs }) => console.log(attempt + delayMs)).start();

const tap = new Tap({ path: 'nimbrel-tap', args: tapExclusionArgs({ helperPids }) });
tap.on('format', (format) => {
  const wav = new WavWriter('/tmp/far.wav', format.sampleRate);
  tap.on('pcm', (samples: Int16Array, atFrame: number) => atFrame >= 0 && wav.write(samples));
  tap.on('exit', (exit) => console.log(wav.close().seconds, exit.explanation, exit.position?.firstFrameNs));
});
tap.on('device-changed', (change) => console.log(change.advice.text, change.position?.frames));
tap.on('tap-error', (error) => console.log(error.code, error.advice.retries, error.formatToDiscard?.sampleRate));
tap.on('drop', (drop: Drop) => console.log(drop.frames, drop.atFrame, drop.placed, drop.atMost));
const controller = new AbortController();
tap.start({ signal: controller.signal });
tap.stream().pipe(process.stdout);
const onExit = (exit: TapExit) => console.log(exit.expected, exit.position?.frames);
tap.once('exit', onExit).off('exit', onExit).addListener('format', (f) => console.log(f.tapRate));
void tap.ready?.then((started) => console.log(started.type), (error: Error) => console.log(error.message));
stopWhenAborted(controller.signal, () => controller.abort());

const recorder = new Recorder({ path: 'nimbrel-tap', directory: '/tmp', fileName: (run) => `far-${run}.wav` });
recorder.on('file-closed', (file: RecordedFile) => console.log(file.path, file.drops.length, file.error?.message));
recorder.on('file-error', (e: FileError) => console.log(e.op, e.error.code)).on('gap', (gap: Gap) => console.log(gap.seconds));
recorder.once('restart', (r) => console.log(r.reason, r.delayMs)).on('gave-up', (g) => console.log(g.error?.code)).start();

const watch = new SilenceWatch({ excludedPids: helperPids, thresholdMs: 10000 }).watchProbe(probe).watchTap(tap);
recorder.on('tap', (next: Tap, run: number) => run > 0 && watch.watchTap(next));
watch.on('long-silence', (s: LongSilence) => console.log(s.seconds, s.atFrame, s.players.map((o) => o.pid), s.text));
watch.restart(48000);
if (probe.state) watch.state(probe.state);
const report: LongSilence | null = watch.pcm(new Int16Array(4800));

async function stopAll(): Promise<void> {
  const steps = [(await probe.stop())?.step, (await tap.stop({ endWaitMs: 2000 }))?.position?.frames];
  const files: RecordedFile[] = await recorder.stop();
  const result = await stopChild(spawn('nimbrel-probe'), 'probe', { termWaitMs: 1000, signal: controller.signal });
  console.log(steps, files.length, result.explanation, explainExit('tap', 1, null));
}

const decoder = new PcmDecoder();
const timeline = new PcmTimeline(48000, { windowMs: 1000, queueFrames: 192000, startNs: null });
const drop: Drop | null = timeline.add(decoder.push(Buffer.alloc(0)).length) ?? timeline.finish()[0] ?? null;
const parsed = parseLine('tap', new LineSplitter({ maxLength: 4096, onTooLong: (head) => console.log(head) }).push(Buffer.alloc(0))[0] ?? '');
if (parsed.problem === undefined) console.log(parsed.message.type, parsed.unknownKeys);
console.log(drop, decoder.start(), decoder.leftover(), errorAdvice('TAP_CREATE_FAILED').text, changeAdvice('x').restart);
console.log(diffOwners([], probe.state?.owners ?? []).added, report?.seconds);
void stopAll();
