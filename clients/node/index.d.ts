// Type declarations of the Node client of nimbrel-probe and nimbrel-tap.
import { EventEmitter } from 'node:events';
import { ChildProcess } from 'node:child_process';

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

export interface StopWaits { endWaitMs?: number; termWaitMs?: number; killWaitMs?: number }
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

export declare class Probe extends EventEmitter {
  constructor(options: ProbeOptions);
  readonly state: State | null;
  readonly child: ChildProcess | null;
  start(): this;
  stop(waits?: StopWaits): Promise<StopResult | null>;
  on(event: 'hello', listener: (hello: Hello) => void): this;
  on(event: 'state', listener: (state: State) => void): this;
  on(event: 'change', listener: (change: Change) => void): this;
  on(event: 'exit', listener: (exit: ExitInfo & { expected: boolean }) => void): this;
  on(event: 'restart', listener: (restart: { attempt: number; delayMs: number }) => void): this;
  on(event: 'bad-input', listener: (bad: BadInput) => void): this;
  on(event: 'spawn-error', listener: (error: Error) => void): this;
}

export interface ExclusionOptions { pid?: number; helperPids?: number[] }
export function probeExclusionArgs(options?: ExclusionOptions & { bundlePrefixes?: string[] }): string[];
export function tapExclusionArgs(options?: ExclusionOptions): string[];

// ---- Tap -------------------------------------------------------------------

export interface TimelineOptions { windowMs?: number; thresholdMs?: number; clock?: () => bigint }
export interface Drop { frames: number; atFrame: number; seconds: number }
export interface TimelinePosition { frames: number; clockFrames: number; droppedFrames: number }
export interface Position extends TimelinePosition { firstFrameNs: bigint | null; firstFrameEpochMs: number | null }

export declare class PcmTimeline {
  constructor(sampleRate: number, options?: TimelineOptions);
  readonly frames: number;
  readonly firstFrameNs: bigint | null;
  readonly firstFrameEpochMs: number | null;
  clockFrames(ns?: bigint): number;
  add(count: number): Drop | null;
  position(): TimelinePosition;
}

export declare class PcmDecoder {
  start(): Int16Array;
  push(chunk: Buffer): Int16Array;
  leftover(): number;
}

export declare class LineSplitter {
  push(chunk: Buffer): string[];
  end(): string | undefined;
}

export interface TapOptions { path: string; args?: string[]; env?: NodeJS.ProcessEnv; timeline?: TimelineOptions }
export type PlacedChange = DeviceChanged & { advice: ChangeAdvice; position: Position | null };
export type TapError = TapErrorLine & { advice: ErrorAdvice; formatToDiscard: Format | null };
export type TapExit = ExitInfo & { position: Position | null };

export declare class Tap extends EventEmitter {
  constructor(options: TapOptions);
  readonly format: Format | null;
  readonly child: ChildProcess | null;
  /** Resolves when the tap has exited and all its output was read. */
  readonly closed: Promise<TapExit> | null;
  start(): this;
  position(): Position | null;
  stop(waits?: StopWaits): Promise<(StopResult & { position: Position | null }) | null>;
  on(event: 'format', listener: (format: Format) => void): this;
  on(event: 'started', listener: (started: Started) => void): this;
  on(event: 'device-changed', listener: (change: PlacedChange) => void): this;
  on(event: 'tap-error', listener: (error: TapError) => void): this;
  on(event: 'pcm', listener: (samples: Int16Array, atFrame: number) => void): this;
  on(event: 'drop', listener: (drop: Drop) => void): this;
  on(event: 'exit', listener: (exit: TapExit) => void): this;
  on(event: 'bad-input', listener: (bad: BadInput) => void): this;
  on(event: 'spawn-error', listener: (error: Error) => void): this;
}

// ---- Files -----------------------------------------------------------------

export interface WrittenFile { path: string; frames: number; seconds: number }
export declare class WavWriter {
  constructor(path: string, sampleRate: number);
  write(samples: Int16Array): void;
  close(): WrittenFile;
}

export interface RecordedFile extends WrittenFile { run: number; exit: TapExit; drops: Drop[] }
export interface RecorderOptions extends TapOptions { directory: string; fileName?: (run: number) => string }

export declare class Recorder extends EventEmitter {
  constructor(options: RecorderOptions);
  start(): this;
  stop(waits?: StopWaits): Promise<RecordedFile[]>;
  on(event: 'tap', listener: (tap: Tap, run: number) => void): this;
  on(event: 'file-opened', listener: (file: { path: string; format: Format; run: number }) => void): this;
  on(event: 'file-closed', listener: (file: RecordedFile) => void): this;
  on(event: 'replacing', listener: (replacing: { run: number; change: PlacedChange }) => void): this;
  on(event: 'started', listener: (started: Started, run: number) => void): this;
  on(event: 'device-changed', listener: (change: PlacedChange, run: number) => void): this;
  on(event: 'tap-error', listener: (error: TapError, run: number) => void): this;
  on(event: 'drop', listener: (drop: Drop, run: number) => void): this;
  on(event: 'exit', listener: (exit: TapExit, run: number) => void): this;
  on(event: 'bad-input', listener: (bad: BadInput, run: number) => void): this;
  on(event: 'spawn-error', listener: (error: Error, run: number) => void): this;
}

// ---- Permission silence ----------------------------------------------------

export interface LongSilence {
  /** PCM seconds of nothing but zeros while `players` played. */
  seconds: number; atFrame: number; players: Owner[]; text: string;
}
export interface SilenceWatchOptions { excludedPids?: number[]; thresholdMs?: number }

export declare class SilenceWatch extends EventEmitter {
  constructor(options?: SilenceWatchOptions);
  restart(sampleRate: number): void;
  state(state: State): void;
  pcm(samples: Int16Array): LongSilence | null;
  watchTap(tap: Tap): this;
  watchProbe(probe: Probe): this;
  on(event: 'long-silence', listener: (silence: LongSilence) => void): this;
}
