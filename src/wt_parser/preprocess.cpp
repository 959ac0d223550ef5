// The pass that reads the extended syntax ahead of rendering (see
// wt_extended.h). It works in two linear steps:
//
// 1. A scan that jumps from one byte of { } [ ] | = < _ to the next. Runs of
//    two or more '{' or '[' are pushed on a stack; a run of '}' or ']' closes
//    what it can of the stack's top only (a "}}" while a "[[" is open is
//    text), innermost braces first: three braces make a template parameter,
//    two a template. '|' and the first '=' after it belong to the top. What is
//    still open at the end was text. Comments and tags are taken whole where
//    they start; a reference's content is scanned as a region of its own, so
//    nothing inside it pairs with anything outside. Every search for a closer
//    ("-->", '>', "</name>") is remembered, so a run of unclosed openers reads
//    each byte once.
// 2. A walk over the constructs found, sorted by start, which copies the text
//    between them into the clean text, leaves nested ones to their parent,
//    numbers the references and collects the categories that lie outside
//    templates.
#include "wt_extended.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace wt {
WT_ISA_BEGIN
namespace ext {
namespace {

inline unsigned char uc(char c) noexcept { return static_cast<unsigned char>(c); }
inline char lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? char(c | 0x20) : c; }
inline bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// Whether the n bytes at p equal the lower-case ASCII word w, ignoring ASCII case.
bool equals_nocase(const char *p, size_t n, std::string_view w) noexcept
{
    if (n != w.size()) return false;
    for (size_t i = 0; i < n; ++i)
        if (lower(p[i]) != w[i]) return false;
    return true;
}

void trim(const char *d, size_t *a, size_t *b) noexcept
{
    while (*a < *b && uc(d[*a]) <= 0x20) ++*a;
    while (*b > *a && uc(d[*b - 1]) <= 0x20) --*b;
}

// Whether the n bytes at p spell the w bytes at q, ignoring ASCII case, a '_'
// at p read as a space.
bool equals_name(const char *p, size_t n, const char *q, size_t w) noexcept
{
    if (n != w) return false;
    for (size_t i = 0; i < n; ++i)
        if (lower(p[i] == '_' ? ' ' : p[i]) != lower(q[i])) return false;
    return true;
}

// Whether the n bytes at p name a namespace: one of the English names or one
// of the '|'-separated names of `extra`, any ASCII letter case, a '_' read as
// a space.
bool is_namespace(const char *p, size_t n, std::initializer_list<std::string_view> english,
                  const char *extra) noexcept
{
    if (n == 0 || n > 64) return false;
    for (std::string_view w : english)
        if (equals_name(p, n, w.data(), w.size())) return true;
    if (!extra) return false;
    for (const char *s = extra; *s;) {
        const char *e = std::strchr(s, '|');
        size_t len = e ? size_t(e - s) : std::strlen(s);
        size_t a = 0, b = len;
        trim(s, &a, &b);
        if (equals_name(p, n, s + a, b - a)) return true;
        if (!e) break;
        s = e + 1;
    }
    return false;
}

// What happens to a tag that the scan takes whole.
enum class tag_action : unsigned char {
    literal,    // content shown as text of its kind
    removed,    // left out with its content
    ref,        // a reference
    references, // the list of notes; its content may define references
    unwrap,     // the tag itself vanishes, its content stays
    poem,       // its lines keep their breaks
};

struct tag_info {
    std::string_view name;
    tag_action action;
    literal_kind kind;
};

constexpr tag_info tags[] = {
    {"nowiki", tag_action::literal, literal_kind::nowiki},
    {"pre", tag_action::literal, literal_kind::pre},
    {"math", tag_action::literal, literal_kind::math},
    {"chem", tag_action::literal, literal_kind::chem},
    {"ce", tag_action::literal, literal_kind::chem},
    {"syntaxhighlight", tag_action::literal, literal_kind::code},
    {"source", tag_action::literal, literal_kind::code},
    {"gallery", tag_action::literal, literal_kind::gallery},
    {"score", tag_action::removed, literal_kind::nowiki},
    {"timeline", tag_action::removed, literal_kind::nowiki},
    {"imagemap", tag_action::removed, literal_kind::nowiki},
    {"templatedata", tag_action::removed, literal_kind::nowiki},
    {"includeonly", tag_action::removed, literal_kind::nowiki},
    {"ref", tag_action::ref, literal_kind::nowiki},
    {"references", tag_action::references, literal_kind::nowiki},
    {"noinclude", tag_action::unwrap, literal_kind::nowiki},
    {"onlyinclude", tag_action::unwrap, literal_kind::nowiki},
    {"poem", tag_action::poem, literal_kind::nowiki},
};
constexpr size_t n_tags = sizeof tags / sizeof tags[0];
constexpr size_t max_tag_name = 15;

// The tags of each name length, as bits over tags[], so that a name is
// compared with few of them.
constexpr auto tags_of_length = [] {
    std::array<uint32_t, max_tag_name + 1> t{};
    for (size_t i = 0; i < n_tags; ++i) t[tags[i].name.size()] |= uint32_t(1) << i;
    return t;
}();

// Index of the tag named by the n bytes at p (any ASCII case), or n_tags.
size_t find_tag(const char *p, size_t n) noexcept
{
    if (n > max_tag_name) return n_tags;
    for (uint32_t m = tags_of_length[n]; m; m &= m - 1) {
        size_t i = size_t(__builtin_ctz(m));
        if (equals_nocase(p, n, tags[i].name)) return i;
    }
    return n_tags;
}

inline bool is_ascii_letter(char c) noexcept { return unsigned((c | 0x20) - 'a') < 26u; }

// The first match at or after a position, remembered as search_memo does,
// with the end of the match as well.
struct close_memo {
    size_t from = 0, found = none, found_end = 0;
    bool valid = false;
};

enum class ev_kind : unsigned char {
    removed,    // comment, switch, template parameter, removed tag: nothing stays
    dropped,    // a byte left out within a line (the ':' of [[:Category:X]])
    templ,      // a template (index into templates)
    category,   // index into cats
    file,       // index into files
    literal,    // index into literals
    ref,        // index into refs; content [a, b)
    references, // index into lists; content [a, b)
    redirect,
    poem,       // content [a, b)
    toc,        // __TOC__
};

// A construct found by the scan: the bytes [start, end).
struct event {
    size_t start, end;
    size_t index;
    size_t a, b; // content of a ref or references tag
    ev_kind kind;
};

// Three words: a megabyte of openers makes some 20 MB of these.
struct open_rec {
    size_t start;     // first byte of the run
    size_t bar_base;  // its bars start here in the bar stack
    size_t count : sizeof(size_t) * 8 - 1; // opening bytes still unmatched
    size_t brace : 1;                      // a run of '{' (else of '[')
};

// A category link found by the scan, before the walk knows whether it lies
// inside a template.
struct cat_candidate {
    size_t name, name_n, sort, sort_n;
};

// Sorts the records by key (at most max_key), keeping the order of equal
// keys: a pass per digit of at most 12 bits that max_key needs (two for a
// document below 16 MB), each linear; nothing when they are in order already.
// Records larger than a key and a place are not moved by the passes: their
// keys are. Returns false, the order unchanged, when memory runs out.
template <class T, class Key>
bool radix_sort(pod_array<T> &recs, size_t max_key, Key key) noexcept
{
    constexpr unsigned max_digit = 12;
    const size_t n = recs.size();
    size_t i = 1;
    while (i < n && key(recs[i - 1]) <= key(recs[i])) ++i;
    if (i >= n) return true;
    if constexpr (sizeof(T) > 2 * sizeof(size_t)) {
        // Large records: their keys and places are sorted, and each record
        // then moves once.
        struct keyed {
            size_t key, at;
        };
        pod_array<keyed> keys;
        wt_buf_init_scratch(&keys.b, n * sizeof(keyed) + 1);
        pod_array<T> moved;
        wt_buf_init_scratch(&moved.b, n * sizeof(T) + 1);
        bool ok = !keys.b.failed && !moved.b.failed;
        if (ok) {
            for (size_t k = 0; k < n; ++k) keys.data()[k] = keyed{key(recs[k]), k};
            keys.b.len = n * sizeof(keyed);
            keys.b.data[keys.b.len] = '\0';
            ok = radix_sort(keys, max_key, [](const keyed &e) { return e.key; });
        }
        if (ok) {
            for (size_t k = 0; k < n; ++k) moved.data()[k] = recs[keys[k].at];
            std::memcpy(recs.data(), moved.data(), n * sizeof(T));
        }
        keys.release();
        moved.release();
        return ok;
    }
    const unsigned bits = max_key ? unsigned(64 - __builtin_clzll(max_key)) : 1;
    const unsigned passes = (bits + max_digit - 1) / max_digit;
    const unsigned digit = (bits + passes - 1) / passes;
    const size_t buckets = size_t(1) << digit;
    // The copy and the counts in one block (the counts off the stack, which
    // is small in some hosts).
    const size_t copy_size = (n * sizeof(T) + alignof(size_t) - 1) / alignof(size_t) * alignof(size_t);
    pod_array<T> tmp;
    wt_buf_init_scratch(&tmp.b, copy_size + buckets * sizeof(size_t) + 1);
    if (tmp.b.failed) return false;
    T *src = recs.data(), *dst = tmp.data();
    size_t *count = reinterpret_cast<size_t *>(tmp.b.data + copy_size);
    for (unsigned shift = 0; shift < bits; shift += digit) {
        std::fill(count, count + buckets, size_t(0));
        for (size_t k = 0; k < n; ++k) ++count[(key(src[k]) >> shift) & (buckets - 1)];
        size_t at = 0;
        for (size_t b = 0; b < buckets; ++b) {
            size_t c = count[b];
            count[b] = at;
            at += c;
        }
        for (size_t k = 0; k < n; ++k) dst[count[(key(src[k]) >> shift) & (buckets - 1)]++] = src[k];
        std::swap(src, dst);
    }
    if (src != recs.data()) std::memcpy(recs.data(), src, n * sizeof(T));
    tmp.release();
    return true;
}

// The places where the scan acts, 64 bytes at a time: a pair of equal bytes
// among { } [ ] _ (a single one starts nothing), every '<', and, inside
// templates and links only, '|' and '='. The pair test shares its bit test
// with Y, y and DEL, whose pairs the scan passes over. The masks depend on
// the document's bytes alone, so each scan (a reference's content is scanned
// by a call of its own) keeps its window in locals, where the stores of the
// records cannot make the compiler load it again.
struct stop_window {
    static constexpr size_t size = 64;

    size_t base = SIZE_MAX / 2; // no window yet: every offset from it is too large
    uint64_t top = 0;           // pairs and '<'
    uint64_t bars = 0;          // '|' and '='

    // The masks of the window at p; past the document's end nothing is marked.
    void fill(const char *d, size_t n, size_t p) noexcept
    {
        base = p;
        top = bars = 0;
#if defined(WT_SIMD)
        if (n - p > size) { // the byte after the window is read too
            for (size_t k = 0; k < size; k += simd::block) {
                simd::vec v = simd::load(d + p + k), after = simd::load(d + p + k + 1);
                simd::cmp pair = simd::both(simd::same(v, after), simd::eq(simd::with_bits(v, 0x26), 0x7F));
                simd::cmp t = simd::either(pair, simd::eq(v, '<'));
                top |= uint64_t(simd::mask(t)) << k;
                bars |= uint64_t(simd::mask(simd::either(simd::eq(v, '|'), simd::eq(v, '=')))) << k;
            }
            return;
        }
#endif
        const size_t end = n - p < size ? n : p + size;
        for (size_t i = p; i < end; ++i) {
            const char c = d[i];
            const bool pair = i + 1 < n && d[i + 1] == c && (uc(c) | 0x26) == 0x7F;
            top |= uint64_t(pair || c == '<') << (i - p);
            bars |= uint64_t(c == '|' || c == '=') << (i - p);
        }
    }
};

struct scanner {
    scanner(const char *doc, size_t len, const names &names_, extraction *out) noexcept
        : d(doc), n(len), ns(names_), x(out)
    {
    }

    const char *d;
    size_t n;
    const names &ns;
    extraction *x;
    pod_array<open_rec> stack;
    pod_array<bar_rec> bar_stack;
    pod_array<event> events;
    pod_array<cat_candidate> cats;
    size_t open_braces = 0; // '{' records on the stack
    // Nothing will read the notes' content (the plain text without the
    // host's HTML, which leaves the lists of notes out): it is neither
    // scanned nor walked.
    bool notes_unused = false;
    close_memo comment_close, tag_end;
    std::array<close_memo, n_tags> tag_close{};
    bool failed = false;

    void note(bool ok) noexcept { failed |= !ok; }

    void push_event(size_t start, size_t end, ev_kind kind, size_t index = 0, size_t a = 0, size_t b = 0) noexcept
    {
        note(events.push(event{start, end, index, a, b, kind}));
    }

    // push_event for a link, which closes after what it holds: moved back
    // into place when few events are in the way, so that the events usually
    // need no sort; else the sort does it.
    void push_link_event(size_t start, size_t end, ev_kind kind, size_t index = 0) noexcept
    {
        const event e{start, end, index, 0, 0, kind};
        if (!events.push(e)) {
            failed = true;
            return;
        }
        event *v = events.data();
        size_t i = events.size() - 1;
        for (size_t moved = 0; i > 0 && v[i - 1].start > start && moved < 8; ++moved, --i) v[i] = v[i - 1];
        v[i] = e;
    }

    size_t find_comment_end(size_t from) noexcept
    {
        close_memo &m = comment_close;
        if (!(m.valid && from >= m.from && (m.found == none || from <= m.found))) {
            std::string_view rest(d + from, n - from);
            size_t k = rest.find("-->");
            m = close_memo{from, k == std::string_view::npos ? none : from + k, 0, true};
        }
        return m.found;
    }

    size_t find_gt(size_t from) noexcept
    {
        close_memo &m = tag_end;
        if (!(m.valid && from >= m.from && (m.found == none || from <= m.found))) {
            const void *q = std::memchr(d + from, '>', n - from);
            m = close_memo{from, q ? size_t(static_cast<const char *>(q) - d) : none, 0, true};
        }
        return m.found;
    }

    // The first "</name" + blanks + ">" at or after `from`, any letter case;
    // its start, with its end in *close_end, or none.
    size_t find_close(size_t t, size_t from, size_t *close_end) noexcept
    {
        close_memo &m = tag_close[t];
        if (!(m.valid && from >= m.from && (m.found == none || from <= m.found))) {
            m = close_memo{from, none, 0, true};
            std::string_view name = tags[t].name;
            size_t i = from;
            while (i < n) {
                const void *q = std::memchr(d + i, '<', n - i);
                if (!q) break;
                i = size_t(static_cast<const char *>(q) - d);
                size_t j = i + 2 + name.size();
                if (j <= n && d[i + 1] == '/' && equals_nocase(d + i + 2, name.size(), name)) {
                    while (j < n && is_space(d[j])) ++j;
                    if (j < n && d[j] == '>') {
                        m.found = i;
                        m.found_end = j + 1;
                        break;
                    }
                }
                ++i;
            }
        }
        *close_end = m.found_end;
        return m.found;
    }

    // Copies the bars of the bar stack from index `from` on to the output.
    void keep_bars(size_t from) noexcept
    {
        const size_t k = bar_stack.size() - from;
        if (k) note(wt_buf_put(&x->bars.b, reinterpret_cast<const char *>(bar_stack.data() + from), k * sizeof(bar_rec)));
    }

    // The first ':' in [a, b), or none. A link's target is short: one vector
    // compare in line covers most.
    size_t find_colon(size_t a, size_t b) const noexcept
    {
#if defined(WT_SIMD)
        if (b - a <= size_t(simd::block) && n - a >= size_t(simd::block)) {
            uint64_t m = simd::mask(simd::eq(simd::load(d + a), ':'));
            if (b - a < 64) m &= (uint64_t(1) << (b - a)) - 1;
            return m ? a + size_t(__builtin_ctzll(m)) : none;
        }
#endif
        const void *colon = std::memchr(d + a, ':', b - a);
        return colon ? size_t(static_cast<const char *>(colon) - d) : none;
    }

    void scan(size_t p, size_t lim, bool in_ref, bool in_references) noexcept;
    size_t take_tag(size_t p, size_t lim, bool in_ref, bool in_references) noexcept;
    void close_braces(size_t *p, size_t lim, size_t base) noexcept;
    void close_brackets(size_t *p, size_t lim, size_t base) noexcept;
    void link_check(size_t s, size_t e, size_t first_bar, size_t bar_base) noexcept;
    void link_named(size_t s, size_t e, size_t first_bar, size_t bar_base, size_t a, size_t b, size_t c) noexcept;
    void find_redirect() noexcept;
};


void scanner::scan(size_t p, size_t lim, bool in_ref, bool in_references) noexcept
{
    const size_t base = stack.size();
    const size_t bar_base = bar_stack.size();
    const size_t base_len = stack.b.len; // more than this: a template or link of this scan is open
    const char *const doc = d;
    stop_window w;
    bool inside = false;
    while (p < lim && !failed) {
        // The next stop at or after p, before lim.
        size_t off = p - w.base;
        if (off >= stop_window::size) {
            w.fill(doc, n, p);
            off = 0;
        }
        uint64_t m = (w.top | (inside ? w.bars : 0)) >> off;
        while (!m) {
            p = w.base + stop_window::size;
            if (p >= lim) goto done;
            w.fill(doc, n, p);
            m = w.top | (inside ? w.bars : 0);
        }
        {
            const unsigned k = unsigned(__builtin_ctzll(m));
            p += k;
            m >>= k; // bit 0 is p's
        }
        if (p >= lim) break;
        const char c = doc[p];
        switch (c) {
        case '{':
        case '[': {
            size_t q = std::min(p + 2, lim); // the pair's bit: doc[p + 1] == c
            while (q < lim && doc[q] == c) ++q;
            if (q - p == 2) {
                // A link or template whose closing pair is the next stop,
                // with nothing to pair inside: taken whole, without the
                // stack.
                const char close = char(c + 2);
                const bool eqs = c == '{';
                const size_t from = bar_stack.size();
                // The bars and equals signs of bm (bit i: bit0 + i), with
                // room for all of them asked for once.
                auto take = [&](uint64_t bm, size_t bit0) noexcept {
                    if (!bm) return;
                    const size_t most = size_t(__builtin_popcountll(bm)) * sizeof(bar_rec);
                    bar_rec *const start = reinterpret_cast<bar_rec *>(wt_buf_reserve(&bar_stack.b, most));
                    if (!start) {
                        failed = true;
                        return;
                    }
                    bar_rec *o = start;
                    bar_rec *last = bar_stack.size() > from ? &bar_stack.back() : nullptr;
                    for (; bm; bm &= bm - 1) {
                        const size_t b = bit0 + size_t(__builtin_ctzll(bm));
                        if (doc[b] == '|') *(last = o++) = bar_rec{b, none};
                        else if (eqs && last && last->eq == none) last->eq = b;
                    }
                    wt_buf_commit(&bar_stack.b, size_t(o - start) * sizeof(bar_rec));
                };
                size_t at = q; // bit 0 of t
                uint64_t t;
                for (;;) {
                    const size_t sh = at - w.base;
                    t = sh < stop_window::size ? w.top >> sh : 0;
                    if (t) {
                        take((w.bars >> sh) & ((t & (~t + 1)) - 1), at);
                        break;
                    }
                    if (sh < stop_window::size) take(w.bars >> sh, at);
                    const size_t next = w.base + stop_window::size;
                    if (next >= lim) break;
                    w.fill(doc, n, next);
                    at = std::max(at, next);
                }
                const size_t e = at + size_t(__builtin_ctzll(t | (uint64_t(1) << 63)));
                if (t && e + 1 < lim && doc[e] == close && (e + 2 >= lim || doc[e + 2] != close)) {
                    if (c == '[') {
                        link_check(p, e + 2, bar_stack.size() > from ? bar_stack[from].bar : none, from);
                    } else {
                        const size_t first = x->bars.size(), nb = bar_stack.size() - from;
                        keep_bars(from);
                        note(x->templates.push(tmpl_rec{p, e + 2, first, nb, open_braces, tmpl_kind::templ}));
                    }
                    bar_stack.truncate(from);
                    p = e + 2;
                    break;
                }
                // Another stop comes first: the stack takes over there, the
                // bars read on the way already in place.
                note(stack.push(open_rec{p, from, 2, c == '{'}));
                open_braces += c == '{';
                inside = true;
                p = t ? std::min(e, lim) : lim;
                break;
            }
            if (q - p >= 2) {
                note(stack.push(open_rec{p, bar_stack.size(), q - p, c == '{'}));
                open_braces += c == '{';
                inside = true;
            }
            p = q;
            break;
        }
        case '}':
            close_braces(&p, lim, base);
            inside = stack.b.len > base_len;
            break;
        case ']':
            close_brackets(&p, lim, base);
            inside = stack.b.len > base_len;
            break;
        case '|':
        case '=': {
            // Inside a template or link only (the mask holds them then).
            // This one and those after it in the window up to its next other
            // stop, in one go.
            const open_rec &top = stack.back();
            const bool eqs = top.brace;
            const uint64_t t = w.top >> (p - w.base);
            uint64_t bm = m & (t ? (t & (~t + 1)) - 1 : ~uint64_t(0));
            if (lim - p < 64) bm &= (uint64_t(1) << (lim - p)) - 1;
            size_t q = p;
            for (; bm; bm &= bm - 1) {
                q = p + size_t(__builtin_ctzll(bm));
                if (doc[q] == '|') note(bar_stack.push(bar_rec{q, none}));
                else if (eqs && bar_stack.size() > top.bar_base && bar_stack.back().eq == none) bar_stack.back().eq = q;
            }
            p = q + 1;
            break;
        }
        case '<':
            p = take_tag(p, lim, in_ref, in_references);
            inside = stack.b.len > base_len;
            break;
        case '_': {
            if (p + 1 < lim && doc[p + 1] == '_') {
                size_t q = p + 2;
                while (q < lim && doc[q] >= 'A' && doc[q] <= 'Z') ++q;
                if (q > p + 2 && q + 2 <= lim && doc[q] == '_' && doc[q + 1] == '_') {
                    const bool toc = q - p == 5 && std::memcmp(doc + p + 2, "TOC", 3) == 0;
                    push_event(p, q + 2, toc ? ev_kind::toc : ev_kind::removed);
                    p = q + 2;
                } else {
                    p = q > p + 2 ? q : p + 1;
                }
            } else {
                ++p;
            }
            break;
        }
        default: ++p; break; // a pair that only shares the bit test
        }
    }
done:
    // What is still open was text.
    for (size_t i = base; i < stack.size(); ++i) open_braces -= stack[i].brace;
    stack.truncate(base);
    bar_stack.truncate(bar_base);
}

void scanner::close_braces(size_t *pp, size_t lim, size_t base) noexcept
{
    size_t p = *pp;
    size_t q = p;
    while (q < lim && d[q] == '}') ++q;
    while (q - p >= 2 && stack.size() > base && stack.back().brace) {
        open_rec &top = stack.back();
        size_t matched = std::min<size_t>({q - p, top.count, 3});
        size_t start = top.start + top.count - matched;
        size_t first = x->bars.size();
        size_t nb = bar_stack.size() - top.bar_base;
        keep_bars(top.bar_base);
        tmpl_kind kind = matched == 3 ? tmpl_kind::argument : tmpl_kind::templ;
        note(x->templates.push(tmpl_rec{start, p + matched, first, nb, open_braces - 1, kind}));
        bar_stack.truncate(top.bar_base);
        top.count -= matched;
        if (top.count < 2) {
            stack.truncate(stack.size() - 1);
            --open_braces;
        }
        p += matched;
    }
    *pp = q;
}

void scanner::close_brackets(size_t *pp, size_t lim, size_t base) noexcept
{
    size_t p = *pp;
    size_t q = p;
    while (q < lim && d[q] == ']') ++q;
    while (q - p >= 2 && stack.size() > base && !stack.back().brace) {
        open_rec &top = stack.back();
        size_t start = top.start + top.count - 2;
        size_t first_bar = bar_stack.size() > top.bar_base ? bar_stack[top.bar_base].bar : none;
        link_check(start, p + 2, first_bar, top.bar_base);
        bar_stack.truncate(top.bar_base);
        top.count -= 2;
        if (top.count < 2) stack.truncate(stack.size() - 1);
        p += 2;
    }
    *pp = q;
}

// A link [[Category:Name|sort]] at [s, e) becomes a category candidate, a
// link [[File:Name|...]] a file; a ':' before the namespace makes either a
// plain link.
inline void scanner::link_check(size_t s, size_t e, size_t first_bar, size_t bar_base) noexcept
{
    size_t a = s + 2, b = first_bar != none ? first_bar : e - 2;
    while (a < b && uc(d[a]) <= 0x20) ++a;
    if (a < b && d[a] == ':') { // [[:Category:X]]: a plain link; its ':' goes
        push_link_event(a, a + 1, ev_kind::dropped);
        return;
    }
    if (a >= b) return;
    const size_t c = find_colon(a, b);
    if (c != none) link_named(s, e, first_bar, bar_base, a, b, c);
}

// The part of link_check for a link with a ':' at c in its target [a, b).
void scanner::link_named(size_t s, size_t e, size_t first_bar, size_t bar_base, size_t a, size_t b, size_t c) noexcept
{
    size_t na = a, nb = c;
    trim(d, &na, &nb);
    // Without localised names the first letter tells which one it can be.
    const bool english = !ns.file && !ns.media && !ns.category;
    const char letter = lower(d[na]);
    if (english && letter != 'm' && letter != 'f' && letter != 'i' && letter != 'c') return;
    const bool media = (!english || letter == 'm') && is_namespace(d + na, nb - na, {"media"}, ns.media);
    if (media || ((!english || letter == 'f' || letter == 'i') && is_namespace(d + na, nb - na, {"file", "image"}, ns.file))) {
        size_t name = c + 1, name_end = b;
        trim(d, &name, &name_end);
        if (name == name_end) return;
        size_t first = x->bars.size();
        keep_bars(bar_base);
        note(x->files.push(file_rec{s, e, name, name_end - name, first, bar_stack.size() - bar_base, none, 0, none, 0,
                                    nullptr, nullptr, media}));
        push_link_event(s, e, ev_kind::file, x->files.size() - 1);
        return;
    }
    if ((english && letter != 'c') || !is_namespace(d + na, nb - na, {"category"}, ns.category)) return;
    size_t name = c + 1, name_end = b;
    trim(d, &name, &name_end);
    if (name == name_end) return;
    size_t sort = none, sort_n = 0;
    if (first_bar != none) {
        sort = first_bar + 1;
        sort_n = e - 2 - sort;
    }
    note(cats.push(cat_candidate{name, name_end - name, sort, sort_n}));
    push_link_event(s, e, ev_kind::category, cats.size() - 1);
}

// Reads the attributes `name` (when asked for) and `group` (name="v",
// name='v' or name=v) among the n bytes at a, in one pass; stores each value's
// offset and length (the last one written wins), or leaves them.
void read_name_group(const char *d, size_t a, size_t n, size_t *name, size_t *name_n, size_t *group,
                     size_t *group_n) noexcept
{
    size_t i = a, end = a + n;
    while (i < end) {
        while (i < end && (is_space(d[i]) || d[i] == '/')) ++i;
        size_t ns = i;
        while (i < end && !is_space(d[i]) && d[i] != '=' && d[i] != '/') ++i;
        size_t ne = i;
        while (i < end && is_space(d[i])) ++i;
        if (i >= end || d[i] != '=') {
            if (ne == ns) ++i;
            continue;
        }
        ++i;
        while (i < end && is_space(d[i])) ++i;
        size_t vs, ve;
        if (i < end && (d[i] == '"' || d[i] == '\'')) {
            char q = d[i++];
            vs = i;
            while (i < end && d[i] != q) ++i;
            ve = i;
            if (i < end) ++i;
        } else {
            vs = i;
            while (i < end && !is_space(d[i]) && !(d[i] == '/' && i + 1 == end)) ++i;
            ve = i;
        }
        const bool is_name = name && equals_nocase(d + ns, ne - ns, "name");
        if (is_name || equals_nocase(d + ns, ne - ns, "group")) {
            trim(d, &vs, &ve);
            *(is_name ? name : group) = vs;
            *(is_name ? name_n : group_n) = ve - vs;
        }
    }
}

// At a '<': a comment or a tag taken whole, or just the '<'. Returns where the
// scan goes on.
size_t scanner::take_tag(size_t p, size_t lim, bool in_ref, bool in_references) noexcept
{
    if (lim - p >= 4 && std::memcmp(d + p, "<!--", 4) == 0) {
        size_t e = find_comment_end(p + 4);
        size_t end = (e == none || e + 3 > lim) ? lim : e + 3; // unclosed: to the end
        push_event(p, end, ev_kind::removed);
        return end;
    }
    bool closing = p + 1 < lim && d[p + 1] == '/';
    size_t name_at = p + 1 + closing, ne = name_at;
    const size_t name_lim = std::min(lim, name_at + max_tag_name + 1);
    while (ne < name_lim && is_ascii_letter(d[ne])) ++ne;
    if (ne == name_at || ne - name_at > max_tag_name || ne >= lim) return p + 1;
    if (!(is_space(d[ne]) || d[ne] == '>' || d[ne] == '/')) return ne;
    size_t t = find_tag(d + name_at, ne - name_at);
    if (t == n_tags) return ne;
    const tag_info &tag = tags[t];
    size_t gt = find_gt(ne);
    if (gt == none || gt >= lim) return ne;
    if (closing) {
        if (tag.action != tag_action::unwrap) return ne; // a stray closing tag is text
        push_event(p, gt + 1, ev_kind::removed);
        return gt + 1;
    }
    if (tag.action == tag_action::unwrap) {
        push_event(p, gt + 1, ev_kind::removed);
        return gt + 1;
    }
    // A reference inside a reference is text; so is a list inside a list.
    if ((tag.action == tag_action::ref && in_ref) || (tag.action == tag_action::references && (in_ref || in_references)))
        return gt + 1;
    bool self_closing = d[gt - 1] == '/';
    size_t attrs = ne, attrs_n = gt - ne - self_closing;
    size_t content = gt + 1, content_end = gt + 1, end = gt + 1;
    if (!self_closing) {
        size_t close_end = 0;
        size_t close = find_close(t, content, &close_end);
        if (close == none || close_end > lim) {
            if (tags[t].name != "includeonly") return gt + 1; // no closing tag: the tag is text
            close = close_end = lim;
        }
        content_end = close;
        end = close_end;
    }
    switch (tag.action) {
    case tag_action::literal:
        if (content_end == content && tag.kind == literal_kind::nowiki) {
            push_event(p, end, ev_kind::removed);
        } else {
            note(x->literals.push(literal_rec{content, content_end - content, tag.kind, attrs, attrs_n}));
            push_event(p, end, ev_kind::literal, x->literals.size() - 1);
        }
        return end;
    case tag_action::removed: push_event(p, end, ev_kind::removed); return end;
    case tag_action::ref: {
        ref_rec r{none, 0, none, 0, 0, none, 0, 0, 0, 0, none, !in_references, false};
        read_name_group(d, attrs, attrs_n, &r.name, &r.name_n, &r.group, &r.group_n);
        if (r.name != none && r.name_n == 0) r.name = none;
        if (r.group != none && r.group_n == 0) r.group = none;
        note(x->refs.push(r));
        push_event(p, end, ev_kind::ref, x->refs.size() - 1, content, content_end);
        if (content_end > content && !notes_unused) scan(content, content_end, true, in_references);
        return end;
    }
    case tag_action::poem:
        push_event(p, end, ev_kind::poem, 0, content, content_end);
        if (content_end > content) scan(content, content_end, in_ref, in_references);
        return end;
    case tag_action::references: {
        list_rec l{none, 0, none};
        read_name_group(d, attrs, attrs_n, nullptr, nullptr, &l.group, &l.group_n);
        if (l.group != none && l.group_n == 0) l.group = none;
        note(x->lists.push(l));
        push_event(p, end, ev_kind::references, x->lists.size() - 1, content, content_end);
        if (content_end > content) scan(content, content_end, false, true);
        return end;
    }
    default: return end;
    }
}

// "#REDIRECT [[Target]]" at the start, any case, an optional ':'.
void scanner::find_redirect() noexcept
{
    size_t i = 0;
    while (i < n && is_space(d[i])) ++i;
    if (n - i < 9 || !equals_nocase(d + i, 9, "#redirect")) return;
    i += 9;
    while (i < n && is_space(d[i])) ++i;
    if (i < n && d[i] == ':') ++i;
    while (i < n && is_space(d[i])) ++i;
    if (n - i < 2 || d[i] != '[' || d[i + 1] != '[') return;
    size_t a = i + 2, j = a;
    while (j < n && d[j] != ']' && d[j] != '|' && d[j] != '\n' && d[j] != '[' && d[j] != '{' && d[j] != '}') ++j;
    size_t b = j;
    if (j < n && d[j] == '|')
        while (j < n && d[j] != ']' && d[j] != '\n') ++j;
    if (n - j < 2 || d[j] != ']' || d[j + 1] != ']') return;
    trim(d, &a, &b);
    if (a == b) return;
    x->redirect = a;
    x->redirect_n = b - a;
    push_event(0, j + 2, ev_kind::redirect);
}

// Function names written {{name:...}} that are not templates.
bool is_function_name(const char *p, size_t n) noexcept
{
    static constexpr std::string_view names[] = {
        "lc", "uc", "lcfirst", "ucfirst", "urlencode", "anchorencode", "fullurl", "localurl", "canonicalurl",
        "filepath", "ns", "nse", "formatnum", "padleft", "padright", "plural", "grammar", "gender", "int",
        "defaultsort", "displaytitle", "msg", "msgnw", "raw", "tag", "pagesincategory", "numberingroup",
        "language", "special", "speciale", "pagename", "fullpagename", "basepagename", "subpagename",
        "talkpagename", "namespace", "localurle", "fullurle", "formatdate", "dateformat", "safesubst", "subst"};
    for (std::string_view w : names)
        if (equals_nocase(p, n, w)) return true;
    return false;
}

// Upper-case words, '!' or '=' alone: magic words without arguments.
bool is_variable_name(const char *p, size_t n) noexcept
{
    if (n == 1 && (*p == '!' || *p == '=')) return true;
    for (size_t i = 0; i < n; ++i)
        if (!((p[i] >= 'A' && p[i] <= 'Z') || (p[i] >= '0' && p[i] <= '9'))) return false;
    return n > 0 && p[0] >= 'A' && p[0] <= 'Z';
}

// The last line feed among the n bytes at p, or nullptr.
const char *last_newline(const char *p, size_t n) noexcept
{
#if defined(__GLIBC__)
    return static_cast<const char *>(memrchr(p, '\n', n));
#else
    while (n && p[n - 1] != '\n') --n;
    return n ? p + n - 1 : nullptr;
#endif
}

// Line bookkeeping for the clean text: a line left with only blanks by
// removed constructs goes away with its line feed.
struct line_state {
    size_t line_start = 0; // in the output
    size_t checked = 0;    // output bytes looked at
    bool has_text = false;
};

uint64_t hash_bytes(const char *p, size_t n, uint64_t h) noexcept
{
    for (size_t i = 0; i < n; ++i) h = (h ^ uc(p[i])) * 1099511628211ull;
    return h;
}

// Open addressing over references: finds the first reference with the same
// group (by_name false) or the same name and group (by_name true).
struct ref_table {
    const char *d;
    const pod_array<ref_rec> &refs;
    bool by_name;
    pod_array<size_t> slots; // ref index + 1; 0 = empty; a power of two long
    size_t used = 0;
    bool failed = false;

    static bool same(const char *d, size_t a, size_t an, size_t b, size_t bn) noexcept
    {
        if ((a == none) != (b == none)) return false;
        return a == none || (an == bn && std::memcmp(d + a, d + b, an) == 0);
    }

    bool equal(const ref_rec &a, const ref_rec &b) const noexcept
    {
        return same(d, a.group, a.group_n, b.group, b.group_n) &&
               (!by_name || same(d, a.name, a.name_n, b.name, b.name_n));
    }

    size_t hash(const ref_rec &r) const noexcept
    {
        uint64_t h = 14695981039346656037ull;
        if (r.group != none) h = hash_bytes(d + r.group, r.group_n, h ^ 0xFF);
        if (by_name && r.name != none) h = hash_bytes(d + r.name, r.name_n, h);
        return size_t(h ^ (h >> 32));
    }

    size_t slot_of(const ref_rec &r) const noexcept
    {
        size_t mask = slots.size() - 1;
        size_t h = hash(r) & mask;
        while (slots[h] && !equal(refs[slots[h] - 1], r)) h = (h + 1) & mask;
        return h;
    }

    // Doubles the slots (64 at first, at least `at_least`) and enters the
    // references again.
    bool grow(size_t at_least = 0) noexcept
    {
        pod_array<size_t> old = slots;
        slots = pod_array<size_t>{};
        size_t cap = old.size() ? 2 * old.size() : 64;
        while (cap < at_least) cap *= 2;
        wt_buf_init(&slots.b, cap * sizeof(size_t) + 1);
        if (!slots.b.failed) {
            std::memset(slots.b.data, 0, cap * sizeof(size_t));
            slots.b.len = cap * sizeof(size_t);
            slots.b.data[slots.b.len] = '\0';
        }
        bool ok = !slots.b.failed;
        if (ok)
            for (size_t i = 0; i < old.size(); ++i)
                if (old[i]) slots[slot_of(refs[old[i] - 1])] = old[i];
        old.release();
        return ok;
    }

    // The first reference equal to r (which need not be entered), or none.
    size_t find(const ref_rec &r) const noexcept
    {
        if (slots.size() == 0) return none;
        size_t h = slot_of(r);
        return slots[h] ? slots[h] - 1 : none;
    }

    // The first reference equal to ref r, or none after entering r.
    size_t find_or_add(size_t r) noexcept
    {
        if (failed) return none;
        if (slots.size() < 2 * (used + 1) && !grow()) {
            failed = true;
            return none;
        }
        size_t h = slot_of(refs[r]);
        if (slots[h]) return slots[h] - 1;
        slots[h] = r + 1;
        ++used;
        return none;
    }
};

// Appends a callback's HTML to a wt_buf, each NUL as U+FFFD: no byte of it
// can pass for a placeholder.
int write_html(void *output, const char *bytes, size_t length) noexcept
{
    wt_buf *b = static_cast<wt_buf *>(output);
    if (!length) return 0;
    if (!bytes) return 1;
    for (const char *end = bytes + length;;) {
        const char *nul = static_cast<const char *>(std::memchr(bytes, '\0', size_t(end - bytes)));
        if (!wt_buf_append(b, bytes, size_t((nul ? nul : end) - bytes))) return 1;
        if (!nul) return 0;
        if (!wt_buf_append(b, "\xEF\xBF\xBD", 3)) return 1;
        bytes = nul + 1;
    }
}

struct walker {
    scanner &s;
    extraction *x;
    bool text;
    const wt_config *hook = nullptr; // asked for templates' HTML and the place of __TOC__
    bool toc_placed = false;
    pod_array<param_view> views;     // one template's parameters, for the hook
    pod_array<wtcore_template_param> params;
    ref_table names;  // named references
    ref_table groups; // the first reference of each group
    pod_array<size_t> counts; // per reference that opened a group: numbers given in it
    int poem = 0;             // walking the content of a <poem>

    const char *d() const noexcept { return s.d; }

    void placeholder(wt_buf *out, char kind, size_t index) noexcept
    {
        if (!out) return;
        char *o = wt_buf_reserve(out, 24); // '<', NUL, kind, 20 digits at most, '>'
        if (!o) {
            s.failed = true;
            return;
        }
        o[0] = '<';
        o[1] = '\0';
        o[2] = kind;
        const size_t nd = put_decimal_at(o + 3, index);
        o[nd + 3] = '>';
        wt_buf_commit(out, nd + 4);
    }

    // A few character references decoded lately: a page repeats the same
    // ones (&nbsp; &quot; &lt;), and the table's search is slow beside a
    // comparison of their bytes.
    struct entity_memo {
        char text[16];
        size_t used; // the reference's length, 0 for an empty slot
        char value[8];
        size_t n;
    };
    entity_memo memo[4] = {};
    unsigned memo_next = 0;

    // decode_entity through the memo.
    size_t decode(const char *amp, const char *end, char *value, size_t *n) noexcept
    {
        for (const entity_memo &m : memo)
            if (m.used && m.used <= size_t(end - amp) && std::memcmp(amp, m.text, m.used) == 0) {
                std::memcpy(value, m.value, sizeof m.value);
                *n = m.n;
                return m.used;
            }
        size_t used = decode_entity(amp, end, value, n);
        if (used && used <= sizeof memo[0].text) {
            entity_memo &m = memo[memo_next++ % 4];
            std::memcpy(m.text, amp, used);
            m.used = used;
            std::memcpy(m.value, value, sizeof m.value);
            m.n = *n;
        }
        return used;
    }

    // Copies document bytes into the clean text. A character reference that
    // stands for characters beyond ASCII is written as them: they cannot be
    // markup, and the renderer would show the reference itself.
    void copy(wt_buf *out, size_t a, size_t b) noexcept
    {
        if (!out || b <= a) return;
        const char *p = d() + a, *end = d() + b;
        for (;;) {
            const char *amp = copy_to_amp(out, p, end);
            if (!amp) return;
            p = amp;
            if (amp == end) break;
            char buf[8] = {};
            size_t n = 0;
            size_t used = decode(amp, end, buf, &n);
            if (used && uc(buf[0]) >= 0x80) {
                s.note(wt_buf_append(out, buf, n));
                p = amp + used;
            } else {
                s.note(wt_buf_put_char(out, '&'));
                p = amp + 1;
            }
        }
    }

    // Copies the bytes from p up to the first '&' before end, or up to end,
    // to out, and returns where it stopped; null when memory ran out. The
    // search and the copy share their loads: a block is stored whole and
    // kept up to its '&'.
    const char *copy_to_amp(wt_buf *out, const char *p, const char *end) noexcept
    {
#if defined(WT_SIMD)
        constexpr size_t block = size_t(simd::block);
        const char *const doc_end = d() + s.n;
        if (size_t(doc_end - p) >= block) {
            char *dst = wt_buf_reserve(out, size_t(end - p) + block);
            if (!dst) {
                s.failed = true;
                return nullptr;
            }
            const char *const from = p;
            // Whole blocks while they lie in the document; the bytes past
            // end that they store are not kept.
            for (; p < end && size_t(doc_end - p) >= block; p += block) {
                const simd::vec v = simd::load(p);
                std::memcpy(dst + (p - from), &v, block);
                if (simd::mask_t m = simd::mask(simd::eq(v, '&'))) {
                    const char *const stop = std::min(p + __builtin_ctzll(m), end);
                    wt_buf_commit(out, size_t(stop - from));
                    return stop;
                }
            }
            if (p >= end) {
                wt_buf_commit(out, size_t(end - from));
                return end;
            }
            wt_buf_commit(out, size_t(p - from));
        }
#endif
        const char *amp = static_cast<const char *>(std::memchr(p, '&', size_t(end - p)));
        if (!amp) amp = end;
        s.note(wt_buf_put(out, p, size_t(amp - p)));
        return amp;
    }

    // Copies the text of a poem: each line feed becomes a line break before
    // it, and the blanks that start a line no-break spaces, so that the
    // lines stay as written.
    void copy_poem(wt_buf *out, size_t a, size_t b) noexcept
    {
        if (!out || b <= a) return;
        while (a < b) {
            if (out->len && out->data[out->len - 1] == '\n')
                for (; a < b && d()[a] == ' '; ++a) s.note(wt_buf_append_lit(out, "&#160;"));
            const void *nl = std::memchr(d() + a, '\n', b - a);
            size_t e = nl ? size_t(static_cast<const char *>(nl) - d()) : b;
            copy(out, a, e);
            if (!nl) break;
            s.note(wt_buf_append_lit(out, "<br>\n"));
            a = e + 1;
        }
    }

    // After a construct that left nothing: when its line holds only blanks
    // and ends here, the line goes, line feed included. Returns where the
    // copy goes on.
    size_t after_removal(wt_buf *out, line_state &ls, size_t pos, size_t to) noexcept
    {
        size_t next = pos;
        line_left_blank(out, ls, pos, to, &next);
        return next;
    }

    // after_removal for a template left out. On the wiki a template at the
    // start of a line writes what the line starts with (a hatnote, an
    // infobox, the lead's first words), so the blanks between it and the
    // text after it go too: "{{Infobox ...}} '''X''' is" stays a paragraph
    // instead of becoming an indented, preformatted line. A line that starts
    // with a blank before the template keeps it.
    size_t after_template(wt_buf *out, line_state &ls, size_t pos, size_t to) noexcept
    {
        size_t next = pos;
        if (line_left_blank(out, ls, pos, to, &next) || !out || out->len != ls.line_start) return next;
        return past_blanks(pos, to);
    }

    // after_removal for a block placed in the clean text (a list of notes,
    // a pre): when text follows it on its line, that text starts a line of
    // the renderer's, and its blanks go as after a leading template.
    size_t after_block(wt_buf *out, line_state &ls, size_t pos, size_t to) noexcept
    {
        size_t next = pos;
        if (line_left_blank(out, ls, pos, to, &next) || out != &x->clean) return next;
        return past_blanks(pos, to);
    }

    // Past the blanks at pos, unless the text after them would start a list,
    // heading, rule or table line: on the wiki the template's output or the
    // block stands before them, so none of those would start there.
    size_t past_blanks(size_t pos, size_t to) const noexcept
    {
        const char *p = d() + pos, *end = d() + to;
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        if (p == end || std::strchr("*#:;=|!", *p) || (*p == '{' && end - p >= 2 && p[1] == '|') ||
            (end - p >= 4 && std::memcmp(p, "----", 4) == 0))
            return pos;
        return size_t(p - d());
    }

    // Whether the line of the output so far holds only blanks and the
    // document's line ends at pos after blanks; then the output loses those
    // blanks and *next is past the line feed.
    bool line_left_blank(wt_buf *out, line_state &ls, size_t pos, size_t to, size_t *next) noexcept
    {
        *next = pos;
        if (!out) return false;
        // Only the bytes written since the last look: from the last line
        // feed among them, and back from the end to the first non-blank.
        if (out->len > ls.checked) {
            size_t from = ls.checked;
            if (const char *nl = last_newline(out->data + from, out->len - from)) {
                ls.line_start = size_t(nl - out->data) + 1;
                ls.has_text = false;
                from = ls.line_start;
            }
            for (size_t i = out->len; !ls.has_text && i > from; --i)
                ls.has_text = out->data[i - 1] != ' ' && out->data[i - 1] != '\t';
        }
        ls.checked = out->len;
        if (ls.has_text) return false;
        size_t q = pos;
        while (q < to && (d()[q] == ' ' || d()[q] == '\t')) ++q;
        if (q < to && d()[q] == '\r' && q + 1 < to && d()[q + 1] == '\n') ++q;
        if (q < to && d()[q] != '\n') return false;
        out->len = ls.line_start;
        if (out->data) out->data[out->len] = '\0';
        ls.checked = out->len;
        *next = q < to ? q + 1 : q;
        return true;
    }

    // Reads a file's options: frame and alignment words, alt=, and the last
    // unnamed one that is no option word as its caption, whose clean text is
    // walked into captions. Returns the next event index.
    size_t read_file(file_rec &f, size_t ei) noexcept
    {
        const char *dd = d();
        size_t cap_a = none, cap_b = 0;
        for (size_t i = 0; i < f.n_bars; ++i) {
            size_t a = x->bars[f.first_bar + i].bar + 1;
            size_t b = i + 1 < f.n_bars ? x->bars[f.first_bar + i + 1].bar : f.end - 2;
            size_t ta = a, tb = b;
            trim(dd, &ta, &tb);
            const char *w = dd + ta;
            size_t wn = tb - ta;
            if (const char *frame = option_word(w, wn, frames)) f.frame = frame;
            else if (const char *align = option_word(w, wn, aligns)) f.align = align;
            else if (wn >= 4 && equals_nocase(w, 4, "alt=")) f.alt = ta + 4, f.alt_n = wn - 4;
            else if (!is_option(w, wn)) cap_a = a, cap_b = b;
        }
        if (cap_a == none) return ei;
        // Into a buffer of its own: a file in the caption writes its caption
        // to `captions` meanwhile.
        wt_buf cap{};
        if (text) wt_buf_init(&cap, cap_b - cap_a + 16);
        ei = walk(cap_a, cap_b, ei, text ? &cap : nullptr);
        file_rec &g = x->files[size_t(&f - x->files.data())];
        g.caption = x->captions.len;
        g.caption_n = cap.len;
        s.note(wt_buf_append(&x->captions, cap.data, cap.len) && !cap.failed);
        wt_buf_free(&cap);
        return ei;
    }

    static constexpr std::string_view frames[] = {"thumb", "thumbnail", "frame", "framed", "frameless", "border"};
    static constexpr std::string_view aligns[] = {"left", "right", "center", "centre", "none"};

    // The option word among `words` that the n bytes at w spell, as its
    // canonical name, or nullptr.
    template <size_t N>
    static const char *option_word(const char *w, size_t n, const std::string_view (&words)[N]) noexcept
    {
        for (std::string_view word : words)
            if (equals_nocase(w, n, word)) {
                if (word == "thumbnail") return "thumb";
                if (word == "framed") return "frame";
                if (word == "centre") return "center";
                return word.data();
            }
        return nullptr;
    }

    // Options that are neither frame nor alignment nor caption: sizes
    // (200px, x200px, 200x100px), vertical alignments, upright and the
    // named ones.
    static bool is_option(const char *w, size_t n) noexcept
    {
        static constexpr std::string_view words[] = {"upright", "baseline", "sub", "super", "top", "text-top",
                                                     "middle", "bottom", "text-bottom"};
        for (std::string_view word : words)
            if (equals_nocase(w, n, word)) return true;
        static constexpr std::string_view named[] = {"link=", "page=", "class=", "lang=", "upright=", "thumb=",
                                                     "thumbnail=", "alt=", "loop", "muted"};
        for (std::string_view key : named)
            if (n >= key.size() && equals_nocase(w, key.size(), key)) return true;
        if (n > 2 && equals_nocase(w + n - 2, 2, "px")) {
            size_t i = 0;
            while (i < n - 2 && ((w[i] >= '0' && w[i] <= '9') || w[i] == 'x' || w[i] == ' ')) ++i;
            return i == n - 2;
        }
        return false;
    }

    // Asks the host for the HTML of template t; on success stores it and
    // sets *index to its record.
    bool template_html(const tmpl_rec &t, size_t *index) noexcept
    {
        const char *name = d() + t.name;
        const size_t nn = t.name_n;
        views.truncate(0);
        params.truncate(0);
        size_t unnamed = 0;
        for (size_t i = 0; i < t.n_bars; ++i) {
            param_view v = template_param(*x, t, i, &unnamed);
            // An unnamed one's name is its number, held in the view itself.
            if (v.name == v.number) v.name = nullptr;
            s.note(views.push(v));
        }
        for (size_t i = 0; i < views.size() && !s.failed; ++i) {
            const param_view &v = views[i];
            s.note(params.push(wtcore_template_param{v.name ? v.name : v.number, v.name_n, v.value, v.value_n}));
        }
        if (s.failed) return false;
        const size_t at = x->html.len;
        const int keep = hook->template_html(hook->context, name, nn, params.data(), params.size(), write_html,
                                             &x->html);
        if (x->html.failed) {
            s.failed = true;
            return false;
        }
        if (!keep) {
            x->html.len = at;
            if (x->html.data) x->html.data[at] = '\0';
            return false;
        }
        s.note(x->htmls.push(html_rec{at, x->html.len - at}));
        *index = x->htmls.size() - 1;
        return !s.failed;
    }

    // Whether template t is a reflist-like template: its name starts with
    // "reflist", any case.
    bool is_reflist(const tmpl_rec &t) const noexcept
    {
        return t.name_n >= 7 && equals_nocase(d() + t.name, 7, "reflist");
    }

    // A list of notes goes where the text is cut, at the top level only.
    void place_list(wt_buf *out, size_t list) noexcept
    {
        list_rec &l = x->lists[list];
        ref_rec probe{};
        probe.group = l.group;
        probe.group_n = l.group_n;
        l.group_first = groups.find(probe);
        if (out && out == &x->clean) s.note(x->places.push(block_place{out->len, list, block_place::list}));
    }

    // Whether a literal makes a block of its own: pre, gallery, and code
    // without the inline attribute.
    bool is_block(const literal_rec &l) const noexcept
    {
        if (l.kind == literal_kind::pre || l.kind == literal_kind::gallery) return true;
        if (l.kind != literal_kind::code) return false;
        for (size_t i = l.attrs; i + 6 <= l.attrs + l.attrs_n; ++i)
            if (equals_nocase(d() + i, 6, "inline")) return false;
        return true;
    }

    size_t walk(size_t from, size_t to, size_t ei, wt_buf *out) noexcept;
};

size_t walker::walk(size_t from, size_t to, size_t ei, wt_buf *out) noexcept
{
    const pod_array<event> &ev = s.events;
    size_t pos = from;
    line_state ls;
    if (out) ls.line_start = ls.checked = out->len;
    while (ei < ev.size() && ev[ei].start < to && !s.failed) {
        const event e = ev[ei];
        if (e.start < pos) { // inside a construct already taken
            ++ei;
            continue;
        }
        poem ? copy_poem(out, pos, e.start) : copy(out, pos, e.start);
        pos = e.end;
        ++ei;
        switch (e.kind) {
        case ev_kind::removed: pos = after_removal(out, ls, pos, to); break;
        case ev_kind::dropped: break;
        case ev_kind::templ: {
            const tmpl_rec &t = x->templates[e.index];
            if (t.kind == tmpl_kind::templ && is_reflist(t)) {
                list_rec l{none, 0, none};
                size_t unnamed = 0;
                for (size_t i = 0; i < t.n_bars; ++i) {
                    param_view pv = template_param(*x, t, i, &unnamed);
                    if (equals_nocase(pv.name, pv.name_n, "group") && pv.value_n) {
                        size_t a = size_t(pv.value - d()), b = a + pv.value_n;
                        trim(d(), &a, &b);
                        if (b > a) l = list_rec{a, b - a, none};
                    }
                }
                s.note(x->lists.push(l));
                place_list(out, x->lists.size() - 1);
                pos = after_block(out, ls, pos, to);
            } else if (size_t h; out && hook && hook->template_html && template_html(t, &h)) {
                // Alone on its line it is a block of its own, like a file.
                size_t next = pos;
                if (out == &x->clean && line_left_blank(out, ls, pos, to, &next)) {
                    s.note(x->places.push(block_place{out->len, h, block_place::html}));
                    pos = next;
                } else {
                    placeholder(out, ph_html, h);
                }
            } else {
                pos = after_template(out, ls, pos, to);
            }
            break;
        }
        case ev_kind::category: {
            const cat_candidate &c = s.cats[e.index];
            s.note(x->categories.push(category_rec{c.name, c.name_n, c.sort, c.sort_n}));
            pos = after_removal(out, ls, pos, to);
            break;
        }
        case ev_kind::file: {
            ei = read_file(x->files[e.index], ei);
            size_t next = pos;
            if (out && out == &x->clean && line_left_blank(out, ls, pos, to, &next)) {
                s.note(x->places.push(block_place{out->len, e.index, block_place::file}));
                pos = next;
            } else {
                placeholder(out, ph_file, e.index);
            }
            break;
        }
        case ev_kind::literal:
            if (out && out == &x->clean && is_block(x->literals[e.index])) {
                s.note(x->places.push(block_place{out->len, e.index, block_place::literal}));
                pos = after_block(out, ls, pos, to);
            } else {
                placeholder(out, ph_literal, e.index);
            }
            break;
        case ev_kind::redirect: pos = after_removal(out, ls, pos, to); break; // the notice comes first
        case ev_kind::toc: {
            size_t next = pos;
            if (toc_placed || !hook || !hook->toc_html || out != &x->clean) {
                pos = after_removal(out, ls, pos, to);
            } else if (line_left_blank(out, ls, pos, to, &next)) {
                s.note(x->places.push(block_place{out->len, 0, block_place::toc}));
                pos = next;
                toc_placed = true;
            } else {
                placeholder(out, ph_toc, 0);
                toc_placed = true;
            }
            break;
        }
        case ev_kind::ref: {
            ref_rec &r = x->refs[e.index];
            size_t earlier = r.name != none ? names.find_or_add(e.index) : none;
            size_t g = groups.find_or_add(e.index);
            r.group_first = g == none ? e.index : g;
            if (earlier != none) {
                r.number = x->refs[earlier].number;
                r.use = r.marker ? ++x->refs[earlier].uses : 0;
            } else {
                r.number = ++counts[r.group_first];
                r.uses = r.use = r.marker ? 1 : 0;
                r.first = true;
            }
            r.clean_at = out && out == &x->clean && r.marker ? out->len : none;
            if (e.b > e.a && !s.notes_unused) {
                size_t at = x->notes_text.len;
                ei = walk(e.a, e.b, ei, text ? &x->notes_text : nullptr);
                r.text = at;
                r.text_n = x->notes_text.len - at;
                if (earlier != none && x->refs[earlier].text == none) {
                    x->refs[earlier].text = r.text;
                    x->refs[earlier].text_n = r.text_n;
                }
            }
            if (r.marker) placeholder(out, ph_ref, e.index);
            else pos = after_removal(out, ls, pos, to);
            break;
        }
        case ev_kind::poem: {
            // A block of its own, the content's outer line feeds left out.
            size_t a = e.a, b = e.b;
            if (a < b && d()[a] == '\n') ++a;
            if (b > a && d()[b - 1] == '\n') --b;
            if (out) s.note(wt_buf_append_lit(out, "<div class=\"poem\">\n"));
            ++poem;
            ei = walk(a, b, ei, out);
            --poem;
            if (out) s.note(wt_buf_append_lit(out, "\n</div>"));
            break;
        }
        case ev_kind::references:
            if (e.b > e.a) ei = walk(e.a, e.b, ei, nullptr);
            place_list(out, e.index);
            pos = after_block(out, ls, pos, to);
            break;
        }
    }
    if (pos < to) poem ? copy_poem(out, pos, to) : copy(out, pos, to);
    return ei;
}

} // namespace

void template_name(const extraction &x, const tmpl_rec &t, const char **name, size_t *n) noexcept
{
    size_t a = t.start + (t.kind == tmpl_kind::argument ? 3 : 2);
    size_t b = t.n_bars ? x.bars[t.first_bar].bar : t.end - (t.kind == tmpl_kind::argument ? 3 : 2);
    trim(x.doc, &a, &b);
    if (b > a && lower(x.doc[a]) == 's') {
        for (std::string_view prefix : {std::string_view("subst:"), std::string_view("safesubst:")}) {
            if (b - a >= prefix.size() && equals_nocase(x.doc + a, prefix.size(), prefix)) {
                a += prefix.size();
                trim(x.doc, &a, &b);
            }
        }
    }
    *name = x.doc + a;
    *n = b - a;
}

} // namespace ext

namespace {

// Reads the bytes of `text` (of the clean text) between its placeholders
// into tmp, emptied first: each placeholder (a NUL with the '<' before it
// and the kind, digits and '>' after it) goes to placeholder(kind, index)
// instead. False, having written nothing, when there is none.
template <class Placeholder>
bool split_at_placeholders(span text, wt_buf *tmp, Placeholder placeholder) noexcept
{
    if (!text.n || !std::memchr(text.p, '\0', text.n)) return false;
    wt_buf_reset(tmp);
    for (const char *p = text.p, *end = p + text.n; p < end;) {
        const char *nul = static_cast<const char *>(std::memchr(p, '\0', size_t(end - p)));
        if (!nul) {
            wt_buf_append(tmp, p, size_t(end - p));
            break;
        }
        wt_buf_append(tmp, p, size_t(nul - p - (nul > p && nul[-1] == '<')));
        const char *q = nul + 1;
        const char kind = q < end ? *q++ : '\0';
        const size_t index = ext::placeholder_index(&q, end);
        if (q < end && *q == '>') ++q;
        placeholder(kind, index);
        p = q;
    }
    return true;
}

} // namespace

span text_without_placeholders(span text, wt_buf *tmp) noexcept
{
    if (!split_at_placeholders(text, tmp, [](char, size_t) {})) return text;
    return span{tmp->data ? tmp->data : "", tmp->len};
}

span heading_text(const void *ext, span text, wt_buf *tmp) noexcept
{
    if (!ext) return text;
    const ext::extraction &x = *static_cast<const ext::extraction *>(ext);
    const bool split = split_at_placeholders(text, tmp, [&](char kind, size_t index) {
        if (kind != ext::ph_literal || index >= x.literals.size() ||
            x.literals[index].kind != ext::literal_kind::nowiki)
            return;
        // A heading is one line: a line break in the passage reads as a
        // blank, as the page shows it.
        const size_t at = tmp->len;
        wt_buf_append(tmp, x.doc + x.literals[index].start, x.literals[index].n);
        if (!tmp->failed)
            for (char *c = tmp->data + at; c < tmp->data + tmp->len; ++c)
                if (*c == '\n' || *c == '\r') *c = ' ';
    });
    return split ? trim_both(span{tmp->data ? tmp->data : "", tmp->len}) : text;
}

namespace ext {

param_view template_param(const extraction &x, const tmpl_rec &t, size_t i, size_t *unnamed) noexcept
{
    const bar_rec &bar = x.bars[t.first_bar + i];
    size_t close = t.end - (t.kind == tmpl_kind::argument ? 3 : 2);
    size_t end = i + 1 < t.n_bars ? x.bars[t.first_bar + i + 1].bar : close;
    param_view v{};
    if (bar.eq != none && bar.eq < end) {
        size_t a = bar.bar + 1, b = bar.eq;
        trim(x.doc, &a, &b);
        v.name = x.doc + a;
        v.name_n = b - a;
        v.value = x.doc + bar.eq + 1;
        v.value_n = end - bar.eq - 1;
    } else {
        v.name = v.number;
        v.name_n = put_decimal_at(v.number, ++*unnamed);
        v.value = x.doc + bar.bar + 1;
        v.value_n = end - bar.bar - 1;
    }
    return v;
}

namespace {
// Gives an empty array room for n records (at least a few).
template <class T>
void reserve(pod_array<T> &a, size_t n) noexcept
{
    wt_buf_init_scratch(&a.b, (n < 16 ? 16 : n) * sizeof(T) + 1);
}
} // namespace

int wt_extract(const char *doc, size_t n, const names &ns, bool clean_text, extraction *x,
               const wt_config *hook) noexcept
{
    x->doc = doc;
    x->n = n;
    scanner s(doc, n, ns, x);
    // Room for the records of a typical article from its size (a little more
    // than the corpus's articles take), given at once: growing by doubling
    // would copy them and touch twice the memory, which the C library hands
    // back to the system between calls and faults in again.
    reserve(s.events, n / 256);
    reserve(x->templates, n / 512);
    reserve(x->bars, n / 96);
    reserve(x->refs, n / 768);
    s.failed = s.events.b.failed || x->templates.b.failed || x->bars.b.failed || x->refs.b.failed;
    s.notes_unused = clean_text && hook && hook->for_text && !hook->template_html && !hook->toc_html;
    s.find_redirect();
    s.scan(0, n, false, false);

    // Templates in document order, then each one's kind.
    if (!s.failed) {
        s.note(radix_sort(x->templates, n, [](const tmpl_rec &t) { return t.start; }));
        const size_t count = x->templates.size();
        for (size_t i = 0; i < count; ++i) {
            // The scan has long passed these bytes: those of a template a few
            // ahead are asked for now.
            if (i + 8 < count) __builtin_prefetch(doc + x->templates[i + 8].start);
            tmpl_rec &t = x->templates[i];
            if (t.kind != tmpl_kind::argument) {
                const char *name;
                size_t nn;
                template_name(*x, t, &name, &nn);
                t.name = size_t(name - doc);
                t.name_n = nn;
                const void *colon = std::memchr(name, ':', nn);
                size_t before = colon ? size_t(static_cast<const char *>(colon) - name) : nn;
                if (nn && name[0] == '#' && colon) t.kind = tmpl_kind::parser_function;
                else if (colon && is_function_name(name, before)) t.kind = tmpl_kind::parser_function;
                else if (!colon && t.n_bars == 0 && is_variable_name(name, nn)) t.kind = tmpl_kind::variable;
            }
        }
        // The scan's events by start (mostly in order already: the sort
        // then only checks), merged with the templates' in one pass, a
        // scan event first at a shared start. At one start the longer goes
        // first: constructs start at distinct bytes, so the order by start
        // alone settles it; should two share one, a stable sort by end from
        // the largest, then by start.
        s.note(radix_sort(s.events, n, [](const event &e) { return e.start; }));
        const size_t ne = s.events.size(), nt = x->templates.size();
        pod_array<event> all;
        reserve(all, ne + nt);
        s.note(!all.b.failed);
        bool ties = false;
        if (!s.failed) {
            event *out = all.data();
            const event *ev = s.events.data();
            size_t i = 0, j = 0;
            while (i < ne || j < nt) {
                if (j == nt || (i < ne && ev[i].start <= x->templates[j].start)) {
                    *out++ = ev[i++];
                } else {
                    const tmpl_rec &t = x->templates[j];
                    *out++ = event{t.start, t.end, j, 0, 0, t.kind == tmpl_kind::argument ? ev_kind::removed : ev_kind::templ};
                    ++j;
                }
                ties |= out - all.data() >= 2 && out[-2].start == out[-1].start;
            }
            all.b.len = (ne + nt) * sizeof(event);
            all.b.data[all.b.len] = '\0';
        }
        s.events.release();
        s.events = all;
        if (ties)
            s.note(radix_sort(s.events, n, [n](const event &e) { return n - e.end; }) &&
                   radix_sort(s.events, n, [](const event &e) { return e.start; }));
    }
    if (!s.failed) {
        walker w{s, x, clean_text, clean_text ? hook : nullptr, false, {}, {},
                 {doc, x->refs, true, {}, 0, false}, {doc, x->refs, false, {}, 0, false}, {}};
        const size_t n_refs = x->refs.size();
        wt_buf_init(&w.counts.b, n_refs * sizeof(size_t) + 1);
        if (!w.counts.b.failed) {
            std::memset(w.counts.b.data, 0, n_refs * sizeof(size_t));
            w.counts.b.len = n_refs * sizeof(size_t);
            w.counts.b.data[w.counts.b.len] = '\0';
        }
        s.note(!w.counts.b.failed);
        // The named references' table at its final size at once.
        size_t named = 0;
        for (size_t i = 0; i < n_refs; ++i) named += x->refs[i].name != none;
        if (named >= 32) s.note(w.names.grow(2 * (named + 1)));
        if (clean_text) wt_buf_init_scratch(&x->clean, n + 64);
        w.walk(0, n, 0, clean_text ? &x->clean : nullptr);
        if ((clean_text && x->clean.failed) || w.names.failed || w.groups.failed) s.failed = true;
        w.names.slots.release();
        w.groups.slots.release();
        w.views.release();
        w.params.release();
        w.counts.release();
    }
    s.stack.release();
    s.bar_stack.release();
    s.events.release();
    s.cats.release();
    return s.failed ? 0 : 1;
}

void wt_extraction_free(extraction *x) noexcept
{
    x->templates.release();
    x->bars.release();
    x->categories.release();
    x->refs.release();
    x->literals.release();
    x->lists.release();
    x->places.release();
    x->files.release();
    wt_buf_free_scratch(&x->captions);
    wt_buf_free_scratch(&x->clean);
    wt_buf_free_scratch(&x->notes_text);
    x->htmls.release();
    wt_buf_free(&x->html);
}

} // namespace ext
WT_ISA_END
} // namespace wt
