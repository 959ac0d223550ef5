// UTF-8 checks for the reader's repair of invalid input.
#pragma once

#include <cstddef>
#include <string>

namespace tarnwick::dump::detail {

// Returns how many bytes at the end of [p, p+n) start a UTF-8 sequence that
// is still incomplete (0 to 3), so that they can wait for the next chunk.
std::size_t utf8_incomplete_tail(const char *p, std::size_t n);

// Returns the number of invalid sequences in [p, p+n). When there are any,
// `out` receives the bytes with each invalid sequence replaced by U+FFFD
// (EF BF BD), one replacement per maximal invalid subpart; otherwise `out` is
// left alone and nothing is copied.
std::size_t utf8_repair(const char *p, std::size_t n, std::string &out);

// Returns the offset of the first invalid byte, or n when there is none.
std::size_t utf8_first_invalid(const char *p, std::size_t n);

// Returns the length of the valid sequence at p (1 to 4), or 0 when the
// bytes at p do not start one (an invalid byte, or the input ends first).
std::size_t utf8_sequence_length(const unsigned char *p, const unsigned char *end);

// The encoding named by the XML declaration at the start of [p, p+n),
// lower-cased, or "" when there is no declaration or it names none.
std::string declared_encoding(const char *p, std::size_t n);

} // namespace tarnwick::dump::detail
