// The calls of the package on one instance of the WebAssembly module: input
// into the module's memory, wtcore_render, the result out, memory released.
// No rule of the renderer lives here. The preview page uses this file too, as
// part of a classic script, so it imports nothing and exports functions only.

// The formats of wtcore_render by name (WTCORE_FORMAT_* in wtcore.h).
const FORMATS = { html: 0, links: 1, headings: 2, text: 3, templates: 4, categories: 5, page: 6 };

// The option bits (WTCORE_* in wtcore.h) by option name.
const FLAGS = { encodeTargets: 0x1, balance: 0x2, safeAttributes: 0x4, extended: 0x8 };

// wtcore_options on wasm32, where size_t and pointers take 4 bytes:
// size, flags, link_template, external_rel, page_exists, context, then the
// extended syntax's file_namespaces, media_namespaces, category_namespaces,
// file_template and template_html.
const OPTIONS_SIZE = 44;
const OPT_FLAGS = 4;
const OPT_LINK_TEMPLATE = 8;
const OPT_EXTERNAL_REL = 12;

// One block per call holds the result pointer and length, the options, their
// strings and then the document.
const SLOT_RESULT = 0;
const SLOT_LENGTH = 4;
const SLOT_OPTIONS = 8;
const HEADER_SIZE = SLOT_OPTIONS + OPTIONS_SIZE;

const encoder = new TextEncoder();
const decoder = new TextDecoder();
// In Node, Buffer converts UTF-8 several times faster than TextDecoder, and
// measures a string's UTF-8 exactly; elsewhere a string gets room for three
// bytes per UTF-16 unit. Both write a lone surrogate as U+FFFD.
const NodeBuffer = typeof Buffer === 'function' && typeof Buffer.byteLength === 'function' ? Buffer : null;

function decode(memory, at, length) {
  return NodeBuffer ? NodeBuffer.from(memory.buffer, at, length).toString('utf8')
                    : decoder.decode(memory.subarray(at, at + length));
}

// A module whose one function uses a v128 constant: valid only where the
// engine has SIMD.
const SIMD_PROBE = new Uint8Array([
  0x00, 0x61, 0x73, 0x6d, 0x01, 0x00, 0x00, 0x00, // magic, version
  0x01, 0x05, 0x01, 0x60, 0x00, 0x01, 0x7b,       // type: () -> v128
  0x03, 0x02, 0x01, 0x00,                         // one function of that type
  0x0a, 0x16, 0x01, 0x14, 0x00,                   // code: one body, no locals
  0xfd, 0x0c, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // v128.const 0
  0x0b,                                           // end
]);

// Whether this engine runs the SIMD build.
export function simdSupported() {
  return typeof WebAssembly === 'object' && WebAssembly.validate(SIMD_PROBE);
}

// Returns the package's functions bound to `module`, an instantiated module of
// this library as the build makes it.
export function bind(module) {
  const {
    _malloc: malloc, _free: free, _wtcore_render: render, _wtcore_free: wtFree,
    _wtcore_options_init: optionsInit, _wtcore_status_message: statusMessage,
  } = module;

  // The module's memory grows while it runs, which replaces the buffer:
  // every view is taken afresh after a call into it.
  const heap = () => module.HEAPU8;

  function cString(ptr) {
    const bytes = heap();
    let end = ptr;
    while (bytes[end] !== 0) end++;
    return decoder.decode(bytes.subarray(ptr, end));
  }

  // Checks the options once, before anything is allocated: flags and the
  // UTF-8 bytes of the two strings (null when absent).
  function readOptions(options) {
    if (options === undefined || options === null) return { flags: 0, linkTemplate: null, rel: null };
    if (typeof options !== 'object') throw new TypeError('options must be an object');
    let flags = 0;
    let linkTemplate = null;
    let rel = null;
    for (const [key, value] of Object.entries(options)) {
      if (value === undefined) continue;
      if (key in FLAGS) {
        if (typeof value !== 'boolean') throw new TypeError(`option ${key} must be a boolean`);
        if (value) flags |= FLAGS[key];
      } else if (key === 'linkTemplate' || key === 'rel') {
        if (value === null) continue;
        if (typeof value !== 'string') throw new TypeError(`option ${key} must be a string`);
        const bytes = encoder.encode(value);
        if (bytes.includes(0)) throw new TypeError(`option ${key} must not contain U+0000`);
        if (key === 'linkTemplate') linkTemplate = bytes;
        else rel = bytes;
      } else {
        throw new TypeError(`unknown option: ${key}`);
      }
    }
    return { flags, linkTemplate, rel };
  }

  // Writes wtcore_options at `at` and its strings after `strings`; returns the
  // end of the strings.
  function writeOptions(at, strings, opts) {
    optionsInit(at);
    const view = new DataView(heap().buffer);
    const size = view.getUint32(at, true);
    if (size !== OPTIONS_SIZE) {
      throw new Error(`wtcore_options has ${size} bytes in this module, ${OPTIONS_SIZE} expected`);
    }
    view.setUint32(at + OPT_FLAGS, opts.flags, true);
    let p = strings;
    for (const [offset, bytes] of [[OPT_LINK_TEMPLATE, opts.linkTemplate], [OPT_EXTERNAL_REL, opts.rel]]) {
      if (bytes === null) continue;
      heap().set(bytes, p);
      heap()[p + bytes.length] = 0;
      view.setUint32(at + offset, p, true);
      p += bytes.length + 1;
    }
    return p;
  }

  // Renders `input` (a string or a Uint8Array of UTF-8) into format `name`;
  // the result is a string, or a Uint8Array when the input was one.
  function renderAs(input, name, options) {
    const format = FORMATS[name];
    if (format === undefined) throw new TypeError(`unknown format: ${name}`);
    const asBytes = input instanceof Uint8Array;
    if (!asBytes && typeof input !== 'string') throw new TypeError('input must be a string or a Uint8Array');
    const opts = readOptions(options);

    const room = asBytes ? input.length : NodeBuffer ? NodeBuffer.byteLength(input, 'utf8') : input.length * 3;
    const stringsRoom = (opts.linkTemplate ? opts.linkTemplate.length + 1 : 0) +
                        (opts.rel ? opts.rel.length + 1 : 0);
    const block = malloc(HEADER_SIZE + stringsRoom + room);
    if (block === 0) throw new Error('out of memory');
    let result = 0;
    try {
      const doc = writeOptions(block + SLOT_OPTIONS, block + HEADER_SIZE, opts);
      let length = room;
      if (asBytes) heap().set(input, doc);
      else if (NodeBuffer) NodeBuffer.from(heap().buffer, doc, room).write(input, 'utf8');
      else length = encoder.encodeInto(input, heap().subarray(doc, doc + room)).written;
      const status = render(doc, length, format, block + SLOT_OPTIONS, block + SLOT_RESULT, block + SLOT_LENGTH);
      if (status !== 0) throw new Error(cString(statusMessage(status)));
      const view = new DataView(heap().buffer);
      result = view.getUint32(block + SLOT_RESULT, true);
      const resultLength = view.getUint32(block + SLOT_LENGTH, true);
      return asBytes ? heap().slice(result, result + resultLength) : decode(heap(), result, resultLength);
    } finally {
      if (result !== 0) wtFree(result);
      free(block);
    }
  }

  const text = (name) => (input, options) => renderAs(input, name, options);
  const json = (name) => (input, options) => {
    const out = renderAs(input, name, options);
    return JSON.parse(typeof out === 'string' ? out : decode(out, 0, out.length));
  };

  return {
    render: renderAs,
    toHtml: text('html'),
    toText: text('text'),
    links: json('links'),
    headings: json('headings'),
    templates: json('templates'),
    categories: json('categories'),
    page: json('page'),
    memorySize: () => heap().length,
  };
}
