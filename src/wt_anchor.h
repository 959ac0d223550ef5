// Heading anchors: the id a heading element carries, made from its raw text.
// The renderer and the heading list use the same rule, so the list's anchors
// are the page's ids.
#ifndef WT_ANCHOR_H
#define WT_ANCHOR_H

#include "wt_buffer.h"
#include "wt_span.h"

#include <cstddef>

namespace wt {
WT_ISA_BEGIN

// Writes the anchor of a heading text to dst, which has room for text.n bytes
// (an anchor is never longer than its text), and returns its length: runs of
// space, tab and '_' become one '_', the bytes " & ' < > are dropped, and the
// anchor neither begins nor ends with '_'. The text is trimmed first. A heading
// of the extended syntax's clean text is read through heading_text first.
size_t write_anchor(char *dst, span text) noexcept;

// Appends the anchor of n bytes of text to out. Null text or n == 0 appends
// nothing; a failed allocation appends nothing and sets out->failed.
void generate_anchor(const char *text, size_t n, wt_buf *out) noexcept;

// The anchor of one heading, made on the stack when the text is shorter than
// local_size bytes and in a heap block otherwise. failed() tells that the
// heap block could not be had (the anchor is then empty).
class heading_anchor {
public:
    static constexpr size_t local_size = 256;

    explicit heading_anchor(span text) noexcept;
    ~heading_anchor() { wt_buf_free(&heap_); }
    heading_anchor(const heading_anchor &) = delete;
    heading_anchor &operator=(const heading_anchor &) = delete;

    const char *data() const noexcept { return p_; }
    size_t size() const noexcept { return n_; }
    bool failed() const noexcept { return failed_; }

private:
    char local_[local_size];
    wt_buf heap_{};
    const char *p_ = local_;
    size_t n_ = 0;
    bool failed_ = false;
};

WT_ISA_END
} // namespace wt

#endif
