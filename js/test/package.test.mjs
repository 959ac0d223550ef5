// The package against the native library: every corpus document, random
// documents with random options, errors, a 64 MB document, and memory that
// stays the same size over many calls. Both builds (SIMD and scalar) run.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readdirSync, readFileSync, statSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { nativeRender, FORMATS } from './native.mjs';

const packageDir = process.env.WTCORE_JS_PACKAGE;
const corpusDir = process.env.WTCORE_CORPUS_DIR;
const pkg = await import(pathToFileURL(join(packageDir, 'index.js')).href);
const builds = { simd: await pkg.instantiate({ simd: true }), scalar: await pkg.instantiate({ simd: false }) };
const decoder = new TextDecoder();

function corpusFiles(dir) {
  const files = [];
  for (const entry of readdirSync(dir, { withFileTypes: true }).sort((a, b) => a.name.localeCompare(b.name))) {
    const path = join(dir, entry.name);
    if (entry.isDirectory()) files.push(...corpusFiles(path));
    else if (entry.name.endsWith('.wiki')) files.push(path);
  }
  return files;
}

// Calls the package the way the native request asks; returns the same shape
// as nativeRender: {status: 0, bytes} or {status: 'error', message}.
function wasmRender(api, doc, format, options) {
  try {
    return { status: 0, bytes: api.render(doc, format, options) };
  } catch (error) {
    return { status: 'error', message: error.message, type: error.constructor };
  }
}

function assertSame(got, want, what) {
  if (want.status !== 0) {
    assert.equal(got.status, 'error', `${what}: native status ${want.status}, the package did not throw`);
    assert.equal(got.type, Error, `${what}: an Error, not a ${got.type.name}`);
    assert.equal(got.message, decoder.decode(want.bytes), what);
    return;
  }
  assert.equal(got.status, 0, `${what}: threw ${got.message}`);
  if (Buffer.compare(Buffer.from(got.bytes), want.bytes) !== 0) {
    assert.fail(`${what}: ${got.bytes.length} bytes, native ${want.bytes.length}; first difference at ${
      Buffer.from(got.bytes).findIndex((b, i) => b !== want.bytes[i])}`);
  }
}

// The module asks its host for memory growth, big copies and abort, nothing
// else: no environment variables, files or clocks.
test('the module imports nothing from the environment', () => {
  const allowed = new Set(['_abort', '_emscripten_memcpy_big', '_emscripten_resize_heap']);
  for (const name of ['wtcore.mjs', 'wtcore-scalar.mjs']) {
    const glue = readFileSync(join(packageDir, name), 'utf8');
    const imports = /var asmLibraryArg=\{([^}]*)\}/.exec(glue);
    assert.ok(imports, `${name}: import table not found`);
    const names = imports[1].split(',').map((pair) => pair.split(':')[1]);
    assert.ok(names.includes('_emscripten_resize_heap'), `${name}: ${names}`);
    for (const imported of names) assert.ok(allowed.has(imported), `${name} imports ${imported}`);
  }
});

test('the SIMD build is chosen where the engine runs SIMD', () => {
  assert.equal(pkg.simdSupported(), true); // Node 20's engine does
  assert.equal(builds.simd.simd, true);
  assert.equal(builds.scalar.simd, false);
});

test('the functions need init() first, then work', async () => {
  assert.throws(() => pkg.toHtml('x'), /call and await init\(\) first/);
  const api = await pkg.init();
  assert.equal(await pkg.init(), api);
  assert.equal(pkg.toHtml("'''b'''"), '<p><b>b</b></p>\n');
  assert.deepEqual(pkg.links('[[A b|c]]'), [{ target: 'A b', text: 'c' }]);
  assert.deepEqual(pkg.headings('== T ==\n'), [{ level: 2, text: 'T', anchor: 'T' }]);
});

test('every corpus document: HTML, links and headings byte for byte as native', { skip: !corpusDir && 'no corpus' }, () => {
  const files = corpusFiles(corpusDir);
  assert.ok(files.length > 100, `only ${files.length} corpus files in ${corpusDir}`);
  for (const format of ['html', 'links', 'headings']) {
    const docs = files.map((f) => readFileSync(f));
    const native = nativeRender(docs.map((doc) => ({ doc, format })));
    files.forEach((file, i) => {
      for (const [name, api] of Object.entries(builds)) {
        assertSame(wasmRender(api, new Uint8Array(docs[i]), format), native[i], `${name} ${format} ${file}`);
      }
      // Strings in and out (every corpus document is valid UTF-8).
      const text = docs[i].toString('utf8');
      const want = native[i].bytes.toString('utf8');
      if (format === 'html') assert.equal(builds.simd.toHtml(text), want, file);
      else assert.deepEqual(builds.simd[format](text), JSON.parse(want), file);
    });
  }
});

// Random documents from markup pieces, text, invalid UTF-8 and NUL bytes.
const pieces = ['[[', ']]', '|', '[[A|b]]', '[[Main Page#Sec|x]]', '[[/a/../b]]', "''", "'''", "'''''", '==', '= x =',
  '\n', '\n\n', '\n* ', '\n# ', '\n; a : b', '\n ', '\n----', '<b>', '</b>', '<i>', '</span>', '<span style="color:red">',
  '<span onclick="x">', '<br/>', '<div>', '<!--', '-->', '<nowiki>', '</nowiki>', 'http://example.org/a?b=c', '[http://x.org y]',
  '[https://e.org]', 'mailto:a@b.c', '&amp;', '&nbsp;', '&#x41;', '&bogus;', '{{', '}}', '{{T|a=1}}', '{|', '|}', '|-',
  '[[Category:C|k]]', '[[File:a.png|thumb]]', '<ref>', '</ref>', '#REDIRECT [[X]]', 'héllo', '日本', '\u{1F600}',
  '\0', '\r\n', '"', '<', '>', '&', 'plain words ', '%20', '\\'];

function rng(seed) {
  let s = seed >>> 0;
  return () => {
    s = (s + 0x6d2b79f5) >>> 0;
    let t = Math.imul(s ^ (s >>> 15), 1 | s);
    t ^= t + Math.imul(t ^ (t >>> 7), 61 | t);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

function randomDoc(next) {
  const parts = [];
  const n = Math.floor(next() * 60);
  for (let i = 0; i < n; i++) {
    if (next() < 0.1) parts.push(Buffer.from([Math.floor(next() * 256), Math.floor(next() * 256)]));
    else parts.push(Buffer.from(pieces[Math.floor(next() * pieces.length)]));
  }
  return new Uint8Array(Buffer.concat(parts));
}

function randomOptions(next) {
  const options = {};
  for (const name of ['encodeTargets', 'balance', 'safeAttributes', 'extended']) if (next() < 0.3) options[name] = true;
  const templates = ['/w/index.php?title=$1', '/wiki/$1', 'https://e.org/$1/x', '/no-placeholder', '$1', ''];
  if (next() < 0.3) options.linkTemplate = templates[Math.floor(next() * templates.length)];
  if (next() < 0.2) options.rel = ['nofollow noopener', '', 'ugc'][Math.floor(next() * 3)];
  return options;
}

test('random documents, formats and options: the same result or the same error as native', () => {
  const next = rng(20261209);
  const requests = [];
  for (let i = 0; i < 3000; i++) {
    const format = Object.keys(FORMATS)[Math.floor(next() * 7)];
    requests.push({ doc: randomDoc(next), format, options: next() < 0.5 ? randomOptions(next) : {} });
  }
  const native = nativeRender(requests);
  requests.forEach(({ doc, format, options }, i) => {
    for (const [name, api] of Object.entries(builds)) {
      assertSame(wasmRender(api, doc, format, options), native[i], `${name} request ${i} (${format})`);
    }
  });
  // Strings in: the same document as its UTF-8 encoding (lone surrogates
  // become U+FFFD in both).
  const strings = ['a\uD800b [[x\uDC00]]', "== h\0 ==\n''i''", 'ü'.repeat(5000) + '[[é|ç]]'];
  const nativeStrings = nativeRender(strings.map((doc) => ({ doc, format: 'html' })));
  strings.forEach((s, i) => assert.equal(builds.simd.toHtml(s), nativeStrings[i].bytes.toString('utf8')));
});

test('bad arguments throw TypeErrors before anything is allocated', () => {
  const api = builds.simd;
  const before = api.memorySize();
  assert.throws(() => api.toHtml(42), TypeError);
  assert.throws(() => api.toHtml(null), TypeError);
  assert.throws(() => api.toHtml('x', 'safe'), TypeError);
  assert.throws(() => api.toHtml('x', { safe: true }), { name: 'TypeError', message: 'unknown option: safe' });
  assert.throws(() => api.toHtml('x', { balance: 1 }), TypeError);
  assert.throws(() => api.toHtml('x', { linkTemplate: 5 }), TypeError);
  assert.throws(() => api.toHtml('x', { rel: 'a\0b' }), TypeError);
  assert.throws(() => api.render('x', 'pdf'), { name: 'TypeError', message: 'unknown format: pdf' });
  // Absent values are the defaults.
  assert.equal(api.toHtml('[[a]]', { linkTemplate: null, rel: undefined, balance: false }), api.toHtml('[[a]]'));
  assert.equal(api.memorySize(), before);
});

test('the library\'s own errors throw an Error with its message', () => {
  const [native] = nativeRender([{ doc: 'x', format: 'html', options: { linkTemplate: '/wiki/' } }]);
  assert.notEqual(native.status, 0);
  for (const api of Object.values(builds)) {
    assert.throws(() => api.toHtml('x', { linkTemplate: '/wiki/' }),
      (e) => e instanceof Error && e.message === native.bytes.toString('utf8'));
  }
});

test('empty documents, and bytes in give bytes out', () => {
  const api = builds.simd;
  assert.equal(api.toHtml(''), '');
  assert.deepEqual(api.links(''), []);
  const out = api.toHtml(new Uint8Array(0));
  assert.ok(out instanceof Uint8Array);
  assert.equal(out.length, 0);
  const bytes = api.toHtml(new TextEncoder().encode('x\0y'));
  assert.ok(bytes instanceof Uint8Array);
  assert.equal(decoder.decode(bytes), '<p>x\uFFFDy</p>\n');
});

test('a 64 MB document, as bytes and as a string', () => {
  const seed = corpusDir ? readFileSync(join(corpusDir, 'all.wiki')) : Buffer.from("== H ==\n'''b''' [[L|t]] http://e.org\n");
  const size = 64 << 20;
  const doc = Buffer.alloc(size);
  for (let at = 0; at < size; at += seed.length) seed.copy(doc, at, 0, Math.min(seed.length, size - at));
  const [want] = nativeRender([{ doc, format: 'html' }]);
  assert.equal(want.status, 0);
  const api = builds.simd;
  const got = api.toHtml(new Uint8Array(doc.buffer, doc.byteOffset, doc.length));
  assert.equal(got.length, want.bytes.length);
  assert.equal(Buffer.compare(Buffer.from(got.buffer, got.byteOffset, got.length), want.bytes), 0);
  // Cut on a line end so that the text is whole UTF-8.
  const text = doc.subarray(0, doc.lastIndexOf(10) + 1).toString('utf8');
  const [wantText] = nativeRender([{ doc: text, format: 'html' }]);
  assert.equal(api.toHtml(text), wantText.bytes.toString('utf8'));
});

test('memory stays the same size over 10,000 calls', async () => {
  const api = await pkg.instantiate();
  // Pieces of 16 KB: a leak of either buffer would need more memory within
  // a few hundred calls.
  const all = corpusDir ? readFileSync(join(corpusDir, 'all.wiki')) : Buffer.from("== H ==\n'''b''' [[L|t]]\n".repeat(700));
  const docs = [];
  for (let at = 0; at + 16384 <= all.length && docs.length < 100; at += 16384) docs.push(all.subarray(at, at + 16384));
  const call = (i) => {
    const doc = docs[i % docs.length];
    switch (i % 5) {
      case 0: return api.toHtml(doc.toString('utf8'));
      case 1: // options with strings, which the library may still refuse
        try { return api.toHtml(new Uint8Array(doc), { linkTemplate: '/w/$1', rel: 'ugc' }); } catch { return null; }
      case 2: return api.links(doc.toString('utf8'));
      case 3: return api.headings(new Uint8Array(doc));
      default: assert.throws(() => api.toHtml(doc, { linkTemplate: 'no placeholder' }), Error);
    }
  };
  for (let i = 0; i < 500; i++) call(i);
  const before = api.memorySize();
  for (let i = 0; i < 10000; i++) call(i);
  assert.equal(api.memorySize(), before);
});
