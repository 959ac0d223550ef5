// Whole-file input and all-or-nothing output for tarnwick-wikitext.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <sys/types.h>

// The whole contents of one input in a single heap block.
class input_text {
public:
    input_text() = default;
    input_text(const input_text &) = delete;
    input_text &operator=(const input_text &) = delete;
    input_text(input_text &&other) noexcept;
    input_text &operator=(input_text &&other) noexcept;
    ~input_text();

    const char *data() const { return data_ ? data_ : ""; }
    std::size_t size() const { return size_; }

    // Reads a file whole, or standard input for "-". Returns 0, or the errno
    // value of the failure (the text is then empty).
    int read(const std::string &path);

    // Replaces the text with the parts one after another, a blank line
    // between two of them (a line feed first where a part does not end with
    // one). Returns false when memory runs out.
    bool join(const std::vector<input_text> &parts);

private:
    int read_fd(int fd);

    char *data_ = nullptr;
    std::size_t size_ = 0;
};

// The name of an input in messages: the path, or "standard input" for "-".
std::string input_display_name(const std::string &path);

// A file as the system tells files apart: hard links and symbolic links to
// one file give the same identity.
struct file_identity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const file_identity &) const = default;
};

// The identity of the file at path (standard input for "-"), following
// symbolic links. Returns false when there is no such file.
bool identify_file(const std::string &path, file_identity &id);

// Where a result goes. Standard output, and any special file (/dev/null, a
// FIFO, a terminal), are written in place. A regular file, or a new one, is
// written to a temporary file beside it, flushed to the disk and renamed over
// it only when complete: a failure leaves the old file as it was and removes
// the temporary. Every write is checked and the first failure is kept, so
// that the caller reports it once, at commit.
class output_file {
public:
    output_file() = default;
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;
    // Removes the temporary of an output that was never committed.
    ~output_file();

    // Opens path for writing, or takes standard output for an empty path or
    // "-". Returns 0 or an errno value.
    int open(const std::string &path);
    void write(const char *p, std::size_t n);
    // Completes the output: flushes it and puts it in place. Returns 0, or the
    // errno value of the first failure (the target is then unchanged).
    int commit();
    // The file's name in messages.
    const std::string &name() const { return name_; }

private:
    void discard();

    int fd_ = -1;
    std::string name_;
    std::string target_;   // renamed over at commit; empty when written in place
    std::string temp_;     // the temporary beside target_
    int error_ = 0;
};

// Flushes and closes standard output as used through stdio (help and version
// text). Returns 0 or the errno value of a failure.
int close_stdout();
