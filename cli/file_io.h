// Whole-file input and checked output for tarnwick-wikitext.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// The whole contents of one input in a single heap block, followed by a NUL
// so that it can be handed to the library as it stands.
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

// A file opened for writing, or standard output. Every write is checked and
// the first failure is kept, so that the caller reports it once, at close.
class output_file {
public:
    output_file() = default;
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;
    ~output_file();

    // Opens (creating or truncating) path, or takes standard output for an
    // empty path or "-". Returns 0 or an errno value.
    int open(const std::string &path);
    void write(const char *p, std::size_t n);
    // Flushes and closes. Returns 0, or the errno value of the first failure.
    int close();
    // The file's name in messages.
    const std::string &name() const { return name_; }

private:
    std::FILE *file_ = nullptr;
    std::string name_;
    int error_ = 0;
};
