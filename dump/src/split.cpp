// Splitting an export into ranges that workers read on their own: the
// streams of a multistream bzip2 file, or page-aligned pieces of plain XML.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "decoder.h"
#include "utf8.h"

namespace tarnwick::dump {

namespace {

constexpr std::size_t scan_block = std::size_t{1} << 20;
// A page boundary is searched from a nominal offset a small block at a time:
// most are found within a few kilobytes.
constexpr std::size_t page_scan_block = std::size_t{64} << 10;

// A bzip2 stream starts "BZh" + block size '1'..'9', then the 48-bit magic of
// a block (pi) or of the stream's end (sqrt pi, for an empty stream).
bool is_bzip2_header(const unsigned char *p)
{
    static constexpr unsigned char block[6] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
    static constexpr unsigned char eos[6] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
    return p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' && p[3] <= '9' &&
           (std::memcmp(p + 4, block, 6) == 0 || std::memcmp(p + 4, eos, 6) == 0);
}

constexpr std::size_t bzip2_header_size = 10;

std::uint64_t file_size(const std::string &path)
{
    return detail::open_file(path)->size();
}

std::vector<byte_range> ranges_from_starts(std::vector<std::uint64_t> starts, std::uint64_t size)
{
    std::vector<byte_range> out;
    for (std::size_t i = 0; i < starts.size(); ++i)
        out.push_back({starts[i], i + 1 < starts.size() ? starts[i + 1] : size});
    return out;
}

// Returns the offset of the first line at or after `from` that holds
// "<page>" after nothing but blanks (the '<'), or `size` when none does.
std::uint64_t next_page_line(const std::string &path, std::uint64_t from, std::uint64_t size)
{
    static constexpr std::string_view tag = "<page>";
    // Start one byte early, so that a line start right at `from` is seen.
    std::uint64_t pos = from > 0 ? from - 1 : 0;
    std::string block;
    bool line_start = from == 0;
    while (pos < size) {
        std::uint64_t end = std::min<std::uint64_t>(size, pos + page_scan_block);
        block.resize(static_cast<std::size_t>(end - pos));
        auto src = detail::open_file_range(path, {pos, end});
        std::size_t got = 0;
        while (got < block.size()) got += src->read(block.data() + got, block.size() - got);
        // Walk the lines of the block; a line split at the block's end is
        // read again from its start in the next block.
        std::size_t i = 0;
        std::size_t last_line = 0;
        if (!line_start) {
            const char *nl = static_cast<const char *>(std::memchr(block.data(), '\n', block.size()));
            if (!nl) {
                pos = end;
                continue;
            }
            i = static_cast<std::size_t>(nl - block.data()) + 1;
        }
        line_start = false;
        for (;;) {
            last_line = i;
            std::size_t j = i;
            while (j < block.size() && (block[j] == ' ' || block[j] == '\t')) ++j;
            if (block.size() - j < tag.size() && end < size) break;
            if (std::string_view(block).substr(j, tag.size()) == tag) return pos + j;
            const char *nl = static_cast<const char *>(std::memchr(block.data() + j, '\n', block.size() - j));
            if (!nl) break;
            i = static_cast<std::size_t>(nl - block.data()) + 1;
        }
        if (end >= size) return size;
        // Go on from the last line start seen (at least one byte further).
        if (last_line == 0) {
            pos = end;
        } else {
            pos += last_line;
            line_start = true;
        }
    }
    return size;
}

} // namespace

compression detect_compression(const std::string &path)
{
    return detail::decoder(detail::open_file(path), 0).kind();
}

std::vector<byte_range> find_streams(const std::string &path)
{
    std::uint64_t size = file_size(path);
    auto src = detail::open_file(path);
    std::vector<std::uint64_t> starts;
    std::string buf(scan_block + bzip2_header_size, '\0');
    std::size_t have = 0;       // bytes in buf
    std::uint64_t buf_pos = 0;  // file offset of buf[0]
    for (;;) {
        std::size_t n = src->read(buf.data() + have, buf.size() - have);
        have += n;
        bool end = n == 0;
        if (!end && have < buf.size()) continue;
        const unsigned char *p = reinterpret_cast<const unsigned char *>(buf.data());
        std::size_t limit = have >= bzip2_header_size ? have - bzip2_header_size + 1 : 0;
        for (std::size_t i = 0; i < limit;) {
            const void *hit = std::memchr(p + i, 'B', limit - i);
            if (!hit) break;
            i = static_cast<std::size_t>(static_cast<const unsigned char *>(hit) - p);
            if (is_bzip2_header(p + i)) starts.push_back(buf_pos + i);
            ++i;
        }
        if (end) break;
        // Keep the last bytes, which may begin a header cut by the block's end.
        std::size_t keep = bzip2_header_size - 1;
        std::memmove(buf.data(), buf.data() + have - keep, keep);
        buf_pos += have - keep;
        have = keep;
    }
    if (starts.empty() || starts.front() != 0) throw error(path + ": not a bzip2 file", -1, 0);
    return ranges_from_starts(std::move(starts), size);
}

std::vector<byte_range> streams_from_index(const std::string &index_path, const std::string &data_path)
{
    std::uint64_t size = file_size(data_path);
    detail::decoder dec(detail::open_file(index_path), 0);
    std::vector<std::uint64_t> starts{0};
    std::string line;
    std::uint64_t line_no = 0;
    std::string buf(std::size_t{64} << 10, '\0');
    auto take_line = [&] {
        ++line_no;
        if (line.empty()) return;
        std::size_t colon = line.find(':');
        std::uint64_t off = 0;
        bool ok = colon != std::string::npos && colon > 0;
        for (std::size_t i = 0; ok && i < colon; ++i) {
            if (line[i] < '0' || line[i] > '9' || off > (UINT64_MAX - 9) / 10) ok = false;
            else off = off * 10 + static_cast<unsigned>(line[i] - '0');
        }
        if (!ok) throw error(index_path + ": line " + std::to_string(line_no) + ": not offset:page_id:title", -1, 0);
        if (off >= size)
            throw error(index_path + ": line " + std::to_string(line_no) + ": offset " + std::to_string(off) +
                            " lies past the end of " + data_path,
                        -1, off);
        if (off != starts.back()) starts.push_back(off);
    };
    for (;;) {
        std::size_t n = dec.read(buf.data(), buf.size());
        if (n == 0) break;
        std::string_view chunk(buf.data(), n);
        while (!chunk.empty()) {
            std::size_t nl = chunk.find('\n');
            line.append(chunk.substr(0, nl));
            if (nl == std::string_view::npos) break;
            take_line();
            line.clear();
            chunk.remove_prefix(nl + 1);
        }
    }
    take_line();
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    return ranges_from_starts(std::move(starts), size);
}

std::vector<byte_range> split_plain_xml(const std::string &path, std::size_t pieces)
{
    std::uint64_t size = file_size(path);
    std::vector<std::uint64_t> starts{0};
    if (pieces == 0) pieces = 1;
    // Pieces after the first are parsed as UTF-8: a document in another
    // encoding (UTF-16 with its BOM, or a declared one) stays whole.
    {
        char head[256];
        auto src = detail::open_file(path);
        std::size_t n = 0, k;
        while (n < sizeof head && (k = src->read(head + n, sizeof head - n)) > 0) n += k;
        const unsigned char *u = reinterpret_cast<const unsigned char *>(head);
        bool utf16 = n >= 2 && (u[0] == 0xFE || u[0] == 0xFF || u[0] == 0 || u[1] == 0);
        std::string enc = detail::declared_encoding(head, n);
        if (utf16 || !(enc.empty() || enc == "utf-8" || enc == "utf8")) pieces = 1;
    }
    // The first boundary is the first page: the site information stays with
    // the document's start, and later pieces begin at a page.
    std::uint64_t first = pieces > 1 ? next_page_line(path, 0, size) : size;
    for (std::size_t k = 1; k < pieces; ++k) {
        std::uint64_t nominal = std::max(first + 1, size / pieces * k);
        if (nominal >= size) break;
        std::uint64_t at = next_page_line(path, nominal, size);
        if (at >= size) break;
        if (at > starts.back()) starts.push_back(at);
    }
    return ranges_from_starts(std::move(starts), size);
}

std::vector<byte_range> group_ranges(const std::vector<byte_range> &ranges, std::uint64_t bytes)
{
    std::vector<byte_range> out;
    for (const byte_range &r : ranges) {
        if (!out.empty() && out.back().end == r.begin && out.back().end - out.back().begin < bytes)
            out.back().end = r.end;
        else
            out.push_back(r);
    }
    return out;
}

} // namespace tarnwick::dump
