#include "dump_output.h"

#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t out_buffer_size = std::size_t{1} << 20;

enum class codec { none, gzip, zstd };

// The temporary file of the output, removed when a signal ends the program
// (Ctrl-C, kill), so that an interrupted run leaves no stray file. Only
// async-signal-safe calls happen in the handler.
char signal_temp[4096];

extern "C" void remove_temp_and_reraise(int sig)
{
    if (signal_temp[0]) ::unlink(signal_temp);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void watch_temp(const std::string &path)
{
    if (path.size() >= sizeof signal_temp) return;
    std::memcpy(signal_temp, path.c_str(), path.size() + 1);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, remove_temp_and_reraise);
}

void forget_temp()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, SIG_DFL);
    signal_temp[0] = '\0';
}

} // namespace

struct jsonl_output::impl {
    int fd = -1;
    bool own = false;
    std::string path, temp;
    codec kind = codec::none;
    int error = 0;
    z_stream z{};
    bool z_open = false;
    ZSTD_CCtx *zc = nullptr;
    std::string buf;  // compressed bytes waiting for write()

    ~impl()
    {
        if (z_open) deflateEnd(&z);
        ZSTD_freeCCtx(zc);
        if (own && fd >= 0) ::close(fd);
        if (!temp.empty()) {
            ::unlink(temp.c_str());
            forget_temp();
        }
    }

    void raw_write(const char *p, std::size_t n)
    {
        while (n > 0 && error == 0) {
            ssize_t k = ::write(fd, p, n);
            if (k < 0) {
                if (errno == EINTR) continue;
                error = errno;
                return;
            }
            p += k;
            n -= static_cast<std::size_t>(k);
        }
    }

    // Compresses n bytes (or ends the stream when `end`), writing as it goes.
    void compress(const char *p, std::size_t n, bool end)
    {
        if (kind == codec::gzip) {
            z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(p));
            z.avail_in = static_cast<uInt>(n);
            int ret;
            do {
                buf.resize(out_buffer_size);
                z.next_out = reinterpret_cast<Bytef *>(buf.data());
                z.avail_out = static_cast<uInt>(buf.size());
                ret = deflate(&z, end ? Z_FINISH : Z_NO_FLUSH);
                raw_write(buf.data(), buf.size() - z.avail_out);
            } while (error == 0 && (z.avail_in > 0 || z.avail_out == 0 || (end && ret != Z_STREAM_END)));
        } else {
            ZSTD_inBuffer in{p, n, 0};
            std::size_t left;
            do {
                buf.resize(out_buffer_size);
                ZSTD_outBuffer out{buf.data(), buf.size(), 0};
                left = ZSTD_compressStream2(zc, &out, &in, end ? ZSTD_e_end : ZSTD_e_continue);
                if (ZSTD_isError(left)) {
                    error = ENOMEM;
                    return;
                }
                raw_write(buf.data(), out.pos);
            } while (error == 0 && (in.pos < in.size || (end && left != 0)));
        }
    }
};

jsonl_output::jsonl_output() : impl_(std::make_unique<impl>()) {}
jsonl_output::~jsonl_output() = default;

int jsonl_output::open(const std::string &path)
{
    impl &o = *impl_;
    if (path.empty() || path == "-") {
        o.fd = STDOUT_FILENO;
        display_ = "standard output";
        return 0;
    }
    display_ = path;
    o.path = path;
    std::string_view name(path);
    if (name.ends_with(".gz")) o.kind = codec::gzip;
    else if (name.ends_with(".zst")) o.kind = codec::zstd;
    // The temporary file sits beside the target, so that rename() replaces
    // it in one step on the same file system.
    std::string temp = path + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return errno;
    ::fchmod(fd, 0644 & ~[] { mode_t m = ::umask(0); ::umask(m); return m; }());
    o.fd = fd;
    o.own = true;
    o.temp = temp;
    watch_temp(temp);
    if (o.kind == codec::gzip) {
        if (deflateInit2(&o.z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            return ENOMEM;
        o.z_open = true;
    } else if (o.kind == codec::zstd) {
        o.zc = ZSTD_createCCtx();
        if (!o.zc) return ENOMEM;
        ZSTD_CCtx_setParameter(o.zc, ZSTD_c_compressionLevel, 3);
    }
    return 0;
}

bool jsonl_output::write(const char *p, std::size_t n)
{
    impl &o = *impl_;
    if (o.error) return false;
    if (o.kind == codec::none) o.raw_write(p, n);
    else o.compress(p, n, false);
    return o.error == 0;
}

int jsonl_output::finish()
{
    impl &o = *impl_;
    if (o.error == 0 && o.kind != codec::none) o.compress("", 0, true);
    if (o.own) {
        if (o.error == 0 && ::fsync(o.fd) != 0 && errno != EINVAL) o.error = errno;
        if (::close(o.fd) != 0 && o.error == 0) o.error = errno;
        o.fd = -1;
        if (o.error == 0 && ::rename(o.temp.c_str(), o.path.c_str()) != 0) o.error = errno;
        if (o.error == 0) o.temp.clear();
        forget_temp();
    }
    return o.error;
}
