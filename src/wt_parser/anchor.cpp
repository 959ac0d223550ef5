// The anchor rule of headings.
#include "wt_anchor.h"

#include <array>

namespace wt {
WT_ISA_BEGIN

namespace {

// How each byte enters an anchor: copied, a separator, or dropped.
enum : unsigned char { anchor_copy = 0, anchor_sep = 1, anchor_drop = 2 };
constexpr auto anchor_class = [] {
    std::array<unsigned char, 256> t{};
    for (unsigned char c : {' ', '\t', '_'}) t[c] = anchor_sep;
    for (unsigned char c : {'"', '&', '\'', '<', '>'}) t[c] = anchor_drop;
    return t;
}();

} // namespace

size_t write_anchor(char *dst, span text) noexcept
{
    span s = trim_both(text);
    char *const start = dst;
    bool sep = false;
    for (size_t i = 0; i < s.n; ++i) {
        unsigned char c = uc(s.p[i]);
        switch (anchor_class[c]) {
        case anchor_copy:
            *dst++ = char(c);
            sep = false;
            break;
        case anchor_sep:
            // Only this anchor's own bytes count: a separator never leads it.
            if (!sep && dst > start) {
                *dst++ = '_';
                sep = true;
            }
            break;
        default:
            break;
        }
    }
    if (dst > start && dst[-1] == '_') --dst;
    return size_t(dst - start);
}

void generate_anchor(const char *text, size_t n, wt_buf *out) noexcept
{
    if (!text || n == 0) return;
    span s = trim_both(span{text, n});
    if (s.n == 0) return;
    if (char *dst = wt_buf_reserve(out, s.n)) wt_buf_commit(out, write_anchor(dst, s));
}

heading_anchor::heading_anchor(span text) noexcept
{
    if (text.n < local_size) {
        n_ = write_anchor(local_, text);
        return;
    }
    wt_buf_init(&heap_, text.n + 16);
    if (heap_.failed) {
        failed_ = true;
        return;
    }
    generate_anchor(text.p, text.n, &heap_);
    p_ = heap_.data;
    n_ = heap_.len;
}

WT_ISA_END
} // namespace wt
