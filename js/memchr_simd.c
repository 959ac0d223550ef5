/* memchr for the SIMD build of the WebAssembly module, in place of the C
   library's, which reads one machine word (4 bytes) at a time. The core calls
   memchr on whole documents (a document is searched for NUL bytes before it
   is rendered), so a 16-byte block at a time matters there.

   Every load is of an aligned 16-byte block that holds at least one byte of
   the range, so it never reaches past the end of the module's memory (whose
   size is a multiple of 64 KiB); bytes of the block outside the range are
   masked out. Linked into the SIMD build only: it takes the place of the C
   library's memchr because an object's definition comes before the archive's. */
#include <stdint.h>
#include <string.h>
#include <wasm_simd128.h>

void *memchr(const void *s, int c, size_t n)
{
    if (n == 0) return NULL;
    uintptr_t start = (uintptr_t)s;
    if (n > UINTPTR_MAX - start) n = UINTPTR_MAX - start; /* a "search to the end" length */
    uintptr_t end = start + n;
    uintptr_t block = start & ~(uintptr_t)15;
    v128_t needle = wasm_i8x16_splat((int8_t)c);
    uint32_t mask = (uint32_t)wasm_i8x16_bitmask(wasm_i8x16_eq(wasm_v128_load((const void *)block), needle));
    mask &= 0xFFFFu << (start & 15);
    for (;;) {
        if (mask) {
            uintptr_t hit = block + (uintptr_t)__builtin_ctz(mask);
            return hit < end ? (void *)hit : NULL;
        }
        if (end - block <= 16) return NULL; /* this block reached the end */
        block += 16;
        mask = (uint32_t)wasm_i8x16_bitmask(wasm_i8x16_eq(wasm_v128_load((const void *)block), needle));
    }
}
