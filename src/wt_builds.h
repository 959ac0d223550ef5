// The builds of the parser that the library holds (see wt_isa.h) and the
// choice among them: the interface calls the parser through wt_active_parser.
#ifndef WT_BUILDS_H
#define WT_BUILDS_H

#include "wt_parser.h"

#include <cstddef>

// The builds compiled in that this processor can run, the baseline build first
// and the newest last. *n gets their number (at least 1).
const wt_parser_build *const *wt_usable_parsers(size_t *n) noexcept;

// The baseline build, always present.
const wt_parser_build &wt_baseline_parser() noexcept;

// The build the interface uses, chosen once per process: the newest usable
// one, unless the environment variable WTCORE_ISA names another usable build
// ("baseline", "avx2"), which is then kept (for tests and comparisons).
const wt_parser_build &wt_active_parser() noexcept;

#endif
