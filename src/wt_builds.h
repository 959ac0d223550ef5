// The builds of the parser that the library holds (see wt_isa.h) and the
// choice among them: the interface calls the parser through wt_active_parser.
#ifndef WT_BUILDS_H
#define WT_BUILDS_H

#include "wt_buffer.h"

#include <cstddef>

struct wt_parser_build {
    const char *name;
    int (*html)(const char *document, void *reserved, wt_buf *out) noexcept;
    int (*links)(const char *document, wt_buf *out) noexcept;
    int (*headings)(const char *document, wt_buf *out) noexcept;
};

// The build that suits this processor: the AVX2 one where it was compiled in
// and the processor has AVX2, BMI1, BMI2 and LZCNT, else the baseline one.
// Setting WTCORE_ISA=baseline in the environment before the first call keeps
// the baseline build (for tests and comparisons). Chosen once per process.
const wt_parser_build &wt_active_parser() noexcept;

// The baseline build, always present.
const wt_parser_build &wt_baseline_parser() noexcept;

// The AVX2 build when it was compiled in and this processor can run it, else
// nullptr.
const wt_parser_build *wt_avx2_parser() noexcept;

#if defined(WT_HAVE_AVX2_BUILD)
// The AVX2 build's entry points, for the tests that compare the builds.
namespace avx2 {
int wt_parse_to_html(const char *document, void *reserved, wt_buf *out) noexcept;
int wt_extract_links_json(const char *document, wt_buf *out) noexcept;
int wt_extract_headings_json(const char *document, wt_buf *out) noexcept;
} // namespace avx2
namespace wt::avx2 {
void parse_inline_internal(const char *text, size_t n, wt_buf *out, int *counter, const char *doc,
                           const char *limit) noexcept;
} // namespace wt::avx2
#endif

#endif
