// Output of the dump command: the JSON Lines file, plain or compressed,
// written to a temporary file and renamed into place.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

// Where the lines go: standard output, or a file named `path` that appears
// only when finish() is called; until then the lines go to a temporary file
// in the same folder. A name ending in ".gz" or ".zst" is compressed with
// zlib or libzstd. Callers write whole lines only, so the file never ends in
// the middle of one.
class jsonl_output {
public:
    jsonl_output();
    ~jsonl_output();  // removes the temporary file unless finish() was called
    jsonl_output(const jsonl_output &) = delete;
    jsonl_output &operator=(const jsonl_output &) = delete;

    // Returns 0 or an errno value.
    int open(const std::string &path);
    // Returns false once a write has failed; the errno value is kept.
    bool write(const char *p, std::size_t n);
    // Ends the compressed stream, closes the file and renames it into place.
    // Returns 0 or the errno value of the first failure.
    int finish();
    const std::string &name() const { return display_; }

private:
    struct impl;
    std::unique_ptr<impl> impl_;
    std::string display_;
};
