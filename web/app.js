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

  // The state the tests read: the instance, and the last render's figures.
  const state = { api: null, renders: 0, renderMs: 0, totalMs: 0, error: '' };
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

  // Puts the new HTML into the preview, replacing only the run of top-level
  // nodes that differ from what is there: a keystroke changes one block, and
  // the browser then lays out that block alone. The HTML is parsed in an
  // element of the preview's kind, so it reads as it would in the preview.
  function patchPreview(html) {
    const fresh = preview.cloneNode(false);
    fresh.innerHTML = html;
    const next = Array.from(fresh.childNodes);
    const now = Array.from(preview.childNodes);
    let head = 0;
    while (head < next.length && head < now.length && now[head].isEqualNode(next[head])) head++;
    let tail = 0;
    while (tail < next.length - head && tail < now.length - head &&
           now[now.length - 1 - tail].isEqualNode(next[next.length - 1 - tail])) tail++;
    const after = tail > 0 ? now[now.length - tail] : null;
    for (let i = head; i < now.length - tail; i++) now[i].remove();
    const added = document.createDocumentFragment();
    for (let i = head; i < next.length - tail; i++) added.appendChild(next[i]);
    preview.insertBefore(added, after);
  }

  // The outline and the link list change far less often than the text: they
  // are rebuilt only when the library's JSON for them differs.
  let shownLinks = null;
  let shownHeadings = null;

  function update() {
    const text = editor.value;
    const chosen = options();
    const start = performance.now();
    let html, links, headings;
    try {
      html = state.api.toHtml(text, chosen);
      links = state.api.render(text, 'links', chosen);
      headings = state.api.render(text, 'headings', chosen);
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
    $('size').textContent = `${new Blob([text]).size.toLocaleString('en')} bytes`;
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
    editor.addEventListener('input', update);
    form.addEventListener('change', update);
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
