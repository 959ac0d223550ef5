// The WebAssembly build side by side with the native library, in one run:
//   - toHtml in Node on all.wiki, Uint8Array in and out, and strings in and
//     out, against wtcore_render natively (newest build, and the baseline
//     build whose SSE2 code the SIMD module compiles);
//   - the size of the module (wasm + JS glue), plain and gzipped;
//   - in the page in headless Chromium, a keystroke on a 100 KB document.
//
//   cmake --workflow --preset bench && cmake --workflow --preset wasm
//   node bench/js_bench.mjs [--runs N]     (N calls of each, in rounds of 3; default 21)
//
// Paths default to those build trees; WTCORE_CORPUS, WTCORE_JS_PACKAGE,
// WTCORE_WEB_PAGE, WTCORE_RENDER_TIME and WTCORE_CHROMIUM override them.
import { execFileSync } from 'node:child_process';
import { readFileSync, existsSync } from 'node:fs';
import { join, dirname } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { gzipSync } from 'node:zlib';
import { loadavg } from 'node:os';

const root = join(dirname(fileURLToPath(import.meta.url)), '..');
const corpus = process.env.WTCORE_CORPUS || join(root, '..', 'shared', 'corpus');
const packageDir = process.env.WTCORE_JS_PACKAGE || join(root, 'build', 'wasm', 'js', 'package');
const pageDir = process.env.WTCORE_WEB_PAGE || join(root, 'build', 'wasm', 'web', 'page');
const renderTime = process.env.WTCORE_RENDER_TIME || join(root, 'build', 'bench', 'bench', 'wtcore_render_time');
const runsArg = process.argv.indexOf('--runs');
const runs = runsArg > 0 ? Number(process.argv[runsArg + 1]) : 21;

for (const [what, path] of [['corpus', corpus], ['package (preset wasm)', packageDir],
  ['native timer (preset bench)', renderTime]]) {
  if (!existsSync(path)) {
    console.error(`js_bench: no ${what} at ${path}`);
    process.exit(1);
  }
}

const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const mbps = (bytes, ms) => bytes / 1e6 / (ms / 1e3);

// [median, fastest] of n timed calls.
function timeWasm(fn, n) {
  const times = [];
  for (let i = 0; i < n; i++) {
    const t = performance.now();
    fn();
    times.push(performance.now() - t);
  }
  return [median(times), Math.min(...times)];
}

function timeNative(file, env, n) {
  const out = execFileSync(renderTime, [file, String(n)], { env: { ...process.env, ...env } });
  return String(out).trim().split(' ').map(Number);
}

console.log(`load average before: ${loadavg().map((x) => x.toFixed(2)).join(' ')}`);
const pkg = await import(pathToFileURL(join(packageDir, 'index.js')).href);
const file = join(corpus, 'all.wiki');
const bytes = new Uint8Array(readFileSync(file));
const text = new TextDecoder().decode(bytes);

// The calls are timed in rounds of three calls of each, one after the other,
// so that on a shared machine every row sees the same load; a ratio is the
// median over the rounds of that round's two medians.
const simdApi = await pkg.instantiate({ simd: true });
const scalarApi = await pkg.instantiate({ simd: false });
const per = 3;
const rounds = Math.max(1, Math.round(runs / per));
const rows = [
  ['native wtcore_render (newest build)', () => timeNative(file, {}, per)],
  ['native wtcore_render (baseline SSE2 build)', () => timeNative(file, { WTCORE_ISA: 'baseline' }, per)],
];
for (const [name, api] of [['SIMD', simdApi], ['scalar', scalarApi]]) {
  for (let i = 0; i < 3; i++) { api.toHtml(bytes); api.toHtml(text); }
  rows.push([`wasm ${name}: toHtml(Uint8Array) -> Uint8Array`, () => timeWasm(() => api.toHtml(bytes), per)]);
  rows.push([`wasm ${name}: toHtml(string) -> string`, () => timeWasm(() => api.toHtml(text), per)]);
}
const blocks = rows.map(() => []);
for (let r = 0; r < rounds; r++) rows.forEach(([, time], i) => blocks[i].push(time()));
const ratio = (i, base) => median(blocks[i].map((b, r) => blocks[base][r][0] / b[0]));
console.log(`\ntoHtml on all.wiki (${bytes.length.toLocaleString('en')} bytes), ${rounds} rounds of ${per} calls: median (fastest)`);
console.log(`${'call'.padEnd(46)} ${'ms'.padStart(13)} ${'MB/s'.padStart(6)} ${'x native'.padStart(9)} ${'x baseline'.padStart(11)}`);
rows.forEach(([name], i) => {
  const ms = median(blocks[i].map((b) => b[0]));
  const fastest = Math.min(...blocks[i].map((b) => b[1]));
  console.log(`${name.padEnd(46)} ${`${ms.toFixed(1)} (${fastest.toFixed(1)})`.padStart(13)} ${
    mbps(bytes.length, ms).toFixed(0).padStart(6)} ${ratio(i, 0).toFixed(2).padStart(9)} ${ratio(i, 1).toFixed(2).padStart(11)}`);
});

console.log('\nmodule size (wasm + JS glue; with the package\'s own index.js and binding.js)');
const size = (names) => {
  const data = Buffer.concat(names.map((n) => readFileSync(join(packageDir, n))));
  return [data.length, gzipSync(data, { level: 9 }).length];
};
for (const [name, files] of [
  ['SIMD: wtcore.wasm + wtcore.mjs', ['wtcore.wasm', 'wtcore.mjs']],
  ['scalar: wtcore-scalar.wasm + wtcore-scalar.mjs', ['wtcore-scalar.wasm', 'wtcore-scalar.mjs']],
  ['SIMD with index.js + binding.js', ['wtcore.wasm', 'wtcore.mjs', 'index.js', 'binding.js']],
]) {
  const [plain, gz] = size(files);
  console.log(`${name.padEnd(52)} ${(plain / 1024).toFixed(1).padStart(7)} KB  gzipped ${(gz / 1024).toFixed(1).padStart(6)} KB`);
}

// The page: a 100 KB document in the editor, then keystrokes. The page
// renders once per frame, in a requestAnimationFrame callback; this one is
// asked for after it, so it runs right after the page's update, and forces
// the layout there. Each keystroke is timed from keydown to that layout
// (wall), and as the time the page's own code and the layout kept the main
// thread busy (busy: the input event, then the frame's update and layout),
// which leaves out the wait for the frame.
if (!existsSync(pageDir) || !existsSync(join(root, 'js', 'node_modules', 'puppeteer-core'))) {
  console.log('\npage: skipped (needs build/wasm/web/page and npm ci in js/)');
} else {
  process.env.WTCORE_JS_DIR ||= join(root, 'js');
  const { launch, openPage } = await import('../web/test/browser.mjs');
  const chromium = await launch();
  try {
    const { page } = await openPage(chromium.browser, pathToFileURL(join(pageDir, 'index.html')).href);
    const doc = text.slice(0, text.indexOf('\n', 100000) + 1);
    await page.evaluate((value) => {
      const editor = document.getElementById('editor');
      const preview = document.getElementById('preview');
      const state = window.wikitextPreview;
      editor.value = value;
      editor.dispatchEvent(new Event('input'));
      window.keystrokes = [];
      let keydown = 0;
      let input = 0;
      editor.addEventListener('keydown', () => { keydown = performance.now(); }, true);
      editor.addEventListener('input', () => {
        input = performance.now() - keydown;
        requestAnimationFrame(() => {
          const updated = performance.now();
          void preview.offsetHeight;
          const end = performance.now();
          window.keystrokes.push({ wall: end - keydown, busy: input + (end - state.startedAt),
            input, update: state.totalMs, render: state.renderMs, layout: end - updated });
        });
      });
      editor.setSelectionRange(Math.floor(value.length / 2), Math.floor(value.length / 2));
    }, doc);
    await page.waitForFunction(() => !window.wikitextPreview.pending);
    await page.focus('#editor');
    await page.keyboard.type("Typed [[here]] with ''style'' ".repeat(3));
    await page.waitForFunction(() => !window.wikitextPreview.pending);
    const samples = await page.evaluate(() => window.keystrokes);
    const stat = (key) => `median ${median(samples.map((s) => s[key])).toFixed(2)} ms, slowest ${
      Math.max(...samples.map((s) => s[key])).toFixed(2)} ms`;
    console.log(`\npage in headless Chromium: ${samples.length} keystrokes on a ${Buffer.byteLength(doc).toLocaleString('en')}-byte document`);
    console.log(`  keydown to laid-out preview, busy (input event + frame's update and layout): ${stat('busy')}`);
    console.log(`  keydown to laid-out preview, wall (with the wait for the frame): ${stat('wall')}`);
    console.log(`  the input event (keydown to input, the editor's own work): ${stat('input')}`);
    console.log(`  the page's update (render, preview, lists): ${stat('update')}`);
    console.log(`    of which render (HTML, links, headings): ${stat('render')}`);
    console.log(`  the layout after the update: ${stat('layout')}`);
  } finally {
    await chromium.close();
  }
}
console.log(`\nload average after: ${loadavg().map((x) => x.toFixed(2)).join(' ')}`);
