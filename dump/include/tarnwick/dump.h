// tarnwick-dump: reads wiki XML exports (schema 0.10 and 0.11) page by page.
//
// Ownership and lifetime first:
// - A `reader` owns its input (file, descriptor or callback) and every buffer;
//   it is movable, not copyable, and one reader is used by one thread at a
//   time. Separate readers share nothing, so any number may run at once (one
//   per worker on the streams of one multistream file).
// - `next(page&)` overwrites the page it is given, reusing its strings'
//   storage; the caller keeps nothing of the reader's.
// - Every failure throws `tarnwick::dump::error`, whose what() is one line
//   naming the page id or byte offset where reading stopped. Pages returned
//   before it are complete and correct.
//
// Input is read as a stream in fixed-size chunks: the compression (bzip2 with
// any number of concatenated streams, gzip with any number of members, or
// none) is chosen from the first bytes, never from a file name. The XML is
// parsed by expat with its protection against entity expansion on, so a
// document that expands entities beyond a small factor fails cleanly. Memory
// stays bounded: one page (its last revision's text) plus fixed buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tarnwick::dump {

// A reading failure: malformed XML, corrupt or truncated compressed data, a
// page without text, an oversized page, an I/O error. what() is the whole
// message, e.g. "page 1234: no <text> in its revision" or
// "XML byte 56789 (line 12, column 3): not well-formed (invalid token)".
class error : public std::runtime_error {
public:
    error(const std::string &message, std::int64_t page_id, std::uint64_t offset)
        : std::runtime_error(message), page_id_(page_id), offset_(offset) {}
    // The id of the page being read, or -1 when none was known yet.
    std::int64_t page_id() const noexcept { return page_id_; }
    // The byte offset in the input file where the failing stream or element
    // starts (compressed input: the compressed stream; plain XML: the byte).
    std::uint64_t offset() const noexcept { return offset_; }

private:
    std::int64_t page_id_;
    std::uint64_t offset_;
};

enum class compression { none, bzip2, gzip };

// One page of the export, with its last revision: in a dump of every
// revision, a page's last <revision> is its current one.
struct page {
    std::int64_t id = 0;
    std::int64_t ns = 0;
    std::string title;             // with its namespace prefix, spaces as written
    bool is_redirect = false;
    std::string redirect;          // the target of <redirect title="..."/>, when is_redirect
    std::int64_t revision_id = 0;
    std::string timestamp;         // as written, e.g. "2024-05-01T12:00:00Z"
    std::string model;             // "wikitext", "css", "Scribunto", ...
    std::string format;            // "text/x-wiki", ...
    std::string text;              // the wikitext, XML escaping undone; empty when deleted
    bool text_deleted = false;     // <text deleted="deleted"/>
    int revisions = 0;             // how many <revision> elements the page held
    // Where the page began: the byte offset in the input file of the
    // compressed stream (bzip2 stream or gzip member) that holds its <page>
    // tag, or for plain XML the offset of the tag itself.
    std::uint64_t stream_offset = 0;
    // The offset of the <page> tag in the XML read by this reader (from the
    // start of its range when reading a range).
    std::uint64_t xml_offset = 0;
};

struct namespace_info {
    std::int64_t key = 0;
    std::string name; // "" for key 0
};

// The <siteinfo> block. Empty until the reader has passed it; a reader of a
// range that does not start at byte 0 never sees it.
struct site_info {
    std::string sitename, dbname, base, generator, case_rule;
    std::vector<namespace_info> namespaces;
};

// A byte range [begin, end) of an input file.
struct byte_range {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    bool operator==(const byte_range &) const = default;
};

struct reader_options {
    // A page whose text grows past this many bytes stops the reader with an
    // error naming the page: a bound on memory that no real page comes near.
    std::size_t max_text_size = std::size_t{64} << 20;
    // Invalid UTF-8 in a UTF-8 document is replaced by U+FFFD before parsing
    // (and counted, see reader::utf8_repairs) instead of failing the parse.
    bool repair_utf8 = true;
    // Compressed input is decompressed on a thread of the reader's own, a few
    // chunks ahead of the parser, so that parsing overlaps decompression.
    // Costs one thread and a bounded queue (a megabyte) per reader.
    bool background_decompression = false;
};

// Fills up to `size` bytes at `buffer`; returns how many, 0 at the end of the
// input. Throw to report a failure (its message is kept).
using read_function = std::function<std::size_t(char *buffer, std::size_t size)>;

class reader {
public:
    // Reads the file at `path`, or standard input for "-".
    static reader open(const std::string &path, const reader_options &options = {});
    // Reads from an open descriptor; closes it at the end when `take` is true.
    static reader from_fd(int fd, bool take, const reader_options &options = {});
    // Reads through a callback (a Python file object, a socket, ...).
    static reader from_callback(read_function read, const reader_options &options = {});
    // Reads the pages of one range of a file split by find_streams,
    // streams_from_index or split_plain_xml: a range of a multistream bzip2
    // file (whole streams) or of a plain XML file (whole pages). A range that
    // does not start at byte 0 is read as the continuation of the document;
    // one that does not end at the file's end as if the document ended there.
    static reader open_range(const std::string &path, byte_range range,
                             const reader_options &options = {});

    reader(reader &&) noexcept;
    reader &operator=(reader &&) noexcept;
    ~reader();

    // Reads the next page into `out`. Returns false at the end of the
    // document; throws error on a failure.
    bool next(page &out);

    const site_info &site() const noexcept;
    compression input_compression() const noexcept;
    // Bytes read from the input so far (compressed bytes for compressed input).
    std::uint64_t input_bytes() const noexcept;
    // The input's size when it is a regular file (of the range, for a range), else 0.
    std::uint64_t input_size() const noexcept;
    // XML bytes handed to the parser so far.
    std::uint64_t xml_bytes() const noexcept;
    // Invalid UTF-8 sequences replaced so far, and the XML offset of the first.
    std::uint64_t utf8_repairs() const noexcept;
    std::uint64_t first_repair_offset() const noexcept;

    struct impl;

private:
    explicit reader(std::unique_ptr<impl> p);
    std::unique_ptr<impl> impl_;
};

// Returns the compression of the file at `path`, from its first bytes.
compression detect_compression(const std::string &path);

// Returns the streams of a multistream bzip2 file from its index file
// (`offset:page_id:title` lines, itself plain or bzip2): one range per
// distinct offset, plus the stream before the first listed one (the site
// information) and up to the end of the file. Throws error on a malformed
// index or an offset past the end of the file.
std::vector<byte_range> streams_from_index(const std::string &index_path,
                                           const std::string &data_path);

// Returns the streams of a bzip2 file by finding each stream's header (a
// "BZh" block-size byte followed by a block or end-of-stream marker) at a byte
// boundary. One range for a single-stream file. Reads the whole file.
std::vector<byte_range> find_streams(const std::string &path);

// Splits a plain (uncompressed, UTF-8) XML export into about `pieces` ranges
// that each hold whole pages: every boundary is the start of a line holding
// "<page>" (as exports write it), found by reading a little at each nominal
// offset. A range reader checks what the split assumed: a boundary that fell
// inside a CDATA section or comment makes its XML malformed, an error.
std::vector<byte_range> split_plain_xml(const std::string &path, std::size_t pieces);

// Merges consecutive ranges into groups of about `bytes` each.
std::vector<byte_range> group_ranges(const std::vector<byte_range> &ranges, std::uint64_t bytes);

} // namespace tarnwick::dump
