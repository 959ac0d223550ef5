// Plain text of a page: its HTML read the way a reader sees it. Tags go,
// blocks are parted by blank lines, list items and table rows take a line
// each with their cells parted by tabs, reference markers and lists of notes
// and the images of files are left out, and character references are
// decoded (every named one of HTML5, and numeric ones).
#include "wt_extended.h"

#include <cstring>
#include <string_view>

namespace wt {
WT_ISA_BEGIN
namespace ext {
namespace {

// entity_data: the names and values, packed (no pointers or offsets, so the
// table is small in every build, the WebAssembly module's included).
#include "entities.inc"

constexpr size_t entity_size = sizeof entity_data - 1; // less the literal's NUL

inline bool is_length_byte(char c) noexcept { return c >= 1 && c <= 6; }

// The start of the entry after the first length byte at or after `at` (the
// table's end when there is none): no name or value holds a byte 1-6.
size_t entry_after(size_t at) noexcept
{
    while (at < entity_size && !is_length_byte(entity_data[at])) ++at;
    return at < entity_size ? at + 1 + size_t(entity_data[at]) : entity_size;
}

// Compares `name` with the name of the entry that starts at `at`; sets *n to
// the length of that name.
int compare_entry(std::string_view name, size_t at, size_t *n) noexcept
{
    size_t k = 0;
    while (!is_length_byte(entity_data[at + k])) ++k;
    *n = k;
    return name.compare(std::string_view(entity_data + at, k));
}

inline bool is_alnum_ascii(char c) noexcept
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

size_t put_utf8(unsigned long cp, char *out) noexcept
{
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = char(0xC0 | (cp >> 6));
        out[1] = char(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = char(0xE0 | (cp >> 12));
        out[1] = char(0x80 | ((cp >> 6) & 0x3F));
        out[2] = char(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | (cp >> 18));
    out[1] = char(0x80 | ((cp >> 12) & 0x3F));
    out[2] = char(0x80 | ((cp >> 6) & 0x3F));
    out[3] = char(0x80 | (cp & 0x3F));
    return 4;
}

} // namespace

size_t decode_entity(const char *p, const char *end, char *out, size_t *out_n) noexcept
{
    if (end - p < 3 || p[0] != '&') return 0;
    if (const size_t own = decode_own_entity(p, end, out)) {
        *out_n = 1;
        return own;
    }
    if (p[1] == '#') {
        const char *q = p + 2;
        bool hex = q < end && (*q == 'x' || *q == 'X');
        if (hex) ++q;
        unsigned long cp = 0;
        size_t digits = 0;
        for (; q < end; ++q, ++digits) {
            char c = *q;
            int v = c >= '0' && c <= '9' ? c - '0'
                  : hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : -1;
            if (v < 0) break;
            if (cp <= 0x10FFFF) cp = cp * (hex ? 16 : 10) + unsigned(v);
        }
        if (!digits || q >= end || *q != ';') return 0;
        *out_n = put_utf8(cp, out);
        return size_t(q + 1 - p);
    }
    const char *q = p + 1;
    while (q < end && q - p <= 32 && is_alnum_ascii(*q)) ++q;
    if (q >= end || *q != ';' || q == p + 1) return 0;
    std::string_view name(p + 1, size_t(q - p - 1));
    // The commonest other references of wikitext, without the search.
    static constexpr struct {
        std::string_view name, value;
    } common[] = {{"nbsp", "\xC2\xA0"}, {"ndash", "\xE2\x80\x93"}, {"mdash", "\xE2\x80\x94"}};
    for (const auto &c : common)
        if (name == c.name) {
            std::memcpy(out, c.value.data(), c.value.size());
            *out_n = c.value.size();
            return size_t(q + 1 - p);
        }
    // Bisects the table's bytes: lo is an entry's start, hi an entry's start
    // or the end. Once no entry starts past the middle's length byte and
    // before hi, the few entries left are read in order.
    size_t lo = 0, hi = entity_size, at = 0, n = 0;
    for (;;) {
        at = entry_after(lo + (hi - lo) / 2);
        if (at >= hi) break;
        int c = compare_entry(name, at, &n);
        if (c == 0) break;
        if (c < 0) hi = at;
        else lo = entry_after(at);
    }
    if (at >= hi) {
        for (at = lo; at < hi; at = entry_after(at)) {
            int c = compare_entry(name, at, &n);
            if (c == 0) break;
            if (c < 0) return 0;
        }
        if (at >= hi) return 0;
    }
    size_t value_n = size_t(entity_data[at + n]);
    std::memcpy(out, entity_data + at + n + 1, value_n);
    *out_n = value_n;
    return size_t(q + 1 - p);
}

namespace {

// Appends one byte, in place when there is room.
inline void put_char(wt_buf *out, char c) noexcept { wt_buf_put(out, &c, 1); }

struct text_writer {
    wt_buf *out;
    size_t start;

    char last() const noexcept { return out->len > start ? out->data[out->len - 1] : '\n'; }

    void trim_blanks() noexcept
    {
        while (out->len > start && (out->data[out->len - 1] == ' ' || out->data[out->len - 1] == '\t')) --out->len;
        if (out->data) out->data[out->len] = '\0';
    }

    // Ends the line; with `blank` leaves an empty line after it. Nothing at
    // the very start.
    void end_line(bool blank) noexcept
    {
        trim_blanks();
        if (out->len == start) return;
        if (last() != '\n') put_char(out, '\n');
        if (blank && (out->len - start < 2 || out->data[out->len - 2] != '\n')) put_char(out, '\n');
    }

    void space() noexcept
    {
        char c = last();
        if (c != ' ' && c != '\n' && c != '\t') put_char(out, ' ');
    }
};

// The name of the tag at p ('<' seen): lower-case letters and digits.
std::string_view tag_name(const char *p, const char *end, bool *closing) noexcept
{
    const char *q = p + 1;
    *closing = q < end && *q == '/';
    if (*closing) ++q;
    const char *s = q;
    while (q < end && is_alnum_ascii(*q)) ++q;
    return std::string_view(s, size_t(q - s));
}

// The end of the tag whose name ends at q: after its '>', quoted values
// skipped. `lo` <= q starts the readable range.
const char *tag_end(const char *q, const char *end, const char *lo) noexcept
{
    if (q < end && *q == '>') return q + 1; // no attributes: the usual tag
    for (;;) {
        q = scan_for<'"', '>'>(q, end, lo);
        if (q >= end) return end;
        if (*q == '>') return q + 1;
        const void *c = std::memchr(q + 1, '"', size_t(end - q - 1));
        if (!c) return end;
        q = static_cast<const char *>(c) + 1;
    }
}

// What a tag means to the text.
enum class tag_class : unsigned char {
    other,      // nothing
    sup,        // nothing, unless it is a reference marker
    ol,         // a block, unless it is a list of notes
    figure,
    figcaption,
    pre,
    br,
    cell,  // td, th
    line,  // li, dt, dd, tr, caption: a line of its own
    block, // p, ul, dl, table, div, blockquote, center, hr, h1-h6: parted by a blank line
};

tag_class classify(std::string_view name) noexcept
{
    const char *n = name.data();
    switch (name.size()) {
    case 1: return n[0] == 'p' ? tag_class::block : tag_class::other;
    case 2:
        if (n[0] == 'h' && n[1] >= '1' && n[1] <= '6') return tag_class::block;
        if (name == "br") return tag_class::br;
        if (name == "td" || name == "th") return tag_class::cell;
        if (name == "li" || name == "dt" || name == "dd" || name == "tr") return tag_class::line;
        if (name == "ol") return tag_class::ol;
        if (name == "ul" || name == "dl" || name == "hr") return tag_class::block;
        return tag_class::other;
    case 3:
        if (name == "sup") return tag_class::sup;
        if (name == "pre") return tag_class::pre;
        return name == "div" ? tag_class::block : tag_class::other;
    case 5: return name == "table" ? tag_class::block : tag_class::other;
    case 6:
        if (name == "figure") return tag_class::figure;
        return name == "center" ? tag_class::block : tag_class::other;
    case 7: return name == "caption" ? tag_class::line : tag_class::other;
    case 10:
        if (name == "figcaption") return tag_class::figcaption;
        return name == "blockquote" ? tag_class::block : tag_class::other;
    default: return tag_class::other;
    }
}

// One of the tags </td>, <p>, </p>, <li>, </li>, <tr> and </tr> at p, with
// its class; len 0 for any other.
struct common_tag {
    size_t len;
    tag_class k;
    bool closing;
};

inline common_tag match_common_tag(const char *p, const char *end) noexcept
{
    auto is = [&](const char *lit, size_t n) { return size_t(end - p) >= n && std::memcmp(p, lit, n) == 0; };
    if (p + 1 < end && p[1] == '/') {
        if (is("</td>", 5)) return {5, tag_class::cell, true};
        if (is("</p>", 4)) return {4, tag_class::block, true};
        if (is("</li>", 5) || is("</tr>", 5)) return {5, tag_class::line, true};
        return {0, tag_class::other, false};
    }
    if (is("<p>", 3)) return {3, tag_class::block, false};
    if (is("<li>", 4) || is("<tr>", 4)) return {4, tag_class::line, false};
    return {0, tag_class::other, false};
}

bool has(std::string_view tag, std::string_view what) noexcept { return tag.find(what) != tag.npos; }

inline bool is_blank(char c) noexcept { return c == '\n' || c == ' ' || c == '\t'; }

// Where a run of text outside <pre> must stop: a tag, a reference, a line
// feed or tab, and a space that another follows. A scan a block at a time
// also stops at a space in a block's last byte, whose follower it does not
// see, and the scan a byte at a time at every space; the caller treats a
// lone space the same either way.
struct text_marks {
#if defined(WT_SIMD)
    static simd::mask_t at(const char *q) noexcept
    {
        simd::vec v = simd::load(q);
        simd::mask_t spaces = simd::mask(simd::eq(v, ' '));
        simd::mask_t last = simd::mask_t(1) << (simd::block - 1);
        simd::mask_t other = simd::mask(simd::either(simd::either(simd::eq(v, '<'), simd::eq(v, '&')),
                                                     simd::either(simd::eq(v, '\n'), simd::eq(v, '\t'))));
        return other | (spaces & ((spaces >> 1) | last));
    }
#endif
    static bool one(const char *q) noexcept { return *q == '<' || *q == '&' || is_blank(*q); }
};

} // namespace

void html_to_text(const char *html, size_t n, wt_buf *out) noexcept
{
    text_writer w{out, out->len};
    const char *p = html, *end = html + n;
    int pre = 0;            // inside <pre>
    int skip = 0;           // inside a reference marker or a list of notes: its depth
    std::string_view skip_tag;
    bool figure = false, caption = false; // in a figure; in its caption
    bool shown = true; // !skip && (!figure || caption), kept as tags change them
    // The marks of text outside <pre>, a block's mask kept for the next runs.
    wide_mark_cursor<text_marks> marks(html, end);
    while (p < end) {
        if (!pre && is_blank(*p)) { // a run of blanks: one space, unless the text has one
            if (shown) w.space();
            while (++p < end && is_blank(*p)) {
            }
            continue;
        }
        // Text up to the next tag, reference or blank that may need a look:
        // a single space after text stays as it is.
        const char *run = p;
        p = pre ? scan_for<'<', '&'>(p, end, html) : marks.next(p);
        if (p > run && shown) wt_buf_put(out, run, size_t(p - run));
        if (p >= end) break;
        const char c = *p;
        if (c == '&') {
            char own;
            if (const size_t used = decode_own_entity(p, end, &own)) { // the commonest, in line
                if (shown) put_char(out, own);
                p += used;
                continue;
            }
            char buf[8];
            size_t bn = 0;
            size_t used = decode_entity(p, end, buf, &bn);
            if (!used) {
                if (shown) put_char(out, '&');
                ++p;
                continue;
            }
            if (shown) wt_buf_append(out, buf, bn);
            p += used;
            continue;
        }
        if (c != '<') continue; // a blank
        // The commonest tags of the renderer's, whole and without
        // attributes, at once; none of them is a skipped one's name.
        if (const common_tag t = match_common_tag(p, end); t.len) {
            p += t.len;
            if (!shown) continue;
            if (t.k == tag_class::cell) { // closing
                w.trim_blanks();
                put_char(out, '\t');
            } else if (t.k == tag_class::block) {
                w.end_line(true);
            } else if (t.closing) { // a line
                w.trim_blanks();
                w.end_line(false);
            } else if (w.last() != '\n') {
                w.end_line(false);
            }
            // The text now ends in a tab or a line feed (or is empty), so the
            // blanks that follow, the line feed the renderer writes after
            // these tags among them, add nothing.
            if (!pre)
                while (p < end && is_blank(*p)) ++p;
            continue;
        }
        bool closing;
        std::string_view name = tag_name(p, end, &closing);
        const char *e = tag_end(name.data() + name.size(), end, html);
        std::string_view tag(p, size_t(e - p));
        p = e;
        if (skip) {
            if (name == skip_tag) skip += closing ? -1 : 1;
            shown = !skip && (!figure || caption);
            continue;
        }
        const tag_class k = classify(name);
        switch (k) {
        case tag_class::other: continue;
        case tag_class::sup:
        case tag_class::ol:
            if (!closing && has(tag, k == tag_class::sup ? std::string_view("class=\"reference\"")
                                                         : std::string_view("class=\"references\""))) {
                skip = 1;
                skip_tag = name;
                shown = false;
                continue;
            }
            break;
        case tag_class::figure:
            if (closing) w.end_line(true);
            figure = !closing;
            caption = false;
            shown = !figure;
            continue;
        case tag_class::figcaption:
            caption = !closing;
            shown = !figure || caption;
            continue;
        default: break;
        }
        if (!shown) continue;
        switch (k) {
        case tag_class::pre:
            if (closing) --pre;
            w.end_line(true);
            if (!closing) ++pre;
            break;
        case tag_class::br: w.end_line(false); break;
        case tag_class::cell:
            if (closing) {
                w.trim_blanks();
                put_char(out, '\t');
            }
            break;
        case tag_class::line:
            if (closing) {
                w.trim_blanks();
                w.end_line(false);
            } else if (w.last() != '\n') {
                w.end_line(false);
            }
            break;
        case tag_class::ol:
        case tag_class::block: w.end_line(true); break;
        default: break;
        }
    }
    w.trim_blanks();
    while (out->len > w.start && out->data[out->len - 1] == '\n') --out->len;
    if (out->data) out->data[out->len] = '\0';
    if (out->len > w.start) wt_buf_put_char(out, '\n');
}

} // namespace ext

int render_text(wt_source src, const wt_config &cfg, wt_buf *out) noexcept
{
    wt_buf html{};
    wt_buf_init(&html, src.n + src.n / 4 + 64);
    int ok = !html.failed;
    if (ok && src.n) {
        // The HTML is written without what its reading leaves out (the tags
        // of links, attributes, markers and notes); plain_links false sends
        // every internal link to the writers that know it.
        wt_config text_cfg = cfg;
        text_cfg.for_text = true;
        text_cfg.plain_links = false;
        if (cfg.flags & WTCORE_EXTENDED) {
            ok = render_extended_html(src, text_cfg, &html);
        } else {
            render_html(src, text_cfg, &html);
            ok = !html.failed;
        }
    }
    // The text is never longer than the HTML but for a few references that
    // decode longer than they are written.
    if (ok && wt_buf_ensure(out, html.len + html.len / 16)) ext::html_to_text(html.data, html.len, out);
    wt_buf_free(&html);
    return ok && !out->failed;
}

WT_ISA_END
} // namespace wt
