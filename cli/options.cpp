#include "options.h"

#include <charconv>
#include <string_view>

#include "wtcore.h"

namespace {

constexpr unsigned max_jobs = 1024;

constexpr output_format formats[] = {
    {"html", WTCORE_FORMAT_HTML, ".html", true},
    {"links", WTCORE_FORMAT_LINKS_JSON, ".json", false},
    {"headings", WTCORE_FORMAT_HEADINGS_JSON, ".json", false},
    {"text", WTCORE_FORMAT_TEXT, ".txt", false},
    {"templates", WTCORE_FORMAT_TEMPLATES_JSON, ".json", false},
    {"categories", WTCORE_FORMAT_CATEGORIES_JSON, ".json", false},
    {"page", WTCORE_FORMAT_PAGE_JSON, ".json", false},
};

constexpr unsigned safe_flags = WTCORE_ENCODE_TARGETS | WTCORE_BALANCE_TAGS | WTCORE_SAFE_ATTRIBUTES;

enum class opt_id {
    to, output, standalone, toc, title, site, output_dir, jobs, link_template, rel,
    encode_targets, balance, safe_attributes, safe, extended, help, version
};

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
    {0, "site", false, opt_id::site},
    {'d', "output-dir", true, opt_id::output_dir},
    {'j', "jobs", true, opt_id::jobs},
    {0, "link-template", true, opt_id::link_template},
    {0, "rel", true, opt_id::rel},
    {0, "encode-targets", false, opt_id::encode_targets},
    {0, "balance", false, opt_id::balance},
    {0, "safe-attributes", false, opt_id::safe_attributes},
    {0, "safe", false, opt_id::safe},
    {0, "extended", false, opt_id::extended},
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
        for (const output_format &f : formats)
            if (f.name == value) {
                opt.format = &f;
                return true;
            }
        error = "unknown output format '" + std::string(value) + "' (use";
        for (const output_format &f : formats)
            error += (&f == formats ? " " : &f + 1 == std::end(formats) ? " or " : ", ") + std::string(f.name);
        error += ")";
        return false;
    case opt_id::output:
        if (value.empty()) {
            error = "-o wants a file name, not ''";
            return false;
        }
        opt.output = value;
        opt.has_output = true;
        return true;
    case opt_id::standalone: opt.standalone = true; return true;
    case opt_id::toc: opt.toc = true; return true;
    case opt_id::title: opt.title = value; opt.has_title = true; return true;
    case opt_id::site: opt.site = true; return true;
    case opt_id::output_dir:
        if (value.empty()) {
            error = "--output-dir wants a folder name, not ''";
            return false;
        }
        opt.output_dir = value;
        opt.has_output_dir = true;
        return true;
    case opt_id::link_template: opt.link_template = value; opt.has_link_template = true; return true;
    case opt_id::rel: opt.rel = value; opt.has_rel = true; return true;
    case opt_id::encode_targets: opt.flags |= WTCORE_ENCODE_TARGETS; return true;
    case opt_id::balance: opt.flags |= WTCORE_BALANCE_TAGS; return true;
    case opt_id::safe_attributes: opt.flags |= WTCORE_SAFE_ATTRIBUTES; return true;
    case opt_id::safe: opt.flags |= safe_flags; return true;
    case opt_id::extended: opt.flags |= WTCORE_EXTENDED; return true;
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

// Checks the combinations that parse one by one but make no sense together,
// and every option that would have no effect: a usage error, not a silent no-op.
bool check_combination(const options &opt, std::string &error)
{
    const bool html = opt.format->is_html;
    const std::string format = "-t " + std::string(opt.format->name);
    if (opt.standalone && !html) error = "--standalone makes an HTML page; it does not go with " + format;
    else if (opt.toc && !opt.standalone) error = "--toc needs --standalone";
    else if (opt.has_title && !opt.standalone) error = "--title needs --standalone";
    else if (opt.site && (!opt.standalone || !opt.has_output_dir)) error = "--site needs --standalone and --output-dir";
    else if (opt.site && opt.has_title) error = "--site titles each page with its name; it does not go with --title";
    else if (opt.site && opt.has_link_template) error = "--site makes its own link template; it does not go with --link-template";
    else if (!html && opt.has_link_template) error = "--link-template changes only HTML; it does not go with " + format;
    else if (!html && opt.has_rel) error = "--rel changes only HTML; it does not go with " + format;
    else if (!html && (opt.flags & WTCORE_BALANCE_TAGS) && (opt.flags & safe_flags) != safe_flags) error = "--balance changes only HTML; it does not go with " + format;
    else if (!html && (opt.flags & WTCORE_SAFE_ATTRIBUTES) && (opt.flags & safe_flags) != safe_flags) error = "--safe-attributes changes only HTML; it does not go with " + format;
    else if (opt.jobs != 0 && !opt.has_output_dir) error = "-j needs --output-dir (one document is converted on one thread)";
    else if (opt.has_output && opt.has_output_dir) error = "-o and --output-dir exclude each other";
    else if (opt.has_output_dir && opt.inputs.empty()) error = "--output-dir needs FILE arguments";
    else if (opt.has_output_dir) {
        for (const std::string &in : opt.inputs)
            if (in == "-") {
                error = "--output-dir cannot name the output of standard input ('-')";
                break;
            }
    }
    return error.empty();
}

} // namespace

std::span<const output_format> output_formats() { return formats; }

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
        "                          html        the HTML fragment (the default)\n"
        "                          links       the internal links, a JSON array of\n"
        "                                      {\"target\",\"text\"} objects\n"
        "                          headings    the headings, a JSON array of\n"
        "                                      {\"level\",\"text\",\"anchor\"} objects\n"
        "                        with --extended also:\n"
        "                          text        the page as plain text\n"
        "                          templates   the templates used, as JSON\n"
        "                          categories  the categories, as JSON\n"
        "                          page        all of the page's lists in one JSON object\n"
        "  -s, --standalone      write a complete HTML5 page around the fragment, with\n"
        "                        a title and a small built-in stylesheet\n"
        "      --title TEXT      the page title with -s (default: the text of the first\n"
        "                        heading, else the file name)\n"
        "      --toc             with -s, put a table of contents before the text\n"
        "  -o, --output FILE     write to FILE instead of standard output\n"
        "  -d, --output-dir DIR  convert each FILE on its own to DIR/NAME.html\n"
        "                        (.json or .txt for the other formats), NAME being the\n"
        "                        file name without its extension; creates DIR when it\n"
        "                        is missing\n"
        "  -j, --jobs N          with --output-dir, convert N files at a time\n"
        "                        (default: one per core)\n"
        "      --site            with -s and --output-dir, make a site to browse from\n"
        "                        disk: pages link to each other's files, with the\n"
        "                        safety options on, and DIR/index.html lists them\n"
        "\n"
        "Rendering (HTML):\n"
        "      --link-template TEMPLATE\n"
        "                        the address of an internal link, $1 standing for\n"
        "                        the target (default: /wiki/$1)\n"
        "      --rel VALUE       the rel attribute of external links (default: nofollow)\n"
        "      --encode-targets  percent-encode link targets; a target with a . or ..\n"
        "                        path segment stays text\n"
        "      --balance         close every tag in the block that opened it\n"
        "      --safe-attributes keep only harmless attributes and styles on <span>\n"
        "      --safe            the three options above together\n"
        "      --extended        the syntax of the large public wikis beyond the core:\n"
        "                        templates, references, tables, files, categories\n"
        "\n"
        "  -h, --help            show this help and exit\n"
        "      --version         show the version and exit\n"
        "\n"
        "The output is what the library returns, byte for byte; no newline is added.\n"
        "A NUL byte in the input is read as U+FFFD. An output file is replaced only\n"
        "when it is complete; an output that is one of the inputs is refused.\n"
        "With --output-dir, a progress line is shown when standard error is a terminal.\n"
        "\n"
        "Examples:\n"
        "  tarnwick-wikitext page.wiki > page.html\n"
        "  tarnwick-wikitext -s --toc -o page.html page.wiki\n"
        "  tarnwick-wikitext -t headings page.wiki\n"
        "  tarnwick-wikitext -j 4 --output-dir out/ pages/*.wiki\n"
        "  tarnwick-wikitext -s --site --output-dir site/ pages/*.wiki\n"
        "\n"
        "Exit status: 0 on success, 1 on an input or output error, 2 on a usage error.\n",
        out);
}
