'use strict';
// Starting one of the programs and reading its JSON lines: each line is a
// message or a "bad-input" report, never an exception in the app.
const { spawn } = require('node:child_process');
const { LineSplitter } = require('./lines');
const { parseLine } = require('./messages');

/** Starts `path` with stdin, stdout and stderr all pipes the parent holds. */
function spawnSidecar(path, args, env) {
  // Node's default stdio: stdin is a socket whose end() stops the program.
  return spawn(path, args, { stdio: 'pipe', env: env || process.env });
}

/**
 * Reads `stream` line by line as `program`'s messages: onMessage(message,
 * unknownKeys) for each known one, emitter 'bad-input' for the rest and for
 * a line cut off at the stream's end.
 */
function readMessages(stream, program, emitter, onMessage) {
  const bad = (line, problem) => emitter.emit('bad-input', { program, line, problem });
  const lines = new LineSplitter({ onTooLong: (head) => bad(head, 'line longer than 1 MiB, skipped') });
  const take = (line) => {
    const { message, unknownKeys, problem } = parseLine(program, line);
    if (problem) return bad(line, problem);
    if (unknownKeys.length) bad(line, `unknown keys ${unknownKeys.join(', ')}`);
    onMessage(message);
  };
  stream.on('data', (chunk) => lines.push(chunk).forEach(take));
  stream.on('end', () => {
    const rest = lines.end();
    if (rest !== undefined) bad(rest, 'truncated line at exit');
  });
}

module.exports = { spawnSidecar, readMessages };
