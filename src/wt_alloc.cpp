// The library's allocator: the C heap. Kept in a file of its own so that a test
// binary that links the static library can put a counting, failure-injecting
// allocator in its place.
#include "wt_buffer.h"

#include <cstdlib>

void *wt_mem_realloc(void *p, size_t n) noexcept
{
    return std::realloc(p, n);
}

void wt_mem_free(void *p) noexcept
{
    std::free(p);
}
