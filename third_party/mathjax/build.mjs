// Bundles entry.js into one script that Qt 6.4's JavaScript engine runs:
//   node build.mjs OUTPUT   (run where npm ci installed package.json)
import * as esbuild from 'esbuild';
import { writeFile } from 'node:fs/promises';
import path from 'node:path';

const [output] = process.argv.slice(2);
const built = await esbuild.build({
  entryPoints: [path.join(path.dirname(new URL(import.meta.url).pathname), 'entry.js')],
  bundle: true,
  minify: true,
  write: false,
  format: 'iife',
  target: 'es2017',
  charset: 'utf8',
  legalComments: 'none',
  banner: { js: '/*! MathJax 3.2.2 | Apache-2.0 */var globalThis=this;' },
  outfile: output,
});
// The engine makes "__proto__" of an object literal a real member.
const text = built.outputFiles[0].text.replace(/__proto__:\s*null,?/g, '');
await writeFile(output, text);
