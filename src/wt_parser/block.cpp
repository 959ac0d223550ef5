// The block renderer: splits the document into lines, classifies each line
// (blank, rule, heading, list item, preformatted, paragraph) and writes the
// block markup; inline text goes to parse_inline. Also the heading rule, which
// the heading list shares with it.
#include "wt_parser.h"

#include <array>
#include <cstring>

namespace wt {
WT_ISA_BEGIN

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

constexpr int max_list_depth = 64;

// One open list level: the marker that opened it, whether its item is open,
// and whether it wrote the list's opening tag (a definition level below
// another shares that level's <dl>).
struct list_level {
    char marker;
    bool item_open;
    bool owns_list;
};

bool is_dl_marker(char c) noexcept { return c == ';' || c == ':'; }

constexpr auto list_marker = [] {
    std::array<unsigned char, 256> t{};
    for (unsigned char c : {'*', '#', ';', ':'}) t[c] = 1;
    return t;
}();

// Neighbouring ';' and ':' levels share one <dl>: a dl level writes its list
// tags only when the level above is not itself a dl level. With balanced
// output a level that starts inside an open item writes its own, so that no
// <dd> or <dt> ever stands directly in another.
bool owns_list(const list_level *stack, int i, bool balanced) noexcept
{
    if (!is_dl_marker(stack[i].marker) || i == 0 || !is_dl_marker(stack[i - 1].marker)) return true;
    return balanced && stack[i - 1].item_open;
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
        lv.item_open = false;
    }
    switch (lv.marker) {
    case '*': wt_buf_append_lit(out, "</ul>\n"); break;
    case '#': wt_buf_append_lit(out, "</ol>\n"); break;
    default:
        if (lv.owns_list) wt_buf_append_lit(out, "</dl>\n");
        break;
    }
}

void open_level(list_level *stack, int i, wt_buf *out, bool balanced) noexcept
{
    stack[i].owns_list = owns_list(stack, i, balanced);
    switch (stack[i].marker) {
    case '*': wt_buf_append_lit(out, "<ul>\n"); break;
    case '#': wt_buf_append_lit(out, "<ol>\n"); break;
    default:
        if (stack[i].owns_list) wt_buf_append_lit(out, "<dl>\n");
        break;
    }
}

// Closes every open level, deepest first (the item before its list), and sets
// *depth to 0.
void close_all_lists(list_level *stack, int *depth, wt_buf *out) noexcept
{
    for (int i = *depth - 1; i >= 0; --i) close_level(stack, i, out);
    *depth = 0;
}

struct block_state {
    wt_buf *out;
    // The options, the readable range of the document (its limit follows the
    // lines; see line_splitter), the link counter and the open inline elements
    // (when tags are balanced), for every span of inline text.
    inline_context text;
    bool para_open = false;
    bool pre_open = false;
    int link_counter = 0;
    int list_depth = 0;
    list_level list_stack[max_list_depth]{};
};

// Renders inline text of the current block.
void inline_text(block_state &st, span text) noexcept
{
    parse_inline(text.p, text.n, st.out, st.text);
}

// Ends the inline elements still open in the block that ends now.
void end_block_elements(block_state &st) noexcept
{
    if (st.text.tags) close_tags(*st.text.tags, st.out);
}

void close_text_block(block_state &st) noexcept
{
    if (st.para_open) {
        end_block_elements(st);
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
    heading_anchor anchor(text);
    // A heading must not lose its id: a failed anchor fails the whole call.
    if (anchor.failed()) out->failed = 1;
    const char digit = char('0' + level);
    wt_buf_append_lit(out, "<h");
    wt_buf_append_char(out, digit);
    wt_buf_append_lit(out, " id=\"");
    wt_buf_append(out, anchor.data(), anchor.size());
    wt_buf_append_lit(out, "\">");
    inline_text(st, text);
    end_block_elements(st);
    wt_buf_append_lit(out, "</h");
    wt_buf_append_char(out, digit);
    wt_buf_append_lit(out, ">\n");
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
        stack[j] = list_level{line.p[j], false, true};
        // A new list inside an open item starts on a line of its own.
        if (j > 0 && stack[j - 1].item_open) wt_buf_append_char(out, '\n');
        open_level(stack, j, out, st.text.tags != nullptr);
        st.list_depth = j + 1;
    }

    list_level &deepest = stack[prefix - 1];
    if (deepest.item_open) {
        append_item_close(out, deepest.marker);
        deepest.item_open = false;
    }

    span content = trim_both(span{line.p + prefix, line.n - size_t(prefix)});
    if (deepest.marker == ';') {
        if (const char *sep = find_term_separator(content)) {
            span term = trim_both(span{content.p, size_t(sep - content.p)});
            span desc = trim_both(span{sep + 1, size_t(content.p + content.n - (sep + 1))});
            wt_buf_append_lit(out, "<dt>");
            inline_text(st, term);
            end_block_elements(st);
            wt_buf_append_lit(out, "</dt>\n<dd>");
            inline_text(st, desc);
            end_block_elements(st);
            wt_buf_append_lit(out, "</dd>\n");
            return;
        }
    }
    switch (deepest.marker) {
    case ';': wt_buf_append_lit(out, "<dt>"); break;
    case ':': wt_buf_append_lit(out, "<dd>"); break;
    default: wt_buf_append_lit(out, "<li>"); break;
    }
    deepest.item_open = true;
    inline_text(st, content);
    end_block_elements(st);
}

// wt_buf_append_html_escaped for a preformatted line, skipping plain runs a
// block at a time.
void append_pre_text(block_state &st, span text) noexcept
{
    const char *p = text.p;
    const char *end = p + text.n;
    for (;;) {
        const char *q = scan_for<'"', '&', '<', '>'>(p, end, st.text.doc);
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
            end_block_elements(st);
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
    inline_text(st, line);
}

} // namespace

void render_html(wt_source doc, const wt_config &cfg, wt_buf *out) noexcept
{
    line_splitter lines(doc);
    tag_stack tags;
    block_state st{out, inline_context{&cfg, doc.p, lines.limit(), nullptr,
                                       (cfg.flags & WTCORE_BALANCE_TAGS) ? &tags : nullptr}};
    st.text.counter = &st.link_counter;
    span line;
    // Once an allocation has failed the call fails as a whole: rendering the
    // rest would only ask the allocator again and again.
    while (!out->failed && lines.next(&line)) {
        st.text.limit = lines.limit();
        render_line(st, line);
    }
    close_everything(st);
}

WT_ISA_END
} // namespace wt
