'use strict';
// The README's snippets as one TypeScript file for the type test: each
// snippet in a block of its own, with the names the README takes as given.
// Run as a program, prints it: node testing/readme.js > test/types/readme.ts
const fs = require('node:fs');
const path = require('node:path');
const lib = require('..');

const PREAMBLE = `// Made from README.md by testing/readme.js: do not edit.
import { ${Object.keys(lib).sort().join(', ')} } from '../..';

declare const app: { getAppMetrics(): { pid: number }[] };
declare const tapPath: string;
declare const helperPids: number[];
declare const probe: Probe;
declare const recorder: Recorder;
`;

function readmeTypeScript() {
  const readme = fs.readFileSync(path.join(__dirname, '../README.md'), 'utf8');
  const imports = new Set();
  const snippets = [...readme.matchAll(/^```js\n([\s\S]*?)^```/gm)].map((m) => m[1]
    .split('\n')
    .filter((line) => {
      // The package and Electron are the preamble's; Node's modules become imports.
      const required = /^const \{ (.+) \} = require\('([^']+)'\);$/.exec(line);
      if (required && !['nimbrel-sidecars', 'electron'].includes(required[2])) {
        imports.add(`import { ${required[1]} } from '${required[2]}';\n`);
      }
      return !required;
    })
    .map((line) => (line ? `    ${line}` : line))
    .join('\n'));
  return `${PREAMBLE}${[...imports].join('')}\nexport async function snippets(): Promise<void> {\n${snippets.map((s) => `  {\n${s}  }\n`).join('')}}\n`;
}

if (require.main === module) process.stdout.write(readmeTypeScript());
module.exports = { readmeTypeScript };
