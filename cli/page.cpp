#include "page.h"

#include <cstdint>

namespace {

// A cursor over the heading list. The library writes compact JSON, but white
// space between tokens is accepted all the same.
struct json_reader {
    const char *p;
    const char *end;

    void skip_space()
    {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
    }

    bool take(char c)
    {
        skip_space();
        if (p < end && *p == c) {
            ++p;
            return true;
        }
        return false;
    }

    // Reads four hexadecimal digits; returns -1 when they are not.
    long hex4()
    {
        if (end - p < 4) return -1;
        long v = 0;
        for (int i = 0; i < 4; ++i) {
            char c = *p++;
            int d = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
            if (d < 0) return -1;
            v = v * 16 + d;
        }
        return v;
    }

    static void append_utf8(std::string &out, std::uint32_t cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    // Reads a JSON string into out, undoing its escapes. Bytes that need no
    // escape, UTF-8 included, are copied as they are.
    bool string(std::string &out)
    {
        out.clear();
        if (!take('"')) return false;
        while (p < end) {
            const char *run = p;
            while (p < end && *p != '"' && *p != '\\') ++p;
            out.append(run, static_cast<size_t>(p - run));
            if (p == end) return false;
            if (*p++ == '"') return true;
            if (p == end) return false;
            switch (char c = *p++) {
            case '"': case '\\': case '/': out += c; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                long cp = hex4();
                if (cp < 0) return false;
                if (cp >= 0xD800 && cp < 0xDC00 && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                    const char *save = p;
                    p += 2;
                    long low = hex4();
                    if (low >= 0xDC00 && low < 0xE000) cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    else p = save;
                }
                if (cp >= 0xD800 && cp < 0xE000) cp = 0xFFFD;   // a lone surrogate
                append_utf8(out, static_cast<std::uint32_t>(cp));
                break;
            }
            default: return false;
            }
        }
        return false;
    }

    bool integer(int &out)
    {
        skip_space();
        const char *start = p;
        long v = 0;
        while (p < end && *p >= '0' && *p <= '9' && v < 1000000) v = v * 10 + (*p++ - '0');
        out = static_cast<int>(v);
        return p > start;
    }
};

// One {"level":..,"text":..,"anchor":..} object; the keys may come in any order.
bool read_heading(json_reader &r, heading &h)
{
    if (!r.take('{')) return false;
    std::string key;
    bool first = true;
    while (!r.take('}')) {
        if (!first && !r.take(',')) return false;
        first = false;
        if (!r.string(key) || !r.take(':')) return false;
        if (key == "level") {
            if (!r.integer(h.level)) return false;
        } else if (key == "text") {
            if (!r.string(h.text)) return false;
        } else if (key == "anchor") {
            if (!r.string(h.anchor)) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Readable defaults for what the renderer writes: headings with ids, lists,
// definition lists, preformatted blocks, rules and links.
constexpr std::string_view stylesheet =
    "body { max-width: 46em; margin: 2em auto; padding: 0 1em; color: #202122;\n"
    "       background: #fff; font: 16px/1.6 Georgia, 'Times New Roman', serif; }\n"
    "h1, h2, h3, h4, h5, h6 { font-family: system-ui, sans-serif; line-height: 1.25;\n"
    "       margin: 1.5em 0 .5em; }\n"
    "h1, h2 { border-bottom: 1px solid #c8ccd1; padding-bottom: .2em; }\n"
    "a { color: #3366cc; text-decoration: none; }\n"
    "a:hover { text-decoration: underline; }\n"
    "a.external::after { content: \" \\2197\"; font-size: .8em; }\n"
    "pre, code { font-family: ui-monospace, Menlo, Consolas, monospace; font-size: .9em; }\n"
    "pre { background: #f8f9fa; border: 1px solid #eaecf0; padding: .7em 1em;\n"
    "      overflow-x: auto; white-space: pre-wrap; }\n"
    "dt { font-weight: bold; }\n"
    "dd { margin: 0 0 .3em 1.6em; }\n"
    "hr { border: 0; border-top: 1px solid #c8ccd1; margin: 1.5em 0; }\n"
    "nav.toc { display: inline-block; background: #f8f9fa; border: 1px solid #a2a9b1;\n"
    "          padding: .4em 1.2em .6em .8em; font-family: system-ui, sans-serif; font-size: .92em; }\n"
    "nav.toc p { margin: 0; font-weight: bold; text-align: center; }\n"
    "nav.toc ul { list-style: none; margin: .2em 0; padding-left: 1.2em; }\n"
    "nav.toc > ul { padding-left: 0; }\n";

} // namespace

bool parse_headings_json(std::string_view json, std::vector<heading> &out)
{
    out.clear();
    json_reader r{json.data(), json.data() + json.size()};
    if (!r.take('[')) return false;
    if (!r.take(']')) {
        do {
            heading h;
            if (!read_heading(r, h)) return false;
            out.push_back(std::move(h));
        } while (r.take(','));
        if (!r.take(']')) return false;
    }
    r.skip_space();
    return r.p == r.end;
}

void append_html_escaped(std::string &out, std::string_view s)
{
    const char *p = s.data();
    const char *end = p + s.size();
    while (p < end) {
        const char *run = p;
        while (p < end && *p != '&' && *p != '<' && *p != '>' && *p != '"') ++p;
        out.append(run, static_cast<size_t>(p - run));
        if (p == end) break;
        switch (*p++) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += "&quot;"; break;
        }
    }
}

// Headings may skip levels and need not start at level 1, so nesting follows
// the levels relative to each other: a deeper heading opens a sublist, and a
// heading no deeper than an enclosing entry's parent closes back to it.
std::string toc_html(const std::vector<heading> &headings)
{
    std::string out;
    if (headings.empty()) return out;
    std::vector<int> open;   // the level of the entry open at each depth
    for (const heading &h : headings) {
        if (open.empty()) {
            out += "<ul>\n<li>";
            open.push_back(h.level);
        } else if (h.level > open.back()) {
            out += "\n<ul>\n<li>";
            open.push_back(h.level);
        } else {
            while (open.size() > 1 && open[open.size() - 2] >= h.level) {
                out += "</li>\n</ul>\n";
                open.pop_back();
            }
            out += "</li>\n<li>";
            open.back() = h.level;
        }
        out += "<a href=\"#";
        append_html_escaped(out, h.anchor);
        out += "\">";
        append_html_escaped(out, h.text);
        out += "</a>";
    }
    for (size_t i = 0; i < open.size(); ++i) out += "</li>\n</ul>\n";
    return out;
}

std::string page_head(std::string_view title, const std::vector<heading> *toc)
{
    std::string out =
        "<!DOCTYPE html>\n"
        "<html>\n"
        "<head>\n"
        "<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>";
    append_html_escaped(out, title);
    out += "</title>\n<style>\n";
    out += stylesheet;
    out += "</style>\n</head>\n<body>\n";
    if (toc && !toc->empty()) {
        out += "<nav class=\"toc\">\n<p>Contents</p>\n";
        out += toc_html(*toc);
        out += "</nav>\n";
    }
    out += "<main>\n";
    return out;
}

std::string_view page_tail(bool fragment_ends_line)
{
    constexpr std::string_view tail = "\n</main>\n</body>\n</html>\n";
    return fragment_ends_line ? tail.substr(1) : tail;
}
