// The native library's results through the helper program native_render
// (path in WTCORE_NATIVE_RENDER): one process answers a whole list of requests.
import { spawnSync } from 'node:child_process';

const NO_STRING = 0xffffffff;
export const FORMATS = { html: 0, links: 1, headings: 2, text: 3, templates: 4, categories: 5, page: 6 };
export const FLAGS = { encodeTargets: 0x1, balance: 0x2, safeAttributes: 0x4, extended: 0x8 };

const encoder = new TextEncoder();

function u32(n) {
  const b = Buffer.alloc(4);
  b.writeUInt32LE(n >>> 0);
  return b;
}

function str(s) {
  if (s === null || s === undefined) return [u32(NO_STRING)];
  const bytes = typeof s === 'string' ? encoder.encode(s) : s;
  return [u32(bytes.length), bytes];
}

// The flags word of a package options object.
export function flagsOf(options = {}) {
  let flags = 0;
  for (const [name, bit] of Object.entries(FLAGS)) if (options[name]) flags |= bit;
  return flags;
}

// Renders each request {doc, format, options} natively; returns
// [{status, bytes}] where bytes are the result, or the status message.
export function nativeRender(requests) {
  const parts = [];
  for (const { doc, format, options = {} } of requests) {
    const f = typeof format === 'number' ? format : FORMATS[format];
    parts.push(u32(f), u32(flagsOf(options)), ...str(options.linkTemplate), ...str(options.rel), ...str(doc));
  }
  const run = spawnSync(process.env.WTCORE_NATIVE_RENDER, [], {
    input: Buffer.concat(parts), maxBuffer: 1 << 30,
  });
  if (run.status !== 0) throw new Error(`native_render failed: ${run.stderr}`);
  const out = run.stdout;
  const answers = [];
  for (let at = 0; at < out.length;) {
    const status = out.readUInt32LE(at);
    const length = out.readUInt32LE(at + 4);
    answers.push({ status, bytes: out.subarray(at + 8, at + 8 + length) });
    at += 8 + length;
  }
  if (answers.length !== requests.length) throw new Error('native_render: answers missing');
  return answers;
}
