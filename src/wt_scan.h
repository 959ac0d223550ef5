// Finding the next byte of a small set a block at a time (64 bytes with
// AVX-512, 32 with AVX2, 16 with SSE2, which every x86-64 has; see wt_isa.h),
// else one byte at a time. Used by the hot loops to skip plain text between
// markup bytes.
#ifndef WT_SCAN_H
#define WT_SCAN_H

#include "wt_isa.h"

#include <cstddef>
#include <initializer_list>

#if defined(WT_AVX2) || defined(WT_AVX512)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(WT_AVX512) || defined(WT_AVX2) || defined(__SSE2__)
#define WT_SIMD 1
#endif

namespace wt {
WT_ISA_BEGIN

#if defined(WT_SIMD)
// The few vector operations the scanners need, on blocks of 64 bytes with
// AVX-512, 32 with AVX2 or 16 with SSE2 (every x86-64). A comparison (eq with
// one byte, same between two blocks) gives a `cmp` (a mask register with
// AVX-512, a vector otherwise); mask() turns it
// into a mask_t with bit i set for byte i.
namespace simd {
#if defined(WT_AVX512)
// Comparisons give 64-bit masks directly.
using vec = __m512i;
using cmp = __mmask64;
using mask_t = unsigned long long;
inline constexpr int block = 64;
inline vec load(const char *q) noexcept { return _mm512_loadu_si512(q); }
inline cmp eq(vec v, char c) noexcept { return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(c)); }
inline cmp same(vec a, vec b) noexcept { return _mm512_cmpeq_epi8_mask(a, b); }
inline cmp either(cmp a, cmp b) noexcept { return a | b; }
inline cmp both(cmp a, cmp b) noexcept { return a & b; }
inline vec with_bits(vec v, char bits) noexcept { return _mm512_or_si512(v, _mm512_set1_epi8(bits)); }
inline cmp at_most(vec v, char c) noexcept { return _mm512_cmple_epu8_mask(v, _mm512_set1_epi8(c)); }
inline mask_t mask(cmp m) noexcept { return m; }
#elif defined(WT_AVX2)
using vec = __m256i;
using cmp = vec;
using mask_t = unsigned;
inline constexpr int block = 32;
inline vec load(const char *q) noexcept { return _mm256_loadu_si256(reinterpret_cast<const vec *>(q)); }
inline cmp eq(vec v, char c) noexcept { return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c)); }
inline cmp same(vec a, vec b) noexcept { return _mm256_cmpeq_epi8(a, b); }
inline cmp either(cmp a, cmp b) noexcept { return _mm256_or_si256(a, b); }
inline cmp both(cmp a, cmp b) noexcept { return _mm256_and_si256(a, b); }
inline vec with_bits(vec v, char bits) noexcept { return _mm256_or_si256(v, _mm256_set1_epi8(bits)); }
inline cmp at_most(vec v, char c) noexcept // unsigned v <= c
{
    return _mm256_cmpeq_epi8(_mm256_max_epu8(v, _mm256_set1_epi8(c)), _mm256_set1_epi8(c));
}
inline mask_t mask(cmp v) noexcept { return unsigned(_mm256_movemask_epi8(v)); }
#else
using vec = __m128i;
using cmp = vec;
using mask_t = unsigned;
inline constexpr int block = 16;
inline vec load(const char *q) noexcept { return _mm_loadu_si128(reinterpret_cast<const vec *>(q)); }
inline cmp eq(vec v, char c) noexcept { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); }
inline cmp same(vec a, vec b) noexcept { return _mm_cmpeq_epi8(a, b); }
inline cmp either(cmp a, cmp b) noexcept { return _mm_or_si128(a, b); }
inline cmp both(cmp a, cmp b) noexcept { return _mm_and_si128(a, b); }
inline vec with_bits(vec v, char bits) noexcept { return _mm_or_si128(v, _mm_set1_epi8(bits)); }
inline cmp at_most(vec v, char c) noexcept
{
    return _mm_cmpeq_epi8(_mm_max_epu8(v, _mm_set1_epi8(c)), _mm_set1_epi8(c));
}
inline mask_t mask(cmp v) noexcept { return unsigned(_mm_movemask_epi8(v)); }
#endif
} // namespace simd
#endif

// A set of bytes to look for: at(q) gives the mask of the block at q, one(q)
// tests a single byte.
template <char... Cs>
struct byte_set {
#if defined(WT_SIMD)
    static simd::mask_t at(const char *q) noexcept
    {
        simd::vec v = simd::load(q);
        return (simd::mask(simd::eq(v, Cs)) | ...);
    }
#endif
    static bool one(const char *q) noexcept { return ((*q == Cs) || ...); }
};

// Returns the first position in [p, end) that Marks marks, or end. `lo` <= p
// is the start of the readable range: a last piece shorter than a block is
// read as the block that ends at `end` when it lies within the range.
template <class Marks>
inline const char *scan_marks(const char *p, const char *end, const char *lo) noexcept
{
#if defined(WT_SIMD)
    constexpr int block = simd::block;
    for (; end - p >= block; p += block)
        if (simd::mask_t mask = Marks::at(p)) return p + __builtin_ctzll(mask);
    if (p < end && end - lo >= block) {
        const char *q = end - block;
        simd::mask_t mask = Marks::at(q) >> (p - q);
        return mask ? p + __builtin_ctzll(mask) : end;
    }
#else
    (void)lo;
#endif
    while (p < end && !Marks::one(p)) ++p;
    return p;
}

template <char... Cs>
inline const char *scan_for(const char *p, const char *end, const char *lo) noexcept
{
    return scan_marks<byte_set<Cs...>>(p, end, lo);
}

// Marks the bytes A that B follows; at(q) reads the byte after the block too.
template <char A, char B>
struct byte_pair {
#if defined(WT_SIMD)
    static simd::mask_t at(const char *q) noexcept
    {
        return simd::mask(simd::both(simd::eq(simd::load(q), A), simd::eq(simd::load(q + 1), B)));
    }
#endif
    static bool one(const char *q) noexcept { return q[0] == A && q[1] == B; }
};

// The first A B pair in [p, end), or nullptr. A run of A without B after it
// is passed over a block at a time, not stopped at byte by byte.
template <char A, char B>
inline const char *find_bytes(const char *p, const char *end, const char *lo) noexcept
{
    if (end - p < 2) return nullptr;
    // Pairs start before end - 1, whose reads (one byte past each block) stay
    // within [lo, end).
    const char *q = scan_marks<byte_pair<A, B>>(p, end - 1, lo);
    return q == end - 1 ? nullptr : q;
}

// The first C C pair in [p, end), or nullptr. Where C is rare, stopping at
// each C costs less than find_bytes' two compares per byte.
template <char C>
inline const char *find_pair(const char *p, const char *end, const char *lo) noexcept
{
    for (;; ++p) {
        p = scan_for<C>(p, end, lo);
        if (end - p < 2) return nullptr;
        if (p[1] == C) return p;
    }
}

// Bytes that a JSON string must escape: controls, '"' and '\\'.
struct json_marks {
#if defined(WT_SIMD)
    static simd::mask_t at(const char *q) noexcept
    {
        simd::vec v = simd::load(q);
        return simd::mask(simd::either(simd::at_most(v, 0x1F),
                                       simd::either(simd::eq(v, '"'), simd::eq(v, '\\'))));
    }
#endif
    static bool one(const char *q) noexcept
    {
        return static_cast<unsigned char>(*q) < 0x20 || *q == '"' || *q == '\\';
    }
};

// Returns the first position in [p, end) that ends a bare URL: a byte <= 0x20
// or one of " < > [ ]. `lo` as for scan_for.
inline const char *scan_url_end(const char *p, const char *end, const char *lo) noexcept
{
    struct url_end {
#if defined(WT_SIMD)
        static simd::mask_t at(const char *q) noexcept
        {
            simd::vec v = simd::load(q);
            simd::cmp hit = simd::at_most(v, 0x20);
            for (char c : {'"', '<', '>', '[', ']'}) hit = simd::either(hit, simd::eq(v, c));
            return simd::mask(hit);
        }
#endif
        static bool one(const char *q) noexcept
        {
            unsigned char c = static_cast<unsigned char>(*q);
            return c <= 0x20 || c == '"' || c == '<' || c == '>' || c == '[' || c == ']';
        }
    };
    return scan_marks<url_end>(p, end, lo);
}

// Stores the n bytes at src to dst in whole 16-byte pieces, each space made
// '_', and returns whether none of the n is '"'. The caller makes sure that the
// pieces may be read and stored; what is stored past n is scratch.
inline bool copy_underscored_pieces(char *dst, const char *src, size_t n) noexcept
{
#if defined(__SSE2__)
    unsigned found = 0;
    for (size_t k = 0; 16 * k < n; ++k) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16 * k));
        unsigned quotes = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8('"'))));
        __m128i m = _mm_cmpeq_epi8(v, _mm_set1_epi8(' '));
        v = _mm_or_si128(_mm_andnot_si128(m, v), _mm_and_si128(m, _mm_set1_epi8('_')));
        size_t left = n - 16 * k;
        found |= left >= 16 ? quotes : quotes & ((1u << left) - 1);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16 * k), v);
    }
    return !found;
#else
    bool clean = true;
    for (size_t i = 0; i < n; ++i) {
        clean &= src[i] != '"';
        dst[i] = src[i] == ' ' ? '_' : src[i];
    }
    return clean;
#endif
}

// What copy_target_pieces finds among the bytes it copies, as bits of its
// result: a byte that a percent-encoded path writes as %XX (any of the six
// low bits), '.', and '"' or '#'.
inline constexpr unsigned target_encodes = 0x3F, target_dot = 0x40, target_quote_or_hash = 0x80;

// copy_underscored_pieces that tells what the n bytes hold: '"' or '#', a
// byte that a percent-encoded path writes as %XX (anything but letters,
// digits, space and - . _ ~ / : @ ! $ ' ( ) * + , ; =), and '.'. The
// encoding's own table (path_bytes in the inline renderer) and this test must
// agree; a golden case holds every byte of the printable range.
inline unsigned copy_target_pieces(char *dst, const char *src, size_t n) noexcept
{
#if defined(__SSE2__)
    // Each byte's classes as bits of a byte, kept for the first n bytes and
    // gathered by or; one reduction at the end.
    static const char first_bytes[32] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    __m128i seen = _mm_setzero_si128();
    for (size_t k = 0; 16 * k < n; ++k) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16 * k));
        auto eq = [&](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
#if defined(WT_AVX2) || defined(__SSSE3__)
        // One lookup per nibble: a byte's classes are the bits that its high
        // nibble's row and its low nibble's column share. Bit 0: rows 0, 1
        // and 8-F whole (controls, and every byte from 0x80); bits 1-5: the
        // specials of rows 2 (" # % &), 3 (< > ?), 5 ([ \ ] ^), 6 (`) and
        // 7 ({ | } and DEL); bit 6: '.'; bit 7: '"' and '#'.
        const __m128i rows = _mm_setr_epi8(1, 1, char(2 | 0x40 | 0x80), 4, 0, 8, 16, 32, 1, 1, 1, 1, 1, 1, 1, 1);
        const __m128i cols = _mm_setr_epi8(1 | 16, 1, char(1 | 2 | 0x80), char(1 | 2 | 0x80), 1, 1 | 2, 1 | 2, 1, 1,
                                           1, 1, 1 | 8 | 32, 1 | 4 | 8 | 32, 1 | 8 | 32, 1 | 4 | 8 | 0x40,
                                           1 | 4 | 32);
        const __m128i low = _mm_set1_epi8(0x0F);
        __m128i hit = _mm_and_si128(_mm_shuffle_epi8(rows, _mm_and_si128(_mm_srli_epi16(v, 4), low)),
                                    _mm_shuffle_epi8(cols, _mm_and_si128(v, low)));
#else
        // Bytes below 0x20 or from 0x7F up: as signed, v < 0x20 or v == 0x7F.
        __m128i bad = _mm_or_si128(_mm_cmplt_epi8(v, _mm_set1_epi8(0x20)), eq(0x7F));
        for (char c : {'"', '#', '%', '&', '<', '>', '?', '[', '\\', ']', '^', '`', '{', '|', '}'}) bad = _mm_or_si128(bad, eq(c));
        __m128i hit = _mm_or_si128(_mm_and_si128(bad, _mm_set1_epi8(1)),
                                   _mm_or_si128(_mm_and_si128(eq('.'), _mm_set1_epi8(0x40)),
                                                _mm_and_si128(_mm_or_si128(eq('"'), eq('#')),
                                                              _mm_set1_epi8(char(0x80)))));
#endif
        size_t left = n - 16 * k;
        const char *keep = first_bytes + (left >= 16 ? 0 : 16 - left);
        seen = _mm_or_si128(seen, _mm_and_si128(hit, _mm_loadu_si128(reinterpret_cast<const __m128i *>(keep))));
        __m128i m = eq(' ');
        v = _mm_or_si128(_mm_andnot_si128(m, v), _mm_and_si128(m, _mm_set1_epi8('_')));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 16 * k), v);
    }
    seen = _mm_or_si128(seen, _mm_srli_si128(seen, 8));
    seen = _mm_or_si128(seen, _mm_srli_si128(seen, 4));
    seen = _mm_or_si128(seen, _mm_srli_si128(seen, 2));
    seen = _mm_or_si128(seen, _mm_srli_si128(seen, 1));
    return unsigned(_mm_cvtsi128_si32(seen)) & 0xFF;
#else
    static constexpr char specials[] = "\"#%&<>?[\\]^`{|}";
    unsigned seen = 0;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(src[i]);
        if (c == '"' || c == '#') seen |= target_quote_or_hash;
        if (c == '.') seen |= target_dot;
        if (c < 0x20 || c >= 0x7F || __builtin_strchr(specials, c) != nullptr) seen |= 1;
        dst[i] = c == ' ' ? '_' : char(c);
    }
    return seen;
#endif
}

// The JSON escape of byte c (one that needs one) at d; returns its length.
inline size_t put_json_escape(char *d, unsigned char c) noexcept
{
    static constexpr char hex[] = "0123456789abcdef";
    d[0] = '\\';
    switch (c) {
    case '\b': d[1] = 'b'; return 2;
    case '\t': d[1] = 't'; return 2;
    case '\n': d[1] = 'n'; return 2;
    case '\f': d[1] = 'f'; return 2;
    case '\r': d[1] = 'r'; return 2;
    case '"': d[1] = '"'; return 2;
    case '\\': d[1] = '\\'; return 2;
    default: // other control bytes: \u00xx, lowercase hex
        d[1] = 'u';
        d[2] = '0';
        d[3] = '0';
        d[4] = hex[c >> 4];
        d[5] = hex[c & 15];
        return 6;
    }
}

#if defined(WT_SIMD)
// A JSON string of up to 64 bytes is checked for escapes, and copied, in
// whole pieces of this many bytes: a vector of the build.
inline constexpr size_t json_piece = size_t(simd::block);
#else
inline constexpr size_t json_piece = 16;
#endif

// Whether the pieces of the n bytes at src lie within `limit` (the last byte
// that may be read; null: none may).
inline bool json_pieces_readable(const char *src, size_t n, const char *limit) noexcept
{
#if defined(WT_SIMD)
    const size_t whole = (n + json_piece - 1) & ~(json_piece - 1);
    return limit && n <= 64 && limit >= src && size_t(limit - src) + 1 >= whole;
#else
    (void)src, (void)n, (void)limit;
    return false;
#endif
}

// The room put_json_pieces may write to for n bytes.
constexpr size_t json_pieces_room(size_t n) noexcept { return 6 * n + json_piece; }

// Writes the n bytes at src (json_pieces_readable) JSON-escaped to dst, which
// has json_pieces_room(n) bytes; returns the length written. One mask of the
// bytes that need an escape covers the whole source; the runs between them
// are copied and the escapes written.
inline size_t put_json_pieces(char *dst, const char *src, size_t n) noexcept
{
#if defined(WT_SIMD)
    unsigned long long marks = 0;
    for (size_t k = 0; k < n; k += json_piece) {
        const simd::vec v = simd::load(src + k);
        const simd::cmp hit = simd::either(simd::at_most(v, 0x1F), simd::either(simd::eq(v, '"'), simd::eq(v, '\\')));
        marks |= static_cast<unsigned long long>(simd::mask(hit)) << k;
        __builtin_memcpy(dst + k, &v, json_piece);
    }
    if (n < 64) marks &= (1ull << n) - 1;
    if (!marks) return n;
    // The pieces stored above hold the bytes before the first escape already.
    size_t from = size_t(__builtin_ctzll(marks)), w = from;
    do {
        const size_t at = size_t(__builtin_ctzll(marks));
        __builtin_memcpy(dst + w, src + from, at - from);
        w += at - from;
        w += put_json_escape(dst + w, static_cast<unsigned char>(src[at]));
        from = at + 1;
        marks &= marks - 1;
    } while (marks);
    __builtin_memcpy(dst + w, src + from, n - from);
    return w + n - from;
#else
    size_t w = 0;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(src[i]);
        if (c < 0x20 || c == '"' || c == '\\') w += put_json_escape(dst + w, c);
        else dst[w++] = char(c);
    }
    return w;
#endif
}

// Copies n bytes from src to dst, writing `to` for every byte `from`.
inline void copy_replacing(char *dst, const char *src, size_t n, char from, char to) noexcept
{
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i f = _mm_set1_epi8(from), t = _mm_set1_epi8(to);
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
        __m128i m = _mm_cmpeq_epi8(v, f);
        v = _mm_or_si128(_mm_andnot_si128(m, v), _mm_and_si128(m, t));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), v);
    }
#endif
    for (; i < n; ++i) dst[i] = src[i] == from ? to : src[i];
}

// How many bytes past its block Marks::at reads (Marks::overread, else 0).
template <class Marks>
constexpr int overread_of() noexcept
{
    if constexpr (requires { Marks::overread; }) return Marks::overread;
    else return 0;
}

// Walks the positions of marked bytes block by block. The mask of the current
// block is kept, so several marked bytes in one block cost one load.
// Marks::at(q) gives the mask of the block at q and may read overread_of()
// bytes past it; Marks::one(q) tests one byte and may mark more than at()
// does. Bytes from `lo` up to and including `hi` may be read; the blocks never
// pass hi, and what lies between the last block and `end` goes byte by byte.
template <class Marks>
class mark_cursor {
public:
    mark_cursor(const char *lo, const char *end, const char *hi) noexcept
        : lo_(lo), end_(end), base_(end),
          block_end_(hi + 1 - overread_of<Marks>() < end ? hi + 1 - overread_of<Marks>() : end)
    {
    }

    // Returns the first marked position at or after p, or end.
    const char *next(const char *p) noexcept
    {
        if (p >= end_) return end_;
#if defined(WT_SIMD)
        constexpr int block = simd::block;
        if (p >= base_ && p - base_ < block) {
            if (simd::mask_t m = mask_ & (~simd::mask_t(0) << (p - base_))) return base_ + __builtin_ctzll(m);
            p = base_ + block;
        }
        for (; block_end_ - p >= block; p += block) {
            if (simd::mask_t m = Marks::at(p)) {
                base_ = p;
                mask_ = m;
                return p + __builtin_ctzll(m);
            }
        }
        if (p < block_end_ && block_end_ - lo_ >= block) {
            base_ = block_end_ - block;
            mask_ = Marks::at(base_);
            if (simd::mask_t m = mask_ & (~simd::mask_t(0) << (p - base_))) return base_ + __builtin_ctzll(m);
            p = block_end_;
        }
#endif
        while (p < end_ && !Marks::one(p)) ++p;
        return p;
    }

private:
    const char *lo_;
    const char *end_;
    const char *base_; // block whose mask is kept; end_ while there is none
    const char *block_end_; // blocks end here at the latest
#if defined(WT_SIMD)
    simd::mask_t mask_ = 0;
#endif
};

// mark_cursor over 64-byte windows with one 64-bit mask: fewer branches for
// long runs without a mark, and one window serves several short lines.
template <class Marks>
class wide_mark_cursor {
public:
    static constexpr int window = 64;

    wide_mark_cursor(const char *lo, const char *end) noexcept : lo_(lo), end_(end), base_(end) {}

    const char *next(const char *p) noexcept
    {
        if (p >= end_) return end_;
#if defined(WT_SIMD)
        if (p >= base_ && p - base_ < window) {
            if (unsigned long long m = mask_ & (~0ull << (p - base_))) return base_ + __builtin_ctzll(m);
            p = base_ + window;
        }
        for (; end_ - p >= window; p += window) {
            if (unsigned long long m = masks(p)) {
                base_ = p;
                mask_ = m;
                return p + __builtin_ctzll(m);
            }
        }
        if (p < end_ && end_ - lo_ >= window) {
            base_ = end_ - window;
            mask_ = masks(base_);
            unsigned long long m = mask_ & (~0ull << (p - base_));
            return m ? base_ + __builtin_ctzll(m) : end_;
        }
#endif
        while (p < end_ && !Marks::one(p)) ++p;
        return p;
    }

private:
#if defined(WT_SIMD)
    static unsigned long long masks(const char *q) noexcept
    {
        unsigned long long m = 0;
        for (int k = 0; k < window / simd::block; ++k)
            m |= static_cast<unsigned long long>(Marks::at(q + k * simd::block)) << (k * simd::block);
        return m;
    }
#endif

    const char *lo_;
    const char *end_;
    const char *base_;
    unsigned long long mask_ = 0;
};

// Copies n bytes without a library call for the short runs that dominate.
inline void copy_bytes(char *dst, const char *src, size_t n) noexcept
{
    if (n <= 16) {
        if (n >= 8) {
            unsigned long long a, b;
            __builtin_memcpy(&a, src, 8);
            __builtin_memcpy(&b, src + n - 8, 8);
            __builtin_memcpy(dst, &a, 8);
            __builtin_memcpy(dst + n - 8, &b, 8);
        } else if (n >= 4) {
            unsigned a, b;
            __builtin_memcpy(&a, src, 4);
            __builtin_memcpy(&b, src + n - 4, 4);
            __builtin_memcpy(dst, &a, 4);
            __builtin_memcpy(dst + n - 4, &b, 4);
        } else if (n) {
            char a = src[0], b = src[n / 2], c = src[n - 1];
            dst[0] = a;
            dst[n / 2] = b;
            dst[n - 1] = c;
        }
        return;
    }
#if defined(__SSE2__)
    if (n <= 32) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + n - 16));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), a);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + n - 16), b);
        return;
    }
#endif
    __builtin_memcpy(dst, src, n);
}

WT_ISA_END
} // namespace wt

#endif
