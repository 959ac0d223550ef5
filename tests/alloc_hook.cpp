#include "alloc_hook.h"

#include "wt_buffer.h"

#include <cstdlib>

namespace {
size_t s_count;
size_t s_fail_at;
bool s_failed;
long s_live;
} // namespace

namespace alloc_hook {
void reset(size_t fail_at)
{
    s_count = 0;
    s_fail_at = fail_at;
    s_failed = false;
}
size_t allocations() { return s_count; }
long live_blocks() { return s_live; }
bool failed() { return s_failed; }
} // namespace alloc_hook

void *wt_mem_realloc(void *p, size_t n) noexcept
{
    ++s_count;
    if (s_fail_at && s_count == s_fail_at) {
        s_failed = true;
        return nullptr;
    }
    void *q = std::realloc(p, n);
    if (q && !p) ++s_live;
    return q;
}

void wt_mem_free(void *p) noexcept
{
    if (p) --s_live;
    std::free(p);
}
