'use strict';
// The README's snippets as one TypeScript file for the type test, each in a
// block of its own; `require` lines give way to the preamble's imports.
// node testing/readme.js > test/types/readme.ts
const fs = require('node:fs');
const lib = require('..');

const PREAMBLE = `// Made from README.md by testing/readme.js: do not edit.
import { ${Object.keys(lib).sort().join(', ')} } from '../..';
import { pipeline } from 'node:stream';
import { createWriteStream } from 'node:fs';
declare const app: { getAppMetrics(): { pid: number }[] };
declare const tapPath: string, helperPids: number[], probe: Probe, recorder: Recorder;
`;

function readmeTypeScript() {
  const readme = fs.readFileSync(`${__dirname}/../README.md`, 'utf8');
  const blocks = [...readme.matchAll(/^```js\n([\s\S]*?)^```/gm)]
    .map((m) => m[1].replace(/^const .* = require\(.*\n/gm, ''));
  return `${PREAMBLE}\nexport async function snippets(): Promise<void> {\n${blocks.map((b) => `  {\n${b}  }\n`).join('')}}\n`;
}

if (require.main === module) process.stdout.write(readmeTypeScript());
module.exports = { readmeTypeScript };
