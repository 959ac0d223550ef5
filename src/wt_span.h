// Spans: runs of bytes inside the caller's document, not NUL-terminated, and
// the trimming rule that every part of the parser shares.
#ifndef WT_SPAN_H
#define WT_SPAN_H

#include "wt_isa.h"

#include <cstddef>

namespace wt {
WT_ISA_BEGIN

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

WT_ISA_END
} // namespace wt

#endif
