#include "wt_buffer.h"

#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t min_init_cap = 64;
constexpr size_t first_growth_cap = 128;

// Returned for a buffer without storage, so that callers always get a string.
const char empty_string[] = "";

// Escape tables: 0 means the byte is copied as it is. Plain runs are copied
// with one append; only the marked bytes are written one at a time.
constexpr auto html_special = [] {
    std::array<unsigned char, 256> t{};
    for (unsigned char c : {'"', '&', '<', '>'}) t[c] = 1;
    return t;
}();

constexpr auto wiki_url_special = [] {
    std::array<unsigned char, 256> t{};
    t[' '] = 1;
    t['"'] = 1;
    return t;
}();

// Returns the length of the run of bytes at p that `table` leaves unmarked.
inline size_t plain_run(const std::array<unsigned char, 256> &table,
                        const unsigned char *p, const unsigned char *end) noexcept
{
    const unsigned char *q = p;
    while (q < end && !table[*q]) ++q;
    return size_t(q - p);
}

const char *html_entity(unsigned char c) noexcept
{
    switch (c) {
    case '"': return "&quot;";
    case '&': return "&amp;";
    case '<': return "&lt;";
    default: return "&gt;";
    }
}

// The fast path of a writer for a short source (up to 64 bytes) whose
// 16-byte pieces may be read (`limit` is the last readable byte): copy(dst,
// src, n) stores the pieces, converted, into reserved room and tells whether
// the n bytes needed nothing more. Returns 1 when they are written, 0 when the
// room cannot be had, and -1 when the general path must write them.
template <class Copy>
int put_short(wt_buf *b, const char *src, size_t n, const char *limit, Copy copy) noexcept
{
    size_t whole = (n + 15) & ~size_t(15);
    if (!limit || n > 64 || limit < src || size_t(limit - src) + 1 < whole) return -1;
    char *dst = wt_buf_reserve(b, whole);
    if (!dst) return 0;
    if (!copy(dst, src, n)) return -1;
    wt_buf_commit(b, n);
    return 1;
}

// The JSON writer's fast path for a short source (up to 64 bytes) whose
// 16-byte pieces may be read (`limit` is the last readable byte): one mask of
// the bytes that need an escape for the whole source, then the runs between
// them copied and the escapes written, all in reserved room. Returns 1 when
// written, 0 when the room cannot be had, -1 when the general path must
// write them.
int put_short_json(wt_buf *b, const char *src, size_t n, const char *limit) noexcept
{
    if (!wt::json_pieces_readable(src, n, limit)) return -1;
    char *dst = wt_buf_reserve(b, wt::json_pieces_room(n));
    if (!dst) return 0;
    wt_buf_commit(b, wt::put_json_pieces(dst, src, n));
    return 1;
}

} // namespace

void wt_buf_init(wt_buf *b, size_t initial_cap) noexcept
{
    if (!b) return;
    size_t cap = initial_cap < min_init_cap ? min_init_cap : initial_cap;
    b->len = 0;
    b->failed = 0;
    b->data = static_cast<char *>(wt_mem_realloc(nullptr, cap));
    if (!b->data) {
        b->cap = 0;
        b->failed = 1;
        return;
    }
    b->cap = cap;
    b->data[0] = '\0';
}

void wt_buf_free(wt_buf *b) noexcept
{
    if (!b) return;
    if (b->data) wt_mem_free(b->data);
    *b = wt_buf{};
}

namespace {

// The blocks a thread keeps, in no order.
struct scratch_pool {
    char *data[wt_scratch_slots] = {};
    size_t cap[wt_scratch_slots] = {};
    size_t n = 0, bytes = 0;

    // Takes block i out of the pool and returns it.
    char *take(size_t i) noexcept
    {
        char *block = data[i];
        bytes -= cap[i];
        --n;
        data[i] = data[n];
        cap[i] = cap[n];
        return block;
    }
    void release() noexcept
    {
        for (size_t i = 0; i < n; ++i) wt_mem_free(data[i]);
        n = bytes = 0;
    }
    ~scratch_pool() { release(); }
};

#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
scratch_pool pool; // one thread, and no thread-local storage without atomics
#else
thread_local scratch_pool pool;
#endif

} // namespace

namespace {

// The smallest kept block of at least `need` bytes, taken out of the pool
// with its size in *cap, or null. A block more than four times the size is
// left for the records that grow large: a small one would hold it for
// nothing, and they would fault in new memory instead.
char *take_kept(size_t need, size_t *cap) noexcept
{
    scratch_pool &kept = pool;
    const size_t most = need > SIZE_MAX / 4 ? SIZE_MAX : need * 4;
    size_t best = kept.n;
    for (size_t i = 0; i < kept.n; ++i)
        if (kept.cap[i] >= need && kept.cap[i] <= most && (best == kept.n || kept.cap[i] < kept.cap[best]))
            best = i;
    if (best == kept.n) return nullptr;
    *cap = kept.cap[best];
    return kept.take(best);
}

} // namespace

void wt_buf_init_scratch(wt_buf *b, size_t initial_cap) noexcept
{
    if (!b) return;
    b->scratch = 1;
    size_t cap = 0;
    char *block = initial_cap >= wt_scratch_min / 2 ? take_kept(initial_cap, &cap) : nullptr;
    if (!block) {
        wt_buf_init(b, initial_cap);
        return;
    }
    b->cap = cap;
    b->data = block;
    b->len = 0;
    b->failed = 0;
    b->data[0] = '\0';
}

void wt_buf_free_scratch(wt_buf *b) noexcept
{
    if (!b) return;
    scratch_pool &kept = pool;
    if (!b->data || b->cap < wt_scratch_min || b->cap > wt_scratch_max) {
        wt_buf_free(b);
        b->scratch = 1;
        return;
    }
    // Smaller blocks make room for a larger one: the next call of the same
    // size asks for the large ones again.
    while (kept.n && (kept.n == wt_scratch_slots || b->cap > wt_scratch_max - kept.bytes)) {
        size_t least = 0;
        for (size_t i = 1; i < kept.n; ++i)
            if (kept.cap[i] < kept.cap[least]) least = i;
        if (kept.cap[least] >= b->cap) break;
        wt_mem_free(kept.take(least));
    }
    if (kept.n == wt_scratch_slots || b->cap > wt_scratch_max - kept.bytes) {
        wt_buf_free(b);
        return;
    }
    kept.data[kept.n] = b->data;
    kept.cap[kept.n] = b->cap;
    ++kept.n;
    kept.bytes += b->cap;
    *b = wt_buf{};
    b->scratch = 1;
}

void wt_scratch_release() noexcept { pool.release(); }

namespace {

// Moves a scratch record into a kept block of at least cap bytes, instead of
// new memory that the system would fault in page by page, and keeps its old
// block in its place. False when no kept block fits.
bool grow_into_kept(wt_buf *b, size_t cap) noexcept
{
    size_t kept_cap = 0;
    char *block = take_kept(cap, &kept_cap);
    if (!block) return false;
    if (b->data) std::memcpy(block, b->data, b->len + 1);
    else block[0] = '\0';
    wt_buf old = *b;
    wt_buf_free_scratch(&old);
    b->data = block;
    b->cap = kept_cap;
    return true;
}

} // namespace

void wt_buf_reset(wt_buf *b) noexcept
{
    if (!b) return;
    b->len = 0;
    b->failed = 0;
    if (b->data) b->data[0] = '\0';
}

namespace {

// wt_buf_ensure's growth to at least `need` bytes, kept out of its callers.
[[gnu::noinline]] int grow(wt_buf *b, size_t need) noexcept
{
    size_t cap = b->cap ? b->cap : first_growth_cap;
    if (b->cap) {
        if (cap > SIZE_MAX / 2) {
            b->failed = 1;
            return 0;
        }
        cap *= 2;
    }
    while (cap < need) {
        if (cap > SIZE_MAX / 2) {
            b->failed = 1;
            return 0;
        }
        cap *= 2;
    }
    if (b->scratch && cap >= wt_scratch_min && grow_into_kept(b, cap)) return 1;
    char *data = static_cast<char *>(wt_mem_realloc(b->data, cap));
    if (!data) {
        b->failed = 1;
        return 0;
    }
    b->data = data;
    b->cap = cap;
    return 1;
}

} // namespace

int wt_buf_ensure(wt_buf *b, size_t extra) noexcept
{
    if (!b) return 0;
    if (extra > SIZE_MAX - 1 - b->len) {
        b->failed = 1;
        return 0;
    }
    const size_t need = b->len + extra + 1;
    return b->cap >= need ? 1 : grow(b, need);
}

int wt_buf_append(wt_buf *b, const void *src, size_t n) noexcept
{
    if (!b) return 0;
    if (!src || n == 0) return 1;
    if (!wt_buf_ensure(b, n)) return 0;
    std::memcpy(b->data + b->len, src, n);
    b->len += n;
    b->data[b->len] = '\0';
    return 1;
}

int wt_buf_append_str(wt_buf *b, const char *s) noexcept
{
    if (!b) return 0;
    if (!s) return 1;
    return wt_buf_append(b, s, std::strlen(s));
}

int wt_buf_append_char(wt_buf *b, char c) noexcept
{
    if (!b) return 0;
    if (!wt_buf_ensure(b, 1)) return 0;
    b->data[b->len++] = c;
    b->data[b->len] = '\0';
    return 1;
}

int wt_buf_append_html_escaped(wt_buf *b, const char *src, size_t n) noexcept
{
    if (!b) return 0;
    if (!src || n == 0) return 1;
    auto p = reinterpret_cast<const unsigned char *>(src);
    const unsigned char *end = p + n;
    while (p < end) {
        size_t run = plain_run(html_special, p, end);
        if (run && !wt_buf_append(b, p, run)) return 0;
        p += run;
        if (p == end) break;
        if (!wt_buf_append_str(b, html_entity(*p++))) return 0;
    }
    return 1;
}

int wt_buf_append_json_escaped(wt_buf *b, const char *src, size_t n, const char *limit) noexcept
{
    if (!b) return 0;
    if (!src || n == 0) return 1;
    // The usual short string: checked a piece at a time, and written with its
    // few escapes from that one check.
    if (int done = put_short_json(b, src, n, limit); done >= 0) return done;
    auto p = reinterpret_cast<const unsigned char *>(src);
    const unsigned char *end = p + n;
    while (p < end) {
        auto q = reinterpret_cast<const unsigned char *>(
            wt::scan_marks<wt::json_marks>(reinterpret_cast<const char *>(p), reinterpret_cast<const char *>(end),
                                           reinterpret_cast<const char *>(p)));
        size_t run = size_t(q - p);
        if (run && !wt_buf_put(b, reinterpret_cast<const char *>(p), run)) return 0;
        p += run;
        if (p == end) break;
        char esc[6];
        if (!wt_buf_append(b, esc, wt::put_json_escape(esc, static_cast<unsigned char>(*p++)))) return 0;
    }
    return 1;
}

int wt_buf_append_wiki_url(wt_buf *b, const char *src, size_t n, const char *limit) noexcept
{
    if (!b) return 0;
    if (!src || n == 0) return 1;
    // The usual short target: converted a piece at a time, and kept when it
    // holds no '"'.
    if (int done = put_short(b, src, n, limit, wt::copy_underscored_pieces); done >= 0) return done;
    // Bytes go out one for one up to the first '"' (rare): reserve that much
    // and write it in place, then finish any rest with the general loop below.
    auto quote = static_cast<const char *>(std::memchr(src, '"', n));
    size_t head = quote ? size_t(quote - src) : n;
    if (!wt_buf_ensure(b, head)) return 0;
    char *dst = b->data + b->len;
    for (size_t i = 0; i < head; ++i) dst[i] = src[i] == ' ' ? '_' : src[i];
    b->len += head;
    dst[head] = '\0';
    auto p = reinterpret_cast<const unsigned char *>(src) + head;
    auto end = reinterpret_cast<const unsigned char *>(src) + n;
    while (p < end) {
        size_t run = plain_run(wiki_url_special, p, end);
        if (run && !wt_buf_append(b, p, run)) return 0;
        p += run;
        if (p == end) break;
        int ok = *p == ' ' ? wt_buf_append_char(b, '_') : wt_buf_append_lit(b, "&quot;");
        if (!ok) return 0;
        ++p;
    }
    return 1;
}

int wt_buf_append_attr_value(wt_buf *b, const char *src, size_t n) noexcept
{
    if (!b) return 0;
    if (!src || n == 0) return 1;
    const char *p = src;
    const char *end = src + n;
    while (p < end) {
        auto q = static_cast<const char *>(std::memchr(p, '"', size_t(end - p)));
        const char *run_end = q ? q : end;
        if (run_end > p && !wt_buf_append(b, p, size_t(run_end - p))) return 0;
        if (!q) break;
        if (!wt_buf_append_lit(b, "&quot;")) return 0;
        p = q + 1;
    }
    return 1;
}

const char *wt_buf_cstring(const wt_buf *b) noexcept
{
    if (!b || !b->data) return empty_string;
    return b->data;
}
