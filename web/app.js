// The live preview: loads the module of the build this browser runs, then
// renders the editor's text on every change into the preview, the outline and
// the link list. A classic script, so the page also works from file://.
(function () {
  'use strict';

  const $ = (id) => document.getElementById(id);
  const editor = $('editor');
  const preview = $('preview');
  const outline = $('outline');
  const linkList = $('links');
  const timing = $('timing');
  const errorLine = $('error');
  const form = $('options');

  // The state the tests read: the instance, the last render's figures (its
  // start, and the time it took to render and to update the page), and
  // whether a render waits for the next frame.
  const state = { api: null, renders: 0, startedAt: 0, renderMs: 0, totalMs: 0, error: '', pending: false };
  window.wikitextPreview = state;

  function options() {
    const chosen = {};
    for (const box of form.querySelectorAll('input[type=checkbox]')) chosen[box.name] = box.checked;
    return chosen;
  }

  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // Nested lists for the headings: a deeper level opens a list inside the last
  // item, a shallower one climbs back up.
  function showOutline(headings) {
    outline.replaceChildren();
    const stack = [{ level: 0, list: outline }];
    for (const h of headings) {
      while (stack.length > 1 && stack[stack.length - 1].level >= h.level) stack.pop();
      const top = stack[stack.length - 1];
      const item = el('li');
      const link = el('a', 'level-' + h.level, h.text);
      link.href = '#' + h.anchor;
      link.dataset.anchor = h.anchor;
      item.appendChild(link);
      top.list.appendChild(item);
      const sub = el('ol');
      item.appendChild(sub);
      stack.push({ level: h.level, list: sub });
    }
    for (const empty of outline.querySelectorAll('ol:empty')) empty.remove();
    $('heading-count').textContent = String(headings.length);
  }

  function showLinks(links) {
    linkList.replaceChildren();
    for (const l of links) {
      const item = el('li');
      item.appendChild(el('span', 'target', l.target));
      if (l.text !== l.target) item.appendChild(el('span', 'label', l.text));
      linkList.appendChild(item);
    }
    $('link-count').textContent = String(links.length);
  }

  // The preview's HTML in top-level pieces, each cut before a start tag that
  // stands outside every element. A piece whose tags open and close in order
  // leaves the browser's HTML parser as it found it: no element open, no
  // formatting element waiting to be reopened. So each such piece parses on
  // its own into the very nodes that parsing the whole HTML gives, and an
  // update need only parse the pieces that changed. Anything else (a tag left
  // open or closed out of order, a comment, an element whose content is not
  // HTML) ends the cutting: the rest of the HTML is one piece, parsed whole.
  const VOID = new Set(['area', 'base', 'br', 'col', 'embed', 'hr', 'img', 'input', 'link', 'meta',
    'param', 'source', 'track', 'wbr']);
  const RAW = new Set(['script', 'style', 'textarea', 'title', 'xmp', 'iframe', 'noembed', 'noframes',
    'noscript', 'plaintext', 'template', 'svg', 'math']);
  const isLetter = (c) => (c >= 65 && c <= 90) || (c >= 97 && c <= 122);
  const isSpace = (c) => c === 32 || c === 9 || c === 10 || c === 12 || c === 13;

  // The tag whose '<' is at `at` (a letter or '/' and a letter after it):
  // its lower-case name and the index after its '>' (0 if it has none), its
  // attributes read as the browser reads them (quoted values may hold '>').
  function readTag(html, at) {
    let i = at + (html.charCodeAt(at + 1) === 47 ? 2 : 1);
    const nameStart = i;
    while (i < html.length && !isSpace(html.charCodeAt(i)) && html[i] !== '/' && html[i] !== '>') i++;
    const name = html.slice(nameStart, i).toLowerCase();
    for (;;) {
      while (i < html.length && (isSpace(html.charCodeAt(i)) || html[i] === '/')) i++;
      if (i >= html.length) return { name, end: 0 };
      if (html[i] === '>') return { name, end: i + 1 };
      i++; // an attribute's name: its first character may be anything, even '='
      while (i < html.length && !isSpace(html.charCodeAt(i)) && html[i] !== '/' && html[i] !== '>' && html[i] !== '=') i++;
      while (i < html.length && isSpace(html.charCodeAt(i))) i++;
      if (html[i] !== '=') continue;
      i++;
      while (i < html.length && isSpace(html.charCodeAt(i))) i++;
      const quote = html[i];
      if (quote === '"' || quote === "'") {
        const close = html.indexOf(quote, i + 1);
        if (close < 0) return { name, end: 0 };
        i = close + 1;
      } else {
        while (i < html.length && !isSpace(html.charCodeAt(i)) && html[i] !== '>') i++;
      }
    }
  }

  function pieces(html) {
    const out = [];
    const open = [];
    let start = 0;
    for (let lt = html.indexOf('<'); lt >= 0; lt = html.indexOf('<', lt + 1)) {
      const c = html.charCodeAt(lt + 1);
      const closing = c === 47;
      if (!isLetter(closing ? html.charCodeAt(lt + 2) : c)) {
        if (c === 33 || c === 63 || closing) break; // a comment, <!...>, <?...>, or an odd end tag
        continue; // a '<' of text
      }
      if (!closing && open.length === 0 && lt > start) {
        out.push(html.slice(start, lt));
        start = lt;
      }
      const tag = readTag(html, lt);
      if (tag.end === 0 || RAW.has(tag.name)) break;
      if (closing) {
        if (open.pop() !== tag.name) break;
      } else if (!VOID.has(tag.name)) {
        open.push(tag.name);
      }
      lt = tag.end - 1;
    }
    out.push(html.slice(start));
    return out;
  }

  // What the preview shows: the pieces of its HTML and, for each, the
  // top-level nodes it parsed into.
  let shownPieces = [];
  let shownNodes = [];

  // Puts the new HTML into the preview, parsing and replacing only the run of
  // pieces that differ from what is shown: a keystroke changes one block, and
  // the browser then parses and lays out that block alone. Pieces are parsed
  // in an element of the preview's kind, so they read as in the preview.
  function patchPreview(html) {
    const next = pieces(html);
    const now = shownPieces;
    let head = 0;
    while (head < next.length && head < now.length && next[head] === now[head]) head++;
    let tail = 0;
    while (tail < next.length - head && tail < now.length - head &&
           next[next.length - 1 - tail] === now[now.length - 1 - tail]) tail++;
    let after = null;
    for (let i = now.length - tail; i < now.length && !after; i++) after = shownNodes[i][0] || null;
    for (let i = head; i < now.length - tail; i++) for (const node of shownNodes[i]) node.remove();
    const holder = preview.cloneNode(false);
    const added = document.createDocumentFragment();
    const fresh = [];
    for (let i = head; i < next.length - tail; i++) {
      holder.innerHTML = next[i];
      const nodes = Array.from(holder.childNodes);
      added.append(...nodes);
      fresh.push(nodes);
    }
    preview.insertBefore(added, after);
    shownNodes = shownNodes.slice(0, head).concat(fresh, shownNodes.slice(now.length - tail));
    shownPieces = next;
  }

  // The outline and the link list change far less often than the text: they
  // are rebuilt only when the library's JSON for them differs.
  let shownLinks = null;
  let shownHeadings = null;
  const encoder = new TextEncoder();
  const decoder = new TextDecoder();

  // Renders the editor's text: its UTF-8 is made once and read by the three
  // renders, and gives the size shown.
  function update() {
    const start = performance.now();
    state.startedAt = start;
    const bytes = encoder.encode(editor.value);
    const chosen = options();
    let html, links, headings;
    try {
      html = decoder.decode(state.api.toHtml(bytes, chosen));
      links = decoder.decode(state.api.render(bytes, 'links', chosen));
      headings = decoder.decode(state.api.render(bytes, 'headings', chosen));
    } catch (error) {
      state.error = error.message;
      errorLine.textContent = error.message;
      timing.textContent = 'not rendered';
      return;
    }
    const rendered = performance.now();
    patchPreview(html);
    if (headings !== shownHeadings) showOutline(JSON.parse(headings));
    if (links !== shownLinks) showLinks(JSON.parse(links));
    shownHeadings = headings;
    shownLinks = links;
    const done = performance.now();
    state.error = '';
    errorLine.textContent = '';
    state.renders++;
    state.renderMs = rendered - start;
    state.totalMs = done - start;
    timing.textContent = `${state.totalMs.toFixed(1)} ms · render ${state.renderMs.toFixed(2)} ms`;
    $('size').textContent = `${bytes.length.toLocaleString('en')} bytes`;
  }

  // Changes are rendered once per frame, however many came in it: typing
  // faster than the screen shows costs no renders that nobody would see.
  let scheduled = false;
  function schedule() {
    if (scheduled) return;
    scheduled = true;
    state.pending = true;
    requestAnimationFrame(() => {
      scheduled = false;
      state.pending = false;
      update();
    });
  }

  // Links of the preview stay on the page: a section link scrolls the
  // preview, any other does nothing.
  function followLink(event) {
    const link = event.target.closest('a');
    if (!link) return;
    event.preventDefault();
    const href = link.getAttribute('href') || '';
    const anchor = link.dataset.anchor || (href.startsWith('#') ? href.slice(1) : '');
    if (!anchor) return;
    let target = document.getElementById(anchor);
    if (!target) {
      try { target = document.getElementById(decodeURIComponent(anchor)); } catch { /* not encoded */ }
    }
    if (target && preview.contains(target)) target.scrollIntoView({ behavior: 'smooth', block: 'start' });
  }

  async function start() {
    const module = await createWtcore(); // eslint-disable-line no-undef
    state.api = Wikitext.bind(module);
    editor.addEventListener('input', schedule);
    form.addEventListener('change', schedule);
    preview.addEventListener('click', followLink);
    outline.addEventListener('click', followLink);
    update();
    document.body.classList.add('ready');
  }

  const simd = Wikitext.simdSupported();
  $('build').textContent = simd ? 'WebAssembly SIMD' : 'WebAssembly';
  const script = document.createElement('script');
  script.src = simd ? 'wtcore-page.js' : 'wtcore-scalar-page.js';
  script.onload = () => start().catch((error) => { errorLine.textContent = String(error); });
  script.onerror = () => { errorLine.textContent = 'could not load ' + script.src; };
  document.head.appendChild(script);
})();
