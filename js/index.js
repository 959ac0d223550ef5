// tarnwick-wikitext: wikitext to HTML, links and headings, in WebAssembly.
//
//   import { init, toHtml, links, headings } from 'tarnwick-wikitext';
//   await init();
//   toHtml("== Intro ==\n'''Bold''' [[Main Page|home]]\n");
//
// The module comes in two builds: with WebAssembly SIMD, and a scalar one for
// engines without it. init() picks one by asking the engine whether it accepts
// a SIMD instruction.
import { bind, simdSupported } from './binding.js';

export { simdSupported };

// Loads and instantiates one build. In Node (the package read from file:
// URLs) the .wasm is read here and handed over; in browsers the module's own
// loader fetches it from beside its script.
async function load(simd) {
  const name = simd ? 'wtcore' : 'wtcore-scalar';
  const { default: create } = await import(`./${name}.mjs`);
  const wasmUrl = new URL(`./${name}.wasm`, import.meta.url);
  const settings = {};
  if (wasmUrl.protocol === 'file:') {
    const { readFile } = await import('node:fs/promises');
    settings.wasmBinary = await readFile(wasmUrl);
  }
  return bind(await create(settings));
}

// Returns a new instance with memory of its own: every function of the
// package, bound to it. `simd` forces a build (default: the engine decides).
export async function instantiate({ simd = simdSupported() } = {}) {
  if (simd && !simdSupported()) throw new Error('this engine does not run WebAssembly SIMD');
  const api = await load(simd);
  return Object.freeze({ ...api, simd });
}

let shared = null;
let sharedPromise = null;

// Loads the module once for the functions below; later calls return the same
// promise (their options are then ignored).
export function init(options) {
  if (!sharedPromise) {
    sharedPromise = instantiate(options).then((api) => { shared = api; return api; },
      (error) => { sharedPromise = null; throw error; });
  }
  return sharedPromise;
}

function api() {
  if (!shared) throw new Error('tarnwick-wikitext: call and await init() first');
  return shared;
}

export const render = (input, format, options) => api().render(input, format, options);
export const toHtml = (input, options) => api().toHtml(input, options);
export const toText = (input, options) => api().toText(input, options);
export const links = (input, options) => api().links(input, options);
export const headings = (input, options) => api().headings(input, options);
export const templates = (input, options) => api().templates(input, options);
export const categories = (input, options) => api().categories(input, options);
export const page = (input, options) => api().page(input, options);
export const memorySize = () => api().memorySize();
