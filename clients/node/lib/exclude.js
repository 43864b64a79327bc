'use strict';
// Command-line arguments that keep the app's own processes out of the
// reports and the recording. --exclude-pid covers exactly one process, not
// its children, so every helper that plays or records must be named.

function pidArgs(pids) {
  const unique = [...new Set(pids.filter((pid) => Number.isInteger(pid)))];
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
