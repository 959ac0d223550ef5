// The preview page in headless Chromium: opened from disk and from a static
// server, its preview's DOM equals the native library's HTML for the sample
// page, for typed text and under each option; saves a screenshot.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { launch, serve, openPage } from './browser.mjs';
import { nativeRender } from '../../js/test/native.mjs';

const pageDir = process.env.WTCORE_WEB_PAGE;
const sample = readFileSync(process.env.WTCORE_SAMPLE, 'utf8');
const OPTIONS = { 'opt-safe': 'safeAttributes', 'opt-balance': 'balance', 'opt-extended': 'extended' };

let chromium;
before(async () => { chromium = await launch(); });
after(async () => { await chromium?.close(); });

// What the page shows now, and whether its preview is, node for node, the
// given HTML as the browser parses it.
async function pageState(page, nativeHtml) {
  return page.evaluate((html) => {
    const preview = document.getElementById('preview');
    const expected = preview.cloneNode(false);
    expected.innerHTML = html;
    return {
      text: document.getElementById('editor').value,
      same: html === null ? null : expected.isEqualNode(preview),
      error: document.getElementById('error').textContent,
      renders: window.wikitextPreview.renders,
      timing: document.getElementById('timing').textContent,
      outline: [...document.querySelectorAll('#outline a')].map((a) => [a.textContent, a.getAttribute('href')]),
      links: document.querySelectorAll('#links li').length,
    };
  }, nativeHtml);
}

// Checks the page against the native library for its editor's text and the
// options checked: the same DOM, or the library's message when it refuses.
async function checkAgainstNative(page, options, what) {
  await page.waitForFunction(() => !window.wikitextPreview.pending);
  const text = await page.$eval('#editor', (e) => e.value);
  const [html, links, headings] = nativeRender(['html', 'links', 'headings'].map((format) => ({ doc: text, format, options })));
  if (html.status !== 0) {
    const state = await pageState(page, null);
    assert.equal(state.error, html.bytes.toString('utf8'), `${what}: the library's message`);
    return state;
  }
  const state = await pageState(page, html.bytes.toString('utf8'));
  assert.equal(state.error, '', what);
  assert.equal(state.same, true, `${what}: the preview's DOM differs from the native HTML`);
  const nativeHeadings = JSON.parse(headings.bytes);
  assert.deepEqual(state.outline, nativeHeadings.map((h) => [h.text, '#' + h.anchor]), `${what}: outline`);
  assert.equal(state.links, JSON.parse(links.bytes).length, `${what}: link list`);
  return state;
}

test('from disk: the sample page, already rendered, as the native library renders it', async () => {
  const { page, problems } = await openPage(chromium.browser, pathToFileURL(join(pageDir, 'index.html')).href);
  const state = await checkAgainstNative(page, {}, 'sample');
  assert.equal(state.text, sample);
  assert.equal(state.renders, 1);
  assert.match(state.timing, /^[\d.]+ ms · render [\d.]+ ms$/);
  assert.ok(state.outline.length >= 3, 'the sample has headings');
  if (process.env.WTCORE_SCREENSHOT) await page.screenshot({ path: process.env.WTCORE_SCREENSHOT });
  assert.deepEqual(problems, []);
  await page.close();
});

test('typing re-renders on each keystroke; each option toggles', async () => {
  const { page, problems } = await openPage(chromium.browser, pathToFileURL(join(pageDir, 'index.html')).href);
  await page.focus('#editor');
  await page.$eval('#editor', (e) => e.setSelectionRange(e.value.length, e.value.length));
  const typed = '\n== Typed here ==\nA [[Typed link|label]] and <span style="color:red" onmouseover="x">red</span> <b>open';
  await page.keyboard.type(typed);
  const state = await checkAgainstNative(page, {}, 'typed');
  assert.equal(state.text, sample + typed);
  assert.ok(state.renders > 1 && state.renders <= 1 + typed.length,
    `at most one render per keystroke: ${state.renders} for ${typed.length}`);
  assert.ok(state.outline.some(([text]) => text === 'Typed here'));

  // A tag left open in the middle of the page changes how the browser reads
  // the blocks after it; closed again, it does not.
  const middle = sample.indexOf('\n', sample.length >> 1);
  await page.$eval('#editor', (e, at) => e.setSelectionRange(at, at), middle);
  await page.keyboard.type(' <i>open');
  await checkAgainstNative(page, {}, 'a tag left open in the middle');
  await page.keyboard.type(' and closed</i>');
  await checkAgainstNative(page, {}, 'the tag closed again');
  await page.keyboard.type(' <b>half <i>crossed</b> tags</i>');
  await checkAgainstNative(page, {}, 'tags closed out of order');

  for (const [id, option] of Object.entries(OPTIONS)) {
    await page.click(`#${id}`);
    assert.equal(await page.$eval(`#${id}`, (e) => e.checked), true);
    await checkAgainstNative(page, { [option]: true }, `${option} on`);
    await page.click(`#${id}`);
    await checkAgainstNative(page, {}, `${option} off`);
  }
  assert.deepEqual(problems, []);
  await page.close();
});

test('from a static file server', async () => {
  const server = await serve(pageDir);
  try {
    const { page, problems } = await openPage(chromium.browser, server.url);
    await checkAgainstNative(page, {}, 'served');
    assert.deepEqual(problems, []);
    await page.close();
  } finally {
    await server.close();
  }
});
