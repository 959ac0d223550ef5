// Byte sources and the decompressing layer under the XML parser.
#pragma once

#include <bzlib.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "tarnwick/dump.h"

namespace tarnwick::dump::detail {

// Raw bytes of the input: a descriptor (whole, or a range read with pread) or
// a callback. read() returns 0 at the end and throws error on a failure.
class byte_source {
public:
    virtual ~byte_source() = default;
    virtual std::size_t read(char *buffer, std::size_t size) = 0;
    // The number of bytes the source holds when known, else 0.
    virtual std::uint64_t size() const { return 0; }
};

// Opens path ("-": standard input) as a source, optionally limited to range.
std::unique_ptr<byte_source> open_file(const std::string &path);
std::unique_ptr<byte_source> open_fd(int fd, bool take);
std::unique_ptr<byte_source> open_file_range(const std::string &path, byte_range range);
std::unique_ptr<byte_source> open_callback(read_function read);

// The system's message for an errno value, for error texts.
std::string system_reason(int err);

// Turns the raw bytes into XML bytes, choosing the compression from the first
// bytes. Concatenated bzip2 streams and gzip members are read one after
// another. A single read() never returns bytes of two streams, so that
// stream_offset() names the stream of every byte it returned.
class decoder {
public:
    // `base` is the file offset of the source's first byte.
    decoder(std::unique_ptr<byte_source> source, std::uint64_t base);
    ~decoder();
    decoder(const decoder &) = delete;
    decoder &operator=(const decoder &) = delete;

    // Fills up to n bytes of XML; returns 0 at the end. Throws error (with
    // the stream's offset) on corrupt or truncated data.
    std::size_t read(char *out, std::size_t n);

    compression kind() const { return kind_; }
    std::uint64_t stream_offset() const { return stream_offset_; }
    std::uint64_t consumed() const { return consumed_; }
    std::uint64_t source_size() const { return source_->size(); }

private:
    bool fill();                       // reads more raw bytes; false at the end
    void start_stream();
    void end_stream();
    std::size_t read_bzip2(char *out, std::size_t n);
    std::size_t read_gzip(char *out, std::size_t n);
    [[noreturn]] void fail(const std::string &what) const;

    std::unique_ptr<byte_source> source_;
    std::uint64_t base_;
    std::unique_ptr<char[]> in_;
    std::size_t in_pos_ = 0, in_len_ = 0;
    bool eof_ = false;
    compression kind_ = compression::none;
    bool in_stream_ = false;           // a bzip2/gzip stream is open
    bz_stream bz_{};
    z_stream gz_{};
    std::uint64_t consumed_ = 0;       // raw bytes taken out of in_
    std::uint64_t stream_offset_ = 0;  // file offset of the current stream
};

// A decoder run on a thread of its own, a bounded number of chunks ahead of
// the caller. read() hands the chunks out in order, each with the stream
// offset and the input bytes consumed when it was made; a failure is thrown
// when the caller reaches it.
class background_decoder {
public:
    explicit background_decoder(decoder &dec);
    ~background_decoder();
    background_decoder(const background_decoder &) = delete;
    background_decoder &operator=(const background_decoder &) = delete;

    std::size_t read(char *out, std::size_t n);
    std::uint64_t stream_offset() const { return stream_offset_; }
    std::uint64_t consumed() const { return consumed_; }

private:
    struct state;
    std::unique_ptr<state> s_;
    std::uint64_t stream_offset_ = 0, consumed_ = 0;
};

} // namespace tarnwick::dump::detail
