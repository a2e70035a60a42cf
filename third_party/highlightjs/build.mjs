// Bundles entry.js into one script that Qt 6.4's JavaScript engine runs:
//   node build.mjs OUTPUT   (run where npm ci installed package.json)
// The engine has no Unicode property classes and mis-matches "u" regular expressions, so the
// grammars that use them get ranges instead and lose the flag.
import * as esbuild from 'esbuild';
import { readFile, writeFile } from 'node:fs/promises';
import path from 'node:path';

const [output] = process.argv.slice(2);

// Letters beyond ASCII are taken whole: an identifier in a code block is never checked, only
// coloured.
const ranges = {
  '\\p{XID_Start}': 'A-Za-z\\u00AA-\\uFFFF',
  '\\p{XID_Continue}': '0-9A-Za-z\\u00AA-\\uFFFF',
  '\\p{L}': 'A-Za-z\\u00AA-\\uFFFF',
};

function withoutUnicodeMode(source) {
  let out = source.replace(/unicodeRegex:\s*true/g, 'unicodeRegex: false');
  // A class outside brackets becomes a bracketed range; inside brackets, its ranges.
  out = out.replace(/(\[[^\]\n]*?\])|(\\p\{\w+\})/g, (match, bracket, bare) => {
    if (bare) return '[' + ranges[bare] + ']';
    return bracket.replace(/\\p\{\w+\}/g, (cls) => ranges[cls]);
  });
  return out.replace(/\/u(?=[,;)\s])/g, '/');
}

// The highlighter as one call per piece of a long block, each going on from where the last
// stopped: the engine copies the whole subject of a pattern at every match, so one call over a
// thousand lines costs the square of their length. The library has the call, unexported.
const continuationPlugin = {
  name: 'continued-highlight',
  setup(build) {
    build.onLoad({ filter: /highlight\.js[\/\\]lib[\/\\]core\.js$/ }, async (args) => {
      const source = await readFile(args.path, 'utf8');
      const contents = source.replace('Object.assign(hljs, {\n',
                                      'Object.assign(hljs, {\n    continueHighlight: _highlight,\n');
      if (contents === source)
        throw new Error('no export list found in ' + args.path);
      return { contents, loader: 'js' };
    });
  },
};

const unicodePlugin = {
  name: 'no-unicode-mode',
  setup(build) {
    build.onLoad({ filter: /highlight\.js[\/\\]lib[\/\\]languages[\/\\](python|xml)\.js$/ },
      async (args) => {
        const source = await readFile(args.path, 'utf8');
        const contents = withoutUnicodeMode(source);
        if (contents.includes('\\p{') || /\/u[,;)\s]/.test(contents))
          throw new Error('a Unicode class or flag is left in ' + args.path);
        return { contents, loader: 'js' };
      });
  },
};

const built = await esbuild.build({
  write: false,
  entryPoints: [path.join(path.dirname(new URL(import.meta.url).pathname), 'entry.js')],
  bundle: true,
  minify: true,
  format: 'iife',
  target: 'es2017',
  charset: 'utf8',
  legalComments: 'none',
  banner: { js: '/*! highlight.js 11.11.1 | BSD-3-Clause */var globalThis=this;' },
  plugins: [unicodePlugin, continuationPlugin],
  outfile: output,
});
// The engine makes "__proto__" of an object literal a real member, and a namespace object's
// {__proto__: null} then has a null member that the library's deep freeze trips over.
const text = built.outputFiles[0].text.replace(/__proto__:\s*null,?/g, '');
await writeFile(output, text);
