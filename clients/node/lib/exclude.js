'use strict';
// Command-line arguments that keep the app's own processes out of the
// reports and the recording. --exclude-pid covers exactly one process, not
// its children, so every helper that plays or records must be named.

// A PID as a number or a decimal string; anything else is the app's mistake,
// thrown now rather than found in a recording of its own sound.
function pidArgs(pids) {
  const valid = (pid) => Number.isSafeInteger(pid) ? pid > 0 : typeof pid === 'string' && /^[1-9][0-9]*$/.test(pid);
  for (const pid of pids) if (!valid(pid)) throw new TypeError(`not a PID: ${JSON.stringify(pid)}`);
  const unique = [...new Set(pids.map(Number))];
  return unique.flatMap((pid) => ['--exclude-pid', String(pid)]);
}

/**
 * For the probe: the app's PID (default: this process), its helper PIDs
 * (in Electron, app.getAppMetrics().map((m) => m.pid)), and the bundle
 * prefixes that mark its own processes as ignored.
 */
function probeExclusionArgs({ pid = process.pid, helperPids = [], bundlePrefixes = [] } = {}) {
  const prefixes = bundlePrefixes.flatMap((prefix) => ['--exclude-bundle-prefix', prefix]);
  return [...pidArgs([pid, ...helperPids]), ...prefixes];
}

/** For the tap, which knows no bundle prefix: the app's and its helpers' PIDs. */
function tapExclusionArgs({ pid = process.pid, helperPids = [] } = {}) {
  return pidArgs([pid, ...helperPids]);
}

module.exports = { probeExclusionArgs, tapExclusionArgs };
