'use strict';
// Stops a sidecar the way the programs expect: end its standard input, then
// SIGTERM, then SIGKILL, each after a bounded wait, and says how it ended.

/** What an exit status means, for 'probe' or 'tap'. */
function explainExit(program, code, signal) {
  if (signal === 'SIGKILL') return 'killed by SIGKILL: it did not stop when asked';
  if (signal === 'SIGPIPE') return 'killed by SIGPIPE: its reader went away while it wrote';
  if (signal === 'SIGTERM' || signal === 'SIGINT') {
    return program === 'tap'
      ? `killed by ${signal} before its device started (no orderly stop)`
      : `killed by ${signal} (the probe catches no signal)`;
  }
  if (signal) return `killed by ${signal}`;
  if (code === 0) return 'orderly stop';
  if (code === 1 && program === 'tap') return 'start-up error (see the "error" event)';
  if (code === 70) return 'the simulated platform rejected its world';
  if (code < 0) return 'could not be started (see the "spawn-error" event)'; // Node's -errno
  return `exit status ${code}`;
}

function exited(child) {
  return child.exitCode !== null || child.signalCode !== null;
}

function waitForExit(child, ms) {
  if (exited(child)) return Promise.resolve(true);
  return new Promise((resolve) => {
    const timer = setTimeout(() => {
      child.off('exit', onExit);
      resolve(false);
    }, ms);
    const onExit = () => {
      clearTimeout(timer);
      resolve(true);
    };
    child.once('exit', onExit);
  });
}

/**
 * Ends `child`'s standard input and waits up to endWaitMs; then SIGTERM and
 * termWaitMs; then SIGKILL and killWaitMs. Resolves with { code, signal,
 * step: 'stdin-end' | 'SIGTERM' | 'SIGKILL' | 'already-exited', explanation }.
 * The tap's orderly stop may take about a second to write out its queue.
 */
async function stopChild(child, program, { endWaitMs = 3000, termWaitMs = 3000, killWaitMs = 2000, signal: abort } = {}) {
  // An aborted `signal` skips the waits: straight to SIGKILL.
  if (abort) stopWhenAborted(abort, () => child.kill('SIGKILL'));
  const steps = [
    ['stdin-end', () => child.stdin && child.stdin.end(), endWaitMs],
    ['SIGTERM', () => child.kill('SIGTERM'), termWaitMs],
    ['SIGKILL', () => child.kill('SIGKILL'), killWaitMs],
  ];
  let step = 'already-exited';
  for (const [name, act, ms] of steps) {
    if (exited(child)) break;
    step = name;
    act();
    if (await waitForExit(child, ms)) break;
  }
  const { exitCode: code, signalCode: signal } = child;
  return { code, signal, step, explanation: explainExit(program, code, signal) };
}

/** Calls `stop` once `signal` (an AbortSignal) aborts, at once if it already has. */
function stopWhenAborted(signal, stop) {
  if (signal.aborted) return void stop();
  signal.addEventListener('abort', () => stop(), { once: true });
}

module.exports = { stopChild, explainExit, stopWhenAborted };
