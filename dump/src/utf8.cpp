#include "utf8.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tarnwick::dump::detail {

namespace {

// Returns the offset of the first byte above 0x7F among the 16 at p, or 16
// when they are all ASCII.
inline unsigned first_high_of_16(const unsigned char *p)
{
#if defined(__SSE2__)
    unsigned m = static_cast<unsigned>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))));
    return m ? static_cast<unsigned>(std::countr_zero(m)) : 16;
#else
    constexpr std::uint64_t high_bits = 0x8080808080808080ull;
    std::uint64_t w, v;
    std::memcpy(&w, p, 8);
    std::memcpy(&v, p + 8, 8);
    if (((w | v) & high_bits) == 0) return 16;
    if constexpr (std::endian::native == std::endian::little) {
        // The lowest set high bit marks the first byte above 0x7F.
        std::uint64_t h = w & high_bits;
        return h ? static_cast<unsigned>(std::countr_zero(h)) / 8
                 : 8 + static_cast<unsigned>(std::countr_zero(v & high_bits)) / 8;
    } else {
        unsigned i = 0;
        while (p[i] < 0x80) ++i;
        return i;
    }
#endif
}

// Skips the valid prefix of [p, end): ASCII sixteen bytes at a time, and
// from a block that holds a byte above 0x7F straight to that byte; then the
// sequences and short ASCII gaps of non-Latin text one by one, two-byte
// sequences (Greek, Cyrillic, Hebrew, Arabic) without a call.
const unsigned char *skip_valid(const unsigned char *p, const unsigned char *end)
{
    while (p < end) {
        if (end - p >= 16) {
            unsigned k = first_high_of_16(p);
            p += k;
            if (k == 16) continue;
        } else if (*p < 0x80) {
            ++p;
            continue;
        }
        // At a byte above 0x7F: take sequences while they follow each other.
        do {
            unsigned c = *p;
            if (c >= 0xC2 && c <= 0xDF && end - p >= 2 && (p[1] & 0xC0) == 0x80) {
                p += 2;
                continue;
            }
            std::size_t k = utf8_sequence_length(p, end);
            if (k == 0) return p;
            p += k;
        } while (p < end && *p >= 0x80);
    }
    return p;
}

} // namespace

// The well-formed sequences: the second byte's range depends on the first
// (no overlong forms, no surrogates, nothing above U+10FFFF).
std::size_t utf8_sequence_length(const unsigned char *p, const unsigned char *end)
{
    unsigned c = p[0];
    if (c < 0x80) return 1;
    std::size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (static_cast<std::size_t>(end - p) < len) return 0;
    if (p[1] < lo || p[1] > hi) return 0;
    for (std::size_t i = 2; i < len; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    return len;
}

std::size_t utf8_incomplete_tail(const char *s, std::size_t n)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    // Look back at most three bytes for a lead byte whose sequence runs past the end.
    for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
        unsigned c = p[n - back];
        if (c < 0x80) return 0;
        if (c >= 0xC0) {
            std::size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            return need > back ? back : 0;
        }
    }
    return 0;
}

std::size_t utf8_first_invalid(const char *s, std::size_t n)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    return static_cast<std::size_t>(skip_valid(p, p + n) - p);
}

std::size_t utf8_repair(const char *s, std::size_t n, std::string &out)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    const unsigned char *end = p + n;
    const unsigned char *run = p;
    std::size_t bad = 0;
    for (;;) {
        const unsigned char *q = skip_valid(run, end);
        if (q == end) break;
        if (bad == 0) {
            out.clear();
            out.reserve(n + 16);
        }
        out.append(reinterpret_cast<const char *>(run), static_cast<std::size_t>(q - run));
        out.append("\xEF\xBF\xBD");
        ++bad;
        // The maximal invalid subpart: a lead byte and the continuation
        // bytes that could still have belonged to it.
        std::size_t skip = 1;
        unsigned c = *q;
        std::size_t need = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 1;
        while (skip < need && q + skip < end && q[skip] >= 0x80 && q[skip] <= 0xBF) {
            if (skip == 1) {
                unsigned lo = c == 0xE0 ? 0xA0 : c == 0xF0 ? 0x90 : 0x80;
                unsigned hi = c == 0xED ? 0x9F : c == 0xF4 ? 0x8F : 0xBF;
                if (q[1] < lo || q[1] > hi) break;
            }
            ++skip;
        }
        run = q + skip;
    }
    if (bad) out.append(reinterpret_cast<const char *>(run), static_cast<std::size_t>(end - run));
    return bad;
}

std::string declared_encoding(const char *p, std::size_t n)
{
    std::string_view head(p, n);
    if (!head.starts_with("<?xml")) return "";
    head = head.substr(0, head.find("?>"));
    std::size_t at = head.find("encoding");
    if (at == std::string_view::npos) return "";
    head.remove_prefix(at + 8);
    std::size_t q = head.find_first_of("\"'");
    if (q == std::string_view::npos) return "";
    std::size_t e = head.find(head[q], q + 1);
    if (e == std::string_view::npos) return "";
    std::string enc(head.substr(q + 1, e - q - 1));
    for (char &c : enc) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return enc;
}

} // namespace tarnwick::dump::detail
