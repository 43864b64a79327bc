// The few Node types the declarations use, for checking them where
// @types/node is not installed (an app that has it never sees this file).
declare namespace NodeJS {
  type Signals = 'SIGINT' | 'SIGTERM' | 'SIGKILL' | 'SIGPIPE' | string;
  interface ProcessEnv { [key: string]: string | undefined }
}
declare class Buffer extends Uint8Array {}
declare const process: { pid: number; env: NodeJS.ProcessEnv };
declare const console: { log(...values: unknown[]): void };
declare module 'node:events' {
  export class EventEmitter {
    on(event: string, listener: (...args: any[]) => void): this;
    once(event: string, listener: (...args: any[]) => void): this;
  }
}
declare module 'node:child_process' {
  export interface ChildProcess { pid?: number; exitCode: number | null }
  export function spawn(command: string, args?: string[]): ChildProcess;
}
