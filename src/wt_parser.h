// The parser: the block renderer (wt_parser/block.cpp), the inline renderer
// (wt_parser/inline.cpp), the outline of links and headings
// (wt_parser/outline.cpp) and the entry points (wt_parser/render.cpp). None of
// it keeps static state; every call works on the caller's buffer.
#ifndef WT_PARSER_H
#define WT_PARSER_H

#include "wt_anchor.h"
#include "wt_buffer.h"
#include "wt_scan.h"
#include "wt_span.h"
#include "wtcore.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

// The options of one conversion, checked by the interface. A value-initialised
// record is the default: the addresses and attributes of the functions
// without options.
struct wt_config {
    unsigned flags = 0;              // WTCORE_* option bits
    const char *link_template = nullptr; // null: "/wiki/$1"
    size_t link_template_len = 0;
    // The template holds "$1" once, no byte that needs an escape in an
    // attribute, and at most 32 bytes on either side of it: its two pieces,
    // padded, are written as they stand around the page.
    bool link_template_simple = false;
    size_t link_var = 0;                 // where that "$1" stands
    char link_pre[32] = "/wiki/";
    char link_post[32] = "";
    unsigned char link_pre_n = 6;
    unsigned char link_post_n = 0;
    const char *rel = "nofollow";    // rel of external links; "" leaves it out
    size_t rel_len = 8;
    bool default_rel = true;         // rel is "nofollow", written with the rest of the tag
    int (*page_exists)(void *context, const char *target, size_t length) = nullptr;
    void *context = nullptr;
    // Internal links are written as the default rule writes them, with no
    // check of the page (no link_template, page_exists or
    // WTCORE_ENCODE_TARGETS): the link fast paths apply.
    bool plain_links = true;
    // The extended syntax: extra names of the namespaces ('|'-separated), and
    // while its clean text is rendered, the pass's findings (placeholders
    // are written from them).
    const char *file_namespaces = nullptr;
    const char *media_namespaces = nullptr;
    const char *category_namespaces = nullptr;
    const char *file_template = nullptr; // image address; "$1" is the file name; null: no <img>
    size_t file_template_len = 0;
    // HTML for a template (wtcore_options::template_html), with `context`.
    int (*template_html)(void *context, const char *name, size_t name_length,
                         const wtcore_template_param *params, size_t param_count, wtcore_write_fn write,
                         void *output) = nullptr;
    const char *toc_html = nullptr; // written where the first __TOC__ stands
    // The extraction of the extended syntax that the running build of the
    // parser made (its wt::ext::extraction), while it renders the clean text.
    const void *ext = nullptr;
    // The block elements that tags of the clean text opened, kept across the
    // pieces the extended syntax renders (its wt::block_tags); null: none.
    void *blocks = nullptr;
    // Only what the external links need is rendered (for the page JSON,
    // which reads them back out of the HTML): text without a "://", a
    // "mailto:" or a file's placeholder (its caption) is left out wherever
    // that changes no state (inline spans outside links' labels; lines and
    // pieces also only without tags), and table attributes are not written.
    // Nothing else a span writes changes the text of a link in another one.
    bool external_links_only = false;
    // The HTML is read back as plain text (the text format): what that
    // reading leaves out need not be written (reference markers, lists of
    // notes, the tags of links, bold and italic, attributes, the ids of
    // headings, figures but their captions, the opening tags of cells). Set
    // with plain_links false, which sends every link to the writers that
    // know it.
    bool for_text = false;
};

// A document as the parser reads it: n bytes at p, never read past the last.
struct wt_source {
    const char *p;
    size_t n;
};

WT_ISA_BEGIN
// Renders the document into `out` (appended) in a format of wtcore_render:
// HTML, links JSON or headings JSON. Returns 1, or 0 when `out` is null or an
// allocation failed during the call (out->failed is then set and the output
// is incomplete).
int wt_render(wt_source doc, int format, const wt_config &cfg, wt_buf *out) noexcept;
// Walks the links and headings of a document for a visitor (see wtcore_visit);
// returns a WTCORE_ status.
int wt_visit(wt_source doc, const wtcore_visitor *visitor, void *context) noexcept;

// The same renderings of a NUL-terminated document with the default options.
// Each appends to `out`; a null or empty document writes nothing (HTML) or
// "[]" (JSON). `reserved` is not read.
int wt_parse_to_html(const char *document, void *reserved, wt_buf *out) noexcept;
int wt_extract_links_json(const char *document, wt_buf *out) noexcept;
int wt_extract_headings_json(const char *document, wt_buf *out) noexcept;
WT_ISA_END

// The builds of the parser that the library holds (see wt_isa.h); each
// defines one record of its entry points, named parser_build in its own
// namespace.
struct wt_parser_build {
    const char *name; // "baseline", "avx2" or "avx512"
    int (*render)(wt_source doc, int format, const wt_config &cfg, wt_buf *out) noexcept;
    int (*visit)(wt_source doc, const wtcore_visitor *visitor, void *context) noexcept;
    // The inline renderer (parse_inline_internal, document form), for tests.
    void (*inline_span)(const char *text, size_t n, wt_buf *out, int *counter, const char *doc,
                        const char *limit) noexcept;
};

namespace wt {
WT_ISA_BEGIN

// Writes an address template: its text HTML-escaped, and at each "$1" what
// `value(at)` writes (`at` is the offset of that "$1" in the template).
template <class Value>
void append_address_template(wt_buf *out, std::string_view tpl, Value value) noexcept
{
    for (size_t at = 0;;) {
        size_t var = tpl.find("$1", at);
        std::string_view piece = tpl.substr(at, var == tpl.npos ? tpl.npos : var - at);
        wt_buf_append_html_escaped(out, piece.data(), piece.size());
        if (var == tpl.npos) break;
        value(var);
        at = var + 2;
    }
}

// Splits a document into lines: the bytes up to the next LF or the document's
// end, less one CR at its end. A final LF starts no further line. LFs are
// found a block at a time, and the mask of the last block serves the lines
// that follow in it.
class line_splitter {
public:
    explicit line_splitter(wt_source doc) noexcept
        : pos_(doc.p), end_(doc.p + doc.n), lfs_(doc.p, doc.p + doc.n)
    {
    }

    // The document's last byte: the scanners may read up to it.
    const char *limit() const noexcept { return end_ - 1; }

    // Goes on at p, the start of a line after the last one given.
    void skip_to(const char *p) noexcept { pos_ = p; }

    bool next(span *line) noexcept
    {
        const char *start = pos_;
        if (start >= end_) return false;
        const char *lf = lfs_.next(start);
        pos_ = lf < end_ ? lf + 1 : lf;
        size_t n = size_t(lf - start);
        if (n > 0 && start[n - 1] == '\r') --n;
        *line = span{start, n};
        return true;
    }

private:
    const char *pos_;
    const char *end_;
    wide_mark_cursor<byte_set<'\n'>> lfs_;
};

// Heading rule for a line starting with '='. Returns true with the level (1-6)
// and the trimmed heading text, or false when the line is no heading. A line
// made only of 1 to 11 '=' (before trailing bytes <= 0x20) is no heading.
bool match_heading(span line, size_t *level, span *text) noexcept;

// Split rule of an internal link's inner text: the first '|' divides target
// and label; without one both are the whole text. Each is trimmed. `doc`, if
// given, is the start of the document that holds the text (see scan_marks).
inline void split_link(span inner, span *target, span *label, const char *doc = nullptr) noexcept
{
    const char *end = inner.p + inner.n;
    const char *bar = inner.n ? scan_for<'|'>(inner.p, end, doc ? doc : inner.p) : end;
    if (bar != end) {
        *target = trim_both(span{inner.p, size_t(bar - inner.p)});
        *label = trim_both(span{bar + 1, size_t(end - (bar + 1))});
    } else {
        *target = *label = trim_both(inner);
    }
}

// Returns 1 if the n bytes at s begin with an entity the renderer keeps
// (&#...; &#x...; or one of eight names), else 0. The entity must end within n.
int is_html_entity(const char *s, size_t n) noexcept;

// Returns 1 and stores the tag's length when an allowed tag starts at s (a
// '<') and ends within n bytes: one of the fixed tags, or a "<span " tag whose
// attributes hold no event handler and no '<'. Returns 0 otherwise.
int match_allowed_tag(const char *s, size_t n, size_t *out_len) noexcept;

// The inline elements open in one block (paragraph, heading, list item, term,
// definition) when tags are balanced: each with where its opening tag stands
// in the output, so that it can be written again when a misnested closer
// closes it together with the elements inside it.
enum class tag_kind : unsigned char {
    b, i, u, s, del, sub, sup, code, span, small,
    // The extended syntax's tags in an inline context, in the order of ext_tag.
    em, strong, big, tt, var, abbr, cite, q, ins, mark, ruby, rt, rp, div, p, blockquote, center,
};

struct tag_stack {
    struct entry {
        tag_kind kind;
        bool quote;  // opened by a quote run, not by a tag of the text
        size_t at;   // the opening tag: out->data + at, `len` bytes
        size_t len;
    };
    // Tags of the text nest at most this deep in a block; further opening
    // tags are dropped (with the closers that match them), which keeps every
    // close and reopen within a constant bound.
    static constexpr int max_text_tags = 32;
    static constexpr int capacity = max_text_tags + 8; // quote runs: two per inline call, three calls deep
    entry items[capacity];
    int n = 0;
    int text_tags = 0;
};

// Closes every element open above `floor`, innermost first.
void close_tags(tag_stack &tags, wt_buf *out, int floor = 0) noexcept;

// What the inline renderer needs besides the span: the options, the readable
// range of the document around the span, the document's link counter (null:
// every unlabelled external link shows [1]), the open elements of the block
// (null: tags are not balanced), and whether the span is a link's label.
struct inline_context {
    const wt_config *cfg;
    const char *doc;   // readable from here on
    const char *limit; // readable up to and including this byte
    int *counter;
    tag_stack *tags;
    bool in_link = false;
    // Under the extended syntax: block tags are text here (a paragraph line,
    // where the block renderer takes those it reads as blocks).
    bool blocks_as_text = false;
};

// The tags of the extended syntax beyond the core's fixed list: inline ones,
// block ones, those of HTML tables, and <hr>. The first seventeen map onto
// tag_kind from tag_kind::em on.
enum class ext_tag : unsigned char {
    em, strong, big, tt, var, abbr, cite, q, ins, mark, ruby, rt, rp,
    div, p, blockquote, center,
    table, caption, thead, tbody, tfoot, tr, th, td,
    hr,
};

inline bool is_inline_ext_tag(ext_tag t) noexcept { return t <= ext_tag::rp; }
inline bool is_table_ext_tag(ext_tag t) noexcept { return t >= ext_tag::table && t <= ext_tag::td; }
inline tag_kind ext_tag_kind(ext_tag t) noexcept { return tag_kind(int(tag_kind::em) + int(t)); }

// A tag of that list at some '<': which, opening or closing, "<x/>", its
// length, and where its name ends (its attributes follow).
struct ext_tag_match {
    ext_tag tag;
    bool closing;
    bool self_closing;
    size_t len;
    size_t name_end;
};

// Whether a tag of the extended syntax's list starts at s (a '<') and ends
// within n bytes: a name of the list in any ASCII letter case, attributes
// that the tokenizer of span tags accepts (no on*, no '<'), or "</name>".
bool match_ext_tag(const char *s, size_t n, ext_tag_match *m) noexcept;
// Writes the opening tag matched at s in lower case, its attributes quoted
// as ` name="value"`; under WTCORE_SAFE_ATTRIBUTES only those a span keeps
// (and, on table tags, the table's own). <hr> is written "<hr />".
void write_ext_open(wt_buf *out, const char *s, const ext_tag_match &m, const wt_config &cfg) noexcept;
void write_ext_close(wt_buf *out, ext_tag t) noexcept;

// The block elements opened by tags of the clean text under the extended
// syntax, outermost first. A container (a table cell, a note) renders above
// a floor and closes what it opened.
struct block_tags {
    static constexpr int capacity = 64;
    ext_tag items[capacity];
    int n = 0;
    int floor = 0;
};

// Before a block that the renderer writes on its own (a table, a figure, a
// list of notes): ends an open p and the rows of an open table above the
// floor, where an HTML parser would end them. The closing tags go to `out`
// (under WTCORE_BALANCE_TAGS) unless it is null.
void make_block_room(block_tags &bt, wt_buf *out) noexcept;
// Closes the block elements from index `to` on, innermost first, writing
// their closing tags to `out` unless it is null.
void close_blocks(block_tags &bt, wt_buf *out, int to) noexcept;

// Writes the attributes of a table element, as ` name="value"` each: n
// bytes of wikitext read by the tokenizer of span tags; none when it refuses
// them (an on* attribute among them). Under WTCORE_SAFE_ATTRIBUTES only class,
// title, lang, dir, a safe style and the table attributes (colspan, rowspan,
// scope, align, valign, width, height, abbr, headers) are kept.
void write_table_attributes(wt_buf *out, const char *s, size_t n, const wt_config &cfg) noexcept;

// Writes the opening tag <a href="..."> of an internal link to `target`
// under the options (link template, encoded targets, red links). Returns
// false, having written nothing, when the target cannot be a link.
bool write_link_open(wt_buf *out, span target, const wt_config &cfg) noexcept;

// One JSON object of two string members, the usual entry of the data lists:
// a ',' unless `first`, then `open` (`{"key":"`), the string a, `mid`
// (`","key":"`), the string b and `"}`. Both strings short (up to 64 bytes,
// their pieces readable up to their limits), written with one
// reservation and escaped from one mask each. Returns false, having written
// nothing, for longer strings or when the room cannot be had.
template <size_t Open, size_t Mid>
inline bool short_json_pair(wt_buf *out, bool first, const char (&open)[Open], span a, const char *a_limit,
                            const char (&mid)[Mid], span b, const char *b_limit) noexcept
{
    if (!json_pieces_readable(a.p, a.n, a_limit) || !json_pieces_readable(b.p, b.n, b_limit)) return false;
    char *d = wt_buf_reserve(out, Open + Mid + json_pieces_room(a.n) + json_pieces_room(b.n));
    if (!d) return false;
    size_t w = first ? 0 : 1;
    d[0] = ',';
    std::memcpy(d + w, open, Open - 1);
    w += Open - 1;
    w += put_json_pieces(d + w, a.p, a.n);
    std::memcpy(d + w, mid, Mid - 1);
    w += Mid - 1;
    w += put_json_pieces(d + w, b.p, b.n);
    std::memcpy(d + w, "\"}", 2);
    wt_buf_commit(out, w + 2);
    return true;
}

// The same entry of any length: short_json_pair when it can, else written a
// piece at a time. Returns false when memory ran out.
template <size_t Open, size_t Mid>
inline bool json_pair(wt_buf *out, bool first, const char (&open)[Open], span a, const char *a_limit,
                      const char (&mid)[Mid], span b, const char *b_limit) noexcept
{
    if (a.p && b.p && short_json_pair(out, first, open, a, a_limit, mid, b, b_limit)) return true;
    if (!first) wt_buf_put_char(out, ',');
    wt_buf_append_lit(out, open);
    wt_buf_append_json_escaped(out, a.p, a.n, a_limit);
    wt_buf_append_lit(out, mid);
    wt_buf_append_json_escaped(out, b.p, b.n, b_limit);
    wt_buf_append_lit(out, "\"}");
    return !out->failed;
}

// Renders n bytes of inline text that stand alone (a caption), its elements
// closed at its end under WTCORE_BALANCE_TAGS.
void render_inline(const char *text, size_t n, const wt_config &cfg, wt_buf *out) noexcept;

// Which '<' may_hold_url counts besides a file's placeholder: none, those of
// the extended syntax's block tags (which open and close elements that later
// lines are read in), or any but that of another placeholder.
enum class url_tags { none, block, any };

// Where the first of n bytes of text is that may start or hold an external
// link or a bare URL (the ':' of a "://" or a "mailto:"), a file's
// placeholder, whose caption is rendered in its place, or a tag that `tags`
// counts; n when there is none. Given the extraction (`ext`), a file's
// placeholder counts only when its caption may hold a link.
size_t url_candidate(const char *text, size_t n, url_tags tags, const void *ext = nullptr) noexcept;

// Whether n bytes of text hold any of those.
inline bool may_hold_url(const char *text, size_t n, url_tags tags, const void *ext = nullptr) noexcept
{
    return url_candidate(text, n, tags, ext) < n;
}

// Renders one span of inline text into out.
void parse_inline(const char *text, size_t n, wt_buf *out, const inline_context &cx) noexcept;

// parse_inline with the default options, for a span that need not lie in a
// larger document. `counter` may be null. Null text or n == 0 writes nothing.
void parse_inline_internal(const char *text, size_t n, wt_buf *out, int *counter) noexcept;
// The same, for a span that lies in a document whose bytes from `doc` up to
// and including `limit` may be read (limit is at the span's end or after
// it): the scan then reads (never uses) bytes around the span, which lets it
// take the span's ends in whole blocks.
void parse_inline_internal(const char *text, size_t n, wt_buf *out, int *counter,
                           const char *doc, const char *limit) noexcept;

// Remembers the outcome of the last search for one closer: the first match at
// or after `from`, or that there is none. Scans only move forward, so a later
// search reuses it until the scan passes the match; no byte is searched twice,
// which keeps a run of unclosed openers linear.
struct search_memo {
    const char *from = nullptr;
    const char *found = nullptr;
    bool valid = false;

    // Whether an earlier search already found that nothing matches at or
    // after start.
    bool known_absent(const char *start) const noexcept { return valid && !found && start >= from; }

    // search(start) gives the first match at or after start, or nullptr.
    template <class Search>
    const char *find(const char *start, Search search) noexcept
    {
        if (valid && start >= from && (!found || start <= found)) return found;
        from = start;
        found = search(start);
        valid = true;
        return found;
    }
};

// "00" to "99", for writing decimals two digits at a time.
inline constexpr auto digit_pairs = [] {
    std::array<char, 200> t{};
    for (int i = 0; i < 100; ++i) {
        t[size_t(2 * i)] = char('0' + i / 10);
        t[size_t(2 * i + 1)] = char('0' + i % 10);
    }
    return t;
}();

// 10^0 to 10^19, the powers of ten below 2^64.
inline constexpr auto powers_of_ten = [] {
    std::array<uint64_t, 20> t{};
    uint64_t p = 1;
    for (size_t i = 0; i < t.size(); ++i, p *= 10) t[i] = p;
    return t;
}();

// How many decimal digits v has: its bit width gives the number of digits
// or one less (1233 / 4096 is a little over log10 2), one compare settles
// which.
inline size_t decimal_digits(uint64_t v) noexcept
{
    const unsigned width = 64u - unsigned(__builtin_clzll(v | 1));
    const size_t t = (width * 1233u) >> 12;
    return t + (v >= powers_of_ten[t]) + (v == 0);
}

// Writes the decimal digits of v at d (room for 20); returns how many.
inline size_t put_decimal_at(char *d, size_t v) noexcept
{
    const size_t n = decimal_digits(v);
    char *e = d + n; // written from the last digits back
    for (; v >= 100; v /= 100) {
        e -= 2;
        std::memcpy(e, &digit_pairs[2 * (v % 100)], 2);
    }
    if (v >= 10) std::memcpy(e - 2, &digit_pairs[2 * v], 2);
    else e[-1] = char('0' + v);
    return n;
}

// Appends the decimal form of v.
inline void append_decimal(wt_buf *out, size_t v) noexcept
{
    if (char *d = wt_buf_reserve(out, 20)) wt_buf_commit(out, put_decimal_at(d, v));
}

// The renderings of a whole document, appended to out: HTML, and the links
// and headings as JSON; and the outline for a visitor (a WTCORE_ status).
void render_html(wt_source doc, const wt_config &cfg, wt_buf *out) noexcept;
void links_json(wt_source doc, wt_buf *out) noexcept;
// The entries of links_json without the brackets, for a piece of the
// extended syntax's clean text: each preceded by a ',' unless *first, which
// ends false once one is written. A target or label that holds placeholders
// is written without them (see text_without_placeholders).
void links_json_entries(wt_source doc, wt_buf *out, bool *first) noexcept;
// `ext`: the extraction (see wt_config::ext) whose clean text doc is, or null.
void headings_json(wt_source doc, wt_buf *out, const void *ext = nullptr) noexcept;

// A heading's text in the extended syntax's clean text as its id and the
// lists of headings read it: a <nowiki> passage's content in its place (a
// line break in it as a blank), the other placeholders left out, then
// trimmed. `text` itself when it holds no placeholder (or `ext`, the
// extraction, is null); else written to tmp.
span heading_text(const void *ext, span text, wt_buf *tmp) noexcept;
// A piece of the extended syntax's clean text without its placeholders: each
// NUL with the '<' before it and the kind, digits and '>' after it. `text`
// itself when it holds none; else written to tmp, emptied first.
span text_without_placeholders(span text, wt_buf *tmp) noexcept;
int visit_outline(wt_source doc, const wtcore_visitor *visitor, void *context) noexcept;

WT_ISA_END
} // namespace wt

#endif
