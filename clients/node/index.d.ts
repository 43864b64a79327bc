// Type declarations of the Node client of nimbrel-probe and nimbrel-tap.
import { EventEmitter } from 'node:events';
import { ChildProcess } from 'node:child_process';
import { Readable } from 'node:stream';

/** An EventEmitter whose events are typed by `Events` (event name -> listener arguments). */
declare class TypedEmitter<Events extends Record<keyof Events, unknown[]>> extends EventEmitter {
  on<E extends keyof Events & string>(event: E, listener: (...args: Events[E]) => void): this;
  once<E extends keyof Events & string>(event: E, listener: (...args: Events[E]) => void): this;
  off<E extends keyof Events & string>(event: E, listener: (...args: Events[E]) => void): this;
  addListener<E extends keyof Events & string>(event: E, listener: (...args: Events[E]) => void): this;
  removeListener<E extends keyof Events & string>(event: E, listener: (...args: Events[E]) => void): this;
  prependListener<E extends keyof Events & string>(event: E, listener: (...args: Events[E]) => void): this;
  prependOnceListener<E extends keyof Events & string>(event: E, listener: (...args: Events[E]) => void): this;
}
/** Options of start(): aborting `signal` stops what was started. */
export interface StartOptions { signal?: AbortSignal }

// ---- Messages of the programs ---------------------------------------------

export interface Hello { type: 'hello'; intervalMs: number; protocolVersion: number }
export interface Owner {
  pid: number; name: string; gui: boolean; ignored: boolean;
  input: boolean; output: boolean; bundleID?: string;
}
export interface State { type: 'state'; micHot: boolean; audioPlaying: boolean; owners: Owner[] }

export interface Format {
  type: 'format'; sampleRate: number; encoding: 's16le'; channels: number;
  sourceIsFloat: boolean; tapRate: number; outputDeviceUID: string; deviceInputChannels: number;
}
export interface Started { type: 'started' }
export type ChangeReason =
  | 'default-output-changed' | 'aggregate-dead' | 'sample-rate-changed' | 'device-sample-rate-changed';
export interface DeviceChanged { type: 'device-changed'; reason: ChangeReason | string; from: string; to: string }
export type ErrorCode =
  | 'TAP_CREATE_FAILED' | 'TAP_UID_FAILED' | 'NO_OUTPUT_DEVICE' | 'AGGREGATE_CREATE_FAILED'
  | 'TAP_FORMAT_FAILED' | 'WRITER_START_FAILED' | 'IOPROC_FAILED' | 'DEVICE_START_FAILED';
export interface TapErrorLine { type: 'error'; code: ErrorCode | string; message: string; status?: number }

export type Program = 'probe' | 'tap';
export type ParsedLine =
  | { message: Hello | State | Format | Started | DeviceChanged | TapErrorLine; unknownKeys: string[]; problem?: undefined }
  | { problem: string; message?: undefined; unknownKeys?: undefined };
export function parseLine(program: Program, line: string): ParsedLine;

export interface BadInput { program: Program; line: string; problem: string }

// ---- Advice ----------------------------------------------------------------

export interface ErrorAdvice {
  code: string; retries: number; pauseMs: number; text: string;
  waitForDevice?: boolean; discardFormat?: boolean;
}
export interface ChangeAdvice { reason: string; restart: true; text: string }
export function errorAdvice(code: string): ErrorAdvice;
export function changeAdvice(reason: string): ChangeAdvice;

// ---- Stopping --------------------------------------------------------------

/** How long each step of a stop waits; aborting `signal` goes straight to SIGKILL. */
export interface StopWaits { endWaitMs?: number; termWaitMs?: number; killWaitMs?: number; signal?: AbortSignal }
export interface StopResult {
  code: number | null; signal: NodeJS.Signals | null;
  step: 'stdin-end' | 'SIGTERM' | 'SIGKILL' | 'already-exited'; explanation: string;
}
export interface ExitInfo { code: number | null; signal: NodeJS.Signals | null; explanation: string }
export function stopChild(child: ChildProcess, program: Program, waits?: StopWaits): Promise<StopResult>;
export function explainExit(program: Program, code: number | null, signal: NodeJS.Signals | null): string;
/** Calls `stop` once `signal` aborts, at once if it already has. */
export function stopWhenAborted(signal: AbortSignal, stop: () => void): void;

// ---- Probe -----------------------------------------------------------------

export interface OwnersDiff { added: Owner[]; removed: Owner[]; changed: { before: Owner; after: Owner }[] }
export function diffOwners(before: Owner[], after: Owner[]): OwnersDiff;
export interface Change {
  state: State; previous: State | null; micHotChanged: boolean; audioPlayingChanged: boolean; owners: OwnersDiff;
}
export interface Backoff { firstMs?: number; maxMs?: number; steadyMs?: number }
export interface ProbeOptions { path: string; args?: string[]; env?: NodeJS.ProcessEnv; backoff?: Backoff }

export type ProbeExit = ExitInfo & { expected: boolean };
export interface ProbeEvents {
  hello: [hello: Hello];
  state: [state: State];
  change: [change: Change];
  exit: [exit: ProbeExit];
  restart: [restart: { attempt: number; delayMs: number }];
  'bad-input': [bad: BadInput];
  'spawn-error': [error: Error];
}

export declare class Probe extends TypedEmitter<ProbeEvents> {
  constructor(options: ProbeOptions);
  readonly state: State | null;
  readonly child: ChildProcess | null;
  /** Starts it once; a second call while it runs or waits to restart does nothing. */
  start(options?: StartOptions): this;
  /** Resolves after the 'exit' event; null if never started. */
  stop(waits?: StopWaits): Promise<StopResult | null>;
}

/** A PID is a positive integer or its decimal string; anything else throws a TypeError. */
export interface ExclusionOptions { pid?: number | string; helperPids?: (number | string)[] }
export function probeExclusionArgs(options?: ExclusionOptions & { bundlePrefixes?: string[] }): string[];
export function tapExclusionArgs(options?: ExclusionOptions): string[];

// ---- Tap -------------------------------------------------------------------

export interface TimelineOptions {
  windowMs?: number; thresholdMs?: number;
  /** What the tap keeps of a stalled reader's audio (192000 frames). */
  queueFrames?: number;
  /** Host time the program was started: nothing was captured before it. */
  startNs?: bigint | null;
  clock?: () => bigint;
}
export interface Drop {
  frames: number; seconds: number;
  /** Where the gap lies in the PCM when `placed`; else only that it lies at or after this frame. */
  atFrame: number; placed: boolean;
  /** The size is an upper bound: a loss before the first read counts the program's start-up too. */
  atMost: boolean;
}
export interface TimelinePosition { frames: number; clockFrames: number; droppedFrames: number }
export interface Position extends TimelinePosition { firstFrameNs: bigint | null; firstFrameEpochMs: number | null }

export declare class PcmTimeline {
  constructor(sampleRate: number, options?: TimelineOptions);
  readonly frames: number;
  readonly firstFrameNs: bigint | null;
  readonly firstFrameEpochMs: number | null;
  clockFrames(ns?: bigint): number;
  add(count: number): Drop | null;
  /** At the end of the PCM, capture having ended at `endNs`: the drops not yet reported. */
  finish(endNs?: bigint): Drop[];
  position(ns?: bigint): TimelinePosition;
}

export declare class PcmDecoder {
  /** Holds at most maxHeldBytes (1 MiB) before start(); the rest is counted in droppedBytes. */
  constructor(options?: { maxHeldBytes?: number });
  readonly droppedBytes: number;
  start(): Int16Array;
  push(chunk: Buffer): Int16Array;
  leftover(): number;
}

export declare class LineSplitter {
  /** A line longer than maxLength (1 MiB) is skipped; onTooLong gets its first 200 characters. */
  constructor(options?: { maxLength?: number; onTooLong?: (head: string) => void });
  push(chunk: Buffer): string[];
  end(): string | undefined;
}

export interface TapOptions {
  path: string; args?: string[]; env?: NodeJS.ProcessEnv; timeline?: TimelineOptions;
  /** PCM held before "format" (1 MiB); beyond it, dropped and reported as bad-input. */
  maxHeldBytes?: number;
}
export type PlacedChange = DeviceChanged & { advice: ChangeAdvice; position: Position | null };
export type TapError = TapErrorLine & { advice: ErrorAdvice; formatToDiscard: Format | null };
/** `expected`: the parent asked for the stop; false for an error, a signal, or an end nobody asked for. */
export type TapExit = ExitInfo & { expected: boolean; position: Position | null };
export interface TapEvents {
  format: [format: Format];
  started: [started: Started];
  'device-changed': [change: PlacedChange];
  'tap-error': [error: TapError];
  pcm: [samples: Int16Array, atFrame: number];
  drop: [drop: Drop];
  exit: [exit: TapExit];
  'bad-input': [bad: BadInput];
  'spawn-error': [error: Error];
}

export declare class Tap extends TypedEmitter<TapEvents> {
  constructor(options: TapOptions);
  readonly format: Format | null;
  readonly child: ChildProcess | null;
  /** Resolves when the tap has exited and all its output was read. */
  readonly closed: Promise<TapExit> | null;
  /** Resolves at "started"; rejects on a spawn error, a tap error or an exit before it. */
  readonly ready: Promise<Started> | null;
  /** Starts it once; a second call does nothing. */
  start(options?: StartOptions): this;
  /** Frozen at exit. */
  position(): Position | null;
  /** The PCM from "format" on as s16le bytes; a reader that falls behind pauses the tap's output. */
  stream(): Readable;
  /** Resolves after the 'exit' event; null if never started. */
  stop(waits?: StopWaits): Promise<(StopResult & { position: Position | null }) | null>;
}

// ---- Files -----------------------------------------------------------------

export interface WrittenFile { path: string; frames: number; seconds: number }
export interface WavOptions { headerEveryMs?: number; clock?: () => number }
export declare class WavWriter {
  /** Throws what opening or writing the file throws. */
  constructor(path: string, sampleRate: number, options?: WavOptions);
  write(samples: Int16Array): void;
  close(): WrittenFile;
}

export interface RecordedFile extends WrittenFile {
  run: number; exit: TapExit; drops: Drop[];
  /** The error that ended the file early, if any. */
  error: Error | null;
}
export interface RecorderOptions extends TapOptions {
  directory: string; fileName?: (run: number) => string;
  /** Pauses before a new run after one ends unasked (firstMs 500, doubling to maxMs 30000). */
  backoff?: Backoff;
}
export interface FileError { run: number; path: string; op: 'open' | 'write'; error: Error & { code?: string } }
export interface Gap {
  run: number; previousRun: number; cause: 'device-changed' | 'exit';
  /** From the change (or the end) to this run's first frame: audio in neither file. */
  seconds: number;
}
export interface RecorderEvents {
  tap: [tap: Tap, run: number];
  'file-opened': [file: { path: string; format: Format; run: number }];
  'file-closed': [file: RecordedFile];
  'file-error': [error: FileError];
  replacing: [replacing: { run: number; change: PlacedChange }];
  restart: [restart: { run: number; attempt: number; delayMs: number; reason: string }];
  'gave-up': [gaveUp: { run: number; error: TapError | null }];
  gap: [gap: Gap];
  started: [started: Started, run: number];
  'device-changed': [change: PlacedChange, run: number];
  'tap-error': [error: TapError, run: number];
  drop: [drop: Drop, run: number];
  exit: [exit: TapExit, run: number];
  'bad-input': [bad: BadInput, run: number];
  'spawn-error': [error: Error, run: number];
}

export declare class Recorder extends TypedEmitter<RecorderEvents> {
  constructor(options: RecorderOptions);
  /** Starts it once; a second call while it records does nothing. */
  start(options?: StartOptions): this;
  /** Resolves after every tap's exit, with the files in run order. */
  stop(waits?: StopWaits): Promise<RecordedFile[]>;
}

// ---- Permission silence ----------------------------------------------------

export interface LongSilence {
  /** PCM seconds of nothing but zeros while `players` played. */
  seconds: number; atFrame: number; players: Owner[]; text: string;
}
export interface SilenceWatchOptions { excludedPids?: number[]; thresholdMs?: number }

export declare class SilenceWatch extends TypedEmitter<{ 'long-silence': [silence: LongSilence] }> {
  constructor(options?: SilenceWatchOptions);
  restart(sampleRate: number): void;
  state(state: State): void;
  pcm(samples: Int16Array): LongSilence | null;
  watchTap(tap: Tap): this;
  watchProbe(probe: Probe): this;
}
