#include "file_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t first_read_size = 64 * 1024;

} // namespace

input_text::input_text(input_text &&other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0))
{
}

input_text &input_text::operator=(input_text &&other) noexcept
{
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

input_text::~input_text() { std::free(data_); }

int input_text::read(const std::string &path)
{
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    if (path == "-") return read_fd(STDIN_FILENO);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    int err = read_fd(fd);
    ::close(fd);
    return err;
}

// Reads to the end of fd into one block. A regular file's block is sized from
// fstat, so it is read without copying; a pipe's block doubles as it fills.
int input_text::read_fd(int fd)
{
    std::size_t cap = first_read_size;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        cap = static_cast<std::size_t>(st.st_size) + 1;
    char *buf = static_cast<char *>(std::malloc(cap));
    if (!buf) return ENOMEM;
    std::size_t len = 0;
    for (;;) {
        if (len + 1 == cap) {
            // Full: probe with a small read before growing, so that a file
            // whose size fstat gave is not doubled just to see its end.
            char probe[4096];
            ssize_t got = ::read(fd, probe, sizeof probe);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                int err = errno;
                std::free(buf);
                return err;
            }
            if (got == 0) break;
            std::size_t bigger = cap * 2;
            char *grown = static_cast<char *>(std::realloc(buf, bigger));
            if (!grown) {
                std::free(buf);
                return ENOMEM;
            }
            buf = grown;
            cap = bigger;
            std::memcpy(buf + len, probe, static_cast<std::size_t>(got));
            len += static_cast<std::size_t>(got);
            continue;
        }
        ssize_t got = ::read(fd, buf + len, cap - 1 - len);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int err = errno;
            std::free(buf);
            return err;
        }
        if (got == 0) break;
        len += static_cast<std::size_t>(got);
    }
    buf[len] = '\0';
    data_ = buf;
    size_ = len;
    return 0;
}

bool input_text::join(const std::vector<input_text> &parts)
{
    std::size_t total = 1;
    for (const input_text &part : parts) total += part.size() + 2;
    char *buf = static_cast<char *>(std::malloc(total));
    if (!buf) return false;
    std::size_t len = 0;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            if (len > 0 && buf[len - 1] != '\n') buf[len++] = '\n';
            buf[len++] = '\n';
        }
        std::memcpy(buf + len, parts[i].data(), parts[i].size());
        len += parts[i].size();
    }
    buf[len] = '\0';
    std::free(data_);
    data_ = buf;
    size_ = len;
    return true;
}

std::string input_display_name(const std::string &path)
{
    return path == "-" ? "standard input" : path;
}

output_file::~output_file()
{
    if (file_ && file_ != stdout) std::fclose(file_);
}

int output_file::open(const std::string &path)
{
    error_ = 0;
    if (path.empty() || path == "-") {
        file_ = stdout;
        name_ = "standard output";
        return 0;
    }
    name_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    return file_ ? 0 : errno;
}

void output_file::write(const char *p, std::size_t n)
{
    if (error_ || n == 0) return;
    errno = 0;
    if (std::fwrite(p, 1, n, file_) != n) error_ = errno ? errno : EIO;
}

int output_file::close()
{
    if (!file_) return error_;
    std::FILE *f = std::exchange(file_, nullptr);
    // Data may sit in the stream's buffer: a full disk or a closed pipe shows
    // only when it is flushed, so both the flush and the close are checked.
    errno = 0;
    if (std::fflush(f) != 0 && !error_) error_ = errno ? errno : EIO;
    if (std::ferror(f) && !error_) error_ = EIO;
    errno = 0;
    if (std::fclose(f) != 0 && !error_) error_ = errno ? errno : EIO;
    return error_;
}
