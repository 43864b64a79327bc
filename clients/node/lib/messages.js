'use strict';
// Reads one JSON line of either program against the keys and value types its
// protocol documents: a known message, or the reason it is not one. Never
// throws.

const KINDS = {
  int: Number.isSafeInteger,
  count: (v) => Number.isSafeInteger(v) && v >= 0,
  rate: (v) => typeof v === 'number' && Number.isFinite(v) && v > 0,
  number: (v) => typeof v === 'number' && Number.isFinite(v),
  bool: (v) => typeof v === 'boolean',
  string: (v) => typeof v === 'string',
  s16le: (v) => v === 's16le', // the only PCM the package can read
  owners: Array.isArray,
};

// The kind of each key of each message type; a `?` marks one that may be left out.
const SHAPES = {
  probe: {
    hello: { intervalMs: 'int', protocolVersion: 'int' },
    state: { audioPlaying: 'bool', micHot: 'bool', owners: 'owners' },
  },
  tap: {
    format: {
      channels: 'count', deviceInputChannels: 'count', encoding: 's16le', outputDeviceUID: 'string',
      sampleRate: 'rate', sourceIsFloat: 'bool', tapRate: 'number',
    },
    started: {},
    'device-changed': { from: 'string', reason: 'string', to: 'string' },
    error: { code: 'string', message: 'string', status: 'int?' },
  },
};
const OWNER = { gui: 'bool', ignored: 'bool', input: 'bool', name: 'string', output: 'bool', pid: 'int', bundleID: 'string?' };

/** { problem } for a missing key or a value of the wrong kind, else { extra } (unknown keys). */
function check(object, shape, prefix) {
  for (const [key, spec] of Object.entries(shape)) {
    const optional = spec.endsWith('?');
    if (!(key in object)) {
      if (optional) continue;
      return { problem: `missing ${prefix}${key}` };
    }
    if (!KINDS[spec.replace('?', '')](object[key])) return { problem: `${prefix}${key} is not ${spec.replace('?', '')}` };
  }
  return { extra: Object.keys(object).filter((key) => key !== 'type' && !(key in shape)).map((key) => prefix + key) };
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
  const isObject = (value) => value !== null && typeof value === 'object' && !Array.isArray(value);
  if (!isObject(message)) return { problem: 'not a JSON object' };
  const shape = Object.hasOwn(SHAPES[program], message.type) ? SHAPES[program][message.type] : null;
  if (!shape) return { problem: `unknown type ${JSON.stringify(message.type)}` };
  const { problem, extra } = check(message, shape, '');
  if (problem) return { problem };
  if (message.type === 'state') {
    for (const owner of message.owners) {
      if (!isObject(owner)) return { problem: 'owner is not an object' };
      const result = check(owner, OWNER, 'owners.');
      if (result.problem) return { problem: result.problem };
      extra.push(...result.extra);
    }
  }
  return { message, unknownKeys: extra };
}

module.exports = { parseLine };
