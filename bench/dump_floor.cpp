// The floors under the dump command's speed, timed by bench/dump_bench.py
// beside the command: what its libraries alone cost on the same file.
//
//   dump_floor bzip2 FILE THREADS         libbz2 decompresses every stream of a
//                                         multistream file on THREADS threads,
//                                         the output thrown away
//   dump_floor bzip2+expat FILE THREADS   the same, each stream's XML also
//                                         parsed by expat, handlers doing nothing
//   dump_floor expat FILE                 expat alone on a plain XML file
//
// Streams are found as the dump command finds them, and taken by the threads
// in turn; prints the XML bytes seen, so that a run can be checked.
#include <bzlib.h>
#include <expat.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tarnwick/dump.h"

namespace {

constexpr int chunk = 256 << 10;

void XMLCALL on_start(void *data, const XML_Char *, const XML_Char **) { ++*static_cast<std::uint64_t *>(data); }
void XMLCALL on_end(void *, const XML_Char *) {}
void XMLCALL on_text(void *data, const XML_Char *, int len) { *static_cast<std::uint64_t *>(data) += static_cast<unsigned>(len); }

XML_Parser new_parser(std::uint64_t *count, bool continuation)
{
    XML_Parser p = XML_ParserCreate(continuation ? "UTF-8" : nullptr);
    XML_SetUserData(p, count);
    XML_SetElementHandler(p, on_start, on_end);
    XML_SetCharacterDataHandler(p, on_text);
    // A stream after the first continues the document inside its root.
    if (continuation) XML_Parse(p, "<mediawiki>", 11, XML_FALSE);
    return p;
}

[[noreturn]] void die(const std::string &what)
{
    std::fprintf(stderr, "dump_floor: %s\n", what.c_str());
    std::exit(1);
}

int expat_alone(const char *path)
{
    int fd = ::open(path, O_RDONLY);
    if (fd < 0) die(std::string(path) + ": " + std::strerror(errno));
    std::uint64_t count = 0, bytes = 0;
    XML_Parser p = new_parser(&count, false);
    for (;;) {
        void *buf = XML_GetBuffer(p, chunk);
        ssize_t n = ::read(fd, buf, chunk);
        if (n < 0) die(std::string(path) + ": " + std::strerror(errno));
        bytes += static_cast<std::uint64_t>(n);
        if (XML_ParseBuffer(p, static_cast<int>(n), n == 0) != XML_STATUS_OK)
            die(std::string("XML: ") + XML_ErrorString(XML_GetErrorCode(p)));
        if (n == 0) break;
    }
    XML_ParserFree(p);
    ::close(fd);
    std::printf("%llu bytes of XML\n", static_cast<unsigned long long>(bytes));
    return 0;
}

int bzip2_streams(const char *path, unsigned threads, bool parse)
{
    std::vector<tarnwick::dump::byte_range> streams = tarnwick::dump::find_streams(path);
    int fd = ::open(path, O_RDONLY);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) die(std::string(path) + ": " + std::strerror(errno));
    auto size = static_cast<std::size_t>(st.st_size);
    void *map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) die(std::string(path) + ": " + std::strerror(errno));
    const char *data = static_cast<const char *>(map);
    std::atomic<std::size_t> next{0};
    std::atomic<std::uint64_t> total{0};
    auto work = [&] {
        std::vector<char> own(chunk);
        for (std::size_t k; (k = next++) < streams.size();) {
            std::uint64_t count = 0;
            XML_Parser p = parse ? new_parser(&count, k > 0) : nullptr;
            bz_stream bz{};
            if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) die("out of memory");
            bz.next_in = const_cast<char *>(data + streams[k].begin);
            bz.avail_in = static_cast<unsigned>(streams[k].end - streams[k].begin);
            std::uint64_t made = 0;
            for (int ret = BZ_OK; ret != BZ_STREAM_END;) {
                char *out = parse ? static_cast<char *>(XML_GetBuffer(p, chunk)) : own.data();
                bz.next_out = out;
                bz.avail_out = chunk;
                ret = BZ2_bzDecompress(&bz);
                if (ret != BZ_OK && ret != BZ_STREAM_END) die("corrupt stream at byte " + std::to_string(streams[k].begin));
                int n = chunk - static_cast<int>(bz.avail_out);
                made += static_cast<unsigned>(n);
                // The last stream's end tag closes the root; the others are
                // left open, as the dump command's ranges are.
                if (parse && XML_ParseBuffer(p, n, XML_FALSE) != XML_STATUS_OK)
                    die(std::string("XML: ") + XML_ErrorString(XML_GetErrorCode(p)));
            }
            BZ2_bzDecompressEnd(&bz);
            if (p) XML_ParserFree(p);
            total += made;
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work);
    for (std::thread &t : pool) t.join();
    ::munmap(map, size);
    ::close(fd);
    std::printf("%zu streams, %llu bytes of XML\n", streams.size(), static_cast<unsigned long long>(total.load()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string mode = argc > 2 ? argv[1] : "";
    try {
        if (mode == "expat" && argc == 3) return expat_alone(argv[2]);
        if ((mode == "bzip2" || mode == "bzip2+expat") && argc == 4) {
            int threads = std::atoi(argv[3]);
            if (threads < 1) die("THREADS must be a positive number");
            return bzip2_streams(argv[2], static_cast<unsigned>(threads), mode == "bzip2+expat");
        }
    } catch (const tarnwick::dump::error &e) {
        die(e.what());
    }
    std::fputs("usage: dump_floor bzip2|bzip2+expat FILE THREADS | dump_floor expat FILE\n", stderr);
    return 2;
}
