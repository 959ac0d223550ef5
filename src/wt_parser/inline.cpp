// The inline renderer: one span of text at a time (a paragraph line, a heading
// text, a list item, a link label). At each position the recognisers are tried
// in a fixed order: comment, nowiki, allowed tag, quote run, internal link,
// external link, bare URL, and finally the escaping step.
//
// Linear time: the scan jumps from one trigger byte to the next and copies the
// plain bytes between with one append. Every search for a closer is confined to
// the span and remembered (search_memo), so a later opener never re-reads bytes
// that an earlier search has covered.
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

struct inline_scan {
    const char *doc;   // readable from here on; see parse_inline_internal
    const char *end;
    const char *limit; // readable up to and including this byte
    wt_buf *out;
    int *counter;
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

// Appends the plain run [p, q) of the span. When the pieces that cover it can
// be read (they lie within the document) and stored (into reserved room), it
// is copied with copy_pieces; the bytes stored past q are ignored.
void append_run(inline_scan &s, const char *p, const char *q) noexcept
{
    size_t n = size_t(q - p);
    size_t whole = piece_extent(n);
    wt_buf *out = s.out;
    if (size_t(s.limit - p) + 1 >= whole && out->cap - out->len > whole) {
        copy_pieces(out->data + out->len, p, n);
        out->len += n;
        out->data[out->len] = '\0';
        return;
    }
    // A short run at the span's end: store the 32 bytes that end with it so
    // that they end where it must, then store back the 32 bytes of output that
    // stood before it, which that store may have overwritten.
    if (n <= 32 && q - s.doc >= 32 && out->len >= 32 && out->cap - out->len > 32) {
        char *dst = out->data + out->len;
        char before[32], piece[32];
        __builtin_memcpy(before, dst - 32, 32);
        __builtin_memcpy(piece, q - 32, 32);
        __builtin_memcpy(dst + n - 32, piece, 32);
        __builtin_memcpy(dst - 32, before, 32);
        out->len += n;
        out->data[out->len] = '\0';
        return;
    }
    append_span(out, p, q);
}

// Quote run at p: 2 toggles italic, 3 bold, 4 writes one apostrophe and
// toggles bold, 5 or more consumes exactly 5 and switches both. A single
// apostrophe is written as text. Returns the position after the run.
const char *quote_run(inline_scan &s, const char *p) noexcept
{
    size_t r = 1;
    while (r < 5 && p + r < s.end && p[r] == '\'') ++r;
    wt_buf *out = s.out;
    switch (r) {
    case 1:
        wt_buf_append_char(out, '\'');
        break;
    case 2:
        s.italic ? wt_buf_append_lit(out, "</i>") : wt_buf_append_lit(out, "<i>");
        s.italic = !s.italic;
        break;
    case 4:
        wt_buf_append_char(out, '\'');
        [[fallthrough]];
    case 3:
        s.bold ? wt_buf_append_lit(out, "</b>") : wt_buf_append_lit(out, "<b>");
        s.bold = !s.bold;
        break;
    default:
        // The fragments are fixed: they need not nest with the order in which
        // bold and italic were opened.
        if (s.bold && s.italic) wt_buf_append_lit(out, "</i></b>");
        else if (s.bold) wt_buf_append_lit(out, "</b><i>");
        else if (s.italic) wt_buf_append_lit(out, "</i><b>");
        else wt_buf_append_lit(out, "<b><i>");
        s.bold = !s.bold;
        s.italic = !s.italic;
        break;
    }
    return p + r;
}

#if defined(__SSE2__)
// A 16-byte piece of a link target with its spaces made '_'; *quotes gets the
// mask of its '"' bytes.
__m128i underscore_spaces(__m128i v, unsigned *quotes) noexcept
{
    *quotes = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('"'))));
    __m128i m = _mm_cmpeq_epi8(v, _mm_set1_epi8(' '));
    return _mm_or_si128(_mm_andnot_si128(m, v), _mm_and_si128(m, _mm_set1_epi8('_')));
}

// Writes the n bytes of a target at src to dst in whole 16-byte pieces, spaces
// made '_', and returns whether none of the n is '"'. The caller makes sure
// that the pieces can be read and stored; bytes past n are to be ignored.
bool put_target_pieces(char *dst, const char *src, size_t n) noexcept
{
    unsigned found = 0;
    for (size_t k = 0; 16 * k < n; ++k) {
        unsigned quotes;
        __m128i v = underscore_spaces(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16 * k)), &quotes);
        size_t left = n - 16 * k;
        found |= left >= 16 ? quotes : quotes & ((1u << left) - 1);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16 * k), v);
    }
    return !found;
}
#endif

// wt_buf_append_wiki_url, with the usual target (no '"') converted 16 bytes at
// a time.
void append_wiki_target(inline_scan &s, const char *p, size_t n) noexcept
{
    if (n == 0) return;
    wt_buf *out = s.out;
#if defined(__SSE2__)
    // The loads stay within the readable range: up to the span's end and the
    // byte after it, or, for a short target close to the span's end, the 16
    // bytes that end with the target.
    size_t pieces = (n + 15) / 16;
    if (pieces <= 4 && size_t(s.limit - p) + 1 >= pieces * 16 && wt_buf_room(out, pieces * 16)) {
        if (put_target_pieces(out->data + out->len, p, n)) {
            out->len += n;
            out->data[out->len] = '\0';
            return;
        }
    } else if (n <= 16 && p + n - s.doc >= 16 && wt_buf_room(out, n)) {
        alignas(16) char tmp[16];
        unsigned quotes;
        __m128i v = underscore_spaces(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + n - 16)), &quotes);
        if (!(quotes >> (16 - n))) {
            _mm_store_si128(reinterpret_cast<__m128i *>(tmp), v);
            copy_bytes(out->data + out->len, tmp + 16 - n, n);
            out->len += n;
            out->data[out->len] = '\0';
            return;
        }
    }
#endif
    if (scan_for<'"'>(p, p + n, s.doc) != p + n) {
        wt_buf_append_wiki_url(out, p, n);
        return;
    }
    if (!wt_buf_room(out, n)) return;
    copy_replacing(out->data + out->len, p, n, ' ', '_');
    out->len += n;
    out->data[out->len] = '\0';
}

// A link label: copied whole when it holds no markup byte, else rendered.
void render_label(inline_scan &s, span label) noexcept
{
    const char *end = label.p + label.n;
    if (label.n && scan_marks<inline_marks>(label.p, end, s.doc) == end) wt_buf_put(s.out, label.p, label.n);
    else parse_inline_internal(label.p, label.n, s.out, s.counter, s.doc, s.limit);
}

// The common internal link, whose destination needs no escaping and whose label
// is plain text, written with one reservation and no per-piece checks. The
// destination goes 16 bytes and the label 32 bytes at a time, reading only
// bytes up to the span's end and the one after it; bytes stored beyond each
// piece land in the reserved room and are overwritten. Returns false, having
// committed nothing, for any other link.
bool plain_link(inline_scan &s, span dest, bool anchor, span label, const char *trail,
                size_t trail_n) noexcept
{
#if defined(__SSE2__)
    size_t dest_chunks = (dest.n + 15) / 16;
    size_t label_whole = piece_extent(label.n);
    if (dest_chunks > 4 || size_t(s.limit - dest.p) + 1 < dest_chunks * 16 ||
        size_t(s.limit - label.p) + 1 < label_whole)
        return false;
    const char *label_end = label.p + label.n;
    if (label.n && scan_marks<inline_marks>(label.p, label_end, s.doc) != label_end) return false;
    wt_buf *out = s.out;
    if (!wt_buf_room(out, 15 + dest_chunks * 16 + 2 + label_whole + trail_n + 4)) return false;

    char *d = out->data + out->len;
    if (anchor) {
        __builtin_memcpy(d, "<a href=\"#", 10);
        d += 10;
    } else {
        __builtin_memcpy(d, "<a href=\"/wiki/", 15);
        d += 15;
    }
    if (!put_target_pieces(d, dest.p, dest.n)) return false;
    d += dest.n;
    __builtin_memcpy(d, "\">", 2);
    d += 2;
    copy_pieces(d, label.p, label.n);
    d += label.n;
    for (size_t i = 0; i < trail_n; ++i) *d++ = trail[i];
    __builtin_memcpy(d, "</a>", 4);
    d += 4;
    *d = '\0';
    out->len = size_t(d - out->data);
    return true;
#else
    (void)s, (void)dest, (void)anchor, (void)label, (void)trail, (void)trail_n;
    return false;
#endif
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

// Stores the W bytes at src to dst with every space made '_'.
template <int W>
inline void put_underscored(char *dst, const char *src) noexcept
{
    for (int k = 0; k < W / 16; ++k) {
        unsigned quotes;
        __m128i v = underscore_spaces(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16 * k)), &quotes);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16 * k), v);
    }
}

// The usual internal link, whose text from "[[" to "]]" fits one window of W
// bytes, whose destination needs no escaping and whose label is plain text:
// found and written with a fixed number of block operations and no loop over
// its bytes (the same result as the general path below). Returns the position
// after the link and its trail, or nullptr, having written nothing, for any
// other link or when the window and the pieces written from it would pass the
// end of the document. *wider is set when no "]]" lies within the window.
template <int W>
const char *short_link(inline_scan &s, const char *p, bool *wider) noexcept
{
    const char *w = p + 2;
    if (size_t(s.limit - w) < 128) return nullptr;
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
    bool anchor = target.e > target.a && w[target.a] == '#';
    window_range dest{target.a + anchor, target.e};
    if (win.bad & ((bits_below(dest.e) & ~bits_below(dest.a)) | (bits_below(label.e) & ~bits_below(label.a))))
        return nullptr;

    const char *trail = w + close + 2;
    const char *trail_end = trail;
    while (trail_end < s.end && is_letter(uc(*trail_end))) ++trail_end;
    size_t trail_n = size_t(trail_end - trail);

    wt_buf *out = s.out;
    if (!wt_buf_room(out, 15 + W + 2 + W + trail_n + 4)) return nullptr;
    char *d = out->data + out->len;
    static const char wiki_open[16] = "<a href=\"/wiki/";
    static const char anchor_open[16] = "<a href=\"#";
    __builtin_memcpy(d, anchor ? anchor_open : wiki_open, 16);
    d += anchor ? 10 : 15;
    put_underscored<W>(d, w + dest.a);
    d += dest.e - dest.a;
    __builtin_memcpy(d, "\">", 2);
    d += 2;
    char piece[W];
    __builtin_memcpy(piece, w + label.a, W);
    __builtin_memcpy(d, piece, W);
    d += label.e - label.a;
    if (trail_n) {
        __builtin_memcpy(d, trail, trail_n);
        d += trail_n;
    }
    __builtin_memcpy(d, "</a>", 4);
    d += 4;
    *d = '\0';
    out->len = size_t(d - out->data);
    return trail_end;
}
#endif

// Internal link at p ("[[" already seen). Returns the position after the link
// and its trail, or nullptr when no "]]" closes it within the span.
const char *internal_link(inline_scan &s, const char *p) noexcept
{
#if defined(WT_SIMD)
    bool wider = false;
    if (const char *next = short_link<32>(s, p, &wider)) return next;
    if (wider)
        if (const char *next = short_link<64>(s, p, &wider)) return next;
#endif
    const char *close = s.close_link.find(p + 2, [&](const char *q) { return find_pair<']'>(q, s.end, s.doc); });
    if (!close) return nullptr;
    span target, label;
    split_link(span{p + 2, size_t(close - (p + 2))}, &target, &label, s.doc);

    const char *trail = close + 2;
    const char *trail_end = trail;
    while (trail_end < s.end && is_letter(uc(*trail_end))) ++trail_end;

    bool anchor = target.n > 0 && target.p[0] == '#';
    span dest = anchor ? span{target.p + 1, target.n - 1} : target;
    if (plain_link(s, dest, anchor, label, trail, size_t(trail_end - trail))) return trail_end;

    wt_buf *out = s.out;
    if (anchor) {
        wt_buf_append_lit(out, "<a href=\"#");
        append_wiki_target(s, target.p + 1, target.n - 1);
    } else {
        wt_buf_append_lit(out, "<a href=\"/wiki/");
        append_wiki_target(s, target.p, target.n);
    }
    wt_buf_append_lit(out, "\">");
    render_label(s, label);
    append_span(out, trail, trail_end);
    wt_buf_append_lit(out, "</a>");
    return trail_end;
}

void append_external_open(wt_buf *out, const char *url, size_t n) noexcept
{
    wt_buf_append_lit(out, "<a href=\"");
    wt_buf_append_attr_value(out, url, n);
    wt_buf_append_lit(out, "\" class=\"external\" rel=\"nofollow\">");
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
    append_external_open(out, url, size_t(url_end - url));
    if (label.n > 0) {
        render_label(s, label);
    } else {
        int number = 1;
        if (s.counter) {
            if (*s.counter < INT_MAX) ++*s.counter;
            number = *s.counter;
        }
        wt_buf_append_char(out, '[');
        append_decimal(out, number);
        wt_buf_append_char(out, ']');
    }
    wt_buf_append_lit(out, "</a>");
    return close + 1;
}

// Bare URL starting at p, whose prefix is known to be there. Returns its end.
const char *bare_url(inline_scan &s, const char *p) noexcept
{
    const char *q = scan_url_end(p, s.end, s.doc);
    size_t n = size_t(q - p);
    append_external_open(s.out, p, n); // a URL holds no '"': it is a terminator
    wt_buf_append(s.out, p, n);
    wt_buf_append_lit(s.out, "</a>");
    return q;
}

// Attributed span tag at s ("<span " seen), read the way an HTML tokenizer
// reads attributes. Refused when an attribute name begins with "on" (any case),
// when the tag or a quoted value does not end within n bytes, or when a '<'
// occurs in it after the first byte; the last rule keeps every such scan short
// of the next '<', so successive tags are never re-read.
size_t match_span_tag(const char *s, size_t n) noexcept
{
    size_t i = 5;
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
        while (i < n && html_space[uc(s[i])]) ++i;
        if (i < n && s[i] == '=') {
            ++i;
            while (i < n && html_space[uc(s[i])]) ++i;
            if (i < n && (s[i] == '"' || s[i] == '\'')) {
                char quote = s[i++];
                while (i < n && s[i] != quote) {
                    if (s[i] == '<') return 0;
                    ++i;
                }
                if (i >= n) return 0;
                ++i;
            } else {
                while (i < n && !html_space[uc(s[i])] && s[i] != '>') {
                    if (s[i] == '<') return 0;
                    ++i;
                }
            }
        }
    }
}

// At '<': comment, nowiki passage or allowed tag. Returns the position to go on
// from, `end` when an unclosed comment ends the span, or nullptr when none of
// the three applies (the '<' is then escaped).
const char *angle(inline_scan &s, const char *p, const char *&run) noexcept
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
    if (match_allowed_tag(p, size_t(s.end - p), &len)) return p + len; // copied as it stands
    return nullptr;
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

void parse_inline_internal(const char *text, size_t n, wt_buf *out, int *counter) noexcept
{
    parse_inline_internal(text, n, out, counter, text, text + n);
}

void parse_inline_internal(const char *text, size_t n, wt_buf *out, int *counter,
                           const char *doc, const char *limit) noexcept
{
    if (!text || n == 0) return;
    const char *end = text + n;
    mark_cursor<inline_marks> marks(doc, end);
    const char *p = marks.next(text);
    if (p == end) { // plain text only: the common case for short spans
        wt_buf_put(out, text, n);
        return;
    }
    inline_scan s{doc, end, limit, out, counter};
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
    if (s.italic) wt_buf_append_lit(out, "</i>");
    if (s.bold) wt_buf_append_lit(out, "</b>");
}

WT_ISA_END
} // namespace wt
