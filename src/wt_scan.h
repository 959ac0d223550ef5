// Finding the next byte of a small set, 16 bytes at a time where SSE2 is
// available (every x86-64), else one byte at a time. Used by the hot loops to
// skip plain text between markup bytes.
#ifndef WT_SCAN_H
#define WT_SCAN_H

#include <cstddef>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace wt {

// A set of bytes to look for: at(q) gives the mask of the 16 bytes at q (bit i
// for q[i]), one(q) tests a single byte.
template <char... Cs>
struct byte_set {
#if defined(__SSE2__)
    static unsigned at(const char *q) noexcept
    {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
        __m128i hit = _mm_setzero_si128();
        ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(Cs)))), ...);
        return unsigned(_mm_movemask_epi8(hit));
    }
#endif
    static bool one(const char *q) noexcept { return ((*q == Cs) || ...); }
};

// Returns the first position in [p, end) that Marks marks, or end. `lo` <= p
// is the start of the readable range: a last piece shorter than 16 bytes is
// read as the 16 bytes that end at `end` when they lie within it.
template <class Marks>
inline const char *scan_marks(const char *p, const char *end, const char *lo) noexcept
{
#if defined(__SSE2__)
    for (; end - p >= 16; p += 16)
        if (unsigned mask = Marks::at(p)) return p + __builtin_ctz(mask);
    if (p < end && end - lo >= 16) {
        const char *q = end - 16;
        unsigned mask = Marks::at(q) >> (p - q);
        return mask ? p + __builtin_ctz(mask) : end;
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

// The first c c pair in [p, end), or nullptr.
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
#if defined(__SSE2__)
    static unsigned at(const char *q) noexcept
    {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
        __m128i ctl = _mm_set1_epi8(0x1F);
        __m128i hit = _mm_cmpeq_epi8(_mm_max_epu8(v, ctl), ctl); // v <= 0x1F
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
        hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
        return unsigned(_mm_movemask_epi8(hit));
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
#if defined(__SSE2__)
    auto mask_at = [](const char *q) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
        __m128i space = _mm_set1_epi8(0x20);
        __m128i hit = _mm_cmpeq_epi8(_mm_max_epu8(v, space), space); // v <= 0x20
        for (char c : {'"', '<', '>', '[', ']'})
            hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(c)));
        return unsigned(_mm_movemask_epi8(hit));
    };
    for (; end - p >= 16; p += 16)
        if (unsigned mask = mask_at(p)) return p + __builtin_ctz(mask);
    if (p < end && end - lo >= 16) {
        const char *q = end - 16;
        unsigned mask = mask_at(q) >> (p - q);
        return mask ? p + __builtin_ctz(mask) : end;
    }
#else
    (void)lo;
#endif
    for (; p < end; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c <= 0x20 || c == '"' || c == '<' || c == '>' || c == '[' || c == ']') break;
    }
    return p;
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

// Walks the positions of marked bytes block by block. The mask of the current
// 16-byte block is kept, so several marked bytes in one block cost one load.
// Marks::at(q) gives the mask of the 16 bytes at q (it may read q[16], which
// callers guarantee is readable: spans lie in a NUL-terminated document);
// Marks::one(q) tests one byte and may mark more than at() does.
template <class Marks>
class mark_cursor {
public:
    mark_cursor(const char *lo, const char *end) noexcept : lo_(lo), end_(end), base_(end) {}

    // Returns the first marked position at or after p, or end.
    const char *next(const char *p) noexcept
    {
        if (p >= end_) return end_;
#if defined(__SSE2__)
        if (p >= base_ && p - base_ < 16) {
            if (unsigned m = mask_ & (~0u << (p - base_))) return base_ + __builtin_ctz(m);
            p = base_ + 16;
        }
        for (; end_ - p >= 16; p += 16) {
            if (unsigned m = Marks::at(p)) {
                base_ = p;
                mask_ = m;
                return p + __builtin_ctz(m);
            }
        }
        if (p < end_ && end_ - lo_ >= 16) {
            base_ = end_ - 16;
            mask_ = Marks::at(base_);
            unsigned m = mask_ & (~0u << (p - base_));
            return m ? base_ + __builtin_ctz(m) : end_;
        }
#endif
        while (p < end_ && !Marks::one(p)) ++p;
        return p;
    }

private:
    const char *lo_;
    const char *end_;
    const char *base_; // block whose mask is kept; end_ while there is none
    unsigned mask_ = 0;
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

} // namespace wt

#endif
