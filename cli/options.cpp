#include "options.h"

#include <charconv>
#include <string_view>

namespace {

constexpr unsigned max_jobs = 1024;

enum class opt_id { to, output, standalone, toc, title, output_dir, jobs, help, version };

struct option_def {
    char short_name;          // 0 when there is none
    std::string_view long_name;
    bool takes_value;
    opt_id id;
};

constexpr option_def option_defs[] = {
    {'t', "to", true, opt_id::to},
    {'o', "output", true, opt_id::output},
    {'s', "standalone", false, opt_id::standalone},
    {0, "toc", false, opt_id::toc},
    {0, "title", true, opt_id::title},
    {'d', "output-dir", true, opt_id::output_dir},
    {'j', "jobs", true, opt_id::jobs},
    {'h', "help", false, opt_id::help},
    {0, "version", false, opt_id::version},
};

const option_def *find_short(char c)
{
    for (const option_def &s : option_defs)
        if (s.short_name == c) return &s;
    return nullptr;
}

const option_def *find_long(std::string_view name)
{
    for (const option_def &s : option_defs)
        if (s.long_name == name) return &s;
    return nullptr;
}

// Stores one option; returns false with a message for a bad value.
bool apply(const option_def &s, std::string_view value, options &opt, std::string &error)
{
    switch (s.id) {
    case opt_id::to:
        if (value == "html") opt.to = output_kind::html;
        else if (value == "links") opt.to = output_kind::links;
        else if (value == "headings") opt.to = output_kind::headings;
        else {
            error = "unknown output format '" + std::string(value) + "' (use html, links or headings)";
            return false;
        }
        return true;
    case opt_id::output: opt.output = value; return true;
    case opt_id::standalone: opt.standalone = true; return true;
    case opt_id::toc: opt.toc = true; return true;
    case opt_id::title: opt.title = value; opt.has_title = true; return true;
    case opt_id::output_dir: opt.output_dir = value; return true;
    case opt_id::jobs: {
        unsigned n = 0;
        auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (ec != std::errc() || end != value.data() + value.size() || n == 0 || n > max_jobs) {
            error = "-j wants a number of threads from 1 to " + std::to_string(max_jobs) + ", not '" +
                    std::string(value) + "'";
            return false;
        }
        opt.jobs = n;
        return true;
    }
    case opt_id::help: opt.help = true; return true;
    case opt_id::version: opt.version = true; return true;
    }
    return true;
}

// Checks the combinations that parse one by one but make no sense together.
bool check_combination(const options &opt, std::string &error)
{
    if (opt.standalone && opt.to != output_kind::html) error = "--standalone makes an HTML page; it does not go with -t links or -t headings";
    else if (opt.toc && !opt.standalone) error = "--toc needs --standalone";
    else if (opt.has_title && !opt.standalone) error = "--title needs --standalone";
    else if (!opt.output.empty() && !opt.output_dir.empty()) error = "-o and --output-dir exclude each other";
    else if (!opt.output_dir.empty() && opt.inputs.empty()) error = "--output-dir needs FILE arguments";
    else if (!opt.output_dir.empty()) {
        for (const std::string &in : opt.inputs)
            if (in == "-") {
                error = "--output-dir cannot name the output of standard input ('-')";
                break;
            }
    }
    return error.empty();
}

} // namespace

bool parse_options(int argc, char **argv, options &opt, std::string &error)
{
    bool only_files = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (only_files || arg == "-" || arg.size() < 2 || arg[0] != '-') {
            opt.inputs.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            only_files = true;
            continue;
        }
        if (arg[1] == '-') {
            std::string_view name = arg.substr(2);
            std::string_view value;
            size_t eq = name.find('=');
            bool has_value = eq != std::string_view::npos;
            if (has_value) {
                value = name.substr(eq + 1);
                name = name.substr(0, eq);
            }
            const option_def *s = find_long(name);
            if (!s) {
                error = "unknown option '--" + std::string(name) + "'";
                return false;
            }
            if (!s->takes_value && has_value) {
                error = "option '--" + std::string(name) + "' takes no value";
                return false;
            }
            if (s->takes_value && !has_value) {
                if (i + 1 >= argc) {
                    error = "option '--" + std::string(name) + "' needs a value";
                    return false;
                }
                value = argv[++i];
            }
            if (!apply(*s, value, opt, error)) return false;
            continue;
        }
        // A group of short options, such as -s or -st html or -j4.
        for (size_t k = 1; k < arg.size(); ++k) {
            const option_def *s = find_short(arg[k]);
            if (!s) {
                error = "unknown option '-" + std::string(1, arg[k]) + "'";
                return false;
            }
            if (!s->takes_value) {
                if (!apply(*s, {}, opt, error)) return false;
                continue;
            }
            std::string_view value = arg.substr(k + 1);
            if (value.empty()) {
                if (i + 1 >= argc) {
                    error = "option '-" + std::string(1, arg[k]) + "' needs a value";
                    return false;
                }
                value = argv[++i];
            }
            if (!apply(*s, value, opt, error)) return false;
            break;
        }
    }
    if (opt.help || opt.version) return true;
    return check_combination(opt, error);
}

void print_help(std::FILE *out)
{
    std::fputs(
        "Usage: tarnwick-wikitext [OPTIONS] [FILE...]\n"
        "Converts wikitext to an HTML fragment or page, or lists its internal links\n"
        "or its headings as JSON.\n"
        "\n"
        "With no FILE, or where FILE is -, reads standard input. Several FILEs are\n"
        "converted as one document, joined with a blank line between them, unless\n"
        "--output-dir is given.\n"
        "\n"
        "Options:\n"
        "  -t, --to FORMAT       what to write:\n"
        "                          html      the HTML fragment (the default)\n"
        "                          links     the internal links, a JSON array of\n"
        "                                    {\"target\",\"text\"} objects\n"
        "                          headings  the headings, a JSON array of\n"
        "                                    {\"level\",\"text\",\"anchor\"} objects\n"
        "  -s, --standalone      write a complete HTML5 page around the fragment, with\n"
        "                        a title and a small built-in stylesheet\n"
        "      --title TEXT      the page title with -s (default: the text of the first\n"
        "                        heading, else the file name)\n"
        "      --toc             with -s, put a table of contents before the text\n"
        "  -o, --output FILE     write to FILE instead of standard output\n"
        "  -d, --output-dir DIR  convert each FILE on its own to DIR/NAME.html\n"
        "                        (DIR/NAME.json with -t links or -t headings), NAME\n"
        "                        being the file name without its extension; creates\n"
        "                        DIR when it is missing\n"
        "  -j, --jobs N          with --output-dir, convert N files at a time\n"
        "                        (default: one per core)\n"
        "  -h, --help            show this help and exit\n"
        "      --version         show the version and exit\n"
        "\n"
        "The output is what the library returns, byte for byte; no newline is added.\n"
        "Input holding a NUL byte is refused, since the library would stop there.\n"
        "With --output-dir, a progress line is shown when standard error is a terminal.\n"
        "\n"
        "Examples:\n"
        "  tarnwick-wikitext page.wiki > page.html\n"
        "  tarnwick-wikitext -s --toc -o page.html page.wiki\n"
        "  tarnwick-wikitext -t headings page.wiki\n"
        "  tarnwick-wikitext -j 4 --output-dir out/ pages/*.wiki\n"
        "\n"
        "Exit status: 0 on success, 1 on an input or output error, 2 on a usage error.\n",
        out);
}
