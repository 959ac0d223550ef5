// wt_buf: the growable, NUL-terminated byte buffer that all output goes into,
// and its escaping writers. This module makes every heap allocation of the
// library, through wt_mem_realloc and wt_mem_free.
#ifndef WT_BUFFER_H
#define WT_BUFFER_H

#include "wt_scan.h"

#include <cstddef>

// A record of all zeros is a valid empty buffer without storage.
// Invariants: data == nullptr exactly when cap == 0; with storage, len < cap
// and data[len] is NUL.
// `failed` is sticky: it is set by any allocation that fails while the record
// is written, and cleared only by wt_buf_init, wt_buf_reset and wt_buf_free.
// Callers write without checking each result and test `failed` once at the end.
// `scratch` marks storage that no caller takes away (see wt_buf_init_scratch):
// its growth may take a block the thread keeps.
struct wt_buf {
    char *data;
    size_t len;
    size_t cap;
    int failed;
    int scratch;
};

// The allocator. wt_alloc.cpp holds the library's own (realloc and free); a
// test binary linking the static library may define these to count or fail
// allocations. wt_mem_realloc(nullptr, n) allocates.
void *wt_mem_realloc(void *p, size_t n) noexcept;
void wt_mem_free(void *p) noexcept;

// Gives the record a block of max(initial_cap, 64) bytes holding "". On
// allocation failure the record is (null, 0, 0) and `failed` is set. Use only on
// a record without storage.
void wt_buf_init(wt_buf *b, size_t initial_cap) noexcept;
// Releases the storage; the record becomes all zeros and may be written again.
void wt_buf_free(wt_buf *b) noexcept;
// Scratch of the size of a document (the extended syntax's clean text and
// records). A thread keeps the blocks of at least wt_scratch_min bytes that
// its last calls gave back, up to wt_scratch_slots blocks and wt_scratch_max
// bytes, and frees them when it ends. Without that, a loop over large
// documents would give that memory back to the system after each call (the C
// heap trims a free top above twice its largest block) and fault it in again
// page by page in the next one. Smaller blocks go back to the heap, which
// reuses them anyway.
constexpr size_t wt_scratch_min = size_t(256) << 10;
constexpr size_t wt_scratch_max = size_t(64) << 20;
constexpr size_t wt_scratch_slots = 16;
// As wt_buf_init, but takes the smallest kept block of at least initial_cap
// bytes when there is one, and marks the record as scratch: when it grows
// past wt_scratch_min it moves to a kept block too, if one is large enough,
// and leaves its old block to the thread in its place. So records that grow
// from nothing (the pass's stacks) reuse the blocks of the last call as well.
void wt_buf_init_scratch(wt_buf *b, size_t initial_cap) noexcept;
// As wt_buf_free, but keeps a large block for the thread's next call when
// there is room. The record stays scratch.
void wt_buf_free_scratch(wt_buf *b) noexcept;
// Frees the blocks that the calling thread keeps.
void wt_scratch_release() noexcept;
// Empties the buffer and clears `failed`; the storage is kept.
void wt_buf_reset(wt_buf *b) noexcept;
// Makes room for `extra` more bytes plus the terminator. Growth: 128 from no
// storage, else doubling until it fits. Returns 1, or 0 (and sets `failed`)
// when the allocation fails or the size would overflow; the content is then
// unchanged.
int wt_buf_ensure(wt_buf *b, size_t extra) noexcept;

// Appends n bytes. A null source or n == 0 writes nothing and returns 1.
int wt_buf_append(wt_buf *b, const void *src, size_t n) noexcept;
// Appends a NUL-terminated string; null writes nothing and returns 1.
int wt_buf_append_str(wt_buf *b, const char *s) noexcept;
// Appends one byte, any value.
int wt_buf_append_char(wt_buf *b, char c) noexcept;
// Escaping writers. Null source or n == 0: 1 with nothing written.
// HTML text: " & < > become &quot; &amp; &lt; &gt;.
int wt_buf_append_html_escaped(wt_buf *b, const char *src, size_t n) noexcept;

// JSON string content: \b \t \n \f \r \" \\ and \u00xx for other bytes below
// 0x20; every byte from 0x20 up (0x7F and UTF-8 included) unchanged. Runs that
// need no escape are copied whole. `limit`, when given, is the last byte
// around the source that may be read: a short string whose 16-byte pieces lie
// within it is checked and copied a piece at a time.
int wt_buf_append_json_escaped(wt_buf *b, const char *src, size_t n,
                               const char *limit = nullptr) noexcept;
// Wiki page address inside a double-quoted href: a space becomes '_' and '"'
// becomes &quot;, so the value cannot close its attribute. Nothing else changes.
// `limit` as for wt_buf_append_json_escaped.
int wt_buf_append_wiki_url(wt_buf *b, const char *src, size_t n, const char *limit = nullptr) noexcept;
// Any other href value: only '"' becomes &quot;.
int wt_buf_append_attr_value(wt_buf *b, const char *src, size_t n) noexcept;

// Returns the content as a NUL-terminated string: `data`, or a constant "" when
// the record is null or has no storage. Valid until the next write that grows
// the buffer, or wt_buf_free.
const char *wt_buf_cstring(const wt_buf *b) noexcept;

// The inline writers belong to each build of the parser (see wt_isa.h).
WT_ISA_BEGIN

// wt_buf_ensure with the check that usually succeeds done in line. A null
// record gets 0.
inline int wt_buf_room(wt_buf *b, size_t n) noexcept
{
    return b && (b->cap - b->len > n || wt_buf_ensure(b, n));
}

// Room for writing n bytes in place: returns where they go (the end of the
// content), or null when the room cannot be had. The fast paths store up to n
// bytes there, any of them scratch, then wt_buf_commit the ones they keep.
inline char *wt_buf_reserve(wt_buf *b, size_t n) noexcept
{
    return wt_buf_room(b, n) ? b->data + b->len : nullptr;
}

// wt_buf_reserve without growth, for the hottest loops: where n bytes may be
// written when the room is already there, else null. `b` must not be null.
inline char *wt_buf_spare(wt_buf *b, size_t n) noexcept
{
    return b->cap - b->len > n ? b->data + b->len : nullptr;
}

// Keeps the first n bytes written at wt_buf_reserve's pointer (n no more than
// reserved) and terminates the content after them.
inline void wt_buf_commit(wt_buf *b, size_t n) noexcept
{
    b->len += n;
    b->data[b->len] = '\0';
}

// wt_buf_append for the hot loops: copies in place when the bytes fit, and
// leaves growth to wt_buf_append. Same result, same null handling for `b`.
inline int wt_buf_put(wt_buf *b, const char *src, size_t n) noexcept
{
    if (b && b->cap - b->len > n) { // cap > len whenever there is storage
        wt::copy_bytes(b->data + b->len, src, n);
        wt_buf_commit(b, n);
        return 1;
    }
    return wt_buf_append(b, src, n);
}

// wt_buf_append_char for the hot loops: in place when there is room.
inline int wt_buf_put_char(wt_buf *b, char c) noexcept
{
    if (b && b->cap - b->len > 1) {
        b->data[b->len++] = c;
        b->data[b->len] = '\0';
        return 1;
    }
    return wt_buf_append_char(b, c);
}

// Appends a string literal with its length known at compile time.
template <size_t N>
inline int wt_buf_append_lit(wt_buf *b, const char (&lit)[N]) noexcept
{
    return wt_buf_put(b, lit, N - 1);
}

WT_ISA_END

#endif
