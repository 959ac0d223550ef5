#include "decoder.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnwick::dump::detail {

namespace {

constexpr std::size_t raw_buffer_size = std::size_t{256} << 10;

class fd_source final : public byte_source {
public:
    fd_source(int fd, bool take, std::string name) : fd_(fd), take_(take), name_(std::move(name))
    {
        struct stat st;
        if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) size_ = static_cast<std::uint64_t>(st.st_size);
    }
    // A range [begin, end) read with pread, so that workers share nothing.
    fd_source(int fd, std::string name, byte_range range)
        : fd_(fd), take_(true), ranged_(true), pos_(range.begin), end_(range.end),
          size_(range.end - range.begin), name_(std::move(name)) {}
    ~fd_source() override
    {
        if (take_) ::close(fd_);
    }
    std::size_t read(char *buffer, std::size_t size) override
    {
        if (ranged_) size = static_cast<std::size_t>(std::min<std::uint64_t>(size, end_ - pos_));
        if (size == 0) return 0;
        for (;;) {
            ssize_t n = ranged_ ? ::pread(fd_, buffer, size, static_cast<off_t>(pos_)) : ::read(fd_, buffer, size);
            if (n >= 0) {
                pos_ += static_cast<std::uint64_t>(n);
                if (ranged_ && n == 0)
                    throw error(name_ + ": file ends before byte " + std::to_string(end_), -1, pos_);
                return static_cast<std::size_t>(n);
            }
            if (errno != EINTR) throw error(name_ + ": " + system_reason(errno), -1, pos_);
        }
    }
    std::uint64_t size() const override { return size_; }

private:
    int fd_;
    bool take_;
    bool ranged_ = false;
    std::uint64_t pos_ = 0, end_ = 0, size_ = 0;
    std::string name_;
};

class callback_source final : public byte_source {
public:
    explicit callback_source(read_function read) : read_(std::move(read)) {}
    std::size_t read(char *buffer, std::size_t size) override
    {
        std::size_t n = read_(buffer, size);
        if (n > size) throw error("read callback returned more bytes than asked for", -1, 0);
        return n;
    }

private:
    read_function read_;
};

int open_or_throw(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw error(path + ": " + system_reason(errno), -1, 0);
    return fd;
}

bool starts_with(const char *p, std::size_t n, const char *magic, std::size_t m)
{
    return n >= m && std::memcmp(p, magic, m) == 0;
}

} // namespace

std::string system_reason(int err) { return std::strerror(err); }

std::unique_ptr<byte_source> open_file(const std::string &path)
{
    if (path == "-") return std::make_unique<fd_source>(STDIN_FILENO, false, "standard input");
    return std::make_unique<fd_source>(open_or_throw(path), true, path);
}

std::unique_ptr<byte_source> open_fd(int fd, bool take)
{
    return std::make_unique<fd_source>(fd, take, "descriptor " + std::to_string(fd));
}

std::unique_ptr<byte_source> open_file_range(const std::string &path, byte_range range)
{
    return std::make_unique<fd_source>(open_or_throw(path), path, range);
}

std::unique_ptr<byte_source> open_callback(read_function read)
{
    return std::make_unique<callback_source>(std::move(read));
}

decoder::decoder(std::unique_ptr<byte_source> source, std::uint64_t base)
    : source_(std::move(source)), base_(base), in_(new char[raw_buffer_size]), stream_offset_(base)
{
    // The compression is read off the first bytes: "BZh" for bzip2, 1f 8b
    // for gzip, anything else is taken as XML.
    while (in_len_ < 3 && !eof_) fill();
    if (starts_with(in_.get(), in_len_, "BZh", 3)) kind_ = compression::bzip2;
    else if (starts_with(in_.get(), in_len_, "\x1f\x8b", 2)) kind_ = compression::gzip;
}

decoder::~decoder() { end_stream(); }

bool decoder::fill()
{
    if (eof_) return false;
    if (in_pos_ > 0) {
        std::memmove(in_.get(), in_.get() + in_pos_, in_len_ - in_pos_);
        in_len_ -= in_pos_;
        in_pos_ = 0;
    }
    std::size_t n = source_->read(in_.get() + in_len_, raw_buffer_size - in_len_);
    if (n == 0) eof_ = true;
    in_len_ += n;
    return n > 0;
}

void decoder::fail(const std::string &what) const
{
    const char *name = kind_ == compression::bzip2 ? "bzip2" : "gzip";
    throw error(std::string(name) + " stream at byte " + std::to_string(stream_offset_) + ": " + what, -1,
                stream_offset_);
}

void decoder::start_stream()
{
    stream_offset_ = base_ + consumed_;
    if (kind_ == compression::bzip2) {
        bz_ = bz_stream{};
        if (BZ2_bzDecompressInit(&bz_, 0, 0) != BZ_OK) fail("out of memory");
    } else {
        gz_ = z_stream{};
        if (inflateInit2(&gz_, 16 + MAX_WBITS) != Z_OK) fail("out of memory");
    }
    in_stream_ = true;
}

void decoder::end_stream()
{
    if (!in_stream_) return;
    if (kind_ == compression::bzip2) BZ2_bzDecompressEnd(&bz_);
    else inflateEnd(&gz_);
    in_stream_ = false;
}

std::size_t decoder::read(char *out, std::size_t n)
{
    if (kind_ == compression::bzip2) return read_bzip2(out, n);
    if (kind_ == compression::gzip) return read_gzip(out, n);
    std::size_t k;
    if (in_pos_ < in_len_) {
        // The bytes read to find the compression go first.
        k = std::min(n, in_len_ - in_pos_);
        std::memcpy(out, in_.get() + in_pos_, k);
        in_pos_ += k;
    } else {
        // Then the source reads straight into the caller's buffer.
        k = eof_ ? 0 : source_->read(out, n);
        if (k == 0) eof_ = true;
    }
    consumed_ += k;
    return k;
}

// Returns decompressed bytes of the current stream; at a stream's end the
// next call starts the following stream, which must begin right there.
std::size_t decoder::read_bzip2(char *out, std::size_t n)
{
    n = std::min<std::size_t>(n, std::numeric_limits<unsigned>::max());
    for (;;) {
        if (!in_stream_) {
            if (in_pos_ == in_len_ && !fill()) return 0;
            while (in_len_ - in_pos_ < 3 && fill()) {}
            if (!starts_with(in_.get() + in_pos_, in_len_ - in_pos_, "BZh", 3)) {
                stream_offset_ = base_ + consumed_;
                fail("not a bzip2 stream (data after the last stream?)");
            }
            start_stream();
        }
        if (in_pos_ == in_len_ && !fill()) fail("truncated: the file ends inside the stream");
        bz_.next_in = in_.get() + in_pos_;
        bz_.avail_in = static_cast<unsigned>(in_len_ - in_pos_);
        bz_.next_out = out;
        bz_.avail_out = static_cast<unsigned>(n);
        int ret = BZ2_bzDecompress(&bz_);
        std::size_t used = in_len_ - in_pos_ - bz_.avail_in;
        in_pos_ += used;
        consumed_ += used;
        std::size_t made = n - bz_.avail_out;
        if (ret == BZ_STREAM_END) {
            end_stream();
            if (made > 0) return made;
            continue;
        }
        if (ret != BZ_OK) fail(ret == BZ_DATA_ERROR || ret == BZ_DATA_ERROR_MAGIC ? "corrupt data" : "decompression failed");
        if (made > 0) return made;
    }
}

std::size_t decoder::read_gzip(char *out, std::size_t n)
{
    n = std::min<std::size_t>(n, std::numeric_limits<uInt>::max());
    for (;;) {
        if (!in_stream_) {
            if (in_pos_ == in_len_ && !fill()) return 0;
            start_stream();
        }
        if (in_pos_ == in_len_ && !fill()) fail("truncated: the file ends inside the stream");
        gz_.next_in = reinterpret_cast<Bytef *>(in_.get() + in_pos_);
        gz_.avail_in = static_cast<uInt>(in_len_ - in_pos_);
        gz_.next_out = reinterpret_cast<Bytef *>(out);
        gz_.avail_out = static_cast<uInt>(n);
        int ret = inflate(&gz_, Z_NO_FLUSH);
        std::size_t used = in_len_ - in_pos_ - gz_.avail_in;
        in_pos_ += used;
        consumed_ += used;
        std::size_t made = n - gz_.avail_out;
        if (ret == Z_STREAM_END) {
            end_stream();
            if (made > 0) return made;
            continue;
        }
        if (ret == Z_BUF_ERROR && made == 0 && used == 0) {
            if (!fill()) fail("truncated: the file ends inside the stream");
            continue;
        }
        if (ret != Z_OK && ret != Z_BUF_ERROR)
            fail(ret == Z_DATA_ERROR ? std::string("corrupt data") + (gz_.msg ? std::string(" (") + gz_.msg + ")" : "")
                                     : "decompression failed");
        if (made > 0) return made;
    }
}

namespace {
constexpr std::size_t background_chunk = std::size_t{256} << 10;
constexpr std::size_t background_depth = 4;
} // namespace

struct background_decoder::state {
    struct chunk {
        std::vector<char> data;
        std::size_t len = 0, pos = 0;
        std::uint64_t stream_offset = 0, consumed = 0;
    };
    decoder &dec;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<chunk> full;
    std::vector<std::vector<char>> free_buffers;
    bool done = false, stop = false;
    std::exception_ptr failure;
    std::thread worker;

    explicit state(decoder &d) : dec(d)
    {
        for (std::size_t i = 0; i < background_depth; ++i) free_buffers.emplace_back(background_chunk);
        worker = std::thread([this] { run(); });
    }

    // Fills chunks until the input ends, fails, or the reader goes away.
    void run()
    {
        for (;;) {
            std::vector<char> buf;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return stop || !free_buffers.empty(); });
                if (stop) return;
                buf = std::move(free_buffers.back());
                free_buffers.pop_back();
            }
            chunk c;
            try {
                c.len = dec.read(buf.data(), buf.size());
            } catch (...) {
                std::lock_guard lock(mutex);
                failure = std::current_exception();
                done = true;
                changed.notify_all();
                return;
            }
            c.stream_offset = dec.stream_offset();
            c.consumed = dec.consumed();
            c.data = std::move(buf);
            std::lock_guard lock(mutex);
            bool end = c.len == 0;
            full.push_back(std::move(c));
            if (end) done = true;
            changed.notify_all();
            if (end) return;
        }
    }
};

background_decoder::background_decoder(decoder &dec) : s_(std::make_unique<state>(dec)) {}

background_decoder::~background_decoder()
{
    {
        std::lock_guard lock(s_->mutex);
        s_->stop = true;
        s_->changed.notify_all();
    }
    s_->worker.join();
}

std::size_t background_decoder::read(char *out, std::size_t n)
{
    state &s = *s_;
    std::unique_lock lock(s.mutex);
    s.changed.wait(lock, [&] { return !s.full.empty() || s.done; });
    if (s.full.empty()) {
        if (s.failure) std::rethrow_exception(s.failure);
        return 0;
    }
    state::chunk &c = s.full.front();
    stream_offset_ = c.stream_offset;
    consumed_ = c.consumed;
    if (c.len == 0) return 0;  // the end stays queued for later calls
    std::size_t k = std::min(n, c.len - c.pos);
    std::memcpy(out, c.data.data() + c.pos, k);
    c.pos += k;
    if (c.pos == c.len) {
        s.free_buffers.push_back(std::move(c.data));
        s.full.pop_front();
        s.changed.notify_all();
    }
    return k;
}

} // namespace tarnwick::dump::detail
