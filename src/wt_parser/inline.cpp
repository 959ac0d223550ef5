// The inline renderer: one span of text at a time (a paragraph line, a heading
// text, a list item, a link label). At each position the recognisers are tried
// in a fixed order: comment, nowiki, allowed tag, quote run, internal link,
// external link, bare URL, and finally the escaping step.
//
// Linear time: the scan jumps from one trigger byte to the next and copies the
// plain bytes between with one append. Every search for a closer is confined to
// the span and remembered (search_memo), so a later opener never re-reads bytes
// that an earlier search has covered.
#include "wt_extended.h"
#include "wt_parser.h"
#include "wt_scan.h"

#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <climits>
#include <cstring>
#include <string_view>

namespace wt {
WT_ISA_BEGIN
namespace {

// The bytes at which some recogniser or the escaping step may act are
// < > & ' [ and ':'. The colon stands for the bare-URL recogniser: a URL is
// found at the colon of its "http:" or "https:" and its start is taken from the
// plain bytes before it, so that the frequent 'h' need not stop the scan. Only
// a colon followed by '/' is marked in bulk. Likewise only an apostrophe
// followed by another starts a quote run; a single one is plain text.
struct inline_marks {
    static constexpr int overread = 1; // the byte after each block
#if defined(WT_SIMD)
    static simd::mask_t at(const char *q) noexcept { return simd::mask(hits(q)); }
    static simd::cmp hits(const char *q) noexcept
    {
        using namespace simd;
        vec v = load(q);
        vec after = load(q + 1);
        cmp url = both(eq(v, ':'), eq(after, '/'));
        cmp quotes = both(eq(v, '\''), eq(after, '\''));
        // '<' 0x3C and '>' 0x3E are the bytes b with b | 2 == 0x3E.
        cmp angle = eq(with_bits(v, 2), 0x3E);
        cmp amp_bracket = either(eq(v, '&'), eq(v, '['));
        return either(either(url, angle), either(quotes, amp_bracket));
    }
#endif
    static bool one(const char *q) noexcept
    {
        switch (*q) {
        case '<': case '>': case '&': case '\'': case '[': case ':': return true;
        default: return false;
        }
    }
};

// ASCII letters (and digits) are what they are in every locale; only the
// bytes from 0x80 up ask the locale.
inline bool is_letter(unsigned char c) noexcept
{
    return unsigned((c | 0x20) - 'a') < 26u || (c >= 0x80 && std::isalpha(c));
}

inline bool is_alnum(unsigned char c) noexcept
{
    return unsigned(c - '0') < 10u || unsigned((c | 0x20) - 'a') < 26u || (c >= 0x80 && std::isalnum(c));
}

constexpr auto html_space = [] {
    std::array<unsigned char, 256> t{};
    for (unsigned char c : {'\t', '\n', '\f', '\r', ' '}) t[c] = 1;
    return t;
}();

bool starts_with(const char *p, const char *end, std::string_view lit) noexcept
{
    return size_t(end - p) >= lit.size() && std::memcmp(p, lit.data(), lit.size()) == 0;
}

bool balancing(const inline_context &cx) noexcept { return cx.tags != nullptr; }

// The state of one inline call. The readable range is copied from the
// context, so that the hot paths read it from the scan itself.
struct inline_scan {
    const char *end;
    wt_buf *out;
    const char *doc;
    const char *limit;
    const inline_context *cx;
    int floor = 0; // the elements of this call lie above this depth of the block's stack
    bool bold = false;
    bool italic = false;
    search_memo close_link{};   // "]]"
    search_memo close_ext{};    // "]"
    search_memo close_nowiki{}; // "</nowiki>"
};

void append_span(wt_buf *out, const char *p, const char *end) noexcept
{
    if (end > p) wt_buf_put(out, p, size_t(end - p));
}

// How many bytes copy_pieces reads and writes for n: the first 64 always, so
// that the usual short run costs no branch on its length, then whole 32-byte
// pieces up to n.
constexpr size_t piece_extent(size_t n) noexcept
{
    size_t whole = (n + 31) & ~size_t(31);
    return whole > 64 ? whole : 64;
}

// Copies n bytes as piece_extent(n) bytes; the caller makes sure that all of
// them may be read and written, and ignores those stored past n.
void copy_pieces(char *dst, const char *src, size_t n) noexcept
{
    char head[64];
    __builtin_memcpy(head, src, 64);
    __builtin_memcpy(dst, head, 64);
    for (size_t i = 64; i < n; i += 32) {
        char piece[32];
        __builtin_memcpy(piece, src + i, 32);
        __builtin_memcpy(dst + i, piece, 32);
    }
}

// Whether the bytes from p up to piece_extent(n) may be read. p is at most
// one past the limit (the end of a span at the document's end), where the
// count of readable bytes wraps to 0.
bool readable_pieces(const char *limit, const char *p, size_t n) noexcept
{
    return size_t(limit - p) + 1 >= piece_extent(n);
}

// Appends the plain run [p, q) of the span. When the pieces that cover it can
// be read (they lie within the document) and stored (into reserved room), it
// is copied with copy_pieces; the bytes stored past q are ignored.
void append_run(inline_scan &s, const char *p, const char *q) noexcept
{
    size_t n = size_t(q - p);
    wt_buf *out = s.out;
    if (readable_pieces(s.limit, p, n)) {
        if (char *dst = wt_buf_spare(out, piece_extent(n))) {
            copy_pieces(dst, p, n);
            wt_buf_commit(out, n);
            return;
        }
    }
    // A short run at the span's end: store the 32 bytes that end with it so
    // that they end where it must, then store back the 32 bytes of output that
    // stood before it, which that store may have overwritten.
    char *dst;
    if (n <= 32 && q - s.doc >= 32 && out->len >= 32 && (dst = wt_buf_spare(out, 32))) {
        char before[32], piece[32];
        __builtin_memcpy(before, dst - 32, 32);
        __builtin_memcpy(piece, q - 32, 32);
        __builtin_memcpy(dst + n - 32, piece, 32);
        __builtin_memcpy(dst - 32, before, 32);
        wt_buf_commit(out, n);
        return;
    }
    append_span(out, p, q);
}

// ---- Balanced elements ---------------------------------------------------

constexpr std::string_view tag_close_text[] = {
    "</b>", "</i>", "</u>", "</s>", "</del>", "</sub>", "</sup>", "</code>", "</span>", "</small>",
    "</em>", "</strong>", "</big>", "</tt>", "</var>", "</abbr>", "</cite>", "</q>", "</ins>", "</mark>",
    "</ruby>", "</rt>", "</rp>", "</div>", "</p>", "</blockquote>", "</center>"};

void write_close(wt_buf *out, tag_kind k) noexcept
{
    std::string_view t = tag_close_text[int(k)];
    wt_buf_put(out, t.data(), t.size());
}

// Writes an opening tag and records it, or drops it when the block's text
// already holds as many open tags as it may (`quote` ones always fit).
void open_element(tag_stack &t, wt_buf *out, tag_kind k, bool quote, const char *bytes, size_t len) noexcept
{
    if (!quote && t.text_tags >= tag_stack::max_text_tags) return;
    if (t.n >= tag_stack::capacity) return;
    size_t at = out->len;
    if (!wt_buf_put(out, bytes, len)) return;
    t.items[t.n++] = tag_stack::entry{k, quote, at, len};
    if (!quote) ++t.text_tags;
}

// Writes an element's opening tag once more, copied from where it first
// stands in the output, and records the new copy.
void reopen_element(tag_stack &t, wt_buf *out, const tag_stack::entry &e) noexcept
{
    char *dst = wt_buf_reserve(out, e.len);
    if (!dst) return;
    std::memcpy(dst, out->data + e.at, e.len);
    size_t at = out->len;
    wt_buf_commit(out, e.len);
    t.items[t.n++] = tag_stack::entry{e.kind, e.quote, at, e.len};
    if (!e.quote) ++t.text_tags;
}

// Closes the element at index `lowest` and all elements inside it, innermost
// first, then opens again those inside it, in their order, except the quote
// elements whose kind `dropped` names (bit 1 << kind).
void close_from(tag_stack &t, wt_buf *out, int lowest, unsigned dropped) noexcept
{
    if (lowest == t.n - 1) { // the innermost element: nothing to open again
        write_close(out, t.items[lowest].kind);
        if (!t.items[lowest].quote) --t.text_tags;
        t.n = lowest;
        return;
    }
    tag_stack::entry kept[tag_stack::capacity];
    int n_kept = 0;
    for (int j = t.n - 1; j >= lowest; --j) write_close(out, t.items[j].kind);
    for (int j = lowest; j < t.n; ++j) {
        const tag_stack::entry &e = t.items[j];
        if (!e.quote) --t.text_tags;
        if (j > lowest && !(e.quote && (dropped >> int(e.kind) & 1))) kept[n_kept++] = e;
    }
    t.n = lowest;
    for (int j = 0; j < n_kept; ++j) reopen_element(t, out, kept[j]);
}

// The innermost element of a kind above the call's floor (quote elements only
// when `quote_only`), or -1.
int find_element(const inline_scan &s, tag_kind k, bool quote_only) noexcept
{
    const tag_stack &t = *s.cx->tags;
    for (int j = t.n - 1; j >= s.floor; --j)
        if (t.items[j].kind == k && (t.items[j].quote || !quote_only)) return j;
    return -1;
}

constexpr unsigned kind_bit(tag_kind k) noexcept { return 1u << int(k); }

// Toggles a quote-run style (bold or italic) through the block's elements.
void toggle_quote(inline_scan &s, tag_kind k, bool &open) noexcept
{
    tag_stack &t = *s.cx->tags;
    if (open) {
        int j = find_element(s, k, true);
        if (j >= 0) close_from(t, s.out, j, kind_bit(k));
    } else {
        open_element(t, s.out, k, true, k == tag_kind::b ? "<b>" : "<i>", 3);
    }
    open = !open;
}

// Closes what this call's quote runs left open, keeping the block's other
// elements open.
void close_quotes(inline_scan &s) noexcept
{
    tag_stack &t = *s.cx->tags;
    int lowest = -1;
    for (int j = t.n - 1; j >= s.floor; --j)
        if (t.items[j].quote) lowest = j;
    if (lowest >= 0) close_from(t, s.out, lowest, kind_bit(tag_kind::b) | kind_bit(tag_kind::i));
    s.bold = s.italic = false;
}

// Quote run at p: 2 toggles italic, 3 bold, 4 writes one apostrophe and
// toggles bold, 5 or more consumes exactly 5 and switches both. A single
// apostrophe is written as text. Returns the position after the run.
const char *quote_run(inline_scan &s, const char *p) noexcept
{
    size_t r = 1;
    while (r < 5 && p + r < s.end && p[r] == '\'') ++r;
    wt_buf *out = s.out;
    if (balancing(*s.cx) && r > 1) {
        if (r == 4) wt_buf_put_char(out, '\'');
        if (r == 2) {
            toggle_quote(s, tag_kind::i, s.italic);
        } else if (r < 5) {
            toggle_quote(s, tag_kind::b, s.bold);
        } else if (s.bold && s.italic) {
            int jb = find_element(s, tag_kind::b, true), ji = find_element(s, tag_kind::i, true);
            int lowest = jb < ji ? jb : ji;
            if (lowest >= 0) close_from(*s.cx->tags, out, lowest, kind_bit(tag_kind::b) | kind_bit(tag_kind::i));
            s.bold = s.italic = false;
        } else {
            // One of the two closes, or neither is open: bold is handled first,
            // as the fixed fragments of the unbalanced output do.
            if (s.italic) {
                toggle_quote(s, tag_kind::i, s.italic);
                toggle_quote(s, tag_kind::b, s.bold);
            } else {
                toggle_quote(s, tag_kind::b, s.bold);
                toggle_quote(s, tag_kind::i, s.italic);
            }
        }
        return p + r;
    }
    // The text format reads no tag of these: only the apostrophes they leave.
    const bool tags = !s.cx->cfg->for_text;
    switch (r) {
    case 1:
        wt_buf_put_char(out, '\'');
        break;
    case 2:
        if (tags) s.italic ? wt_buf_append_lit(out, "</i>") : wt_buf_append_lit(out, "<i>");
        s.italic = !s.italic;
        break;
    case 4:
        wt_buf_put_char(out, '\'');
        [[fallthrough]];
    case 3:
        if (tags) s.bold ? wt_buf_append_lit(out, "</b>") : wt_buf_append_lit(out, "<b>");
        s.bold = !s.bold;
        break;
    default:
        // The fragments are fixed: they need not nest with the order in which
        // bold and italic were opened.
        if (!tags) {
        } else if (s.bold && s.italic) wt_buf_append_lit(out, "</i></b>");
        else if (s.bold) wt_buf_append_lit(out, "</b><i>");
        else if (s.italic) wt_buf_append_lit(out, "</i><b>");
        else wt_buf_append_lit(out, "<b><i>");
        s.bold = !s.bold;
        s.italic = !s.italic;
        break;
    }
    return p + r;
}

// ---- Link addresses --------------------------------------------------------

// Each byte as a percent-encoded path writes it: the unreserved bytes and
// / : @ ! $ ' ( ) * + , ; = as they are, a space as '_' (the wiki's rule comes
// first), anything else as %XX.
struct path_byte {
    char text[3];
    unsigned char n;
};

constexpr auto path_bytes = [] {
    std::array<path_byte, 256> t{};
    constexpr char hex[] = "0123456789ABCDEF";
    auto keeps = [](int c) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
        for (char k : {'-', '.', '_', '~', '/', ':', '@', '!', '$', '\'', '(', ')', '*', '+', ',', ';', '='})
            if (c == k) return true;
        return false;
    };
    for (int c = 0; c < 256; ++c) {
        if (keeps(c) || c == ' ') t[c] = path_byte{{c == ' ' ? '_' : char(c), 0, 0}, 1};
        else t[c] = path_byte{{'%', hex[c >> 4], hex[c & 15]}, 3};
    }
    return t;
}();

// Writes a target percent-encoded as a path, its spaces made '_' first, to d,
// which has room for 3 * t.n bytes; returns the end of what it wrote. Every
// byte stores three and keeps as many as it needs, so the loop has no branch
// on the text.
char *put_encoded_target(char *d, span t) noexcept
{
    for (size_t i = 0; i < t.n; ++i) {
        const path_byte &b = path_bytes[uc(t.p[i])];
        __builtin_memcpy(d, b.text, 3);
        d += b.n;
    }
    return d;
}

// Appends a target percent-encoded as a path, in one pass into room for the
// longest result.
void append_encoded_target(wt_buf *out, span t) noexcept
{
    char *d = t.n <= (SIZE_MAX - 1) / 3 ? wt_buf_reserve(out, 3 * t.n) : nullptr;
    if (!d) {
        if (out) out->failed = 1;
        return;
    }
    wt_buf_commit(out, size_t(put_encoded_target(d, t) - d));
}

// A page or a fragment of a link address, by the options' rule.
void append_target(const inline_scan &s, span t) noexcept
{
    if (s.cx->cfg->flags & WTCORE_ENCODE_TARGETS) append_encoded_target(s.out, t);
    else wt_buf_append_wiki_url(s.out, t.p, t.n, s.limit);
}

// Whether a page name has a "." or ".." path segment, which would climb out
// of the address the template gives.
bool has_dot_segment(span page) noexcept
{
    const char *p = page.p, *end = page.p + page.n;
    while (p <= end) {
        const char *slash = static_cast<const char *>(std::memchr(p, '/', size_t(end - p)));
        const char *seg_end = slash ? slash : end;
        size_t n = size_t(seg_end - p);
        if ((n == 1 && p[0] == '.') || (n == 2 && p[0] == '.' && p[1] == '.')) return true;
        if (!slash) break;
        p = slash + 1;
    }
    return false;
}

// Whether an address that begins with this page name would be read by a
// browser as one with a scheme or a host of the text's choosing: a ':' before
// any '/', or two leading slashes; with encoded targets, any leading slash.
bool page_needs_dot_slash(span page, bool encoded) noexcept
{
    if (page.n == 0) return false;
    auto slash = [](char c) { return c == '/' || c == '\\'; };
    if (slash(page.p[0]) && (encoded || (page.n > 1 && slash(page.p[1])))) return true;
    for (size_t i = 0; i < page.n && page.p[i] != '/'; ++i)
        if (page.p[i] == ':') return true;
    return false;
}

// Writes the opening tag of an internal link under the options: the section
// link "#fragment", or the link template with each "$1" replaced by the page
// part of the target, then "#fragment" when the target has one; class="new"
// when page_exists says the page is missing. Returns false, having written
// nothing, when the target cannot be a link (a dot segment in an encoded
// target).
__attribute__((noinline)) bool append_link_open(inline_scan &s, span target) noexcept
{
    const wt_config &cfg = *s.cx->cfg;
    const bool encoded = cfg.flags & WTCORE_ENCODE_TARGETS;
    wt_buf *out = s.out;
    auto hash = static_cast<const char *>(target.n ? std::memchr(target.p, '#', target.n) : nullptr);
    span page = hash ? span{target.p, size_t(hash - target.p)} : target;
    span fragment = hash ? span{hash + 1, size_t(target.p + target.n - (hash + 1))} : span{nullptr, 0};
    const bool section = hash == target.p;
    if (encoded && !section && has_dot_segment(page)) return false;

    wt_buf_append_lit(out, "<a href=\"");
    if (!section && (!cfg.link_template || cfg.link_template_simple)) {
        std::string_view tpl = cfg.link_template ? std::string_view(cfg.link_template, cfg.link_template_len)
                                                 : std::string_view("/wiki/$1");
        size_t var = cfg.link_template ? cfg.link_var : 6;
        wt_buf_put(out, tpl.data(), var);
        if (var == 0 && page_needs_dot_slash(page, encoded)) wt_buf_append_lit(out, "./");
        append_target(s, page);
        wt_buf_put(out, tpl.data() + var + 2, tpl.size() - var - 2);
    } else if (!section) {
        append_address_template(out, std::string_view(cfg.link_template, cfg.link_template_len), [&](size_t var) {
            if (var == 0 && page_needs_dot_slash(page, encoded)) wt_buf_append_lit(out, "./");
            append_target(s, page);
        });
    }
    if (hash) {
        wt_buf_put_char(out, '#');
        append_target(s, fragment);
    }
    wt_buf_put_char(out, '"');
    if (!section && cfg.page_exists) {
        span name = trim_both(page);
        if (!cfg.page_exists(cfg.context, name.p, name.n)) wt_buf_append_lit(out, " class=\"new\"");
    }
    wt_buf_put_char(out, '>');
    return true;
}

// ---- Internal links ---------------------------------------------------------

// A link label: copied whole when it holds no markup byte, else rendered as a
// label (its elements close within it; with balancing, no link inside it).
void render_label(inline_scan &s, span label) noexcept
{
    const char *end = label.p + label.n;
    if (label.n && scan_marks<inline_marks>(label.p, end, s.doc) == end) {
        wt_buf_put(s.out, label.p, label.n);
        return;
    }
    inline_context cx = *s.cx;
    cx.in_link = true;
    parse_inline(label.p, label.n, s.out, cx);
}

// The fixed parts of an internal link under the default address rule, for
// the fast paths that write a whole link into reserved room: the opening up to
// the destination, the end of the opening tag, and the trail with the closing
// tag. Each returns where the next part goes.
char *put_link_start(char *d, bool section) noexcept
{
    static const char wiki_open[16] = "<a href=\"/wiki/";
    static const char section_open[16] = "<a href=\"#";
    __builtin_memcpy(d, section ? section_open : wiki_open, 16);
    return d + (section ? 10 : 15);
}

char *put_link_label_start(char *d) noexcept
{
    __builtin_memcpy(d, "\">", 2);
    return d + 2;
}

char *put_link_end(char *d, span trail) noexcept
{
    if (trail.n) {
        __builtin_memcpy(d, trail.p, trail.n);
        d += trail.n;
    }
    __builtin_memcpy(d, "</a>", 4);
    return d + 4;
}

// The common internal link under the default address rule, whose destination
// needs no escaping and whose label is plain text (`label_plain` when the
// caller already knows it), written with one reservation and no per-piece
// checks. The destination goes 16 bytes and the label 32 bytes at a time,
// reading only bytes up to the document's readable limit; bytes stored beyond
// each piece land in the reserved room and are overwritten. Returns false,
// having committed nothing, for any other link.
bool plain_link(inline_scan &s, span dest, bool section, span label, span trail, bool label_plain) noexcept
{
    size_t dest_chunks = (dest.n + 15) / 16;
    size_t label_whole = piece_extent(label.n);
    if (dest_chunks > 4 || (dest.n && (s.limit < dest.p || size_t(s.limit - dest.p) + 1 < dest_chunks * 16)) ||
        !readable_pieces(s.limit, label.p, label.n))
        return false;
    const char *label_end = label.p + label.n;
    if (!label_plain && label.n && scan_marks<inline_marks>(label.p, label_end, s.doc) != label_end)
        return false;
    char *d = wt_buf_reserve(s.out, 15 + dest_chunks * 16 + 2 + label_whole + trail.n + 4);
    if (!d) return false;
    char *const start = d;
    d = put_link_start(d, section);
    if (!copy_underscored_pieces(d, dest.p, dest.n)) return false;
    d = put_link_label_start(d + dest.n);
    copy_pieces(d, label.p, label.n);
    d = put_link_end(d + label.n, trail);
    wt_buf_commit(s.out, size_t(d - start));
    return true;
}

// The writer of the fast paths for the other options (a link template with
// one "$1" and nothing to escape, encoded targets, red links): the address is
// the template's two pieces around the page, all in one reservation with
// `page_room` bytes for the page and `label_room` for the label, which
// copy_label stores (label_n of them count). Returns false, having written
// nothing, when the page holds '#' or '"', or under encoding a dot segment,
// or would give the address a scheme or host.
template <class CopyLabel>
__attribute__((always_inline)) inline bool put_templated_link(inline_scan &s, span page, bool section, size_t page_room,
                                                              size_t label_n, size_t label_room,
                                                              CopyLabel copy_label, span trail) noexcept
{
    const wt_config &cfg = *s.cx->cfg;
    const bool encoded = cfg.flags & WTCORE_ENCODE_TARGETS;
    static const char section_pre[32] = "#";
    static const char no_post[32] = "";
    const char *pre = section ? section_pre : cfg.link_pre, *post = section ? no_post : cfg.link_post;
    size_t pre_n = section ? 1 : cfg.link_pre_n, post_n = section ? 0 : cfg.link_post_n;
    if (!section && pre_n == 0 && page_needs_dot_slash(page, encoded)) return false;
    char *d = wt_buf_reserve(s.out, 9 + 32 + page_room + 32 + 14 + label_room + trail.n + 4);
    if (!d) return false;
    char *const start = d;
    __builtin_memcpy(d, "<a href=\"", 9);
    __builtin_memcpy(d + 9, pre, 32);
    d += 9 + pre_n;
    unsigned cls = copy_target_pieces(d, page.p, page.n);
    if ((cls & target_quote_or_hash) || (encoded && (cls & target_dot) && !section && has_dot_segment(page)))
        return false;
    d = encoded && (cls & target_encodes) ? put_encoded_target(d, page) : d + page.n;
    bool missing = false;
    if (!section && cfg.page_exists) {
        span name = trim_both(page);
        missing = !cfg.page_exists(cfg.context, name.p, name.n);
    }
    __builtin_memcpy(d, post, 32);
    d += post_n;
    if (missing) {
        __builtin_memcpy(d, "\" class=\"new", 12);
        d += 12;
    }
    d = put_link_label_start(d);
    copy_label(d);
    d = put_link_end(d + label_n, trail);
    wt_buf_commit(s.out, size_t(d - start));
    return true;
}

// plain_link for the other options: the same pieces read 16 and 32 bytes at a
// time within the document's readable limit. Returns false, having written
// nothing and asked nothing, for any link the general path must write.
__attribute__((noinline)) bool templated_link(inline_scan &s, span dest, bool section, span label, span trail, bool label_plain) noexcept
{
    const wt_config &cfg = *s.cx->cfg;
    size_t dest_chunks = (dest.n + 15) / 16;
    if ((cfg.link_template && !cfg.link_template_simple) || dest_chunks > 4 ||
        (dest.n && (s.limit < dest.p || size_t(s.limit - dest.p) + 1 < dest_chunks * 16)) ||
        !readable_pieces(s.limit, label.p, label.n))
        return false;
    const char *label_end = label.p + label.n;
    if (!label_plain && label.n && scan_marks<inline_marks>(label.p, label_end, s.doc) != label_end)
        return false;
    size_t dest_room = dest_chunks * 16 > 3 * dest.n ? dest_chunks * 16 : 3 * dest.n;
    return put_templated_link(s, dest, section, dest_room, label.n, piece_extent(label.n),
                              [&](char *d) { copy_pieces(d, label.p, label.n); }, trail);
}

// An internal link for the text format, which reads no tag of it: the label
// and the trail alone. Returns false, having written nothing, where
// append_link_open would: the target cannot be a link.
__attribute__((noinline)) bool text_link(inline_scan &s, span target, span label, span trail) noexcept
{
    if ((s.cx->cfg->flags & WTCORE_ENCODE_TARGETS) && !(target.n && target.p[0] == '#')) {
        auto hash = static_cast<const char *>(target.n ? std::memchr(target.p, '#', target.n) : nullptr);
        if (has_dot_segment(hash ? span{target.p, size_t(hash - target.p)} : target)) return false;
    }
    render_label(s, label);
    append_span(s.out, trail.p, trail.p + trail.n);
    return true;
}

// Writes an internal link: its address by the options' rule, the label, and
// the trail inside the link. Returns false, having written nothing, when the
// target cannot be a link.
bool write_internal_link(inline_scan &s, span target, span label, span trail, bool label_plain = false) noexcept
{
    const bool section = target.n > 0 && target.p[0] == '#';
    wt_buf *out = s.out;
    span dest = section ? span{target.p + 1, target.n - 1} : target;
    if (!s.cx->cfg->plain_links) { // the text format sets plain_links false
        if (s.cx->cfg->for_text) return text_link(s, target, label, trail);
        if (templated_link(s, dest, section, label, trail, label_plain)) return true;
    }
    if (s.cx->cfg->plain_links) {
        if (plain_link(s, dest, section, label, trail, label_plain)) return true;
        if (section) wt_buf_append_lit(out, "<a href=\"#");
        else wt_buf_append_lit(out, "<a href=\"/wiki/");
        wt_buf_append_wiki_url(out, dest.p, dest.n, s.limit);
        wt_buf_append_lit(out, "\">");
    } else if (!append_link_open(s, target)) {
        return false;
    }
    render_label(s, label);
    append_span(out, trail.p, trail.p + trail.n);
    wt_buf_append_lit(out, "</a>");
    return true;
}

// The letters after a link's "]]" that join its text.
span link_trail(const inline_scan &s, const char *p) noexcept
{
    const char *e = p;
    while (e < s.end && is_letter(uc(*e))) ++e;
    return span{p, size_t(e - p)};
}

#if defined(WT_SIMD)
// What the W bytes at q (W = 32 or 64) hold for an internal link written
// there: bit i of each mask stands for q[i]. Reads q[W] too (see
// inline_marks).
template <int W>
struct link_window {
    uint64_t close = 0; // ']'
    uint64_t bar = 0;   // '|'
    uint64_t space = 0; // bytes <= 0x20, which trimming drops
    uint64_t bad = 0;   // '"' and markup: neither destination nor label is plain

    explicit link_window(const char *q) noexcept
    {
        constexpr int block = simd::block;
        for (int k = 0; k * block < W; ++k) { // one block may be wider than W
            const char *b = q + k * block;
            simd::vec v = simd::load(b);
            const int at = k * block;
            close |= uint64_t(simd::mask(simd::eq(v, ']'))) << at;
            bar |= uint64_t(simd::mask(simd::eq(v, '|'))) << at;
            space |= uint64_t(simd::mask(simd::at_most(v, 0x20))) << at;
            bad |= uint64_t(simd::mask(simd::either(simd::eq(v, '"'), inline_marks::hits(b)))) << at;
        }
    }
};

// The bits below bit n (n <= 64).
inline uint64_t bits_below(size_t n) noexcept
{
    return n >= 64 ? ~uint64_t(0) : (uint64_t(1) << n) - 1;
}

// The range [a, e) of a window, both ends trimmed of the bytes that `space`
// marks, the way trim_both trims.
struct window_range {
    size_t a, e;
};

inline window_range trimmed(uint64_t space, size_t a, size_t e) noexcept
{
    uint64_t kept = ~space & bits_below(e) & ~bits_below(a);
    if (!kept) return {e, e};
    return {size_t(__builtin_ctzll(kept)), size_t(64 - __builtin_clzll(kept))};
}

// templated_link for a link that short_link found: its destination and its
// plain label lie within the W bytes at w, of which 128 may be read, so the
// pieces need no bounds checks and the label goes in one store of W bytes.
template <int W>
__attribute__((noinline)) bool templated_short_link(inline_scan &s, const char *w, window_range dest,
                                                    window_range label, bool section, span trail) noexcept
{
    const wt_config &cfg = *s.cx->cfg;
    if (cfg.link_template && !cfg.link_template_simple) return false;
    return put_templated_link(s, span{w + dest.a, dest.e - dest.a}, section, 3 * W, label.e - label.a, W,
                              [&](char *d) {
                                  char piece[W];
                                  __builtin_memcpy(piece, w + label.a, W);
                                  __builtin_memcpy(d, piece, W);
                              },
                              trail);
}

// The usual internal link, whose text from "[[" to "]]" fits one window of W
// bytes, whose destination needs no escaping and whose label is plain text:
// its parts found with a fixed number of block operations and no loop over
// its bytes (the same split as the general path below), then written by the
// common writer. Returns the position after the link and its trail, or
// nullptr, having written nothing, for any other link or when the window
// would pass the readable end of the document. *wider is set when no "]]"
// lies within the window.
template <int W>
const char *short_link(inline_scan &s, const char *p, bool *wider) noexcept
{
    const char *w = p + 2;
    if (s.limit - w < 128) return nullptr;
    link_window<W> win(w);

    // The first "]]" that lies wholly within the span; one that starts at the
    // window's last byte is left to a wider window or the general path.
    size_t span_left = size_t(s.end - w);
    uint64_t pairs = win.close & (win.close >> 1) & bits_below(span_left ? span_left - 1 : 0) &
                     bits_below(W - 1);
    if (!pairs) {
        *wider = true;
        return nullptr;
    }
    size_t close = size_t(__builtin_ctzll(pairs));

    uint64_t bars = win.bar & bits_below(close);
    window_range target{0, close}, label{0, close};
    if (bars) {
        size_t bar = size_t(__builtin_ctzll(bars));
        target = trimmed(win.space, 0, bar);
        label = trimmed(win.space, bar + 1, close);
    } else {
        target = label = trimmed(win.space, 0, close);
    }
    bool section = target.e > target.a && w[target.a] == '#';
    window_range dest{target.a + section, target.e};
    if (win.bad & ((bits_below(dest.e) & ~bits_below(dest.a)) | (bits_below(label.e) & ~bits_below(label.a))))
        return nullptr;
    span trail = link_trail(s, w + close + 2);
    if (!s.cx->cfg->plain_links) {
        if (s.cx->cfg->for_text) {
            // The text reads the label and the trail alone; an encoded
            // target's dot segments are left to the general path.
            if (s.cx->cfg->flags & WTCORE_ENCODE_TARGETS) return nullptr;
            char *d = wt_buf_reserve(s.out, W + trail.n);
            if (!d) return nullptr;
            char piece[W];
            __builtin_memcpy(piece, w + label.a, W);
            __builtin_memcpy(d, piece, W);
            d += label.e - label.a;
            if (trail.n) __builtin_memcpy(d, trail.p, trail.n);
            wt_buf_commit(s.out, label.e - label.a + trail.n);
        } else if (!templated_short_link<W>(s, w, dest, label, section, trail)) {
            return nullptr;
        }
        return trail.p + trail.n;
    }

    // Written from the window with stores of fixed size into one reservation;
    // what lands past each part is overwritten by the next.
    char *d = wt_buf_reserve(s.out, 15 + W + 2 + W + trail.n + 4);
    if (!d) return nullptr;
    char *const start = d;
    d = put_link_start(d, section);
    copy_underscored_pieces(d, w + dest.a, W);
    d = put_link_label_start(d + (dest.e - dest.a));
    char piece[W];
    __builtin_memcpy(piece, w + label.a, W);
    __builtin_memcpy(d, piece, W);
    d = put_link_end(d + (label.e - label.a), trail);
    wt_buf_commit(s.out, size_t(d - start));
    return trail.p + trail.n;
}
#endif

// Internal link at p ("[[" already seen). Returns the position after the link
// and its trail, or nullptr when no "]]" closes it within the span or its
// target cannot be a link.
__attribute__((always_inline)) inline const char *internal_link(inline_scan &s, const char *p) noexcept
{
#if defined(WT_SIMD)
    {
        bool wider = false;
        if (const char *next = short_link<32>(s, p, &wider)) return next;
        if (wider)
            if (const char *next = short_link<64>(s, p, &wider)) return next;
    }
#endif
    const char *close = s.close_link.find(p + 2, [&](const char *q) { return find_pair<']'>(q, s.end, s.doc); });
    if (!close) return nullptr;
    span target, label;
    split_link(span{p + 2, size_t(close - (p + 2))}, &target, &label, s.doc);
    span trail = link_trail(s, close + 2);
    if (!write_internal_link(s, target, label, trail)) return nullptr;
    return trail.p + trail.n;
}

// ---- External links and bare URLs -------------------------------------------

void append_external_open(const inline_scan &s, const char *url, size_t n) noexcept
{
    wt_buf *out = s.out;
    wt_buf_append_lit(out, "<a href=\"");
    wt_buf_append_attr_value(out, url, n);
    if (s.cx->cfg->default_rel) {
        wt_buf_append_lit(out, "\" class=\"external\" rel=\"nofollow\">");
    } else if (s.cx->cfg->rel_len) {
        wt_buf_append_lit(out, "\" class=\"external\" rel=\"");
        wt_buf_append_html_escaped(out, s.cx->cfg->rel, s.cx->cfg->rel_len);
        wt_buf_append_lit(out, "\">");
    } else {
        wt_buf_append_lit(out, "\" class=\"external\">");
    }
}

// Whether links are written here: not inside another link's label when tags
// are balanced, where a link's text stands without its element, and not for
// the text format, which reads no tag of them.
bool links_allowed(const inline_scan &s) noexcept
{
    return !(s.cx->in_link && balancing(*s.cx)) && !s.cx->cfg->for_text;
}

// Bracketed external link at p ('[' not followed by '['). Returns the position
// after its ']', or nullptr when it is not one.
const char *external_link(inline_scan &s, const char *p) noexcept
{
    const char *url = p + 1;
    if (!starts_with(url, s.end, "http://") && !starts_with(url, s.end, "https://") &&
        !starts_with(url, s.end, "ftp://") && !starts_with(url, s.end, "mailto:"))
        return nullptr;
    const char *close = s.close_ext.find(url, [&](const char *q) {
        const char *c = scan_for<']'>(q, s.end, s.doc);
        return c == s.end ? nullptr : c;
    });
    if (!close) return nullptr;

    // The first space separates URL and label; a tab only when there is no space.
    size_t inner_n = size_t(close - url);
    auto sep = static_cast<const char *>(std::memchr(url, ' ', inner_n));
    if (!sep) sep = static_cast<const char *>(std::memchr(url, '\t', inner_n));
    const char *url_end = sep ? sep : close;
    span label = sep ? trim_both(span{sep + 1, size_t(close - (sep + 1))}) : span{nullptr, 0};

    wt_buf *out = s.out;
    const bool element = links_allowed(s);
    if (element) append_external_open(s, url, size_t(url_end - url));
    if (label.n > 0) {
        render_label(s, label);
    } else {
        int number = 1;
        if (s.cx->counter) {
            if (*s.cx->counter < INT_MAX) ++*s.cx->counter;
            number = *s.cx->counter;
        }
        wt_buf_put_char(out, '[');
        append_decimal(out, size_t(number));
        wt_buf_put_char(out, ']');
    }
    if (element) wt_buf_append_lit(out, "</a>");
    return close + 1;
}

// Bare URL starting at p, whose prefix is known to be there. Returns its end.
const char *bare_url(inline_scan &s, const char *p) noexcept
{
    const char *q = scan_url_end(p, s.end, s.doc);
    size_t n = size_t(q - p);
    const bool element = links_allowed(s);
    if (element) append_external_open(s, p, n); // a URL holds no '"': it is a terminator
    wt_buf_append(s.out, p, n);
    if (element) wt_buf_append_lit(s.out, "</a>");
    return q;
}

// ---- Tags ---------------------------------------------------------------------

// One attribute of a tag, as an HTML tokenizer reads it.
struct attribute {
    span name;
    span value;  // without its quotes
    bool has_value;
};

// Reads the attributes of the tag at s, whose name ends at offset `i`, the
// way an HTML tokenizer reads them, calling fn(attribute) for each. Returns
// the tag's length, or 0 when it is refused: an attribute name that begins
// with "on" (any case), a tag or quoted value that does not end within n
// bytes, or a '<' in it after its first byte. The last rule keeps every such
// scan short of the next '<', so successive tags are never re-read.
template <class Fn>
size_t read_attributes(const char *s, size_t n, size_t i, Fn fn) noexcept
{
    for (;;) {
        while (i < n && (html_space[uc(s[i])] || s[i] == '/')) ++i;
        if (i >= n || s[i] == '<') return 0;
        if (s[i] == '>') return i + 1;
        size_t name = i++;
        while (i < n && !html_space[uc(s[i])] && s[i] != '/' && s[i] != '>' && s[i] != '=') {
            if (s[i] == '<') return 0;
            ++i;
        }
        if (i - name >= 2 && (s[name] | 0x20) == 'o' && (s[name + 1] | 0x20) == 'n') return 0;
        attribute a{span{s + name, i - name}, span{nullptr, 0}, false};
        while (i < n && html_space[uc(s[i])]) ++i;
        if (i < n && s[i] == '=') {
            ++i;
            while (i < n && html_space[uc(s[i])]) ++i;
            a.has_value = true;
            if (i < n && (s[i] == '"' || s[i] == '\'')) {
                char quote = s[i++];
                size_t v = i;
                while (i < n && s[i] != quote) {
                    if (s[i] == '<') return 0;
                    ++i;
                }
                if (i >= n) return 0;
                a.value = span{s + v, i - v};
                ++i;
            } else {
                size_t v = i;
                while (i < n && !html_space[uc(s[i])] && s[i] != '>') {
                    if (s[i] == '<') return 0;
                    ++i;
                }
                a.value = span{s + v, i - v};
            }
        }
        fn(a);
    }
}

// Attributed span tag at s ("<span " seen): its length, or 0 when refused.
size_t match_span_tag(const char *s, size_t n) noexcept
{
    // The tag is written as it stands, so a quote in an attribute name makes
    // it text: readers other than a browser's take it for the start of a
    // value and end the tag elsewhere.
    bool quoted_name = false;
    const size_t len = read_attributes(s, n, 5, [&](const attribute &a) {
        for (size_t i = 0; i < a.name.n; ++i) quoted_name |= a.name.p[i] == '"' || a.name.p[i] == '\'';
    });
    return quoted_name ? 0 : len;
}

bool name_is(span name, std::string_view want) noexcept
{
    if (name.n != want.size()) return false;
    for (size_t i = 0; i < name.n; ++i)
        if ((uc(name.p[i]) | 0x20) != uc(want[i])) return false;
    return true;
}

// A named character reference that the check below decodes; any other name
// makes it refuse the value.
struct css_entity {
    std::string_view name;
    char c;
};
constexpr css_entity css_entities[] = {
    {"amp", '&'}, {"lt", '<'},  {"gt", '>'},     {"quot", '"'},  {"apos", '\''}, {"nbsp", ' '},
    {"colon", ':'}, {"lpar", '('}, {"rpar", ')'}, {"sol", '/'},   {"bsol", '\\'}, {"semi", ';'},
    {"ast", '*'},  {"excl", '!'}, {"num", '#'},   {"period", '.'}, {"commat", '@'}, {"Tab", ' '},
    {"NewLine", ' '},
};

// Whether a style attribute's value is safe: with character references,
// CSS comments and CSS escapes decoded or removed, it loads nothing (no url(,
// image(, image-set(, expression, @import, behavior, -moz-binding) and does
// not take the element out of the flow (a position other than static or
// relative). Anything it cannot read for sure is unsafe.
bool safe_style(span value) noexcept
{
    // Pass 1: character references, as the attribute's value reaches CSS.
    // Pass 2: comments and escapes. Both shrink the text, so a buffer of the
    // value's size holds each; a long value is refused rather than read in
    // pieces.
    char a[1024], b[1024];
    if (value.n > sizeof a) return false;
    size_t na = 0;
    for (size_t i = 0; i < value.n;) {
        char c = value.p[i];
        if (c != '&') {
            a[na++] = c;
            ++i;
            continue;
        }
        size_t j = i + 1;
        if (j < value.n && value.p[j] == '#') {
            ++j;
            bool hex = j < value.n && (value.p[j] | 0x20) == 'x';
            if (hex) ++j;
            unsigned long cp = 0;
            size_t digits = 0;
            while (j < value.n && digits < 8) {
                unsigned char d = uc(value.p[j]);
                int v = d >= '0' && d <= '9' ? d - '0' : hex && (d | 0x20) >= 'a' && (d | 0x20) <= 'f' ? (d | 0x20) - 'a' + 10 : -1;
                if (v < 0) break;
                cp = cp * (hex ? 16 : 10) + unsigned(v);
                ++j, ++digits;
            }
            if (!digits || cp == 0 || cp > 0x7F) return false; // only ASCII can spell a keyword
            if (j < value.n && value.p[j] == ';') ++j;
            a[na++] = char(cp);
            i = j;
            continue;
        }
        size_t k = j;
        while (k < value.n && is_alnum(uc(value.p[k]))) ++k;
        if (k == j) {
            a[na++] = '&';
            ++i;
            continue;
        }
        std::string_view name(value.p + j, k - j);
        const css_entity *hit = nullptr;
        for (const css_entity &e : css_entities)
            if (e.name == name) hit = &e;
        if (!hit) return false;
        a[na++] = hit->c;
        i = k < value.n && value.p[k] == ';' ? k + 1 : k;
    }
    size_t nb = 0;
    for (size_t i = 0; i < na;) {
        if (a[i] == '/' && i + 1 < na && a[i + 1] == '*') {
            size_t j = i + 2;
            while (j + 1 < na && !(a[j] == '*' && a[j + 1] == '/')) ++j;
            // CSS ends an open comment with the value, but what it hides would
            // still be written: such a style is refused, not trusted.
            if (j + 1 >= na) return false;
            i = j + 2;
            continue;
        }
        if (a[i] == '\\') {
            size_t j = i + 1;
            unsigned long cp = 0;
            size_t digits = 0;
            while (j < na && digits < 6 && std::isxdigit(uc(a[j]))) {
                unsigned char d = uc(a[j]) | 0x20;
                cp = cp * 16 + (d <= '9' ? d - '0' : d - 'a' + 10);
                ++j, ++digits;
            }
            if (digits) {
                if (cp > 0x7F) return false;
                if (j < na && html_space[uc(a[j])]) ++j;
                b[nb++] = char(cp);
                i = j;
            } else if (j < na) {
                if (a[j] != '\n') b[nb++] = a[j];
                i = j + 1;
            } else {
                i = j;
            }
            continue;
        }
        b[nb++] = a[i++];
    }
    // Compared in lower case with white space and controls gone: the value
    // as CSS reads it, and also as written (references decoded, comments and
    // backslashes left in), so that no word a reader of the page's HTML would
    // see survives, even one that CSS itself takes apart.
    auto harmless = [](char *t, size_t nt, bool drop_backslashes) {
        size_t n = 0;
        for (size_t i = 0; i < nt; ++i) {
            unsigned char c = uc(t[i]);
            if (c <= 0x20 || c == 0x7F || (drop_backslashes && c == '\\')) continue;
            t[n++] = char(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
        }
        std::string_view css(t, n);
        for (std::string_view bad : {"url(", "image(", "image-set(", "expression", "@import", "behavior", "-moz-binding"})
            if (css.find(bad) != css.npos) return false;
        for (size_t at = css.find("position:"); at != css.npos; at = css.find("position:", at + 1)) {
            std::string_view rest = css.substr(at + 9);
            rest = rest.substr(0, rest.find_first_of(";!}"));
            if (rest != "static" && rest != "relative") return false;
        }
        return true;
    };
    return harmless(b, nb, false) && harmless(a, na, true);
}

// Writes an attributed span tag keeping only class, title, lang, dir and a
// safe style, each once (the first wins, as in HTML), quoted with '"'.
void write_safe_span(wt_buf *out, const char *s, size_t n) noexcept
{
    static constexpr std::string_view kept[] = {"class", "title", "lang", "dir", "style"};
    unsigned seen = 0;
    wt_buf_append_lit(out, "<span");
    read_attributes(s, n, 5, [&](const attribute &a) {
        for (unsigned k = 0; k < std::size(kept); ++k) {
            if (!name_is(a.name, kept[k])) continue;
            if (seen >> k & 1) return;
            seen |= 1u << k;
            if (kept[k] == "style" && !safe_style(a.value)) return;
            wt_buf_put_char(out, ' ');
            wt_buf_put(out, kept[k].data(), kept[k].size());
            wt_buf_append_lit(out, "=\"");
            wt_buf_append_attr_value(out, a.value.p, a.value.n);
            wt_buf_put_char(out, '"');
            return;
        }
    });
    wt_buf_put_char(out, '>');
}

// Keeps the attributes of a table element that write_table_attributes writes
// under WTCORE_SAFE_ATTRIBUTES: those of a span, and the table's own.
bool is_safe_table_attribute(span name) noexcept
{
    for (std::string_view k : {"class", "title", "lang", "dir", "colspan", "rowspan", "scope", "align", "valign",
                               "width", "height", "abbr", "headers"})
        if (name_is(name, k)) return true;
    return false;
}

// The element an allowed tag opens or closes: its kind, and whether it is a
// closing tag. Returns false for <br> forms, which open nothing.
bool tag_element(const char *s, size_t len, tag_kind *kind, bool *closing) noexcept
{
    *closing = s[1] == '/';
    std::string_view name(s + 1 + *closing, len - 2 - *closing);
    if (name.size() > 4 && name.substr(0, 5) == "span ") name = "span";
    static constexpr std::string_view names[] = {"b", "i", "u", "s", "del", "sub", "sup", "code", "span", "small"};
    for (size_t k = 0; k < std::size(names); ++k)
        if (name == names[k]) {
            *kind = tag_kind(k);
            return true;
        }
    return false;
}

// Writes an allowed tag of `len` bytes at p: as it stands, or, with the
// options, with its attributes made safe and its element balanced.
__attribute__((noinline)) void write_allowed_tag(inline_scan &s, const char *p, size_t len) noexcept
{
    const wt_config &cfg = *s.cx->cfg;
    const bool safe_span = (cfg.flags & WTCORE_SAFE_ATTRIBUTES) && len > 6 && std::memcmp(p, "<span ", 6) == 0;
    if (!balancing(*s.cx)) {
        if (safe_span) write_safe_span(s.out, p, len);
        else wt_buf_put(s.out, p, len);
        return;
    }
    tag_kind kind;
    bool closing;
    if (!tag_element(p, len, &kind, &closing)) {
        wt_buf_put(s.out, p, len); // <br>
        return;
    }
    tag_stack &t = *s.cx->tags;
    if (closing) {
        int j = find_element(s, kind, false);
        if (j < 0) return; // a stray closer
        if (t.items[j].quote) (kind == tag_kind::b ? s.bold : s.italic) = false;
        close_from(t, s.out, j, 0);
        return;
    }
    if (safe_span) {
        // Written first, then recorded where it stands.
        if (t.text_tags >= tag_stack::max_text_tags || t.n >= tag_stack::capacity) return;
        size_t at = s.out->len;
        write_safe_span(s.out, p, len);
        if (s.out->failed) return;
        t.items[t.n++] = tag_stack::entry{kind, false, at, s.out->len - at};
        ++t.text_tags;
        return;
    }
    open_element(t, s.out, kind, false, p, len);
}

// The names of ext_tag, in its order.
constexpr std::string_view ext_tag_names[] = {
    "em", "strong", "big", "tt", "var", "abbr", "cite", "q", "ins", "mark", "ruby", "rt", "rp",
    "div", "p", "blockquote", "center",
    "table", "caption", "thead", "tbody", "tfoot", "tr", "th", "td",
    "hr"};

// For each letter, the ext_tag values (as bits) whose names start with it.
constexpr auto ext_tags_by_letter = [] {
    std::array<unsigned, 26> t{};
    for (size_t i = 0; i < std::size(ext_tag_names); ++i) t[size_t(ext_tag_names[i][0] - 'a')] |= 1u << i;
    return t;
}();

// The first eight bytes of each name as one number (byte i at bits 8i), so
// that a name read from the text is compared at once.
constexpr auto ext_tag_keys = [] {
    std::array<uint64_t, std::size(ext_tag_names)> keys{};
    for (size_t i = 0; i < std::size(ext_tag_names); ++i)
        for (size_t j = 0; j < ext_tag_names[i].size() && j < 8; ++j)
            keys[i] |= uint64_t(static_cast<unsigned char>(ext_tag_names[i][j])) << (8 * j);
    return keys;
}();

// Attributes that tags of the extended syntax keep under
// WTCORE_SAFE_ATTRIBUTES: the first five on every tag, the rest on the tags
// of tables.
constexpr std::string_view ext_safe_attributes[] = {"class", "title", "lang", "dir", "style",
                                                    "colspan", "rowspan", "scope", "align", "valign",
                                                    "width", "height", "abbr", "headers"};
constexpr size_t ext_span_attributes = 5;

// At a '<' that no core tag claims, under the extended syntax: a tag of its
// list, written as an element of the block. Block tags in a link's label and
// the tags of tables stay text here; lines of block tags are read by the
// block renderer. Returns as angle() does.
__attribute__((noinline)) const char *extended_tag(inline_scan &s, const char *p, const char *&run) noexcept
{
    ext_tag_match m;
    if (!match_ext_tag(p, size_t(s.end - p), &m) || is_table_ext_tag(m.tag)) return nullptr;
    const bool block = !is_inline_ext_tag(m.tag); // div, p, blockquote, center, hr
    if (block && (s.cx->in_link || s.cx->blocks_as_text)) return nullptr;
    append_run(s, run, p);
    run = p + m.len;
    wt_buf *out = s.out;
    const wt_config &cfg = *s.cx->cfg;
    if (!balancing(*s.cx)) {
        if (m.closing) {
            if (m.tag != ext_tag::hr) write_ext_close(out, m.tag);
        } else {
            write_ext_open(out, p, m, cfg);
            if (m.self_closing && m.tag != ext_tag::hr) write_ext_close(out, m.tag);
        }
        return run;
    }
    tag_stack &t = *s.cx->tags;
    if (m.closing) {
        int j = m.tag == ext_tag::hr ? -1 : find_element(s, ext_tag_kind(m.tag), false);
        if (j >= 0) close_from(t, out, j, 0); // else a stray closer, dropped
        return run;
    }
    // An HTML parser ends an open paragraph at a block element, and an open
    // ruby text at the next one within its ruby: close them first, as it would.
    if (block) {
        int j = find_element(s, tag_kind::p, false);
        if (j >= 0) close_from(t, out, j, 0);
    } else if ((m.tag == ext_tag::rt || m.tag == ext_tag::rp) && find_element(s, tag_kind::ruby, false) >= 0) {
        while (t.n > s.floor) {
            tag_kind k = t.items[t.n - 1].kind;
            if (k != tag_kind::rt && k != tag_kind::rp && k != tag_kind::p) break;
            close_from(t, out, t.n - 1, 0);
        }
    }
    if (m.tag == ext_tag::hr) {
        write_ext_open(out, p, m, cfg);
        return run;
    }
    if (t.text_tags >= tag_stack::max_text_tags || t.n >= tag_stack::capacity) return run; // dropped
    size_t at = out->len;
    write_ext_open(out, p, m, cfg);
    if (out->failed) return run;
    if (m.self_closing) {
        write_ext_close(out, m.tag);
        return run;
    }
    t.items[t.n++] = tag_stack::entry{ext_tag_kind(m.tag), false, at, out->len - at};
    ++t.text_tags;
    return run;
}

// At '<': comment, nowiki passage or allowed tag. Returns the position to go on
// from, `end` when an unclosed comment ends the span, or nullptr when none of
// the three applies (the '<' is then escaped).
[[gnu::always_inline]] inline const char *core_angle(inline_scan &s, const char *p, const char *&run) noexcept
{
    if (starts_with(p, s.end, "<!--")) {
        std::string_view rest(p + 4, size_t(s.end - (p + 4)));
        size_t off = rest.find("-->");
        append_run(s, run, p);
        run = off == std::string_view::npos ? s.end : p + 4 + off + 3;
        return run;
    }
    if (starts_with(p, s.end, "<nowiki>")) {
        const char *close = s.close_nowiki.find(p + 8, [&](const char *q) {
            size_t off = std::string_view(q, size_t(s.end - q)).find("</nowiki>");
            return off == std::string_view::npos ? nullptr : q + off;
        });
        if (close) {
            append_run(s, run, p);
            wt_buf_append_html_escaped(s.out, p + 8, size_t(close - (p + 8)));
            run = close + 9;
            return run;
        }
        return nullptr;
    }
    size_t len;
    if (!match_allowed_tag(p, size_t(s.end - p), &len)) return nullptr;
    if (!s.cx->cfg->flags && !s.cx->tags) return p + len; // copied with the run it ends
    append_run(s, run, p);
    write_allowed_tag(s, p, len);
    run = p + len;
    return run;
}

// At '<' in the extended syntax's clean text: a placeholder, what the core
// reads, or a tag of the extended syntax's list.
__attribute__((noinline)) const char *extended_angle(inline_scan &s, const char *p, const char *&run) noexcept
{
    // No document holds a NUL, so "<\0" is a placeholder and nothing else.
    if (s.end - p >= 2 && p[1] == '\0') {
        append_run(s, run, p);
        run = write_placeholder(p, s.end, *s.cx->cfg, s.cx->in_link, s.out);
        return run;
    }
    if (const char *next = core_angle(s, p, run)) return next;
    return extended_tag(s, p, run);
}

const char *angle(inline_scan &s, const char *p, const char *&run) noexcept
{
    if (s.cx->cfg->ext) [[unlikely]]
        return extended_angle(s, p, run);
    return core_angle(s, p, run);
}

} // namespace

int is_html_entity(const char *s, size_t n) noexcept
{
    if (n <= 2 || s[0] != '&') return 0;
    if (s[1] == '#') {
        size_t i = 2;
        if (s[i] == 'x' || s[i] == 'X') i = 3;
        while (i < n && is_alnum(uc(s[i]))) ++i;
        return i < n && s[i] == ';';
    }
    static constexpr std::string_view names[] = {"&amp;", "&lt;", "&gt;", "&quot;",
                                                 "&apos;", "&nbsp;", "&ndash;", "&mdash;"};
    for (std::string_view name : names)
        if (name.size() <= n && std::memcmp(s, name.data(), name.size()) == 0) return 1;
    return 0;
}

int match_allowed_tag(const char *s, size_t n, size_t *out_len) noexcept
{
    // The fixed tags, grouped by the byte after '<' (or after "</") so that a
    // '<' of anything else, such as <ref>, is turned away at once. Every tag
    // ends in its only '>', so at most one can match.
    auto is = [&](std::string_view tag) {
        if (tag.size() > n || std::memcmp(s, tag.data(), tag.size()) != 0) return false;
        *out_len = tag.size();
        return true;
    };
    if (n < 3) return 0;
    switch (s[1]) {
    case 'b': return is("<b>") || is("<br>") || is("<br/>") || is("<br />");
    case 'c': return is("<code>");
    case 'd': return is("<del>");
    case 'i': return is("<i>");
    case 'u': return is("<u>");
    case 's':
        if (is("<s>") || is("<sub>") || is("<sup>") || is("<span>") || is("<small>")) return 1;
        if (n >= 6 && std::memcmp(s, "<span ", 6) == 0) {
            if (size_t len = match_span_tag(s, n)) {
                *out_len = len;
                return 1;
            }
        }
        return 0;
    case '/':
        switch (s[2]) {
        case 'b': return is("</b>");
        case 'c': return is("</code>");
        case 'd': return is("</del>");
        case 'i': return is("</i>");
        case 'u': return is("</u>");
        case 's':
            return is("</s>") || is("</sub>") || is("</sup>") || is("</span>") || is("</small>");
        default: return 0;
        }
    default: return 0;
    }
}

bool match_ext_tag(const char *s, size_t n, ext_tag_match *m) noexcept
{
    if (n < 3 || s[0] != '<') return false;
    const bool closing = s[1] == '/';
    size_t i = 1 + closing;
    char name[11];
    size_t k = 0;
    uint64_t key = 0; // the name's first eight bytes, as ext_tag_keys holds them
    while (i < n && k < sizeof name && unsigned((s[i] | 0x20) - 'a') < 26u) {
        name[k] = char(s[i++] | 0x20);
        if (k < 8) key |= uint64_t(uc(name[k])) << (8 * k);
        ++k;
    }
    if (k == 0 || k == sizeof name || i >= n) return false;
    // Only the names with the same first letter are compared.
    unsigned candidates = ext_tags_by_letter[name[0] - 'a'];
    size_t t = 0;
    for (; candidates; candidates &= candidates - 1) {
        t = size_t(__builtin_ctz(candidates));
        if (ext_tag_keys[t] == key && ext_tag_names[t].size() == k &&
            (k <= 8 || std::memcmp(ext_tag_names[t].data() + 8, name + 8, k - 8) == 0))
            break;
    }
    if (!candidates) return false;
    m->tag = ext_tag(t);
    m->closing = closing;
    m->name_end = i;
    if (closing) {
        while (i < n && html_space[uc(s[i])]) ++i;
        if (i >= n || s[i] != '>') return false;
        m->self_closing = false;
        m->len = i + 1;
        return true;
    }
    if (!(html_space[uc(s[i])] || s[i] == '/' || s[i] == '>')) return false;
    size_t len = read_attributes(s, n, i, [](const attribute &) {});
    if (!len) return false;
    m->self_closing = s[len - 2] == '/';
    m->len = len;
    return true;
}

void write_ext_open(wt_buf *out, const char *s, const ext_tag_match &m, const wt_config &cfg) noexcept
{
    std::string_view name = ext_tag_names[int(m.tag)];
    wt_buf_put_char(out, '<');
    wt_buf_put(out, name.data(), name.size());
    const bool safe = cfg.flags & WTCORE_SAFE_ATTRIBUTES;
    const size_t kept = is_table_ext_tag(m.tag) ? std::size(ext_safe_attributes) : ext_span_attributes;
    unsigned seen = 0;
    if (!cfg.for_text) // the text reads no attribute of these
    read_attributes(s, m.len, m.name_end, [&](const attribute &a) {
        // Names of letters, digits, '-', '_', ':' and '.' only: a stray
        // quote of a malformed attribute is no name.
        for (size_t i = 0; i < a.name.n; ++i)
            if (!is_alnum(uc(a.name.p[i])) && !std::strchr("-_:.", a.name.p[i])) return;
        if (safe) {
            size_t k = 0;
            while (k < kept && !name_is(a.name, ext_safe_attributes[k])) ++k;
            if (k == kept || (seen >> k & 1)) return;
            seen |= 1u << k;
            if (k == 4 && !safe_style(a.value)) return;
        }
        wt_buf_put_char(out, ' ');
        wt_buf_put(out, a.name.p, a.name.n);
        wt_buf_append_lit(out, "=\"");
        wt_buf_append_attr_value(out, a.value.p, a.value.n);
        wt_buf_put_char(out, '"');
    });
    if (m.tag == ext_tag::hr) wt_buf_append_lit(out, " />");
    else wt_buf_put_char(out, '>');
}

void write_ext_close(wt_buf *out, ext_tag t) noexcept
{
    std::string_view name = ext_tag_names[int(t)];
    wt_buf_append_lit(out, "</");
    wt_buf_put(out, name.data(), name.size());
    wt_buf_put_char(out, '>');
}

void close_tags(tag_stack &tags, wt_buf *out, int floor) noexcept
{
    for (int j = tags.n - 1; j >= floor; --j) {
        write_close(out, tags.items[j].kind);
        if (!tags.items[j].quote) --tags.text_tags;
    }
    if (tags.n > floor) tags.n = floor;
}

void parse_inline_internal(const char *text, size_t n, wt_buf *out, int *counter) noexcept
{
    if (!text || n == 0) return;
    static const wt_config defaults{};
    parse_inline(text, n, out, inline_context{&defaults, text, text + n - 1, counter, nullptr});
}

void parse_inline_internal(const char *text, size_t n, wt_buf *out, int *counter,
                           const char *doc, const char *limit) noexcept
{
    static const wt_config defaults{};
    parse_inline(text, n, out, inline_context{&defaults, doc, limit, counter, nullptr});
}

void write_table_attributes(wt_buf *out, const char *s, size_t n, const wt_config &cfg) noexcept
{
    // Read as the attributes of a tag "<x ...>", by the tokenizer of span tags.
    char local[512];
    wt_buf tag{};
    if (n + 8 < sizeof local) tag = wt_buf{local, 0, sizeof local, 0, 0}; // room for "<x ", ">" and the NUL
    else wt_buf_init(&tag, n + 4);
    wt_buf_append_lit(&tag, "<x ");
    wt_buf_append(&tag, s, n);
    wt_buf_append_lit(&tag, ">");
    if (!tag.failed) {
        const bool safe = cfg.flags & WTCORE_SAFE_ATTRIBUTES;
        unsigned long long seen_style = 0;
        // Written as read, in one pass: a refused tag takes back what it wrote.
        const size_t at = out->len;
        const size_t len = read_attributes(tag.data, tag.len, 2, [&](const attribute &a) {
            // Names of letters, digits, '-', '_', ':' and '.' only: a stray
            // quote of a malformed attribute is no name.
            for (size_t i = 0; i < a.name.n; ++i)
                if (!is_alnum(uc(a.name.p[i])) && !std::strchr("-_:.", a.name.p[i])) return;
            if (safe && !(is_safe_table_attribute(a.name) || name_is(a.name, "style"))) return;
            if (safe && name_is(a.name, "style") && (seen_style++ || !safe_style(a.value))) return;
            wt_buf_append_lit(out, " ");
            wt_buf_put(out, a.name.p, a.name.n);
            wt_buf_append_lit(out, "=\"");
            wt_buf_append_attr_value(out, a.value.p, a.value.n);
            wt_buf_append_lit(out, "\"");
        });
        if (!len && out->data) {
            out->len = at;
            out->data[at] = '\0';
        }
    }
    if (tag.data != local) wt_buf_free(&tag);
}

bool write_link_open(wt_buf *out, span target, const wt_config &cfg) noexcept
{
    if (!target.n) return false;
    inline_context cx{&cfg, target.p, target.p + target.n - 1, nullptr, nullptr};
    inline_scan s{target.p + target.n, out, target.p, target.p + target.n - 1, &cx};
    return append_link_open(s, target);
}

void render_inline(const char *text, size_t n, const wt_config &cfg, wt_buf *out) noexcept
{
    if (!text || !n) return;
    tag_stack tags;
    const bool balanced = cfg.flags & WTCORE_BALANCE_TAGS;
    inline_context cx{&cfg, text, text + n - 1, nullptr, balanced ? &tags : nullptr};
    parse_inline(text, n, out, cx);
    if (balanced) close_tags(tags, out);
}

namespace {

// Whether the caption of the file whose placeholder starts at p may hold an
// external link; a file inside it counts as one that may, so that a chain of
// files nested in captions is not followed.
bool caption_may_hold_url(const char *p, const char *end, const void *ext) noexcept
{
    if (!ext) return true;
    const auto &x = *static_cast<const ext::extraction *>(ext);
    p += 3;
    const size_t index = ext::placeholder_index(&p, end);
    if (index >= x.files.size()) return true;
    const ext::file_rec &f = x.files[index];
    return f.caption != ext::none && f.caption_n &&
           may_hold_url(x.captions.data + f.caption, f.caption_n, url_tags::none);
}

// Where url_candidate looks, each a pair of bytes: a ':' with a '/' after it
// (a "://"), an 'o' with a ':' after it (the end of a "mailto:"), a '<'
// before anything but a NUL (a tag), and the NUL of a file's placeholder
// before its kind. The placeholders of the rest are passed over a block at a
// time. one() marks loosely.
struct url_marks {
    static constexpr int overread = 1; // the byte after each block
#if defined(WT_SIMD)
    static simd::mask_t at(const char *q) noexcept
    {
        using namespace simd;
        const vec v = load(q), next = load(q + 1);
        const cmp pairs = either(either(both(eq(v, ':'), eq(next, '/')), both(eq(v, 'o'), eq(next, ':'))),
                                 both(eq(v, '\0'), eq(next, ext::ph_file)));
        return mask(pairs) | (mask(eq(v, '<')) & ~mask(eq(next, '\0')));
    }
#endif
    static bool one(const char *q) noexcept { return *q == ':' || *q == 'o' || *q == '<' || *q == '\0'; }
};

} // namespace

size_t url_candidate(const char *text, size_t n, url_tags tags, const void *ext) noexcept
{
    if (n == 0) return 0;
    const char *end = text + n;
    mark_cursor<url_marks> marks(text, end, end - 1);
    for (const char *q = marks.next(text); q < end; q = marks.next(q + 1)) {
        const char *p = q; // the candidate's first byte
        switch (*q) {
        case ':':
            if (end - q >= 3 && q[1] == '/' && q[2] == '/') return size_t(q - text);
            continue;
        case 'o': // the ':' of a "mailto:"
            if (end - q >= 2 && q[1] == ':' && q + 1 - text >= 6 && std::memcmp(q - 5, "mailto", 6) == 0)
                return size_t(q + 1 - text);
            continue;
        case '\0': // a placeholder's, after its '<'
            if (q == text || q[-1] != '<') continue;
            p = q - 1;
            if (end - p >= 3) {
                if (q[1] == ext::ph_file && caption_may_hold_url(p, end, ext)) return size_t(p - text);
                continue;
            }
            break; // a '<' and a NUL that end the text count as a tag
        case '<':
            if (end - q >= 3 && q[1] == '\0') continue; // a placeholder: seen at its NUL
            break;
        default: continue; // 'o' or ':' alone
        }
        if (tags == url_tags::any) return size_t(p - text);
        ext_tag_match m;
        if (tags == url_tags::block && match_ext_tag(p, size_t(end - p), &m) && !is_inline_ext_tag(m.tag))
            return size_t(p - text);
    }
    return n;
}

void parse_inline(const char *text, size_t n, wt_buf *out, const inline_context &cx) noexcept
{
    if (!text || n == 0) return;
    const char *end = text + n;
    mark_cursor<inline_marks> marks(cx.doc, end, cx.limit);
    const char *p = marks.next(text);
    if (p == end) { // plain text only: the common case for short spans
        wt_buf_put(out, text, n);
        return;
    }
    if (cx.cfg->external_links_only && !cx.in_link && !may_hold_url(text, n, url_tags::none, cx.cfg->ext)) [[unlikely]]
        return;
    inline_scan s{end, out, cx.doc, cx.limit, &cx};
    if (cx.tags) s.floor = cx.in_link ? cx.tags->n : 0;
    const char *run = text; // plain bytes from here to p are copied as they stand
    for (; p < end; p = marks.next(p)) {
        switch (*p) {
        case '<': {
            const char *next = angle(s, p, run);
            if (next) {
                p = next;
            } else {
                append_run(s, run, p);
                wt_buf_append_lit(out, "&lt;");
                run = ++p;
            }
            break;
        }
        case '>':
            append_run(s, run, p);
            wt_buf_append_lit(out, "&gt;");
            run = ++p;
            break;
        case '&':
            if (is_html_entity(p, size_t(end - p))) {
                ++p; // only the '&' is looked at; the rest follows as plain text
            } else {
                append_run(s, run, p);
                wt_buf_append_lit(out, "&amp;");
                run = ++p;
            }
            break;
        case '\'':
            if (end - p >= 2 && p[1] == '\'') {
                append_run(s, run, p);
                run = p = quote_run(s, p);
            } else {
                ++p; // a single apostrophe is text
            }
            break;
        case '[': {
            const char *next = nullptr;
            if (end - p >= 2 && p[1] == '[' && s.close_link.known_absent(p + 2)) {
                ++p; // no "]]" follows: plain text, and the run goes on
                break;
            }
            if (end - p >= 2) {
                append_run(s, run, p);
                run = p;
                next = p[1] == '[' ? internal_link(s, p) : external_link(s, p);
            }
            if (next) run = p = next;
            else ++p; // the '[' stays plain text
            break;
        }
        default: { // ':' of a possible "http://" or "https://"
            const char *url = nullptr;
            if (end - p >= 3 && p[1] == '/' && p[2] == '/') {
                if (p - run >= 4 && std::memcmp(p - 4, "http", 4) == 0) url = p - 4;
                else if (p - run >= 5 && std::memcmp(p - 5, "https", 5) == 0) url = p - 5;
            }
            if (url) {
                append_run(s, run, url);
                run = p = bare_url(s, url);
            } else {
                ++p;
            }
            break;
        }
        }
    }
    append_run(s, run, p);
    if (cx.tags) {
        if (cx.in_link) close_tags(*cx.tags, out, s.floor);
        else close_quotes(s);
        return;
    }
    if (s.italic) wt_buf_append_lit(out, "</i>");
    if (s.bold) wt_buf_append_lit(out, "</b>");
}

WT_ISA_END
} // namespace wt
