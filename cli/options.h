// Command-line options of tarnwick-wikitext and their parser.
#pragma once

#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// What -t can ask for: the library's format code and the extension of the
// files a batch writes. A new format of the library is one more entry.
struct output_format {
    std::string_view name;
    int code;                  // WTCORE_FORMAT_*
    const char *extension;     // with its dot
    bool is_html;
};

// The formats, in the order --help lists them; the first is the default.
std::span<const output_format> output_formats();

struct options {
    const output_format *format = &output_formats().front();
    unsigned flags = 0;                // WTCORE_* option bits
    bool has_link_template = false;
    std::string link_template;
    bool has_rel = false;
    std::string rel;
    bool standalone = false;
    bool toc = false;
    bool site = false;
    bool has_title = false;
    std::string title;
    bool has_output = false;
    std::string output;                // empty: standard output
    bool has_output_dir = false;
    std::string output_dir;            // batch mode when has_output_dir
    unsigned jobs = 0;                 // 0: one thread per core
    std::vector<std::string> inputs;   // empty: standard input
    bool help = false;
    bool version = false;
};

// Fills opt from the arguments. Returns false on a usage error, with a
// one-line message (without the program name) in error.
bool parse_options(int argc, char **argv, options &opt, std::string &error);

// Writes the --help text.
void print_help(std::FILE *out);
