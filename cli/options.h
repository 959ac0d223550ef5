// Command-line options of tarnwick-wikitext and their parser.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

enum class output_kind { html, links, headings };

struct options {
    output_kind to = output_kind::html;
    bool standalone = false;
    bool toc = false;
    bool has_title = false;
    std::string title;
    std::string output;                // empty: standard output
    std::string output_dir;            // empty: no batch mode
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
