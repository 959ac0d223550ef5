// The parser: the block renderer (wt_parser/block.cpp), the inline renderer
// (wt_parser/inline.cpp) and the two JSON extractors (wt_parser/outline.cpp).
// None of it keeps static state; every call works on the caller's buffer.
#ifndef WT_PARSER_H
#define WT_PARSER_H

#include "wt_buffer.h"
#include "wt_scan.h"
#include "wtcore.h"

#include <cstddef>
#include <cstring>

WT_ISA_BEGIN
// Entry points. Each appends to `out` and returns 1, or 0 when `out` is null or
// when an allocation failed during the call (out->failed is then set, and what
// was written is incomplete). A null or empty document writes nothing (HTML) or
// "[]" (JSON).
int wt_parse_to_html(const char *document, void *reserved, wt_buf *out) noexcept;
int wt_extract_links_json(const char *document, wt_buf *out) noexcept;
int wt_extract_headings_json(const char *document, wt_buf *out) noexcept;
// Walks the links and headings of a document for a visitor (see wtcore_visit);
// returns a WTCORE_ status.
int wt_visit(const char *document, const wtcore_visitor *visitor, void *context) noexcept;
WT_ISA_END

namespace wt {
WT_ISA_BEGIN

// A run of bytes inside the caller's document; not NUL-terminated.
struct span {
    const char *p;
    size_t n;
};

inline unsigned char uc(char c) noexcept { return static_cast<unsigned char>(c); }

// Drops every byte <= 0x20 from the front, then from the back. A span of only
// such bytes becomes empty; a null pointer or zero length is left as it is.
inline span trim_both(span s) noexcept
{
    if (!s.p || s.n == 0) return s;
    const char *p = s.p;
    const char *end = p + s.n;
    while (p < end && uc(*p) <= 0x20) ++p;
    while (end > p && uc(end[-1]) <= 0x20) --end;
    return span{p, size_t(end - p)};
}

// Takes the next line of a NUL-terminated document from *pos: the bytes up to
// the next LF or the NUL, less one CR at its end, and moves *pos past the LF.
// Returns false once *pos is at the NUL: a final LF starts no further line.
bool next_line(const char **pos, span *line) noexcept;

// next_line that finds the LFs a block at a time and keeps the mask of the
// last block for the lines that follow in it. The document is not measured
// first: its end is found a piece at a time (strnlen) a little ahead of the
// lines, so that each piece is read from memory once and is still in the
// cache when the lines in it are split and rendered.
class line_splitter {
public:
    explicit line_splitter(const char *doc) noexcept : doc_(doc), pos_(doc), known_(doc), lfs_(doc, doc)
    {
        extend();
    }

    // The bytes up to and including *limit() are known to be readable: the
    // whole current line and, unless the document ends first, at least
    // `ahead` bytes after it.
    const char *limit() const noexcept { return known_; }

    bool next(span *line) noexcept
    {
        const char *start = pos_;
        if (start >= known_ && at_end_) return false;
        const char *lf = lfs_.next(start);
        while (lf >= known_ && !at_end_) { // the line goes on past the known part
            const char *searched = known_;   // no LF from start to here
            extend();
            lf = lfs_.next(searched);
        }
        if (!at_end_ && size_t(known_ - lf) < ahead) extend();
        pos_ = lf < known_ ? lf + 1 : lf;
        size_t n = size_t(lf - start);
        if (n > 0 && start[n - 1] == '\r') --n;
        *line = span{start, n};
        return true;
    }

private:
    static constexpr size_t piece = 16384; // stays in the first-level cache
    static constexpr size_t ahead = 512;   // more than any block read past a line's end

    void extend() noexcept
    {
        size_t n = strnlen(known_, piece);
        known_ += n;
        at_end_ = n < piece;
        lfs_ = wide_mark_cursor<byte_set<'\n'>>(doc_, known_);
    }

    const char *doc_;
    const char *pos_;
    const char *known_; // no NUL before here; *known_ is readable
    bool at_end_ = false;
    wide_mark_cursor<byte_set<'\n'>> lfs_;
};

// Heading rule for a line starting with '='. Returns true with the level (1-6)
// and the trimmed heading text, or false when the line is no heading. A line
// made only of 1 to 11 '=' (before trailing bytes <= 0x20) is no heading.
bool match_heading(span line, size_t *level, span *text) noexcept;

// Appends the anchor of a heading text: runs of space, tab and '_' become one
// '_', the bytes " & ' < > are dropped, no '_' at either end. Null or empty
// text appends nothing.
void generate_anchor(const char *text, size_t n, wt_buf *out) noexcept;

// generate_anchor into a fresh buffer: when the text is shorter than
// local_size bytes (the anchor is never longer than its text), the caller's
// storage `local` serves as the buffer and nothing is allocated. On a failed
// allocation anchor->failed is set. Release it with release_anchor.
inline void make_anchor(span text, char *local, size_t local_size, wt_buf *anchor) noexcept
{
    if (text.n < local_size) {
        *anchor = wt_buf{local, 0, local_size, 0};
        local[0] = '\0';
    } else {
        *anchor = wt_buf{};
        wt_buf_init(anchor, text.n + 16);
    }
    generate_anchor(text.p, text.n, anchor);
}

inline void release_anchor(wt_buf *anchor, const char *local) noexcept
{
    if (anchor->data != local) wt_buf_free(anchor);
}

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

// Renders one span of inline text into out. `counter` numbers unlabelled
// external links across the document; it may be null (every such link then
// shows [1]). Null text or n == 0 writes nothing.
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

inline constexpr int max_list_depth = 64;

// One open list level: the marker that opened it and whether its item is open.
struct list_level {
    char marker;
    int item_open;
};

// Closes every open level, deepest first (the item before its list), and sets
// *depth to 0. Nothing happens when a pointer is null or *depth <= 0.
void close_all_lists(list_level *stack, int *depth, wt_buf *out) noexcept;

// Appends the decimal form of v (v >= 0).
void append_decimal(wt_buf *out, long long v) noexcept;

WT_ISA_END
} // namespace wt

#endif
