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

#if defined(__SSE2__)
// Bit i is set when byte i of the 16 at p is one of Cs.
template <char... Cs>
inline unsigned match_mask(const char *p) noexcept
{
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i hit = _mm_setzero_si128();
    ((hit = _mm_or_si128(hit, _mm_cmpeq_epi8(v, _mm_set1_epi8(Cs)))), ...);
    return unsigned(_mm_movemask_epi8(hit));
}
#endif

// Returns the first position in [p, end) whose byte is one of Cs, or end.
// `lo` <= p is the start of the readable range: a last piece shorter than 16
// bytes is read as the 16 bytes that end at `end` when they lie within it.
template <char... Cs>
inline const char *scan_for(const char *p, const char *end, const char *lo) noexcept
{
#if defined(__SSE2__)
    for (; end - p >= 16; p += 16)
        if (unsigned mask = match_mask<Cs...>(p)) return p + __builtin_ctz(mask);
    if (p < end && end - lo >= 16) {
        const char *q = end - 16;
        unsigned mask = match_mask<Cs...>(q) >> (p - q);
        return mask ? p + __builtin_ctz(mask) : end;
    }
#else
    (void)lo;
#endif
    while (p < end && ((*p != Cs) && ...)) ++p;
    return p;
}

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

} // namespace wt

#endif
