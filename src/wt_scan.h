// Finding the next byte of a small set, 16 bytes at a time where SSE2 is
// available (every x86-64), else one byte at a time. Used by the hot loops to
// skip plain text between markup bytes.
#ifndef WT_SCAN_H
#define WT_SCAN_H

#include <cstddef>

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

} // namespace wt

#endif
