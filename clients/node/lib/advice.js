'use strict';
// What docs/tap.md advises for each error code and device-change reason, in
// a form a parent can act on.

// retries: how many further attempts are worth it; pauseMs: before the first.
const ERRORS = {
  TAP_CREATE_FAILED: {
    retries: 1, pauseMs: 0,
    text: 'Retry once; if it fails again, tell the user that system audio cannot be recorded, and log the status.',
  },
  TAP_UID_FAILED: { retries: 1, pauseMs: 500, text: 'Retry once after a short pause.' },
  NO_OUTPUT_DEVICE: {
    retries: 0, pauseMs: 0, waitForDevice: true,
    text: 'Tell the user there is no output device; start the tap again when one appears, not in a tight loop.',
  },
  AGGREGATE_CREATE_FAILED: {
    retries: 3, pauseMs: 1000,
    text: 'Retry after a short pause (about a second), a few times at most.',
  },
  TAP_FORMAT_FAILED: { retries: 1, pauseMs: 500, text: 'Retry once after a short pause.' },
  WRITER_START_FAILED: {
    retries: 1, pauseMs: 500, discardFormat: true,
    text: 'The system is out of threads or memory. Discard that format; retry once after a short pause.',
  },
  IOPROC_FAILED: {
    retries: 1, pauseMs: 500, discardFormat: true,
    text: 'Discard that format; retry once after a short pause.',
  },
  DEVICE_START_FAILED: {
    retries: 3, pauseMs: 500, discardFormat: true,
    text: 'Discard that format; retry after a short pause, a few times at most.',
  },
};
const UNKNOWN_ERROR = { retries: 0, pauseMs: 0, text: 'Unknown code: log it with its status.' };

const CHANGES = {
  'default-output-changed': 'Start a new tap now (if "to" is "none", once an output device is back) and stop this one.',
  'aggregate-dead': 'Start a new tap now and stop this one; if the new one fails, treat it as a start-up error.',
  'sample-rate-changed': 'End this recording segment, start a new tap and use its format; do not mix two rates in one file.',
  'device-sample-rate-changed': 'End this recording segment, start a new tap and use its format; do not mix two rates in one file.',
};

/** Advice for an "error" event's code. */
function errorAdvice(code) {
  return { code, ...(ERRORS[code] || UNKNOWN_ERROR) };
}

/** Advice for a "device-changed" event's reason: every reason means "the route changed". */
function changeAdvice(reason) {
  return {
    reason,
    restart: true,
    text: CHANGES[reason] || 'The route changed: start a new tap and stop this one.',
  };
}

module.exports = { errorAdvice, changeAdvice };
