// The two extractors: internal links and headings as compact JSON. Neither
// renders anything; they share the split rule, the line split, the heading
// rule and the anchor rule with the renderer.
#include "wt_parser.h"
#include "wt_scan.h"

#include <array>
#include <cstring>
#include <string_view>

namespace wt {
WT_ISA_BEGIN

namespace {

// Where the link list may act: "[[", and "<!" or "<n" (a comment or nowiki
// opening). Blocks mark only those pairs; one byte alone is marked loosely.
struct outline_marks {
#if defined(WT_SIMD)
    static simd::mask_t at(const char *q) noexcept
    {
        using namespace simd;
        vec v = load(q), next = load(q + 1);
        cmp link = both(eq(v, '['), eq(next, '['));
        cmp tag = both(eq(v, '<'), either(eq(next, '!'), eq(next, 'n')));
        return mask(either(link, tag));
    }
#endif
    static bool one(const char *q) noexcept { return *q == '[' || *q == '<'; }
};

const char *find_text(const char *p, const char *end, std::string_view pat) noexcept
{
    size_t off = std::string_view(p, size_t(end - p)).find(pat);
    return off == std::string_view::npos ? nullptr : p + off;
}

// A JSON string's content: copied whole when nothing in it needs escaping.
// Strings of up to 64 bytes whose 16-byte pieces lie within the document
// (`end` is its NUL) are checked and copied a piece at a time into reserved
// room; the bytes stored past the string are overwritten later.
void append_json_string(wt_buf *out, span s, const char *doc, [[maybe_unused]] const char *end) noexcept
{
    if (s.n == 0) return;
#if defined(__SSE2__)
    size_t chunks = (s.n + 15) / 16;
    if (chunks <= 4 && size_t(end - s.p) + 1 >= chunks * 16 && wt_buf_room(out, chunks * 16)) {
        char *dst = out->data + out->len;
        const __m128i ctl = _mm_set1_epi8(0x1F), quote = _mm_set1_epi8('"'), slash = _mm_set1_epi8('\\');
        unsigned found = 0;
        for (size_t k = 0; k < chunks; ++k) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s.p + 16 * k));
            __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, ctl), ctl),
                                       _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, slash)));
            unsigned m = unsigned(_mm_movemask_epi8(hit));
            size_t left = s.n - 16 * k;
            found |= left >= 16 ? m : m & ((1u << left) - 1);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16 * k), v);
        }
        if (!found) {
            out->len += s.n;
            out->data[out->len] = '\0';
            return;
        }
        wt_buf_append_json_escaped(out, s.p, s.n);
        return;
    }
#endif
    if (scan_marks<json_marks>(s.p, s.p + s.n, doc) == s.p + s.n) wt_buf_put(out, s.p, s.n);
    else wt_buf_append_json_escaped(out, s.p, s.n);
}

// Calls fn(target, label) for each internal link of the document [doc, end),
// in order, skipping comments and nowiki passages; stops early when fn returns
// false. Returns whether it went through to the end.
template <class Fn>
bool for_each_link(const char *document, const char *end, Fn fn) noexcept
{
    const char *p = document;
    search_memo comment_close, nowiki_close, link_close;
    mark_cursor<outline_marks> marks(document, end);
    while ((p = marks.next(p)) < end) {
        size_t left = size_t(end - p);
        if (*p == '<') {
            if (left >= 4 && std::memcmp(p, "<!--", 4) == 0) {
                if (const char *close = comment_close.find(
                        p + 4, [&](const char *q) { return find_text(q, end, "-->"); })) {
                    p = close + 3;
                    continue;
                }
            } else if (left >= 8 && std::memcmp(p, "<nowiki>", 8) == 0) {
                if (const char *close = nowiki_close.find(
                        p + 8, [&](const char *q) { return find_text(q, end, "</nowiki>"); })) {
                    p = close + 9;
                    continue;
                }
            }
        } else if (left >= 2 && p[1] == '[') {
            if (const char *close = link_close.find(
                    p + 2, [&](const char *q) { return find_pair<']'>(q, end, document); })) {
                span target, label;
                split_link(span{p + 2, size_t(close - (p + 2))}, &target, &label, document);
                if (!fn(target, label)) return false;
                p = close + 2;
                continue;
            }
        }
        ++p;
    }
    return true;
}

// Calls fn(level, text, anchor) for each heading line, in order; stops early
// when fn returns false. `anchor` is a buffer whose `failed` tells whether the
// anchor could be made. Returns whether it went through to the end.
template <class Fn>
bool for_each_heading(const char *document, Fn fn) noexcept
{
    const char *pos = document;
    span line;
    while (next_line(&pos, &line)) {
        size_t level;
        span text;
        if (line.n == 0 || line.p[0] != '=' || !match_heading(line, &level, &text)) continue;
        char local[256];
        wt_buf anchor;
        make_anchor(text, local, sizeof local, &anchor);
        bool go_on = fn(level, text, anchor);
        release_anchor(&anchor, local);
        if (!go_on) return false;
    }
    return true;
}

} // namespace
WT_ISA_END
} // namespace wt

WT_ISA_BEGIN

int wt_extract_links_json(const char *document, wt_buf *out) noexcept
{
    using namespace wt;
    if (!out) return 0;
    wt_buf_append_char(out, '[');
    if (document) {
        const char *end = document + std::strlen(document);
        bool first = true;
        for_each_link(document, end, [&](span target, span label) {
            if (first) wt_buf_append_lit(out, "{\"target\":\"");
            else wt_buf_append_lit(out, ",{\"target\":\"");
            first = false;
            append_json_string(out, target, document, end);
            wt_buf_append_lit(out, "\",\"text\":\"");
            append_json_string(out, label, document, end);
            wt_buf_append_lit(out, "\"}");
            return true;
        });
    }
    wt_buf_append_char(out, ']');
    return out->failed ? 0 : 1;
}

int wt_extract_headings_json(const char *document, wt_buf *out) noexcept
{
    using namespace wt;
    if (!out) return 0;
    wt_buf_append_char(out, '[');
    if (document) {
        bool first = true;
        for_each_heading(document, [&](size_t level, span text, const wt_buf &anchor) {
            if (anchor.failed) out->failed = 1;
            if (!first) wt_buf_append_char(out, ',');
            first = false;
            wt_buf_append_lit(out, "{\"level\":");
            wt_buf_append_char(out, char('0' + level));
            wt_buf_append_lit(out, ",\"text\":\"");
            wt_buf_append_json_escaped(out, text.p, text.n);
            wt_buf_append_lit(out, "\",\"anchor\":\"");
            wt_buf_append_json_escaped(out, anchor.data, anchor.len);
            wt_buf_append_lit(out, "\"}");
            return true;
        });
    }
    wt_buf_append_char(out, ']');
    return out->failed ? 0 : 1;
}

int wt_visit(const char *document, const wtcore_visitor *visitor, void *context) noexcept
{
    using namespace wt;
    if (visitor->link) {
        const char *end = document + std::strlen(document);
        if (!for_each_link(document, end, [&](span target, span label) {
                return visitor->link(context, target.p, target.n, label.p, label.n) == 0;
            }))
            return WTCORE_STOPPED;
    }
    if (visitor->heading) {
        bool no_memory = false;
        if (!for_each_heading(document, [&](size_t level, span text, const wt_buf &anchor) {
                if (anchor.failed) {
                    no_memory = true;
                    return false;
                }
                return visitor->heading(context, int(level), text.p, text.n, anchor.data, anchor.len) == 0;
            }))
            return no_memory ? WTCORE_ERROR_MEMORY : WTCORE_STOPPED;
    }
    return WTCORE_OK;
}

WT_ISA_END
