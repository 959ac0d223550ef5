// Test allocator: stands in for the library's own (see wt_alloc.cpp) in the
// unit-test binary. It counts allocations and live blocks and can fail the
// k-th allocation from now on.
#ifndef ALLOC_HOOK_H
#define ALLOC_HOOK_H

#include <cstddef>

namespace alloc_hook {

// Starts a new count; the k-th allocation from now fails (0: none fails).
void reset(size_t fail_at = 0);
// Allocations (fresh or growing reallocations) since reset().
size_t allocations();
// Blocks currently held by the library.
long live_blocks();
// Whether the armed failure has happened.
bool failed();

} // namespace alloc_hook

#endif
