// The few Node types the declarations use, for checking them where
// @types/node is not installed (an app that has it never sees this file).
declare namespace NodeJS {
  type Signals = 'SIGINT' | 'SIGTERM' | 'SIGKILL' | 'SIGPIPE' | string;
  interface ProcessEnv { [key: string]: string | undefined }
}
declare class Buffer extends Uint8Array { static alloc(size: number): Buffer }
declare const process: { pid: number; env: NodeJS.ProcessEnv; stdout: unknown };
declare const console: { log(...values: unknown[]): void };
declare function setTimeout(callback: () => void, ms: number): unknown;
interface AbortSignal { readonly aborted: boolean }
declare class AbortController { readonly signal: AbortSignal; abort(): void }
declare module 'node:events' {
  type Listener = (...args: any[]) => void;
  export class EventEmitter {
    on(event: string | symbol, listener: Listener): this;
    once(event: string | symbol, listener: Listener): this;
    off(event: string | symbol, listener: Listener): this;
    addListener(event: string | symbol, listener: Listener): this;
    removeListener(event: string | symbol, listener: Listener): this;
    prependListener(event: string | symbol, listener: Listener): this;
    prependOnceListener(event: string | symbol, listener: Listener): this;
  }
}
declare module 'node:child_process' {
  export interface ChildProcess { pid?: number; exitCode: number | null }
  export function spawn(command: string, args?: string[]): ChildProcess;
}
declare module 'node:stream' {
  export class Readable { pipe<T>(destination: T): T }
  export function pipeline(source: Readable, destination: unknown, callback: (error: Error | null) => void): void;
}
declare module 'node:fs' {
  export function createWriteStream(path: string): unknown;
}
