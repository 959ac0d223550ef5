// HTML under the extended syntax: the pass of preprocess.cpp gives the clean
// text, which the block renderer writes a piece at a time; tables,
// references, literals and the blocks that the pass placed are written here.
#include "wt_extended.h"

#include <cstring>
#include <string_view>

namespace wt {
WT_ISA_BEGIN
namespace {

using namespace wt::ext;

// Tables nested deeper than this are text: each level renders its cells once
// more.
constexpr int max_table_depth = 8;

// Copies a string literal to d + *w and moves *w past it.
template <size_t N>
void put_lit_at(char *d, size_t *w, const char (&lit)[N]) noexcept
{
    std::memcpy(d + *w, lit, N - 1);
    *w += N - 1;
}

// A group's name as a part of an id, written at d (room for n + 1): ASCII
// letters, digits, '-' and '.' stay, every other byte becomes '_', and a '-'
// follows. Returns the length.
size_t put_group_id_at(char *d, const char *p, size_t n) noexcept
{
    for (size_t i = 0; i < n; ++i) {
        char c = p[i];
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
        d[i] = keep ? c : '_';
    }
    d[n] = '-';
    return n + 1;
}

// "cite_note-" [group "-"] number, the id of a note, written at d (room for
// 31 bytes and the group's name); returns the length. `number` is the note's
// number, written out.
size_t put_note_id_at(char *d, const extraction &x, const ref_rec &r, span number) noexcept
{
    size_t w = 0;
    put_lit_at(d, &w, "cite_note-");
    if (r.group != none) w += put_group_id_at(d + w, x.doc + r.group, r.group_n);
    std::memcpy(d + w, number.p, number.n);
    return w + number.n;
}

void put_note_id(wt_buf *out, const extraction &x, const ref_rec &r) noexcept
{
    const size_t group_n = r.group != none ? r.group_n : 0;
    char digits[20];
    const span number{digits, put_decimal_at(digits, r.number)};
    if (char *d = wt_buf_reserve(out, 32 + group_n)) wt_buf_commit(out, put_note_id_at(d, x, r, number));
}

// A marker links to its note, except inside a link's label, where a link
// cannot be. Up to its visible number it is written in one piece: tags of 62
// bytes at most, three numbers of 20 digits at most and twice the group's
// name as an id.
void write_marker(const extraction &x, const ref_rec &r, bool in_link, wt_buf *out) noexcept
{
    const bool grouped = r.group != none;
    const size_t group_n = grouped ? r.group_n : 0;
    char *d = wt_buf_reserve(out, 128 + 2 * group_n);
    if (!d) return;
    size_t w = 0;
    put_lit_at(d, &w, "<sup class=\"reference\" id=\"cite_ref-");
    if (grouped) w += put_group_id_at(d + w, x.doc + r.group, group_n);
    // The number is written out once and copied to its other two places.
    char digits[20];
    const span number{digits, put_decimal_at(digits, r.number)};
    std::memcpy(d + w, number.p, number.n);
    w += number.n;
    if (r.use > 1) { // a later marker of the same note: an id of its own
        d[w++] = '-';
        w += put_decimal_at(d + w, r.use);
    }
    if (in_link) {
        put_lit_at(d, &w, "\">[");
    } else {
        put_lit_at(d, &w, "\"><a href=\"#");
        w += put_note_id_at(d + w, x, r, number);
        put_lit_at(d, &w, "\">[");
    }
    wt_buf_commit(out, w);
    if (grouped) {
        wt_buf_append_html_escaped(out, x.doc + r.group, group_n);
        wt_buf_append_lit(out, " ");
    }
    wt_buf_append(out, number.p, number.n);
    if (in_link) wt_buf_append_lit(out, "]</sup>");
    else wt_buf_append_lit(out, "]</a></sup>");
}

void write_literal(const extraction &x, const literal_rec &l, bool block, wt_buf *out) noexcept
{
    const char *p = x.doc + l.start;
    switch (l.kind) {
    case literal_kind::nowiki: wt_buf_append_html_escaped(out, p, l.n); break;
    case literal_kind::math:
    case literal_kind::chem:
        wt_buf_append_lit(out, "<code>");
        wt_buf_append_html_escaped(out, p, l.n);
        wt_buf_append_lit(out, "</code>");
        break;
    case literal_kind::pre:
    case literal_kind::code:
        if (block) {
            // A line feed right after the opening tag is not part of the text.
            size_t skip = l.n && p[0] == '\n' ? 1 : 0;
            wt_buf_append_lit(out, "<pre>");
            wt_buf_append_html_escaped(out, p + skip, l.n - skip);
            wt_buf_append_lit(out, "</pre>\n");
        } else {
            wt_buf_append_lit(out, "<code>");
            wt_buf_append_html_escaped(out, p, l.n);
            wt_buf_append_lit(out, "</code>");
        }
        break;
    case literal_kind::gallery: break; // written by write_gallery
    }
}

void write_caption(const extraction &x, const file_rec &f, const wt_config &cfg, wt_buf *out) noexcept
{
    if (f.caption == none || !f.caption_n) return;
    wt_buf_append_lit(out, "<figcaption>");
    render_inline(x.captions.data + f.caption, f.caption_n, cfg, out);
    wt_buf_append_lit(out, "</figcaption>");
}

// A file: a <figure> holding a link to the file's page (for Media: the file
// itself when an image address is known) around its image, or around its
// name when no image address is known, and its caption. Inside a link's label
// the figure holds no link.
void write_file(const extraction &x, const file_rec &f, const wt_config &cfg, bool block, bool in_link,
                wt_buf *out) noexcept
{
    const char *name = x.doc + f.name;
    if (cfg.for_text) { // the text reads a figure's caption alone
        wt_buf_append_lit(out, "<figure>");
        write_caption(x, f, cfg, out);
        wt_buf_append_str(out, block ? "</figure>\n" : "</figure>");
        return;
    }
    if (cfg.external_links_only && !in_link) { // outside a link's label only the caption can hold one
        write_caption(x, f, cfg, out);
        return;
    }
    wt_buf_append_lit(out, "<figure");
    if (f.frame || f.align) {
        wt_buf_append_lit(out, " class=\"");
        if (f.frame) wt_buf_append_str(out, f.frame);
        if (f.frame && f.align) wt_buf_put_char(out, ' ');
        if (f.align) wt_buf_append_str(out, f.align);
        wt_buf_put_char(out, '"');
    }
    wt_buf_put_char(out, '>');
    // The target "File:Name" for the link's address.
    char local[256];
    wt_buf target{};
    if (f.name_n + 8 < sizeof local) target = wt_buf{local, 0, sizeof local, 0, 0}; // room for "File:" and the NUL
    else wt_buf_init(&target, f.name_n + 8);
    wt_buf_append_lit(&target, "File:");
    wt_buf_append(&target, name, f.name_n);
    const bool linked = !in_link && !target.failed && write_link_open(out, span{target.data, target.len}, cfg);
    if (cfg.file_template) {
        wt_buf_append_lit(out, "<img src=\"");
        append_address_template(out, std::string_view(cfg.file_template, cfg.file_template_len),
                                [&](size_t) { wt_buf_append_wiki_url(out, name, f.name_n); });
        wt_buf_append_lit(out, "\" alt=\"");
        if (f.alt != none) wt_buf_append_html_escaped(out, x.doc + f.alt, f.alt_n);
        wt_buf_append_lit(out, "\">");
    } else {
        wt_buf_append_html_escaped(out, target.data, target.len);
    }
    if (linked) wt_buf_append_lit(out, "</a>");
    if (target.data != local) wt_buf_free(&target);
    write_caption(x, f, cfg, out);
    wt_buf_append_str(out, block ? "</figure>\n" : "</figure>");
}

struct html_driver {
    const extraction &x;
    const wt_config &cfg;
    wt_buf *out;
    bool failed = false;
    // Per group (indexed by the group's first reference): the notes not yet
    // listed, as a chain through next_pending.
    pod_array<size_t> head, tail, next_pending;
    size_t cursor = 0; // references before it have been queued
    wt_config with_ext{}; // cfg, with the pass's findings

    size_t place = 0; // the next block place to write
    block_tags blocks{}; // elements that block tags of the text opened

    bool balanced() const noexcept { return cfg.flags & WTCORE_BALANCE_TAGS; }

    // Renders a container (a cell, a note) whose block elements close
    // within it.
    template <class Fn>
    void contained(Fn fn) noexcept
    {
        const int floor = blocks.floor;
        blocks.floor = blocks.n;
        fn();
        close_blocks(blocks, balanced() ? out : nullptr, blocks.floor);
        blocks.floor = floor;
    }

    // Before a block of its own: see make_block_room.
    void block_room() noexcept
    {
        make_block_room(blocks, balanced() ? out : nullptr);
    }

    void render_text(const char *p, size_t n, const wt_config &c) noexcept
    {
        if (n == 0) return;
        // For the external links alone: text without any, whose tags cannot
        // change the open block elements, need not be rendered.
        if (c.external_links_only && blocks.n <= blocks.floor && !may_hold_url(p, n, url_tags::block, &x)) return;
        render_html(wt_source{p, n}, c, out);
    }

    // Queues the notes whose first marker lies before clean offset `at`.
    void queue_until(size_t at) noexcept
    {
        for (; cursor < x.refs.size(); ++cursor) {
            const ref_rec &r = x.refs[cursor];
            if (r.clean_at != none && r.clean_at >= at) break;
            if (!r.first) continue;
            size_t g = r.group_first;
            if (head[g] == none) head[g] = cursor;
            else next_pending[tail[g]] = cursor;
            tail[g] = cursor;
        }
    }

    // Lists the queued notes of one group (that of reference g).
    void write_list(size_t g) noexcept
    {
        if (head[g] == none) return;
        if (cfg.for_text && !x.htmls.size() && !cfg.toc_html) {
            // The text leaves the list out, up to the line feed after it: only
            // HTML of the host's could keep it from ending at its "</ol>".
            wt_buf_append_lit(out, "\n");
            head[g] = tail[g] = none;
            return;
        }
        wt_buf_append_lit(out, "<ol class=\"references\">\n");
        for (size_t i = head[g]; i != none; i = next_pending[i]) {
            const ref_rec &r = x.refs[i];
            // For the external links alone, a note without any adds nothing:
            // each note numbers its unlabelled links afresh, and its block
            // elements end with it.
            if (cfg.external_links_only &&
                (r.text == none || !may_hold_url(x.notes_text.data + r.text, r.text_n, url_tags::none, &x)))
                continue;
            wt_buf_append_lit(out, "<li id=\"");
            put_note_id(out, x, r);
            wt_buf_append_lit(out, "\">");
            if (r.text != none) {
                const char *note = x.notes_text.data + r.text;
                if (is_paragraph_line(note, r.text_n, x.notes_text.data)) { // the usual note
                    wt_buf_append_lit(out, "<p>");
                    write_paragraph_text(note, r.text_n, x.notes_text);
                    wt_buf_append_lit(out, "</p>\n");
                } else {
                    contained([&] { render_text(note, r.text_n, with_ext); });
                }
            }
            wt_buf_append_lit(out, "</li>\n");
        }
        wt_buf_append_lit(out, "</ol>\n");
        head[g] = tail[g] = none;
    }

    // A gallery: one item per line, the file's name linked.
    void write_gallery(const literal_rec &l) noexcept
    {
        wt_buf doc{};
        wt_buf_init(&doc, l.n + 64);
        const char *p = x.doc + l.start, *end = p + l.n;
        while (p < end) {
            const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
            const char *line_end = nl ? nl : end;
            const char *bar = static_cast<const char *>(std::memchr(p, '|', size_t(line_end - p)));
            const char *name_end = bar ? bar : line_end;
            while (p < name_end && static_cast<unsigned char>(*p) <= 0x20) ++p;
            while (name_end > p && static_cast<unsigned char>(name_end[-1]) <= 0x20) --name_end;
            // Names with brackets or braces would not stay one link.
            bool plain = name_end > p;
            for (const char *q = p; q < name_end && plain; ++q) plain = !std::strchr("[]{}<>\r", *q);
            if (plain) {
                const void *colon = std::memchr(p, ':', size_t(name_end - p));
                wt_buf_append_lit(&doc, "* [[");
                if (!colon) wt_buf_append_lit(&doc, "File:");
                wt_buf_append(&doc, p, size_t(name_end - p));
                wt_buf_append_lit(&doc, "]]\n");
            }
            p = nl ? nl + 1 : end;
        }
        wt_config plain_cfg = cfg;
        plain_cfg.flags &= ~unsigned(WTCORE_EXTENDED);
        plain_cfg.ext = nullptr;
        failed |= doc.failed;
        render_text(doc.data, doc.len, plain_cfg);
        wt_buf_free(&doc);
    }

    void write_redirect() noexcept
    {
        wt_buf doc{};
        wt_buf_init(&doc, x.redirect_n + 8);
        wt_buf_append_lit(&doc, "[[");
        wt_buf_append(&doc, x.doc + x.redirect, x.redirect_n);
        wt_buf_append_lit(&doc, "]]");
        failed |= doc.failed;
        wt_config plain_cfg = cfg;
        plain_cfg.flags &= ~unsigned(WTCORE_EXTENDED);
        plain_cfg.ext = nullptr;
        wt_buf_append_lit(out, "<div class=\"redirect\">");
        render_text(doc.data, doc.len, plain_cfg);
        wt_buf_append_lit(out, "</div>\n");
        wt_buf_free(&doc);
    }

    // Renders the clean text [a, b): the text between blocks through the
    // block renderer, the places and the tables here.
    void render_range(size_t a, size_t b, int depth) noexcept
    {
        if (depth >= max_table_depth) { // no table starts here
            render_segment(a, b);
            return;
        }
        // A table starts at a line (the first one starting at a) whose first
        // bytes after blanks are "{|". The pass leaves few '{', so they are
        // what is searched for, each checked back to its line's start; after
        // a few that start nothing, only "{|" pairs are.
        const char *d = x.clean.data;
        size_t seg = a;
        unsigned lone_braces = 0;
        for (size_t from = a; from < b && !failed;) {
            const char *brace = lone_braces < 16
                                    ? static_cast<const char *>(std::memchr(d + from, '{', b - from))
                                    : find_bytes<'{', '|'>(d + from, d + b, d);
            if (!brace) break;
            const size_t t = size_t(brace - d);
            if (t + 2 > b || d[t + 1] != '|') {
                ++lone_braces;
                from = t + 1;
                continue;
            }
            size_t ls = t;
            while (ls > a && (d[ls - 1] == ' ' || d[ls - 1] == '\t')) --ls;
            if (ls > a && d[ls - 1] != '\n') {
                from = t + 1;
                continue;
            }
            render_segment(seg, ls);
            block_room();
            seg = cfg.external_links_only ? table_without_links(ls, b) : none;
            if (seg == none) seg = write_table(ls, b, depth);
            from = seg;
        }
        render_segment(seg, b);
    }

    // Text without tables: cut at the block places in it.
    void render_segment(size_t a, size_t b) noexcept
    {
        size_t from = a;
        for (; place < x.places.size() && x.places[place].at <= b; ++place) {
            const block_place &pl = x.places[place];
            if (pl.at < a) continue; // inside table markup
            render_text(x.clean.data + from, pl.at - from, with_ext);
            from = pl.at;
            block_room();
            if (pl.kind == block_place::toc) {
                if (cfg.toc_html) wt_buf_append_str(out, cfg.toc_html);
            } else if (pl.kind == block_place::html) {
                wt_buf_append(out, x.html.data + x.htmls[pl.index].at, x.htmls[pl.index].n);
            } else if (pl.kind == block_place::file) {
                write_file(x, x.files[pl.index], with_ext, true, false, out);
            } else if (pl.kind == block_place::list) {
                queue_until(pl.at);
                size_t g = x.lists[pl.index].group_first;
                if (g != none) write_list(g);
            } else if (x.literals[pl.index].kind == literal_kind::gallery) {
                write_gallery(x.literals[pl.index]);
            } else {
                write_literal(x, x.literals[pl.index], true, out);
            }
        }
        render_text(x.clean.data + from, b - from, with_ext);
    }

    // Whether the block renderer reads the n bytes at p as one paragraph
    // line: one line that a byte above 0x20 starts, without a list, rule,
    // heading or table marker, a CR at its end or a block tag. Bytes from
    // `lo` to p[n] may be read.
    bool is_paragraph_line(const char *p, size_t n, const char *lo) const noexcept
    {
        if (n == 0 || balanced()) return false;
        const char first = p[0];
        if (static_cast<unsigned char>(first) <= 0x20 || first == '*' || first == '#' || first == ';' ||
            first == ':' || first == '-' || first == '=' || (first == '{' && n >= 2 && p[1] == '|') ||
            p[n - 1] == '\r')
            return false;
        for (const char *q = p, *end = p + n;; ++q) {
            q = scan_for<'\n', '<'>(q, end, lo);
            if (q == end) return true;
            if (*q == '\n') return false;
            ext_tag_match m;
            if (q[1] != '\0' && match_ext_tag(q, size_t(end - q), &m) && !is_inline_ext_tag(m.tag)) return false;
        }
    }

    // The inline text of a paragraph line (see is_paragraph_line), as the
    // block renderer writes it between the paragraph's tags.
    // The n bytes at p lie in `within` (the clean text or the notes), all of
    // which may be read: the scans of a short text then look at whole blocks.
    void write_paragraph_text(const char *p, size_t n, const wt_buf &within) noexcept
    {
        int counter = 0; // each rendering numbers its unlabelled links from 1
        inline_context cx{&with_ext, within.data, within.data + within.len - 1, &counter, nullptr};
        cx.blocks_as_text = true;
        parse_inline(p, n, out, cx);
    }

    // The usual cell: one paragraph line without a block place in it, which
    // the caller unwraps. Written here without the paragraph's tags unless
    // the text holds what keeps them. Returns false, having written nothing,
    // for any other content [a, b) (trimmed).
    bool write_plain_cell(size_t a, size_t b) noexcept
    {
        const char *d = x.clean.data;
        if (!is_paragraph_line(d + a, b - a, d)) return false;
        // The places before the cell lie in table markup: passed over, as
        // render_segment does.
        while (place < x.places.size() && x.places[place].at < a) ++place;
        if (place < x.places.size() && x.places[place].at <= b) return false;
        const size_t at = out->len;
        write_paragraph_text(d + a, b - a, x.clean);
        const size_t n = out->len - at;
        if (out->failed || !holds_paragraph_tag(out->data + at, n)) return true;
        if (wt_buf_reserve(out, 3 + 5)) { // the paragraph stays: its tags around the text
            std::memmove(out->data + at + 3, out->data + at, n);
            std::memcpy(out->data + at, "<p>", 3);
            wt_buf_commit(out, 3);
            wt_buf_append_lit(out, "</p>\n");
        }
        return true;
    }

    // A cell's content [a, b), trimmed: rendered as blocks, and a lone
    // paragraph unwrapped, as a one-line cell reads.
    void write_cell_content(size_t a, size_t b, int depth) noexcept
    {
        const char *d = x.clean.data;
        while (a < b && static_cast<unsigned char>(d[a]) <= 0x20) ++a;
        while (b > a && static_cast<unsigned char>(d[b - 1]) <= 0x20) --b;
        if (write_plain_cell(a, b)) return;
        size_t at = out->len;
        contained([&] { render_range(a, b, depth + 1); });
        if (out->failed || out->len - at < 8) return;
        char *o = out->data + at;
        size_t n = out->len - at;
        if (std::memcmp(o, "<p>", 3) == 0 && std::memcmp(o + n - 5, "</p>\n", 5) == 0 &&
            !holds_paragraph_tag(o + 3, n - 8)) {
            std::memmove(o, o + 3, n - 8);
            out->len = at + n - 8;
            out->data[out->len] = '\0';
        }
    }

    // Whether the n bytes at p (written to out, whose bytes from its start
    // may be read) hold a paragraph's tag. A cell's HTML is short and holds
    // other tags, so the '<' are found in line, a block at a time.
    bool holds_paragraph_tag(const char *p, size_t n) const noexcept
    {
        const char *end = p + n;
        for (const char *q = p; end - q > 2; ++q) {
            q = scan_for<'<'>(q, end - 2, out->data);
            if (end - q <= 2) return false;
            if ((q[1] == 'p' || q[1] == '/') && (q[2] == '>' || q[2] == 'p')) return true;
        }
        return false;
    }

    // The first "||" in the clean text's bytes [a, le), or in a header line
    // also "!!"; le when there is none.
    size_t cell_separator(size_t a, size_t le, bool header) const noexcept
    {
        const char *d = x.clean.data, *end = d + le;
        for (const char *p = d + a;; ++p) {
            p = header ? scan_for<'|', '!'>(p, end, d) : scan_for<'|'>(p, end, d);
            if (end - p < 2) return le;
            if (p[1] == p[0]) return size_t(p - d);
        }
    }

    // The attributes of a table, row or cell, n bytes at s: written unless
    // nothing reads them (the external links alone, the text).
    void put_table_attributes(const char *s, size_t n) noexcept
    {
        if (n && !cfg.external_links_only && !cfg.for_text) write_table_attributes(out, s, n, cfg);
    }

    // A cell of the bytes [a, e) (after its marker): "attributes | content"
    // or content alone, as element th (`header`) or td. A cell that a nested
    // table opened (`bare`) holds that table and no attributes.
    void write_cell(bool header, size_t a, size_t e, int depth, bool bare = false) noexcept
    {
        const char *d = x.clean.data;
        const char *bar = bare ? d + e : scan_for<'|'>(d + a, d + e, d);
        if (bar == d + e) bar = nullptr;
        size_t content = a;
        const bool open_tag = !cfg.for_text; // the text reads a cell's end alone
        if (open_tag) header ? wt_buf_append_lit(out, "<th") : wt_buf_append_lit(out, "<td");
        if (bar) {
            size_t b = size_t(bar - d);
            std::string_view before(d + a, b - a);
            if (before.find("[[") == before.npos && before.find('\n') == before.npos) {
                put_table_attributes(d + a, b - a);
                content = b + 1;
            }
        }
        if (open_tag) wt_buf_append_lit(out, ">");
        write_cell_content(content, e, depth);
        if (header) wt_buf_append_lit(out, "</th>\n");
        else wt_buf_append_lit(out, "</td>\n");
    }

    // The lines of the clean text whose first bytes after blanks are "{|",
    // each with the start of the line that closes it ("|}" when the lines
    // between open and close as many), or none; built once, when a table is
    // first found inside a table, so that the lines of a nested table are
    // passed over in one step at each level instead of one by one.
    struct table_open {
        size_t at, close;
    };
    pod_array<table_open> table_opens;
    bool table_opens_built = false;

    void build_table_opens() noexcept
    {
        table_opens_built = true;
        const char *d = x.clean.data;
        const size_t n = x.clean.len;
        pod_array<size_t> open; // indices of the opening lines not yet closed
        // Only the braces are visited (the pass leaves few): "{|" or "|}"
        // with nothing but blanks before it on its line.
        const char *const end = d + n;
        for (const char *p = d; (p = scan_for<'{', '}'>(p, end, d)) < end; ++p) {
            const char *t = *p == '{' ? p : p - 1; // the pair's first byte
            if (*p == '{' ? end - p < 2 || p[1] != '|' : p == d || p[-1] != '|') continue;
            const char *ls = t;
            while (ls > d && (ls[-1] == ' ' || ls[-1] == '\t')) --ls;
            if (ls > d && ls[-1] != '\n') continue;
            if (*p == '{') {
                failed |= !open.push(table_opens.size()) || !table_opens.push(table_open{size_t(ls - d), none});
            } else if (open.size()) {
                table_opens[open.back()].close = size_t(ls - d);
                open.truncate(open.size() - 1);
            }
        }
        open.release();
    }

    // Whether the "{|" line that starts at ls is known; then *close is the
    // start of its closing line, or none.
    bool table_close(size_t ls, size_t *close) noexcept
    {
        if (!table_opens_built) build_table_opens();
        size_t lo = 0, hi = table_opens.size();
        while (lo < hi) {
            size_t mid = (lo + hi) / 2;
            if (table_opens[mid].at < ls) lo = mid + 1;
            else hi = mid;
        }
        if (lo == table_opens.size() || table_opens[lo].at != ls) return false;
        *close = table_opens[lo].close;
        return true;
    }

    // For the external links alone: where the text goes on after the table
    // whose "{|" line starts at ls, when nothing in the table can hold one (no
    // address, no file, no block placed in it); else none.
    size_t table_without_links(size_t ls, size_t b) noexcept
    {
        size_t close = none;
        if (!table_close(ls, &close)) return none;
        size_t end = close == none || close >= b ? b : line_after(close, b);
        if (may_hold_url(x.clean.data + ls, end - ls, url_tags::none, &x)) return none;
        size_t k = place;
        while (k < x.places.size() && x.places[k].at < ls) ++k;
        return k < x.places.size() && x.places[k].at < end ? none : end;
    }

    // The start of the line after the one at ls, within b.
    size_t line_after(size_t ls, size_t b) const noexcept
    {
        const char *nl = static_cast<const char *>(std::memchr(x.clean.data + ls, '\n', b - ls));
        return nl ? size_t(nl - x.clean.data) + 1 : b;
    }

    // The table whose "{|" line starts at ls; returns where the text goes on
    // (after its "|}" line, or b when it is not closed).
    size_t write_table(size_t ls, size_t b, int depth) noexcept
    {
        const char *d = x.clean.data;
        enum { none_open, caption, cell } open = none_open;
        bool header = false; // the open cell is a th
        size_t cell_start = 0; // the cell's bytes after its marker
        bool row_open = false;
        size_t row_attrs = 0, row_attrs_n = 0;
        int nested = 0;
        bool bare = false; // the open cell is one that a nested table opened
        auto close_cell = [&](size_t end) {
            if (open == caption) {
                wt_buf_append_lit(out, "<caption>");
                write_cell_content(cell_start, end, depth);
                wt_buf_append_lit(out, "</caption>\n");
            } else if (open == cell) {
                write_cell(header, cell_start, end, depth, bare);
            }
            open = none_open;
            bare = false;
        };
        auto open_row = [&]() {
            if (row_open) return;
            wt_buf_append_lit(out, "<tr");
            put_table_attributes(d + row_attrs, row_attrs_n);
            wt_buf_append_lit(out, ">\n");
            row_open = true;
        };
        auto close_row = [&]() {
            if (row_open) wt_buf_append_lit(out, "</tr>\n");
            row_open = false;
            row_attrs_n = 0;
        };
        // The "{|" line.
        const char *nl = static_cast<const char *>(std::memchr(d + ls, '\n', b - ls));
        size_t le = nl ? size_t(nl - d) : b;
        size_t t = ls;
        while (d[t] != '{') ++t;
        // Text outside any cell goes in front of the table, as an HTML parser
        // moves it: rendered in order into a buffer of its own as it comes
        // (so that the blocks placed in it come in order too), and put before
        // the table when it ends.
        const size_t table_at = out->len;
        wt_buf stray{};
        size_t stray_a = none, stray_b = none;
        auto flush_stray = [&]() {
            if (stray_a == none) return;
            wt_buf *table_out = out;
            out = &stray;
            render_segment(stray_a, stray_b);
            out = table_out;
            stray_a = stray_b = none;
        };
        auto end_table = [&]() {
            flush_stray();
            wt_buf_append_lit(out, "</table>\n");
            failed |= stray.failed != 0;
            if (stray.len && !out->failed && wt_buf_append(out, stray.data, stray.len)) {
                const size_t n = out->len - stray.len - table_at;
                std::memmove(out->data + table_at + stray.len, out->data + table_at, n);
                std::memcpy(out->data + table_at, stray.data, stray.len);
            }
            wt_buf_free(&stray);
        };
        wt_buf_append_lit(out, "<table");
        put_table_attributes(d + t + 2, le - t - 2);
        wt_buf_append_lit(out, ">\n");
        size_t pos = nl ? le + 1 : b;
        while (pos < b && !failed) {
            // Table lines are short: a scan in line beats a call.
            nl = scan_for<'\n'>(d + pos, d + b, d);
            if (nl == d + b) nl = nullptr;
            le = nl ? size_t(nl - d) : b;
            size_t next = nl ? le + 1 : b;
            t = pos;
            while (t < le && (d[t] == ' ' || d[t] == '\t')) ++t;
            char c0 = t < le ? d[t] : '\0', c1 = t + 1 < le ? d[t + 1] : '\0';
            if (!nested && open == none_open && !(c0 == '|' || c0 == '!' || (c0 == '{' && c1 == '|'))) {
                if (stray_b != pos) flush_stray();
                if (stray_a == none) stray_a = pos;
                stray_b = next;
                pos = next;
                continue;
            }
            flush_stray();
            if (nested) { // lines of a table inside the open cell
                if (c0 == '{' && c1 == '|') ++nested;
                else if (c0 == '|' && c1 == '}') --nested;
                pos = next;
                continue;
            }
            if (c0 == '{' && c1 == '|') {
                if (open == none_open) { // a table outside any cell: its own cell
                    open_row();
                    open = cell;
                    header = false;
                    cell_start = t;
                    bare = true;
                }
                // The nested table's lines belong to the open cell: on to
                // the line after its "|}", or to b.
                size_t close = 0;
                if (table_close(pos, &close)) {
                    pos = close == none || close >= b ? b : line_after(close, b);
                    continue;
                }
                ++nested;
                pos = next;
                continue;
            }
            if (c0 == '|' && c1 == '}') {
                close_cell(pos > 0 ? pos - 1 : pos);
                close_row();
                end_table();
                return next;
            }
            if (c0 == '|' && c1 == '-') {
                close_cell(pos > 0 ? pos - 1 : pos);
                close_row();
                size_t a = t + 1;
                while (a < le && d[a] == '-') ++a;
                row_attrs = a;
                row_attrs_n = le - a;
                pos = next;
                continue;
            }
            if (c0 == '|' && c1 == '+') {
                close_cell(pos > 0 ? pos - 1 : pos);
                open = caption;
                cell_start = t + 2;
                pos = next;
                continue;
            }
            if (c0 == '|' || c0 == '!') {
                close_cell(pos > 0 ? pos - 1 : pos);
                open_row();
                header = c0 == '!';
                // Cells on one line: "||" (and "!!" in a header line) part them.
                size_t a = t + 1;
                for (;;) {
                    size_t sep = cell_separator(a, le, c0 == '!');
                    if (sep == le) break;
                    write_cell(header, a, sep, depth);
                    a = sep + 2;
                }
                open = cell;
                cell_start = a;
                pos = next;
                continue;
            }
            pos = next; // a continuation line of the open cell
        }
        close_cell(b);
        close_row();
        end_table();
        return b;
    }

    void run() noexcept
    {
        size_t nrefs = x.refs.size();
        for (pod_array<size_t> *a : {&head, &tail, &next_pending}) {
            wt_buf_init(&a->b, nrefs * sizeof(size_t) + 1);
            for (size_t i = 0; i < nrefs; ++i) a->push(none);
            failed |= a->b.failed;
        }
        if (failed) return;
        if (x.redirect != none) { // a redirect shows only where it leads
            write_redirect();
            return;
        }
        with_ext = cfg;
        with_ext.ext = &x;
        with_ext.blocks = &blocks;
        render_range(0, x.clean.len, 0);
        if (balanced() && blocks.n) {
            close_blocks(blocks, out, 0);
            wt_buf_put_char(out, '\n');
        }
        blocks.n = 0;
        // Notes that no list has shown go at the end, group by group.
        queue_until(none);
        for (size_t g = 0; g < nrefs; ++g)
            if (x.refs[g].group_first == g) write_list(g);
    }
};

} // namespace

const char *write_placeholder(const char *p, const char *end, const wt_config &cfg, bool in_link,
                              wt_buf *out) noexcept
{
    const char *q = p + 3;
    const size_t index = placeholder_index(&q, end);
    const char *next = q < end ? q + 1 : end; // past the '>'
    const extraction *x = static_cast<const extraction *>(cfg.ext);
    if (!x || p + 2 >= end) return next;
    if (p[2] == ph_ref && index < x->refs.size()) {
        if (!cfg.for_text) write_marker(*x, x->refs[index], in_link, out);
    } else if (p[2] == ph_literal && index < x->literals.size()) write_literal(*x, x->literals[index], false, out);
    else if (p[2] == ph_file && index < x->files.size()) write_file(*x, x->files[index], cfg, false, in_link, out);
    else if (p[2] == ph_html && index < x->htmls.size()) wt_buf_append(out, x->html.data + x->htmls[index].at, x->htmls[index].n);
    else if (p[2] == ph_toc && cfg.toc_html) wt_buf_append_str(out, cfg.toc_html);
    return next;
}

// Drops what is left of placeholders that reached a place where they are not
// read (a link's address, a heading's id): the NUL with the kind and digits
// after it, and the '<' and '>' (or "&lt;" and "&gt;") around them.
static void drop_placeholders(wt_buf *out, size_t from) noexcept
{
    char *d = out->data;
    const char *nul = d ? static_cast<const char *>(std::memchr(d + from, '\0', out->len - from)) : nullptr;
    if (!nul) return;
    // Runs between placeholders move down in one piece each.
    size_t w = size_t(nul - d), n = out->len;
    for (size_t i = w; i < n;) {
        if (d[i] != '\0') {
            const void *q = std::memchr(d + i, '\0', n - i);
            size_t run_end = q ? size_t(static_cast<const char *>(q) - d) : n;
            std::memmove(d + w, d + i, run_end - i);
            w += run_end - i;
            i = run_end;
            continue;
        }
        if (w >= from + 1 && d[w - 1] == '<') --w;
        else if (w >= from + 4 && std::memcmp(d + w - 4, "&lt;", 4) == 0) w -= 4;
        i += 2; // the NUL and the kind
        while (i < n && d[i] >= '0' && d[i] <= '9') ++i;
        if (i < n && d[i] == '>') ++i;
        else if (i + 4 <= n && std::memcmp(d + i, "&gt;", 4) == 0) i += 4;
    }
    out->len = w;
    d[w] = '\0';
}

int render_extraction_html(const extraction &x, const wt_config &cfg, wt_buf *out) noexcept
{
    if (!out) return 0;
    const size_t start = out->len;
    html_driver d{x, cfg, out, false, {}, {}, {}, 0, {}, 0, {}, {}, false};
    d.run();
    int ok = !d.failed;
    d.head.release();
    d.tail.release();
    d.next_pending.release();
    d.table_opens.release();
    if (ok) drop_placeholders(out, start);
    return ok && !out->failed;
}

int render_extended_html(wt_source doc, const wt_config &cfg, wt_buf *out) noexcept
{
    if (!out) return 0;
    extraction x;
    int ok = wt_extract(doc.p, doc.n, names_of(cfg), true, &x, &cfg);
    if (ok) ok = render_extraction_html(x, cfg, out);
    wt_extraction_free(&x);
    return ok && !out->failed;
}

WT_ISA_END
} // namespace wt
