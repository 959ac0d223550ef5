// The two extractors: internal links and headings as compact JSON. Neither
// renders anything; they share the split rule, the line split, the heading
// rule and the anchor rule with the renderer.
#include "wt_parser.h"
#include "wt_scan.h"

#include <array>
#include <cstring>
#include <string_view>

namespace wt {

namespace {

const char *find_text(const char *p, const char *end, std::string_view pat) noexcept
{
    size_t off = std::string_view(p, size_t(end - p)).find(pat);
    return off == std::string_view::npos ? nullptr : p + off;
}

// A JSON string's content: copied whole when nothing in it needs escaping.
void append_json_string(wt_buf *out, span s, const char *doc) noexcept
{
    if (s.n == 0) return;
    if (scan_marks<json_marks>(s.p, s.p + s.n, doc) == s.p + s.n) wt_buf_put(out, s.p, s.n);
    else wt_buf_append_json_escaped(out, s.p, s.n);
}

} // namespace
} // namespace wt

int wt_extract_links_json(const char *document, wt_buf *out) noexcept
{
    using namespace wt;
    if (!out) return 0;
    wt_buf_append_char(out, '[');
    if (document) {
        const char *p = document;
        const char *end = p + std::strlen(p);
        search_memo comment_close, nowiki_close, link_close;
        bool first = true;
        mark_cursor<byte_set<'<', '['>> marks(document, end);
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
                    if (first) wt_buf_append_lit(out, "{\"target\":\"");
                    else wt_buf_append_lit(out, ",{\"target\":\"");
                    first = false;
                    append_json_string(out, target, document);
                    wt_buf_append_lit(out, "\",\"text\":\"");
                    append_json_string(out, label, document);
                    wt_buf_append_lit(out, "\"}");
                    p = close + 2;
                    continue;
                }
            }
            ++p;
        }
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
        const char *pos = document;
        bool first = true;
        span line;
        while (next_line(&pos, &line)) {
            size_t level;
            span text;
            if (line.n == 0 || line.p[0] != '=' || !match_heading(line, &level, &text)) continue;
            wt_buf anchor{};
            wt_buf_init(&anchor, text.n + 16);
            generate_anchor(text.p, text.n, &anchor);
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
            wt_buf_free(&anchor);
        }
    }
    wt_buf_append_char(out, ']');
    return out->failed ? 0 : 1;
}
