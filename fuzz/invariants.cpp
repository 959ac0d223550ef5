#include "invariants.h"

#include <cstring>
#include <string_view>

namespace wtfuzz {
namespace {

using std::string_view;

std::string at(const char *what, size_t off)
{
    return std::string(what) + " at offset " + std::to_string(off);
}

bool starts_with(const char *p, const char *end, string_view lit)
{
    return size_t(end - p) >= lit.size() && std::memcmp(p, lit.data(), lit.size()) == 0;
}

// HTML tokenizer whitespace.
bool is_space(unsigned char c)
{
    return c == 0x09 || c == 0x0A || c == 0x0C || c == 0x0D || c == 0x20;
}

bool is_trimmed(const std::string &s)
{
    return s.empty() || (static_cast<unsigned char>(s.front()) > 0x20 &&
                         static_cast<unsigned char>(s.back()) > 0x20);
}

// Tags without attributes: the block tags the renderer writes, then the
// allowed tags it passes through (which include the <b> <i> of quote runs).
// Each ends in its only '>' (plus the line feed of a block close), so no entry
// is a prefix of another and at most one matches.
constexpr string_view plain_tags[] = {
    "<p>", "</p>\n", "<pre>", "</pre>\n", "<ul>\n", "</ul>\n", "<ol>\n", "</ol>\n",
    "<dl>\n", "</dl>\n", "<li>", "</li>\n", "<dt>", "</dt>\n", "<dd>", "</dd>\n",
    "<hr />\n", "</a>",
    "<br>", "<br/>", "<br />", "<code>", "</code>", "<s>", "</s>", "<del>", "</del>",
    "<sub>", "</sub>", "<sup>", "</sup>", "<u>", "</u>", "<b>", "</b>", "<i>", "</i>",
    "<span>", "</span>", "<small>", "</small>",
};

constexpr string_view external_tail = "\" class=\"external\" rel=\"nofollow\">";
constexpr string_view external_schemes[] = {"http://", "https://", "ftp://", "mailto:"};

// Length of the attributed span tag at p (which begins "<span "), read the way
// an HTML tokenizer reads it; 0 with *why set when the tag is unsafe or broken.
size_t span_tag_length(const char *p, const char *end, std::string *why)
{
    const char *q = p + 5;
    for (;;) {
        while (q < end && (is_space(static_cast<unsigned char>(*q)) || *q == '/')) ++q;
        if (q == end) return *why = "span tag without '>'", 0;
        if (*q == '>') return size_t(q + 1 - p);
        if (*q == '<') return *why = "'<' inside span tag", 0;
        const char *name = q++; // the first byte is always part of the name
        while (q < end && !is_space(static_cast<unsigned char>(*q)) && *q != '/' && *q != '>' &&
               *q != '=') {
            if (*q == '<') return *why = "'<' inside span tag", 0;
            ++q;
        }
        if (q - name >= 2 && (name[0] | 0x20) == 'o' && (name[1] | 0x20) == 'n')
            return *why = "event-handler attribute '" + std::string(name, q) + "' on span", 0;
        while (q < end && is_space(static_cast<unsigned char>(*q))) ++q;
        if (q == end || *q != '=') continue;
        ++q;
        while (q < end && is_space(static_cast<unsigned char>(*q))) ++q;
        if (q < end && (*q == '"' || *q == '\'')) {
            const char quote = *q++;
            while (q < end && *q != quote) {
                if (*q == '<') return *why = "'<' inside span attribute value", 0;
                ++q;
            }
            if (q == end) return *why = "span attribute value not closed", 0;
            ++q;
            // The tokenizer goes on reading attributes right after the closing
            // quote, so a name glued to it ("a"onclick=) is caught above.
        } else {
            while (q < end && !is_space(static_cast<unsigned char>(*q)) && *q != '>') {
                if (*q == '<') return *why = "'<' inside span attribute value", 0;
                ++q;
            }
        }
    }
}

} // namespace

std::string event_attribute(const std::string &html)
{
    const size_t n = html.size();
    auto blank = [&](size_t q) { return q < n && is_space(static_cast<unsigned char>(html[q])); };
    for (size_t i = html.find('<'); i != std::string::npos; i = html.find('<', i + 1)) {
        size_t q = i + 1;
        if (q < n && html[q] == '/') ++q; // a closing tag
        while (q < n && html[q] != '>' && html[q] != '/' && !blank(q)) ++q;
        while (q < n && html[q] != '>') {
            while (blank(q) || (q < n && html[q] == '/')) ++q;
            if (q == n || html[q] == '>') break;
            const size_t name = q++; // the first byte is always part of the name, even a '='
            while (q < n && html[q] != '=' && html[q] != '/' && html[q] != '>' && !blank(q)) ++q;
            if (q - name >= 2 && (html[name] | 0x20) == 'o' && (html[name + 1] | 0x20) == 'n')
                return html.substr(name, q - name) + " at " + std::to_string(name);
            size_t after = q;
            while (blank(after)) ++after;
            if (after == n || html[after] != '=') continue; // no value: the next name follows
            q = after + 1;
            while (blank(q)) ++q;
            if (q < n && (html[q] == '"' || html[q] == '\'')) {
                q = html.find(html[q], q + 1);
                if (q == std::string::npos) return "";
                ++q;
            } else {
                while (q < n && html[q] != '>' && !blank(q)) ++q;
            }
        }
        i = q;
    }
    return "";
}

namespace {

struct json_reader {
    const char *p;
    const char *end;
    const char *begin;
    std::string err;

    bool fail(const char *what)
    {
        if (err.empty()) err = at(what, size_t(p - begin));
        return false;
    }
    bool lit(string_view s)
    {
        if (!starts_with(p, end, s))
            return fail(("expected '" + std::string(s) + "'").c_str());
        p += s.size();
        return true;
    }
    bool peek(char c) const { return p < end && *p == c; }

    // Reads string content up to its closing quote (consumed). Only the
    // escapes the library writes are accepted, each in its one form.
    bool str(std::string *out)
    {
        for (;;) {
            if (p == end) return fail("unterminated JSON string");
            const unsigned char c = static_cast<unsigned char>(*p);
            if (c == '"') {
                ++p;
                return true;
            }
            if (c < 0x20) return fail("raw control byte in JSON string");
            if (c != '\\') {
                out->push_back(char(c));
                ++p;
                continue;
            }
            if (end - p < 2) return fail("unterminated escape");
            switch (p[1]) {
            case '"': out->push_back('"'); break;
            case '\\': out->push_back('\\'); break;
            case 'b': out->push_back('\b'); break;
            case 'f': out->push_back('\f'); break;
            case 'n': out->push_back('\n'); break;
            case 'r': out->push_back('\r'); break;
            case 't': out->push_back('\t'); break;
            case 'u': {
                if (end - p < 6 || p[2] != '0' || p[3] != '0') return fail("bad \\u escape");
                auto hex = [](char h) {
                    return h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10 : -1;
                };
                const int hi = hex(p[4]), lo = hex(p[5]);
                if (hi < 0 || lo < 0) return fail("bad \\u escape (lowercase hex expected)");
                const int v = hi * 16 + lo;
                if (v >= 0x20 || v == 0x08 || v == 0x09 || v == 0x0A || v == 0x0C || v == 0x0D)
                    return fail("\\u escape for a byte with a shorter form");
                out->push_back(char(v));
                p += 6;
                continue;
            }
            default: return fail("unknown escape");
            }
            p += 2;
        }
    }

    // "[" entry ("," entry)* "]" or "[]", and nothing after it.
    template <class Entry> bool array(Entry entry)
    {
        if (!lit("[")) return false;
        if (peek(']')) {
            ++p;
        } else {
            for (;;) {
                if (!entry()) return false;
                if (peek(',')) {
                    ++p;
                    continue;
                }
                if (!lit("]")) return false;
                break;
            }
        }
        return p == end || fail("bytes after the JSON array");
    }
};

} // namespace

std::string check_html(const char *html, size_t n, std::vector<heading> *heads)
{
    const char *p = html;
    const char *const end = html + n;
    int link_depth = 0;   // <a> elements open
    int heading_open = 0; // level of the open <hN>, or 0
    while (p < end) {
        const char *lt = static_cast<const char *>(std::memchr(p, '<', size_t(end - p)));
        const char *text_end = lt ? lt : end;
        if (const void *gt = std::memchr(p, '>', size_t(text_end - p)))
            return at("raw '>' outside a tag", size_t(static_cast<const char *>(gt) - html));
        if (!lt) break;
        p = lt;
        const size_t off = size_t(p - html);

        if (starts_with(p, end, "<a href=\"")) {
            const char *v = p + 9;
            const char *q = static_cast<const char *>(std::memchr(v, '"', size_t(end - v)));
            if (!q) return at("href value not closed", off);
            const string_view href(v, size_t(q - v));
            if (starts_with(q, end, "\">")) {
                if (!href.starts_with("/wiki/") && !href.starts_with("#"))
                    return at("internal link href without /wiki/ or #", off);
                p = q + 2;
            } else if (starts_with(q, end, external_tail)) {
                bool scheme = false;
                for (string_view s : external_schemes) scheme = scheme || href.starts_with(s);
                if (!scheme) return at("external link href without a scheme", off);
                p = q + external_tail.size();
            } else {
                return at("<a> tag with attributes other than the documented ones", off);
            }
            if (++link_depth > 3) return at("<a> nested more than three deep", off);
            continue;
        }
        if (starts_with(p, end, "<h") && end - p >= 3 && p[2] >= '1' && p[2] <= '6' &&
            starts_with(p + 3, end, " id=\"")) {
            const char *v = p + 8;
            const char *q = static_cast<const char *>(std::memchr(v, '"', size_t(end - v)));
            if (!q) return at("id value not closed", off);
            if (!starts_with(q, end, "\">")) return at("<hN> tag with more than its id", off);
            const std::string id(v, q);
            if (id.find_first_of("&'<>") != std::string::npos)
                return at("id holds a byte the anchor rule drops", off);
            if (heading_open) return at("heading opened inside a heading", off);
            heading_open = p[2] - '0';
            if (heads) heads->push_back({heading_open, {}, id});
            p = q + 2;
            continue;
        }
        if (starts_with(p, end, "</h") && end - p >= 6 && p[3] >= '1' && p[3] <= '6' &&
            p[4] == '>' && p[5] == '\n') {
            if (p[3] - '0' != heading_open) return at("</hN> does not close the open heading", off);
            heading_open = 0;
            p += 6;
            continue;
        }
        size_t len = 0;
        for (string_view t : plain_tags)
            if (starts_with(p, end, t)) len = t.size();
        if (len) {
            if (starts_with(p, end, "</a>") && --link_depth < 0) return at("</a> without <a>", off);
            p += len;
            continue;
        }
        if (starts_with(p, end, "<span ")) {
            std::string why;
            len = span_tag_length(p, end, &why);
            if (!len) return at(why.c_str(), off);
            p += len;
            continue;
        }
        return at("'<' that begins no tag the renderer writes", off);
    }
    if (link_depth) return "an <a> element is not closed";
    if (heading_open) return "a heading element is not closed";
    return {};
}

std::string check_links_json(const char *json, size_t n, std::vector<link> *links)
{
    json_reader r{json, json + n, json, {}};
    r.array([&] {
        link e;
        if (!r.lit("{\"target\":\"") || !r.str(&e.target) || !r.lit(",\"text\":\"") ||
            !r.str(&e.text) || !r.lit("}"))
            return false;
        if (!is_trimmed(e.target) || !is_trimmed(e.text)) return r.fail("link target or text not trimmed");
        if (links) links->push_back(std::move(e));
        return true;
    });
    return r.err;
}

std::string check_headings_json(const char *json, size_t n, std::vector<heading> *heads)
{
    json_reader r{json, json + n, json, {}};
    r.array([&] {
        heading e;
        if (!r.lit("{\"level\":")) return false;
        if (!(r.p < r.end && *r.p >= '1' && *r.p <= '6')) return r.fail("level not in 1..6");
        e.level = *r.p++ - '0';
        if (!r.lit(",\"text\":\"") || !r.str(&e.text) || !r.lit(",\"anchor\":\"") ||
            !r.str(&e.anchor) || !r.lit("}"))
            return false;
        if (!is_trimmed(e.text)) return r.fail("heading text not trimmed");
        if (e.anchor != expected_anchor(e.text)) return r.fail("anchor differs from the anchor rule");
        if (heads) heads->push_back(std::move(e));
        return true;
    });
    return r.err;
}

std::string compare_headings(const std::vector<heading> &from_html,
                             const std::vector<heading> &from_json)
{
    if (from_html.size() != from_json.size())
        return "HTML has " + std::to_string(from_html.size()) + " headings, the list " +
               std::to_string(from_json.size());
    for (size_t i = 0; i < from_html.size(); ++i) {
        if (from_html[i].level != from_json[i].level)
            return "heading " + std::to_string(i) + ": level differs";
        if (from_html[i].anchor != from_json[i].anchor)
            return "heading " + std::to_string(i) + ": id \"" + from_html[i].anchor +
                   "\" differs from anchor \"" + from_json[i].anchor + "\"";
    }
    return {};
}

std::string expected_anchor(const std::string &text)
{
    std::string out;
    bool separated = false;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '_') {
            if (!separated && !out.empty()) {
                out.push_back('_');
                separated = true;
            }
        } else if (c != '"' && c != '&' && c != '\'' && c != '<' && c != '>') {
            out.push_back(c);
            separated = false;
        }
    }
    if (!out.empty() && out.back() == '_') out.pop_back();
    return out;
}

std::string c_escape(const char *p, size_t n, size_t max)
{
    std::string out;
    for (size_t i = 0; i < n && i < max; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                static const char hex[] = "0123456789abcdef";
                out += "\\x";
                out += hex[c >> 4];
                out += hex[c & 15];
            } else {
                out.push_back(char(c));
            }
        }
    }
    if (n > max) out += "...";
    return out;
}

} // namespace wtfuzz
