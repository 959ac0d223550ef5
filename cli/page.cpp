#include "page.h"

namespace {

constexpr bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

// The text a reader sees of a heading's inner HTML: tags dropped (a quoted
// attribute value may hold '>'), white space runs made one space and trimmed,
// entities kept as written. The renderer escapes every '<' and '>' of text,
// so each '<' starts a tag; a stray '>' is escaped all the same.
void append_visible_text(std::string &out, std::string_view html)
{
    const char *p = html.data();
    const char *end = p + html.size();
    bool pending_space = false;
    while (p < end) {
        char c = *p;
        if (c == '<') {
            char quote = 0;
            for (++p; p < end; ++p) {
                if (quote) {
                    if (*p == quote) quote = 0;
                } else if (*p == '"' || *p == '\'') {
                    quote = *p;
                } else if (*p == '>') {
                    break;
                }
            }
            if (p < end) ++p;
            continue;
        }
        if (is_space(c)) {
            pending_space = true;
            ++p;
            continue;
        }
        if (pending_space && !out.empty()) out += ' ';
        pending_space = false;
        const char *run = p;
        while (p < end && *p != '<' && *p != '>' && !is_space(*p)) ++p;
        out.append(run, static_cast<size_t>(p - run));
        if (p < end && *p == '>') {
            out += "&gt;";
            ++p;
        }
    }
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
    "a.new { color: #d73333; }\n"
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

heading_scanner::heading_scanner(std::string_view html) : html_(html) {}

bool heading_scanner::next(heading &h)
{
    constexpr std::string_view id_attr = " id=\"";
    for (;;) {
        // A heading element starts a line of its own.
        if (!(pos_ == 0 && html_.starts_with("<h"))) {
            pos_ = html_.find("\n<h", pos_);
            if (pos_ == std::string_view::npos) {
                pos_ = html_.size();
                return false;
            }
            ++pos_;
        }
        size_t start = pos_;
        std::string_view rest = html_.substr(start);
        pos_ = start + 2;
        if (rest.size() < 3 + id_attr.size() || rest[2] < '1' || rest[2] > '6' ||
            rest.substr(3, id_attr.size()) != id_attr)
            continue;
        size_t id_start = 3 + id_attr.size();
        size_t id_end = rest.find('"', id_start);
        if (id_end == std::string_view::npos || id_end + 1 >= rest.size() || rest[id_end + 1] != '>') continue;
        const char closer[] = {'<', '/', 'h', rest[2], '>'};
        size_t inner_start = id_end + 2;
        size_t inner_end = rest.find(std::string_view(closer, sizeof closer), inner_start);
        if (inner_end == std::string_view::npos) {
            pos_ = html_.size();
            return false;
        }
        h.level = rest[2] - '0';
        h.anchor = rest.substr(id_start, id_end - id_start);
        h.text.clear();
        append_visible_text(h.text, rest.substr(inner_start, inner_end - inner_start));
        pos_ = start + inner_end;
        return true;
    }
}

bool first_heading_text(std::string_view html, std::string &text)
{
    heading_scanner scan(html);
    heading h;
    while (scan.next(h))
        if (!h.text.empty()) {
            text = std::move(h.text);
            return true;
        }
    return false;
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
// heading no deeper than an enclosing entry's parent closes back to it. The
// list is written as the headings are found; only the open levels are kept.
std::string toc_html(std::string_view html, std::string *first_text)
{
    std::string out;
    heading_scanner scan(html);
    constexpr std::string_view nav_open = "<nav class=\"toc\">\n<p>Contents</p>\n";
    heading h;
    int open[7];              // the level of the entry open at each depth
    size_t depth = 0;
    bool titled = !first_text;
    while (scan.next(h)) {
        if (!titled && !h.text.empty()) {
            *first_text = h.text;
            titled = true;
        }
        if (depth == 0) {
            out += nav_open;
            out += "<ul>\n<li>";
            open[depth++] = h.level;
        } else if (h.level > open[depth - 1]) {
            out += "\n<ul>\n<li>";
            open[depth++] = h.level;
        } else {
            while (depth > 1 && open[depth - 2] >= h.level) {
                out += "</li>\n</ul>\n";
                --depth;
            }
            out += "</li>\n<li>";
            open[depth - 1] = h.level;
        }
        out += "<a href=\"#";
        out += h.anchor;
        out += "\">";
        out += h.text;
        out += "</a>";
    }
    for (size_t i = 0; i < depth; ++i) out += "</li>\n</ul>\n";
    if (!out.empty()) out += "</nav>\n";
    return out;
}

std::string page_head(std::string_view title_html)
{
    // The page runs no script of its own, so none may run at all; the
    // stylesheet is inline, and images may come from anywhere.
    std::string out =
        "<!DOCTYPE html>\n"
        "<html>\n"
        "<head>\n"
        "<meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "style-src 'unsafe-inline'; img-src * data:\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>";
    out += title_html;
    out += "</title>\n<style>\n";
    out += stylesheet;
    out += "</style>\n</head>\n<body>\n";
    return out;
}

std::string_view page_main_open() { return "<main>\n"; }

std::string_view page_tail(bool fragment_ends_line)
{
    constexpr std::string_view tail = "\n</main>\n</body>\n</html>\n";
    return fragment_ends_line ? tail.substr(1) : tail;
}
