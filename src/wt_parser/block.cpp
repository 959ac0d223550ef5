// The block renderer: splits the document into lines, classifies each line
// (blank, rule, heading, list item, preformatted, paragraph) and writes the
// block markup; inline text goes to parse_inline. Also the heading rule, which
// the heading list shares with it.
#include "wt_extended.h"
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
    if (st.text.tags && st.text.tags->n) close_tags(*st.text.tags, st.out);
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

[[gnu::always_inline]] inline void heading_line(block_state &st, size_t level, span text) noexcept
{
    close_everything(st);
    wt_buf *out = st.out;
    const char digit = char('0' + level);
    wt_buf_append_lit(out, "<h");
    wt_buf_put_char(out, digit);
    if (st.text.cfg->for_text) { // the text reads no id
        wt_buf_append_lit(out, ">");
    } else {
        // Under the extended syntax the id reads a <nowiki> passage's text
        // and no other placeholder.
        wt_buf own{};
        heading_anchor anchor(heading_text(st.text.cfg->ext, text, &own));
        // A heading must not lose its id: a failed anchor fails the whole call.
        if (anchor.failed() || own.failed) out->failed = 1;
        wt_buf_free(&own);
        wt_buf_append_lit(out, " id=\"");
        wt_buf_append(out, anchor.data(), anchor.size());
        wt_buf_append_lit(out, "\">");
    }
    inline_text(st, text);
    end_block_elements(st);
    wt_buf_append_lit(out, "</h");
    wt_buf_put_char(out, digit);
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

[[gnu::always_inline]] inline void list_line(block_state &st, span line) noexcept
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
        if (j > 0 && stack[j - 1].item_open) wt_buf_put_char(out, '\n');
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
// block at a time. Under the extended syntax the placeholders of the clean
// text are written as what they stand for (a marker, a passage kept out of
// parsing, a file), as in any other line; escaped, they would be dropped
// whole.
[[gnu::always_inline]] inline void append_pre_text(block_state &st, span text) noexcept
{
    const char *p = text.p;
    const char *end = p + text.n;
    for (;;) {
        const char *q = scan_for<'"', '&', '<', '>'>(p, end, st.text.doc);
        if (q > p) wt_buf_put(st.out, p, size_t(q - p));
        if (q == end) return;
        // No document holds a NUL, so "<\0" is a placeholder and nothing else.
        if (end - q >= 2 && q[1] == '\0') {
            p = write_placeholder(q, end, *st.text.cfg, false, st.out);
            continue;
        }
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

[[gnu::always_inline]] inline void paragraph_line(block_state &st, span line) noexcept
{
    wt_buf *out = st.out;
    if (st.pre_open) {
        wt_buf_append_lit(out, "</pre>\n");
        st.pre_open = false;
    }
    if (st.para_open) {
        wt_buf_put_char(out, '\n');
    } else {
        wt_buf_append_lit(out, "<p>");
        st.para_open = true;
    }
    inline_text(st, line);
}

[[gnu::always_inline]] inline void render_line(block_state &st, span line) noexcept
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
            wt_buf_put_char(out, '\n');
        } else {
            wt_buf_append_lit(out, "<pre>");
            st.pre_open = true;
        }
        append_pre_text(st, span{line.p + 1, line.n - 1});
        return;
    }
    paragraph_line(st, line);
}

// ---- Block tags of the extended syntax -----------------------------------
// A line that holds a tag of a block element (div, p, blockquote, center, the
// tags of tables, hr) opens no paragraph: it ends the open one and its
// pieces between those tags are inline text. So does a line of text while
// the innermost such element holds no paragraphs (p, or a table outside its
// cells). Under WTCORE_BALANCE_TAGS the elements nest as an HTML parser
// builds them: a block element ends an open p, the parts of a table go only
// where a table holds them (an implied tbody or tr is written), text or a
// block that a table cannot hold ends the table, and a stray closing tag is
// dropped.

bool holds_no_text(ext_tag t) noexcept
{
    return t == ext_tag::table || t == ext_tag::thead || t == ext_tag::tbody || t == ext_tag::tfoot ||
           t == ext_tag::tr;
}

bool is_section(ext_tag t) noexcept { return t == ext_tag::thead || t == ext_tag::tbody || t == ext_tag::tfoot; }

// Closes the block elements from index j on, innermost first; their
// closing tags are written to out unless it is null.
void close_blocks_from(block_tags &bt, wt_buf *out, int j) noexcept
{
    if (out)
        for (int k = bt.n - 1; k >= j; --k) write_ext_close(out, bt.items[k]);
    if (bt.n > j) bt.n = j;
}

// The innermost open table above the floor, or -1.
int open_table(const block_tags &bt) noexcept
{
    for (int j = bt.n - 1; j >= bt.floor; --j)
        if (bt.items[j] == ext_tag::table) return j;
    return -1;
}

// Before text (for_block false) or a block: ends the rows of an open table,
// and for a block an open p, where an HTML parser would end them.
void make_room(block_tags &bt, wt_buf *out, bool for_block) noexcept
{
    while (bt.n > bt.floor) {
        ext_tag top = bt.items[bt.n - 1];
        if (top == ext_tag::p && for_block) close_blocks_from(bt, out, bt.n - 1);
        else if (holds_no_text(top)) close_blocks_from(bt, out, open_table(bt));
        else return;
    }
}

void push_block(block_tags &bt, wt_buf *out, ext_tag t, const char *implied) noexcept
{
    if (out) wt_buf_append_str(out, implied);
    bt.items[bt.n++] = t;
}

// Where a block tag goes among the open elements, as an HTML parser places
// it: the elements it ends are closed and the ones it implies opened (their
// tags written to `out` unless it is null). Returns false when no parser
// would take it: a stray closing tag, a table part outside a table's rows.
bool place_block_tag(block_tags &bt, wt_buf *out, const ext_tag_match &m) noexcept
{
    const ext_tag t = m.tag;
    if (m.closing) {
        if (t == ext_tag::hr) return false;
        // The element closes when it is open in scope: a table part within
        // its table, another element within its cell or table.
        for (int j = bt.n - 1; j >= bt.floor; --j) {
            ext_tag e = bt.items[j];
            if (e == t) {
                close_blocks_from(bt, out, j + 1);
                bt.n = j;
                return true;
            }
            if (t == ext_tag::table) continue;
            if (e == ext_tag::table || (!is_table_ext_tag(t) && (e == ext_tag::td || e == ext_tag::th ||
                                                                 e == ext_tag::caption)))
                return false;
        }
        return false;
    }
    if (is_table_ext_tag(t) && t != ext_tag::table) {
        int tj = open_table(bt);
        if (tj < 0) return false;
        for (int j = tj + 1; j < bt.n; ++j)
            if (!is_table_ext_tag(bt.items[j])) return false; // inside a cell's content
        if (bt.n + 3 > block_tags::capacity) return false;
        if (t == ext_tag::tr || t == ext_tag::td || t == ext_tag::th) {
            const bool cell = t != ext_tag::tr;
            while (bt.n > tj + 1 && !is_section(bt.items[bt.n - 1]) && !(cell && bt.items[bt.n - 1] == ext_tag::tr))
                close_blocks_from(bt, out, bt.n - 1);
            if (bt.n == tj + 1) push_block(bt, out, ext_tag::tbody, "<tbody>");
            if (cell && bt.items[bt.n - 1] != ext_tag::tr) push_block(bt, out, ext_tag::tr, "<tr>");
        } else {
            close_blocks_from(bt, out, tj + 1); // caption, thead, tbody, tfoot: right in the table
        }
    } else {
        make_room(bt, out, true);
    }
    return t == ext_tag::hr || m.self_closing || bt.n < block_tags::capacity;
}

// A block tag of a tag line at p. The open elements follow the same rules
// with and without WTCORE_BALANCE_TAGS, so that both read the lines alike;
// only balanced output writes the tags they end or imply and drops the ones
// no parser would take.
void block_tag(block_state &st, block_tags &bt, const char *p, const ext_tag_match &m) noexcept
{
    wt_buf *out = st.out;
    const bool balanced = st.text.tags != nullptr;
    const bool placed = place_block_tag(bt, balanced ? out : nullptr, m);
    if (!placed && balanced) return;
    if (m.closing) {
        write_ext_close(out, m.tag);
        return;
    }
    // The external links alone read no block tag: its attributes are left
    // unread.
    if (!st.text.cfg->external_links_only) write_ext_open(out, p, m, *st.text.cfg);
    if (m.tag == ext_tag::hr) return;
    if (!placed) { // as written, and not opened
        if (balanced && m.self_closing) write_ext_close(out, m.tag);
        return;
    }
    if (m.self_closing) {
        if (balanced) write_ext_close(out, m.tag);
    } else {
        bt.items[bt.n++] = m.tag;
    }
}

// A '<' that may start a tag: one without a NUL after it, which would make
// it a placeholder's. One byte alone is marked loosely. A block's mask reads
// the byte after it: find_block_tag's scan stops two bytes before the end.
struct tag_start_marks {
#if defined(WT_SIMD)
    static simd::mask_t at(const char *q) noexcept
    {
        return simd::mask(simd::eq(simd::load(q), '<')) & ~simd::mask(simd::eq(simd::load(q + 1), '\0'));
    }
#endif
    static bool one(const char *q) noexcept { return *q == '<'; }
};

// Counts the "[[" still open after the bytes [p, q), starting from *links.
void count_links(const char *p, const char *q, int *links) noexcept
{
    for (; p + 1 < q; ++p) {
        if (p[0] == '[' && p[1] == '[') ++*links, ++p;
        else if (p[0] == ']' && p[1] == ']' && *links > 0) --*links, ++p;
    }
}

// The first tag of a block element in [p, end) outside the labels of
// internal links, or null. `links` counts the "[[" open before *counted;
// the brackets are counted only up to a tag found, so a line without block
// tags costs a search for '<' alone. Bytes from `lo` (at or before p) on may
// be read.
const char *find_block_tag(const char *p, const char *end, const char *lo, int *links, const char **counted,
                           ext_tag_match *m) noexcept
{
    // A tag takes three bytes at least: its '<' lies before end - 2.
    for (const char *q = p; end - q >= 3; ++q) {
        q = scan_marks<tag_start_marks>(q, end - 2, lo);
        if (end - q < 3) return nullptr;
        if (q[1] == '\0') continue; // a placeholder
        if (!match_ext_tag(q, size_t(end - q), m) || is_inline_ext_tag(m->tag)) continue;
        count_links(*counted, q, links);
        *counted = q;
        if (!*links) return q;
    }
    return nullptr;
}

// Inline text of a tag line between block tags.
void tag_piece(block_state &st, block_tags &bt, const char *a, const char *b) noexcept
{
    if (a >= b) return;
    const char *q = a;
    while (q < b && (*q == ' ' || *q == '\t')) ++q;
    if (q < b) make_room(bt, st.text.tags ? st.out : nullptr, false);
    parse_inline(a, size_t(b - a), st.out, st.text);
    end_block_elements(st);
}

// A tag line; `tag` is its first block tag (matched as m) or null.
void tag_line(block_state &st, block_tags &bt, span line, const char *tag, ext_tag_match m, int links) noexcept
{
    close_everything(st);
    const char *end = line.p + line.n;
    const char *piece = line.p;
    while (tag) {
        tag_piece(st, bt, piece, tag);
        block_tag(st, bt, tag, m);
        piece = tag + m.len;
        const char *counted = piece;
        tag = find_block_tag(piece, end, st.text.doc, &links, &counted, &m);
    }
    tag_piece(st, bt, piece, end);
    wt_buf_put_char(st.out, '\n');
}

// Whether a line is a block of the core (blank, list item, rule, heading),
// which the extended syntax's block tags leave as the core reads it.
bool is_core_block_line(span line, span trimmed) noexcept
{
    size_t level;
    span text;
    const char first = line.n ? line.p[0] : '\0';
    return trimmed.n == 0 || list_marker[uc(first)] || ((uc(first) <= 0x20 || first == '-') && is_rule(trimmed)) ||
           (first == '=' && match_heading(line, &level, &text));
}

// Whether a quotation is among the open block elements.
bool in_quotation(const block_tags &bt) noexcept
{
    for (int j = bt.floor; j < bt.n; ++j)
        if (bt.items[j] == ext_tag::blockquote) return true;
    return false;
}

// Out of line, so that the core's line loop stays as compact as without it.
__attribute__((noinline)) void render_line_ext(block_state &st, block_tags &bt, span line) noexcept
{
    span trimmed = trim_both(line);
    const char first = line.n ? line.p[0] : '\0';
    const bool core_block = is_core_block_line(line, trimmed);
    st.text.blocks_as_text = !core_block;
    if (core_block) {
        if (trimmed.n) make_room(bt, st.text.tags ? st.out : nullptr, true);
        render_line(st, line);
        return;
    }
    ext_tag_match m{};
    int links = 0;
    const char *counted = line.p;
    if (const char *tag = find_block_tag(line.p, line.p + line.n, st.text.doc, &links, &counted, &m)) {
        tag_line(st, bt, line, tag, m, links);
        return;
    }
    const ext_tag top = bt.n > bt.floor ? bt.items[bt.n - 1] : ext_tag::em;
    if (top == ext_tag::p || holds_no_text(top)) {
        tag_line(st, bt, line, nullptr, m, 0);
        return;
    }
    if (first == ' ') {
        // No preformatted text inside a quotation, as on the public wikis.
        if (in_quotation(bt)) {
            close_all_lists(st.list_stack, &st.list_depth, st.out);
            paragraph_line(st, line);
            return;
        }
        make_room(bt, st.text.tags ? st.out : nullptr, true);
    }
    render_line(st, line);
}

// Whether a line of text may end some of the open block elements (a
// paragraph, or a table that holds no text directly); else a line without
// block tags leaves them as they are.
bool ends_text(const block_tags &bt) noexcept
{
    if (bt.n <= bt.floor) return false;
    const ext_tag top = bt.items[bt.n - 1];
    return top == ext_tag::p || holds_no_text(top);
}

// For the external links alone, a line that holds none and no block tag
// among open block elements that text ends (see ends_text): what
// render_line_ext would do to them, without writing anything.
__attribute__((noinline)) void pass_line_ext(block_tags &bt, span line) noexcept
{
    const span trimmed = trim_both(line);
    if (trimmed.n) make_room(bt, nullptr, is_core_block_line(line, trimmed));
}

} // namespace

void make_block_room(block_tags &bt, wt_buf *out) noexcept { make_room(bt, out, true); }

void close_blocks(block_tags &bt, wt_buf *out, int to) noexcept { close_blocks_from(bt, out, to); }

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
    if (block_tags *bt = static_cast<block_tags *>(cfg.blocks)) {
        const char *const end = doc.p + doc.n;
        while (!out->failed && lines.next(&line)) {
            st.text.limit = lines.limit();
            if (cfg.external_links_only) [[unlikely]] {
                if (!ends_text(*bt)) {
                    // Lines without a link or a block tag change nothing
                    // here: on to the line of the next one that may.
                    const size_t at = url_candidate(line.p, size_t(end - line.p), url_tags::block, cfg.ext);
                    if (at == size_t(end - line.p)) break;
                    if (at >= line.n) {
                        const void *nl = memrchr(line.p, '\n', at);
                        lines.skip_to(static_cast<const char *>(nl) + 1);
                        continue;
                    }
                } else if (!may_hold_url(line.p, line.n, url_tags::block, cfg.ext)) {
                    pass_line_ext(*bt, line);
                    continue;
                }
            }
            render_line_ext(st, *bt, line);
        }
    } else if (cfg.external_links_only) {
        // For the external links alone, a line without any and without tags
        // changes nothing but the structure's own tags.
        while (!out->failed && lines.next(&line)) {
            st.text.limit = lines.limit();
            if (may_hold_url(line.p, line.n, url_tags::any)) render_line(st, line);
        }
    } else {
        while (!out->failed && lines.next(&line)) {
            st.text.limit = lines.limit();
            render_line(st, line);
        }
    }
    close_everything(st);
}

WT_ISA_END
} // namespace wt
