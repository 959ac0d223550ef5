// The block renderer: splits the document into lines, classifies each line
// (blank, rule, heading, list item, preformatted, paragraph) and writes the
// block markup; inline text goes to parse_inline_internal. Also the helpers
// that the heading extractor shares with it: the line split, the heading rule
// and the anchor rule.
#include "wt_parser.h"

#include <array>
#include <cstring>

namespace wt {
WT_ISA_BEGIN

bool next_line(const char **pos, span *line) noexcept
{
    const char *start = *pos;
    if (!*start) return false;
    // One pass finds the LF or the document's end, so the document is never
    // measured first.
#if defined(__GLIBC__)
    size_t n = size_t(strchrnul(start, '\n') - start);
#else
    size_t n = std::strcspn(start, "\n");
#endif
    *pos = start[n] ? start + n + 1 : start + n;
    if (n > 0 && start[n - 1] == '\r') --n;
    *line = span{start, n};
    return true;
}

bool match_heading(span line, size_t *level, span *text) noexcept
{
    if (line.n == 0 || line.p[0] != '=') return false;
    size_t lead = 0;
    while (lead < line.n && line.p[lead] == '=') ++lead;
    size_t right = line.n;
    while (right > 0 && uc(line.p[right - 1]) <= 0x20) --right;
    size_t trail = 0;
    while (trail < right && line.p[right - 1 - trail] == '=') ++trail;
    if (lead == 0 || trail == 0) return false;
    size_t lv = lead < trail ? lead : trail;
    if (lv > 6) lv = 6;
    // Only when the line is nothing but 1 to 11 '=' do the two runs overlap so
    // far that no text is left; such a line is no heading.
    if (right < 2 * lv) return false;
    *level = lv;
    *text = trim_both(span{line.p + lv, right - 2 * lv});
    return true;
}

namespace {

// How each byte enters an anchor: copied, a separator, or dropped.
enum : unsigned char { anchor_copy = 0, anchor_sep = 1, anchor_drop = 2 };
constexpr auto anchor_class = [] {
    std::array<unsigned char, 256> t{};
    for (unsigned char c : {' ', '\t', '_'}) t[c] = anchor_sep;
    for (unsigned char c : {'"', '&', '\'', '<', '>'}) t[c] = anchor_drop;
    return t;
}();

} // namespace

void generate_anchor(const char *text, size_t n, wt_buf *out) noexcept
{
    if (!text || n == 0) return;
    span s = trim_both(span{text, n});
    // The anchor is never longer than its text: reserve once, write in place.
    if (s.n == 0 || !wt_buf_ensure(out, s.n)) return;
    char *dst = out->data + out->len;
    char *const start = out->data;
    bool sep = false;
    for (size_t i = 0; i < s.n; ++i) {
        unsigned char c = uc(s.p[i]);
        switch (anchor_class[c]) {
        case anchor_copy:
            *dst++ = char(c);
            sep = false;
            break;
        case anchor_sep:
            if (!sep && dst > start) {
                *dst++ = '_';
                sep = true;
            }
            break;
        default:
            break;
        }
    }
    if (dst > start && dst[-1] == '_') --dst;
    *dst = '\0';
    out->len = size_t(dst - start);
}

void append_decimal(wt_buf *out, long long v) noexcept
{
    char digits[24];
    char *p = digits + sizeof digits;
    unsigned long long u = v < 0 ? 0 : static_cast<unsigned long long>(v);
    do {
        *--p = char('0' + u % 10);
        u /= 10;
    } while (u);
    wt_buf_append(out, p, size_t(digits + sizeof digits - p));
}

namespace {

bool is_dl_marker(char c) noexcept { return c == ';' || c == ':'; }

constexpr auto list_marker = [] {
    std::array<unsigned char, 256> t{};
    for (unsigned char c : {'*', '#', ';', ':'}) t[c] = 1;
    return t;
}();

// Neighbouring ';' and ':' levels share one <dl>: a dl level writes its list
// tags only when the level above is not itself a dl level.
bool owns_dl(const list_level *stack, int i) noexcept
{
    return i == 0 || !is_dl_marker(stack[i - 1].marker);
}

void append_item_close(wt_buf *out, char marker) noexcept
{
    switch (marker) {
    case ';': wt_buf_append_lit(out, "</dt>\n"); break;
    case ':': wt_buf_append_lit(out, "</dd>\n"); break;
    default: wt_buf_append_lit(out, "</li>\n"); break;
    }
}

// A list level closes its open item before the list: </li> then </ul>.
void close_level(list_level *stack, int i, wt_buf *out) noexcept
{
    list_level &lv = stack[i];
    if (lv.item_open) {
        append_item_close(out, lv.marker);
        lv.item_open = 0;
    }
    switch (lv.marker) {
    case '*': wt_buf_append_lit(out, "</ul>\n"); break;
    case '#': wt_buf_append_lit(out, "</ol>\n"); break;
    default:
        if (owns_dl(stack, i)) wt_buf_append_lit(out, "</dl>\n");
        break;
    }
}

void open_level(list_level *stack, int i, wt_buf *out) noexcept
{
    switch (stack[i].marker) {
    case '*': wt_buf_append_lit(out, "<ul>\n"); break;
    case '#': wt_buf_append_lit(out, "<ol>\n"); break;
    default:
        if (owns_dl(stack, i)) wt_buf_append_lit(out, "<dl>\n");
        break;
    }
}

struct block_state {
    wt_buf *out;
    const char *doc;
    const char *limit; // readable up to and including this byte (see line_splitter)
    bool para_open = false;
    bool pre_open = false;
    int link_counter = 0;
    int list_depth = 0;
    list_level list_stack[max_list_depth]{};
};

void close_text_block(block_state &st) noexcept
{
    if (st.para_open) {
        wt_buf_append_lit(st.out, "</p>\n");
        st.para_open = false;
    }
    if (st.pre_open) {
        wt_buf_append_lit(st.out, "</pre>\n");
        st.pre_open = false;
    }
}

void close_everything(block_state &st) noexcept
{
    close_text_block(st);
    close_all_lists(st.list_stack, &st.list_depth, st.out);
}

void heading_line(block_state &st, size_t level, span text) noexcept
{
    close_everything(st);
    wt_buf *out = st.out;
    char local[256];
    wt_buf anchor;
    make_anchor(text, local, sizeof local, &anchor);
    // A heading must not lose its id: a failed anchor fails the whole call.
    if (anchor.failed) out->failed = 1;
    const char digit = char('0' + level);
    wt_buf_append_lit(out, "<h");
    wt_buf_append_char(out, digit);
    wt_buf_append_lit(out, " id=\"");
    wt_buf_append(out, anchor.data, anchor.len);
    wt_buf_append_lit(out, "\">");
    parse_inline_internal(text.p, text.n, out, &st.link_counter, st.doc, st.limit);
    wt_buf_append_lit(out, "</h");
    wt_buf_append_char(out, digit);
    wt_buf_append_lit(out, ">\n");
    release_anchor(&anchor, local);
}

// The term separator of a ';' line: the first ':' outside "[[...]]" and "[...]".
const char *find_term_separator(span content) noexcept
{
    bool in_link = false;
    bool in_bracket = false;
    const char *p = content.p;
    const char *end = p + content.n;
    while (p < end) {
        if (p + 1 < end && p[0] == '[' && p[1] == '[') {
            in_link = true;
            p += 2;
        } else if (p + 1 < end && p[0] == ']' && p[1] == ']') {
            in_link = false;
            p += 2;
        } else {
            if (*p == '[') in_bracket = true;
            else if (*p == ']') in_bracket = false;
            else if (*p == ':' && !in_link && !in_bracket) return p;
            ++p;
        }
    }
    return nullptr;
}

void list_line(block_state &st, span line) noexcept
{
    wt_buf *out = st.out;
    list_level *stack = st.list_stack;
    close_text_block(st);

    int prefix = 0;
    while (size_t(prefix) < line.n && prefix < max_list_depth && list_marker[uc(line.p[prefix])])
        ++prefix;

    int common = 0;
    while (common < st.list_depth && common < prefix && stack[common].marker == line.p[common])
        ++common;
    for (int i = st.list_depth - 1; i >= common; --i) close_level(stack, i, out);
    st.list_depth = common;

    for (int j = common; j < prefix; ++j) {
        stack[j] = list_level{line.p[j], 0};
        // A new list inside an open item starts on a line of its own.
        if (j > 0 && stack[j - 1].item_open) wt_buf_append_char(out, '\n');
        open_level(stack, j, out);
        st.list_depth = j + 1;
    }

    list_level &deepest = stack[prefix - 1];
    if (deepest.item_open) {
        append_item_close(out, deepest.marker);
        deepest.item_open = 0;
    }

    span content = trim_both(span{line.p + prefix, line.n - size_t(prefix)});
    if (deepest.marker == ';') {
        if (const char *sep = find_term_separator(content)) {
            span term = trim_both(span{content.p, size_t(sep - content.p)});
            span desc = trim_both(span{sep + 1, size_t(content.p + content.n - (sep + 1))});
            wt_buf_append_lit(out, "<dt>");
            parse_inline_internal(term.p, term.n, out, &st.link_counter, st.doc, st.limit);
            wt_buf_append_lit(out, "</dt>\n<dd>");
            parse_inline_internal(desc.p, desc.n, out, &st.link_counter, st.doc, st.limit);
            wt_buf_append_lit(out, "</dd>\n");
            return;
        }
    }
    switch (deepest.marker) {
    case ';': wt_buf_append_lit(out, "<dt>"); break;
    case ':': wt_buf_append_lit(out, "<dd>"); break;
    default: wt_buf_append_lit(out, "<li>"); break;
    }
    deepest.item_open = 1;
    parse_inline_internal(content.p, content.n, out, &st.link_counter, st.doc, st.limit);
}

// wt_buf_append_html_escaped for a preformatted line, skipping plain runs a
// block at a time.
void append_pre_text(block_state &st, span text) noexcept
{
    const char *p = text.p;
    const char *end = p + text.n;
    for (;;) {
        const char *q = scan_for<'"', '&', '<', '>'>(p, end, st.doc);
        if (q > p) wt_buf_put(st.out, p, size_t(q - p));
        if (q == end) return;
        wt_buf_append_html_escaped(st.out, q, 1);
        p = q + 1;
    }
}

bool is_rule(span trimmed) noexcept
{
    if (trimmed.n <= 3) return false;
    for (size_t i = 0; i < trimmed.n; ++i)
        if (trimmed.p[i] != '-') return false;
    return true;
}

void render_line(block_state &st, span line) noexcept
{
    wt_buf *out = st.out;
    // A line that starts with a byte above 0x20 other than '-' is neither blank
    // nor a rule; only the others need the trimmed line.
    if (line.n == 0 || uc(line.p[0]) <= 0x20 || line.p[0] == '-') {
        span trimmed = trim_both(line);
        if (trimmed.n == 0) {
            close_everything(st);
            return;
        }
        if (trimmed.p[0] == '-' && is_rule(trimmed)) {
            close_everything(st);
            wt_buf_append_lit(out, "<hr />\n");
            return;
        }
    }
    const char first = line.p[0];
    size_t level;
    span text;
    if (first == '=' && match_heading(line, &level, &text)) {
        heading_line(st, level, text);
        return;
    }
    if (list_marker[uc(first)]) {
        list_line(st, line);
        return;
    }
    close_all_lists(st.list_stack, &st.list_depth, out);
    if (first == ' ') {
        if (st.para_open) {
            wt_buf_append_lit(out, "</p>\n");
            st.para_open = false;
        }
        if (st.pre_open) {
            wt_buf_append_char(out, '\n');
        } else {
            wt_buf_append_lit(out, "<pre>");
            st.pre_open = true;
        }
        append_pre_text(st, span{line.p + 1, line.n - 1});
        return;
    }
    if (st.pre_open) {
        wt_buf_append_lit(out, "</pre>\n");
        st.pre_open = false;
    }
    if (st.para_open) {
        wt_buf_append_char(out, '\n');
    } else {
        wt_buf_append_lit(out, "<p>");
        st.para_open = true;
    }
    parse_inline_internal(line.p, line.n, out, &st.link_counter, st.doc, st.limit);
}

} // namespace

void close_all_lists(list_level *stack, int *depth, wt_buf *out) noexcept
{
    if (!stack || !depth || *depth <= 0) return;
    for (int i = *depth - 1; i >= 0; --i) close_level(stack, i, out);
    *depth = 0;
}

WT_ISA_END
} // namespace wt

WT_ISA_BEGIN

int wt_parse_to_html(const char *document, void *reserved, wt_buf *out) noexcept
{
    (void)reserved;
    if (!out) return 0;
    if (document && *document) {
        wt::line_splitter lines(document);
        wt::block_state st{out, document, lines.limit()};
        wt::span line;
        while (lines.next(&line)) {
            st.limit = lines.limit();
            wt::render_line(st, line);
        }
        wt::close_everything(st);
    }
    return out->failed ? 0 : 1;
}

WT_ISA_END
