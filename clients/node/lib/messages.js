'use strict';
// Reads one JSON line of either program against the keys its protocol
// documents: a known message, or the reason it is not one. Never throws.

// Keys each message type has; `optional` ones may be left out.
const SHAPES = {
  probe: {
    hello: { keys: ['intervalMs', 'protocolVersion'] },
    state: { keys: ['audioPlaying', 'micHot', 'owners'] },
  },
  tap: {
    format: {
      keys: ['channels', 'deviceInputChannels', 'encoding', 'outputDeviceUID',
        'sampleRate', 'sourceIsFloat', 'tapRate'],
    },
    started: { keys: [] },
    'device-changed': { keys: ['from', 'reason', 'to'] },
    error: { keys: ['code', 'message'], optional: ['status'] },
  },
};
const OWNER_KEYS = ['gui', 'ignored', 'input', 'name', 'output', 'pid'];

function unknownKeys(object, known) {
  return Object.keys(object).filter((key) => !known.includes(key));
}

/**
 * Parses `line` from `program` ('probe' or 'tap'). Returns
 * { message } for a known type (with `unknownKeys` listing keys a newer
 * program added, which are kept), or { problem } saying what is wrong.
 */
function parseLine(program, line) {
  let message;
  try {
    message = JSON.parse(line);
  } catch {
    return { problem: 'not JSON' };
  }
  if (message === null || typeof message !== 'object' || Array.isArray(message)) {
    return { problem: 'not a JSON object' };
  }
  const shape = SHAPES[program][message.type];
  if (!shape) return { problem: `unknown type ${JSON.stringify(message.type)}` };
  const missing = shape.keys.filter((key) => !(key in message));
  if (missing.length) return { problem: `missing ${missing.join(', ')}` };
  const known = ['type', ...shape.keys, ...(shape.optional || [])];
  const extra = unknownKeys(message, known);
  if (message.type === 'state') {
    if (!Array.isArray(message.owners)) return { problem: 'owners is not a list' };
    for (const owner of message.owners) {
      if (owner === null || typeof owner !== 'object') return { problem: 'owner is not an object' };
      extra.push(...unknownKeys(owner, [...OWNER_KEYS, 'bundleID']).map((k) => `owners.${k}`));
    }
  }
  return { message, unknownKeys: extra };
}

module.exports = { parseLine };
