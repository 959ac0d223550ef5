// The outline of a document: its internal links and its headings, as compact
// JSON or one at a time for a visitor. Nothing is rendered; the split rule, the
// line split, the heading rule and the anchor rule are the renderer's.
#include "wt_parser.h"
#include "wt_scan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace wt {
WT_ISA_BEGIN

namespace {

// Where the link list may act: "[[", and "<!" or "<n" (a comment or nowiki
// opening). Blocks mark only those pairs; one byte alone is marked loosely.
struct outline_marks {
    static constexpr int overread = 1; // the byte after each block
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

// Where a heading line may start: a line feed with '=' after it. Blocks mark
// only those pairs; one byte alone is marked loosely.
struct heading_marks {
    static constexpr int overread = 1; // the byte after each block
#if defined(WT_SIMD)
    static simd::mask_t at(const char *q) noexcept
    {
        using namespace simd;
        return mask(both(eq(load(q), '\n'), eq(load(q + 1), '=')));
    }
#endif
    static bool one(const char *q) noexcept { return *q == '\n'; }
};

const char *find_text(const char *p, const char *end, std::string_view pat) noexcept
{
    size_t off = std::string_view(p, size_t(end - p)).find(pat);
    return off == std::string_view::npos ? nullptr : p + off;
}

// Calls fn(target, label) for each internal link of the document [doc, end),
// in order, skipping comments and nowiki passages; stops early when fn returns
// false. Returns whether it went through to the end.
// `limit` is the last byte that may be read (at end or after it).
template <class Fn>
bool for_each_link(const char *document, const char *end, const char *limit, Fn fn) noexcept
{
    const char *p = document;
    search_memo comment_close, nowiki_close, link_close;
    mark_cursor<outline_marks> marks(document, end, limit);
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
// when fn returns false. Returns whether it went through to the end.
// Only the lines that start with '=' are looked at: the others are passed
// over in one search for a line feed with '=' after it.
template <class Fn>
bool for_each_heading(wt_source doc, Fn fn) noexcept
{
    if (doc.n == 0) return true;
    const char *const end = doc.p + doc.n, *const limit = end - 1;
    mark_cursor<heading_marks> marks(doc.p, end, limit);
    const char *start = doc.p; // a line's start
    for (;;) {
        if (*start == '=') {
            const char *lf = static_cast<const char *>(std::memchr(start, '\n', size_t(end - start)));
            size_t n = size_t((lf ? lf : end) - start);
            if (start[n - 1] == '\r') --n;
            size_t level;
            span text;
            if (match_heading(span{start, n}, &level, &text)) {
                heading_anchor anchor(text);
                if (!fn(level, text, anchor, limit)) return false;
            }
            if (!lf || lf + 1 == end) return true;
            start = lf + 1;
            continue;
        }
        const char *q = marks.next(start);
        while (q < end && (end - q < 2 || q[1] != '=')) q = marks.next(q + 1);
        if (q >= end) return true;
        start = q + 1;
    }
}

// The document's end and its last readable byte.
void document_bounds(wt_source doc, const char **end, const char **limit) noexcept
{
    *end = doc.p + doc.n;
    *limit = *end - 1;
}

} // namespace

void links_json(wt_source doc, wt_buf *out) noexcept
{
    wt_buf_put_char(out, '[');
    const char *end, *limit;
    document_bounds(doc, &end, &limit);
    bool first = true;
    for_each_link(doc.p, end, limit, [&](span target, span label) {
        const bool ok = json_pair(out, first, "{\"target\":\"", target, limit, "\",\"text\":\"", label, limit);
        first = false;
        return ok;
    });
    wt_buf_put_char(out, ']');
}

__attribute__((flatten)) void links_json_entries(wt_source doc, wt_buf *out, bool *first_entry) noexcept
{
    if (!doc.n) return;
    const char *end, *limit;
    document_bounds(doc, &end, &limit);
    bool first = *first_entry;
    wt_buf own_target{}, own_label{}; // a target and label without their placeholders
    for_each_link(doc.p, end, limit, [&](span target, span label) {
        // The label follows the target, or is the target itself.
        const char *from = target.p, *to = std::max(target.p + target.n, label.p + label.n);
        bool ok;
        if (scan_for<'\0'>(from, to, doc.p) == to) {
            ok = json_pair(out, first, "{\"target\":\"", target, limit, "\",\"text\":\"", label, limit);
        } else {
            const span t = text_without_placeholders(target, &own_target);
            const span l = text_without_placeholders(label, &own_label);
            ok = json_pair(out, first, "{\"target\":\"", t, nullptr, "\",\"text\":\"", l, nullptr);
            if (own_target.failed || own_label.failed) out->failed = 1;
        }
        first = false;
        // A failed call fails whole: the list stops asking for memory.
        return ok && !out->failed;
    });
    wt_buf_free(&own_target);
    wt_buf_free(&own_label);
    *first_entry = first;
}

void headings_json(wt_source doc, wt_buf *out, const void *ext) noexcept
{
    wt_buf_put_char(out, '[');
    bool first = true;
    wt_buf tmp{};
    auto write = [&](size_t level, span text, const heading_anchor &anchor, const char *limit) {
        if (anchor.failed()) out->failed = 1;
        if (!first) wt_buf_put_char(out, ',');
        first = false;
        wt_buf_append_lit(out, "{\"level\":");
        wt_buf_put_char(out, char('0' + level));
        wt_buf_append_lit(out, ",\"text\":\"");
        wt_buf_append_json_escaped(out, text.p, text.n, limit);
        wt_buf_append_lit(out, "\",\"anchor\":\"");
        wt_buf_append_json_escaped(out, anchor.data(), anchor.size());
        wt_buf_append_lit(out, "\"}");
        return !out->failed;
    };
    for_each_heading(doc, [&](size_t level, span text, const heading_anchor &anchor, const char *limit) {
        const span own = heading_text(ext, text, &tmp);
        if (own.p == text.p) return write(level, text, anchor, limit);
        if (tmp.failed) out->failed = 1;
        heading_anchor own_anchor(own);
        return write(level, own, own_anchor, nullptr);
    });
    wt_buf_free(&tmp);
    wt_buf_put_char(out, ']');
}

int visit_outline(wt_source doc, const wtcore_visitor *visitor, void *context) noexcept
{
    if (visitor->link) {
        const char *end, *limit;
        document_bounds(doc, &end, &limit);
        if (!for_each_link(doc.p, end, limit, [&](span target, span label) {
                return visitor->link(context, target.p, target.n, label.p, label.n) == 0;
            }))
            return WTCORE_STOPPED;
    }
    if (visitor->heading) {
        bool no_memory = false;
        if (!for_each_heading(doc, [&](size_t level, span text, const heading_anchor &anchor, const char *) {
                if (anchor.failed()) {
                    no_memory = true;
                    return false;
                }
                return visitor->heading(context, int(level), text.p, text.n, anchor.data(), anchor.size()) == 0;
            }))
            return no_memory ? WTCORE_ERROR_MEMORY : WTCORE_STOPPED;
    }
    return WTCORE_OK;
}

WT_ISA_END
} // namespace wt
