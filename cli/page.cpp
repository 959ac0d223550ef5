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

void collect_headings(std::string_view html, std::vector<heading> &out, bool first_named_only)
{
    out.clear();
    constexpr std::string_view id_attr = " id=\"";
    size_t pos = 0;
    for (;;) {
        // A heading element starts a line of its own.
        if (!(pos == 0 && html.starts_with("<h"))) {
            pos = html.find("\n<h", pos);
            if (pos == std::string_view::npos) return;
            ++pos;
        }
        size_t start = pos;
        std::string_view rest = html.substr(start);
        pos = start + 2;
        if (rest.size() < 3 + id_attr.size() || rest[2] < '1' || rest[2] > '6' ||
            rest.substr(3, id_attr.size()) != id_attr)
            continue;
        size_t id_start = 3 + id_attr.size();
        size_t id_end = rest.find('"', id_start);
        if (id_end == std::string_view::npos || id_end + 1 >= rest.size() || rest[id_end + 1] != '>') continue;
        const char closer[] = {'<', '/', 'h', rest[2], '>'};
        size_t inner_start = id_end + 2;
        size_t inner_end = rest.find(std::string_view(closer, sizeof closer), inner_start);
        if (inner_end == std::string_view::npos) return;
        heading h;
        h.level = rest[2] - '0';
        h.anchor = rest.substr(id_start, id_end - id_start);
        append_visible_text(h.text, rest.substr(inner_start, inner_end - inner_start));
        pos = start + inner_end;
        if (first_named_only && h.text.empty()) continue;
        out.push_back(std::move(h));
        if (first_named_only) return;
    }
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
        out += h.anchor;
        out += "\">";
        out += h.text;
        out += "</a>";
    }
    for (size_t i = 0; i < open.size(); ++i) out += "</li>\n</ul>\n";
    return out;
}

std::string page_head(std::string_view title_html, const std::vector<heading> *toc)
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
