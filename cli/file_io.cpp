#include "file_io.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t first_read_size = 64 * 1024;
// The longest part of a target's name that goes into its temporary's name, so
// that the temporary's name stays within the system's limit of 255 bytes.
constexpr std::size_t max_temp_stem = 180;

std::atomic<unsigned> temp_counter{0};

// Writes all n bytes to fd. Returns 0 or an errno value.
int write_all(int fd, const char *p, std::size_t n)
{
    while (n > 0) {
        ssize_t put = ::write(fd, p, n);
        if (put < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (put == 0) return EIO;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return 0;
}

// The folder part of path with its final slash, or "" for a bare name.
std::string folder_of(const std::string &path)
{
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

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

bool identify_file(const std::string &path, file_identity &id)
{
    struct stat st;
    int rc = path == "-" ? fstat(STDIN_FILENO, &st) : stat(path.c_str(), &st);
    if (rc != 0) return false;
    id = {st.st_dev, st.st_ino};
    return true;
}

output_file::~output_file() { discard(); }

void output_file::discard()
{
    if (fd_ >= 0 && fd_ != STDOUT_FILENO) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

int output_file::open(const std::string &path)
{
    discard();
    error_ = 0;
    target_.clear();
    if (path.empty() || path == "-") {
        fd_ = STDOUT_FILENO;
        name_ = "standard output";
        return 0;
    }
    name_ = path;
    std::string target = path;
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return errno;
    struct stat link;
    bool is_link = lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
    if ((exists && !S_ISREG(st.st_mode)) || (!exists && is_link)) {
        // A special file is written where it is: renaming over /dev/null or a
        // FIFO would replace it with a plain file. A link to nothing yet
        // creates its target, which held nothing to lose.
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        return fd_ < 0 ? errno : 0;
    }
    // A file that could not be written in place is not replaced either.
    if (exists && access(path.c_str(), W_OK) != 0) return errno;
    if (is_link) {
        // Replace the file the link points to, and keep the link.
        char *real = realpath(path.c_str(), nullptr);
        if (!real) return errno;
        target = real;
        std::free(real);
    }
    std::string folder = folder_of(target);
    std::string stem = target.substr(folder.size(), max_temp_stem);
    // O_EXCL with a name of our own rather than mkstemp: the temporary gets
    // the permissions the umask gives a new file, as the target would.
    for (;;) {
        std::string temp = folder + "." + stem + "." + std::to_string(getpid()) + "." +
                           std::to_string(temp_counter.fetch_add(1)) + ".tmp";
        fd_ = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) {
            temp_ = std::move(temp);
            break;
        }
        if (errno != EEXIST) return errno;
    }
    // A file that is replaced keeps its permissions.
    if (exists && fchmod(fd_, st.st_mode & 07777) != 0) {
        int err = errno;
        discard();
        return err;
    }
    target_ = std::move(target);
    return 0;
}

void output_file::write(const char *p, std::size_t n)
{
    if (error_ || fd_ < 0 || n == 0) return;
    error_ = write_all(fd_, p, n);
}

int output_file::commit()
{
    if (fd_ < 0) return error_ ? error_ : EBADF;
    if (fd_ == STDOUT_FILENO) {
        fd_ = -1;
        return error_;
    }
    if (!error_ && !target_.empty() && fsync(fd_) != 0) error_ = errno;
    if (::close(std::exchange(fd_, -1)) != 0 && !error_) error_ = errno;
    if (!target_.empty()) {
        if (!error_ && std::rename(temp_.c_str(), target_.c_str()) != 0) error_ = errno;
        if (!error_) temp_.clear();
    }
    discard();
    return error_;
}

int close_stdout()
{
    // Data may sit in the stream's buffer: a full disk or a closed pipe shows
    // only when it is flushed, so both the flush and the close are checked.
    int err = 0;
    errno = 0;
    if (std::fflush(stdout) != 0) err = errno ? errno : EIO;
    if (std::ferror(stdout) && !err) err = EIO;
    errno = 0;
    if (std::fclose(stdout) != 0 && !err) err = errno ? errno : EIO;
    return err;
}
