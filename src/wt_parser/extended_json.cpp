// The JSON formats of the extended syntax's data (templates, categories, the
// page), and the entry point of all formats under the extended syntax.
#include "wt_extended.h"

#include <cstring>
#include <string_view>

namespace wt {
WT_ISA_BEGIN
namespace ext {
namespace {

void json_string(wt_buf *out, const char *p, size_t n) noexcept
{
    wt_buf_append_lit(out, "\"");
    wt_buf_append_json_escaped(out, p, n);
    wt_buf_append_lit(out, "\"");
}

// Writes n bytes JSON-escaped at dst, 64 at a time; the source may be read
// up to json_piece - 1 bytes past its end, and dst has room for
// json_pieces_room(n) bytes.
inline size_t put_json_run(char *dst, const char *src, size_t n) noexcept
{
    size_t w = 0;
    for (; n > 64; src += 64, n -= 64) w += put_json_pieces(dst + w, src, 64);
    return w + put_json_pieces(dst + w, src, n);
}

template <size_t N>
inline size_t put_lit(char *dst, const char (&lit)[N]) noexcept
{
    std::memcpy(dst, lit, N - 1);
    return N - 1;
}

// A template's entry written into room reserved once: its name and its
// parameters' names and values lie within its bytes, so each is read in
// whole pieces (see json_piece) without a check of its own when a piece of
// the document follows the template. False, having written nothing, when
// none does or the template is large (its room is six times its size).
bool put_template_entry(const extraction &x, const tmpl_rec &t, span name, bool first, wt_buf *out) noexcept
{
    const size_t size = t.end - t.start;
    if (x.n - t.end < json_piece || size > 65536) return false;
    char *d = wt_buf_reserve(out, 6 * size + 64 * (t.n_bars + 2));
    if (!d) return false;
    size_t w = first ? 0 : put_lit(d, ",");
    w += put_lit(d + w, "{\"name\":\"");
    w += put_json_run(d + w, name.p, name.n);
    w += put_lit(d + w, "\",\"params\":[");
    // The parameters as template_param reads them, without its record: a
    // named one's name is trimmed, an unnamed one is named by its position.
    const char *doc = x.doc;
    const bar_rec *bar = x.bars.data() + t.first_bar;
    size_t unnamed = 0;
    for (size_t k = 0; k < t.n_bars; ++k) {
        const size_t end = k + 1 < t.n_bars ? bar[k + 1].bar : t.end - 2;
        if (k) d[w++] = ',';
        w += put_lit(d + w, "{\"name\":\"");
        size_t value;
        if (bar[k].eq != none && bar[k].eq < end) {
            const span key = trim_both(span{doc + bar[k].bar + 1, bar[k].eq - bar[k].bar - 1});
            w += put_json_run(d + w, key.p, key.n);
            value = bar[k].eq + 1;
        } else {
            w += put_decimal_at(d + w, ++unnamed);
            value = bar[k].bar + 1;
        }
        w += put_lit(d + w, "\",\"value\":\"");
        w += put_json_run(d + w, doc + value, end - value);
        w += put_lit(d + w, "\"}");
    }
    w += put_lit(d + w, "]}");
    wt_buf_commit(out, w);
    return true;
}

} // namespace

void wt_templates_json(const extraction &x, wt_buf *out) noexcept
{
    // Names and values lie in the document (or in a parameter's own digits),
    // so short ones may be read a whole piece at a time up to its last byte.
    const char *limit = x.n ? x.doc + x.n - 1 : nullptr;
    wt_buf_append_lit(out, "[");
    bool first = true;
    const size_t nt = x.templates.size();
    for (size_t i = 0; i < nt; ++i) {
        // The document is read again here, long after the pass: the bytes of
        // a template a few ahead are asked for now, so that they are in the
        // cache when its turn comes.
        if (i + 8 < nt) __builtin_prefetch(x.doc + x.templates[i + 8].start);
        const tmpl_rec &t = x.templates[i];
        if (t.kind == tmpl_kind::argument || t.depth >= max_template_depth) continue;
        const char *name = x.doc + t.name;
        const size_t nn = t.name_n;
        if (nn == 0) continue;
        if (put_template_entry(x, t, span{name, nn}, first, out)) {
            first = false;
            continue;
        }
        // Literals with their lengths known: a template has some 4 parameters
        // on average, each of them three pieces around two strings.
        if (first) wt_buf_append_lit(out, "{\"name\":\"");
        else wt_buf_append_lit(out, ",{\"name\":\"");
        first = false;
        wt_buf_append_json_escaped(out, name, nn, limit);
        wt_buf_append_lit(out, "\",\"params\":[");
        size_t unnamed = 0;
        for (size_t k = 0; k < t.n_bars; ++k) {
            param_view v = template_param(x, t, k, &unnamed);
            const char *name_limit = v.name == v.number ? v.number + sizeof v.number - 1 : limit;
            json_pair(out, k == 0, "{\"name\":\"", span{v.name, v.name_n}, name_limit, "\",\"value\":\"",
                      span{v.value, v.value_n}, limit);
        }
        wt_buf_append_lit(out, "]}");
    }
    wt_buf_append_lit(out, "]");
}

void wt_categories_json(const extraction &x, wt_buf *out) noexcept
{
    wt_buf_append_lit(out, "[");
    for (size_t i = 0; i < x.categories.size(); ++i) {
        const category_rec &c = x.categories[i];
        if (i) wt_buf_append_lit(out, ",{\"name\":\"");
        else wt_buf_append_lit(out, "{\"name\":\"");
        wt_buf_append_json_escaped(out, x.doc + c.name, c.name_n);
        wt_buf_append_lit(out, "\",\"sort\":");
        if (c.sort == none) wt_buf_append_lit(out, "null");
        else json_string(out, x.doc + c.sort, c.sort_n);
        wt_buf_append_lit(out, "}");
    }
    wt_buf_append_lit(out, "]");
}

} // namespace ext

namespace {

using namespace wt::ext;

// A core format of a piece of text (clean text, notes, captions, or a
// document without the extended syntax): nothing or "[]" when it is empty.
void render_core(const char *p, size_t n, int format, const wt_config &cfg, wt_buf *out) noexcept
{
    const wt_source src{p, n};
    if (format == WTCORE_FORMAT_HTML) {
        if (n) render_html(src, cfg, out);
    } else if (!n) {
        wt_buf_append_lit(out, "[]");
    } else if (format == WTCORE_FORMAT_LINKS_JSON) {
        links_json(src, out);
    } else {
        headings_json(src, out);
    }
}

// The headings of the clean text, each with the text its id is made of.
void clean_headings_json(const extraction &x, wt_buf *out) noexcept
{
    if (x.clean.len) headings_json(wt_source{x.clean.data, x.clean.len}, out, &x);
    else wt_buf_append_lit(out, "[]");
}

// The bytes of HTML whose text may differ from them: tags, character
// references and blanks.
struct html_text_marks {
#if defined(WT_SIMD)
    static simd::mask_t at(const char *q) noexcept
    {
        const simd::vec v = simd::load(q);
        return simd::mask(simd::either(simd::at_most(v, ' '), simd::either(simd::eq(v, '<'), simd::eq(v, '&'))));
    }
#endif
    static bool one(const char *q) noexcept { return static_cast<unsigned char>(*q) <= ' ' || *q == '<' || *q == '&'; }
};

// Whether n bytes of HTML at p are their own text: no tag, no reference, and
// no blank but single spaces between other bytes. Most addresses and link
// texts are. Bytes from `lo` on may be read.
bool is_own_text(const char *p, size_t n, const char *lo) noexcept
{
    const char *const end = p + n;
    // A blank before q would have been a stop of its own, so only the byte
    // after a space needs a look.
    for (const char *q = p; (q = scan_marks<html_text_marks>(q, end, lo)) < end; ++q)
        if (*q != ' ' || q == p || q + 1 == end || html_text_marks::one(q + 1)) return false;
    return true;
}

// The plain text of n bytes of HTML as a JSON string's content; `text` is
// scratch. Bytes from `lo` on may be read.
void json_text_of(const char *html, size_t n, const char *lo, wt_buf *text, wt_buf *out) noexcept
{
    if (is_own_text(html, n, lo)) {
        wt_buf_append_json_escaped(out, html, n);
        return;
    }
    wt_buf_reset(text);
    html_to_text(html, n, text);
    if (text->len && text->data[text->len - 1] == '\n') --text->len;
    wt_buf_append_json_escaped(out, text->data, text->len);
    if (text->failed) out->failed = 1;
}

// The external links of HTML that the renderer wrote, as
// [{"url":...,"text":...}]: each <a ... class="external"> with its address
// and its text.
void external_links_json(const char *html, size_t n, wt_buf *out) noexcept
{
    std::string_view h(html, n);
    wt_buf_append_lit(out, "[");
    bool first = true;
    wt_buf text{};
    // The next "<a href=\"" at or after `from`: the renderer's other tags
    // are passed over a block at a time.
    auto next_link = [&](size_t from) {
        for (const char *q = html + from; (q = find_bytes<'<', 'a'>(q, html + n, html)); ++q)
            if (size_t(html + n - q) >= 9 && std::memcmp(q, "<a href=\"", 9) == 0) return size_t(q - html);
        return h.npos;
    };
    for (size_t at = next_link(0); at != h.npos; at = next_link(at + 1)) {
        size_t url = at + 9;
        size_t url_end = h.find('"', url);
        if (url_end == h.npos) break;
        size_t tag_end = h.find('>', url_end);
        if (tag_end == h.npos) break;
        if (h.substr(url_end, tag_end - url_end).find("class=\"external") == h.npos) continue;
        size_t close = h.find("</a>", tag_end);
        if (close == h.npos) break;
        wt_buf_append_str(out, first ? "{\"url\":\"" : ",{\"url\":\"");
        first = false;
        json_text_of(html + url, url_end - url, html, &text, out); // decodes &quot; and &amp;
        wt_buf_append_lit(out, "\",\"text\":\"");
        json_text_of(html + tag_end + 1, close - tag_end - 1, html, &text, out);
        wt_buf_append_lit(out, "\"}");
        at = close;
    }
    wt_buf_free(&text);
    wt_buf_append_lit(out, "]");
}

// The links of a page under the extended syntax: those of the clean text (no
// file or category links, nothing inside templates), then those of the notes
// and of the captions, as one array, written in place.
void extended_links_json(const extraction &x, wt_buf *out) noexcept
{
    bool first = true;
    wt_buf_append_lit(out, "[");
    // A plain array: an initializer_list's members would be emitted out of
    // line, outside the build's namespace, in an unoptimised build.
    const wt_buf *const parts[] = {&x.clean, &x.notes_text, &x.captions};
    for (const wt_buf *part : parts) links_json_entries(wt_source{part->data, part->len}, out, &first);
    wt_buf_append_lit(out, "]");
}

// The page as one JSON object: links, headings, categories, templates,
// external links and the redirect. Under the extended syntax the links and
// headings are those of the clean text (no file or category links, nothing
// inside templates), then the links of the notes and of the captions; the
// external links are read from the HTML of the same extraction. No
// placeholder of the clean text reaches the JSON: the links leave them out,
// the headings read their text through heading_text, and the HTML has what
// is left of them dropped.
int page_json(wt_source src, const wt_config &cfg, wt_buf *out) noexcept
{
    extraction x;
    const bool extended = cfg.flags & WTCORE_EXTENDED;
    int ok = wt_extract(src.p, src.n, names_of(cfg), extended, &x);
    // Scratch for the HTML the external links are read from (mostly the
    // lines that hold an address).
    wt_buf tmp{};
    wt_buf_init_scratch(&tmp, src.n / 4 + 1024);
    if (ok) {
        wt_buf_append_lit(out, "{\"links\":");
        if (!extended) render_core(src.p, src.n, WTCORE_FORMAT_LINKS_JSON, cfg, out);
        else extended_links_json(x, out);
        wt_buf_append_lit(out, ",\"headings\":");
        if (extended) clean_headings_json(x, out);
        else render_core(src.p, src.n, WTCORE_FORMAT_HEADINGS_JSON, cfg, out);
        wt_buf_append_lit(out, ",\"categories\":");
        wt_categories_json(x, out);
        wt_buf_append_lit(out, ",\"templates\":");
        wt_templates_json(x, out);
        wt_buf_append_lit(out, ",\"external_links\":");
        wt_config own = cfg; // the page's own links: the host's HTML for templates is none of them
        own.template_html = nullptr;
        own.toc_html = nullptr;
        own.external_links_only = true;
        // The HTML fails as a whole (its own records included), not only
        // when its buffer does.
        bool html_ok = true;
        if (src.n && extended) html_ok = render_extraction_html(x, own, &tmp);
        else render_core(src.p, src.n, WTCORE_FORMAT_HTML, own, &tmp);
        external_links_json(tmp.data, tmp.len, out);
        wt_buf_append_lit(out, ",\"redirect\":");
        if (x.redirect == none) {
            wt_buf_append_lit(out, "null");
        } else {
            wt_buf_append_lit(out, "\"");
            wt_buf_append_json_escaped(out, x.doc + x.redirect, x.redirect_n);
            wt_buf_append_lit(out, "\"");
        }
        wt_buf_append_lit(out, "}");
        ok = html_ok && !tmp.failed;
    }
    wt_buf_free_scratch(&tmp);
    wt_extraction_free(&x);
    return ok && !out->failed;
}

} // namespace

int render_extended(wt_source src, int format, const wt_config &cfg, wt_buf *out) noexcept
{
    if (!out) return 0;
    if (format == WTCORE_FORMAT_PAGE_JSON) return page_json(src, cfg, out);
    if (format == WTCORE_FORMAT_LINKS_JSON || format == WTCORE_FORMAT_HEADINGS_JSON) {
        // The lists of the page as the extended syntax reads it, as in the
        // page format.
        extraction x;
        int ok = wt_extract(src.p, src.n, names_of(cfg), true, &x);
        if (ok) {
            if (format == WTCORE_FORMAT_LINKS_JSON) {
                extended_links_json(x, out);
            } else {
                clean_headings_json(x, out);
            }
        }
        wt_extraction_free(&x);
        return ok && !out->failed;
    }
    if (format == WTCORE_FORMAT_TEXT) return render_text(src, cfg, out);
    extraction x;
    int ok = wt_extract(src.p, src.n, names_of(cfg), false, &x);
    if (ok && format == WTCORE_FORMAT_TEMPLATES_JSON) wt_templates_json(x, out);
    else if (ok) wt_categories_json(x, out);
    wt_extraction_free(&x);
    return ok && !out->failed;
}

WT_ISA_END
} // namespace wt
