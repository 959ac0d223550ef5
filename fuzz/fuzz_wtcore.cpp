// libFuzzer harness, built once per target with WTFUZZ_MODE set:
//   1 fuzz_html       wtcore_to_html
//   2 fuzz_links      wtcore_extract_links_json
//   3 fuzz_headings   wtcore_extract_headings_json, checked against wtcore_to_html
//   4 fuzz_reentrant  all three, each _r result equal byte for byte to the static one,
//                     and, where the interface runs a newer build of the parser
//                     (AVX2, AVX-512), equal to the baseline build's
//   5 fuzz_options    wtcore_render in every format, with options chosen by the
//                     input's first byte, on the rest of the input as it stands
//                     (NUL bytes included) in a block of exactly its size
//   6 fuzz_extended   wtcore_render with WTCORE_EXTENDED (alone, and with balanced
//                     tags and safe attributes): HTML, templates, categories, text
//                     and page JSON,
//                     on the whole input in a block of exactly its size
// The input is copied into a NUL-terminated buffer; the library reads it up to
// its first NUL, so n below is that length. Every target checks, besides
// survival under ASan and UBSan: each call succeeds (wtcore_last_error() is
// ""), each result is a non-null string, the JSON has exactly the documented
// shape, the HTML carries no attribute the input chose (invariants.cpp), and
// each result stays within its length bound.
//
// Length bounds. Every output byte is charged to input bytes, construct by
// construct; the largest charge any one input byte can get is the factor.
//
// HTML, at most 22 bytes per input byte:
// - Inline text. The escaping step writes at most 5 bytes per byte ("&amp;");
//   nowiki content and preformatted lines at most 6 ("&quot;"); allowed tags and
//   trails 1. A quote run of r bytes writes at most 8 and, counting the later
//   close of what it opens, at most 3.5 per byte ("''": "<i>" + "</i>"). An
//   internal link writes 21 fixed bytes ("<a href=\"/wiki/" "\">" "</a>") for
//   its 4 brackets, plus its destination: 1 byte per target byte, 6 for '"'
//   ("&quot;"). Without '|' the target and the label are the same bytes, so a
//   label byte costs its inline cost plus up to 6. A bracketed link writes 47
//   fixed bytes ("<a href=\"", the class/rel tail, "</a>") plus "[%d]" (at most
//   12 bytes for an int) for at least 8 bytes ('[', a 6-byte scheme, ']'): under
//   7.4 per byte, plus its URL once, 6 per '"'. A bare URL writes 47 fixed bytes
//   for its 7-byte prefix (under 7 per byte) and its URL twice. Nesting is at
//   most internal link > bracketed link > bare URL, and a byte is in at most
//   one URL, so the worst inline byte is a '"' in the URL of a bracketed link
//   inside the label of an internal link without '|': 6 (href) + 6
//   (destination) = 12. In a heading each text byte adds at most 1 for the
//   anchor, and the anchor drops '"', so bytes of cost 12 add nothing there and
//   the others stay at or below 11: inline bytes cost at most 12.
// - Blocks. "<p>" + "</p>\n" (8) go to a paragraph's first byte (so at most
//   8 + 12 = 20 for it); "<pre>" + "</pre>\n" (13) to the dropped leading space
//   of a preformatted block; "<hr />\n" (7) to at least 4 dashes; a heading's
//   "<hN id=\"" "\">" "</hN>\n" (16) to its at least 2 '=' delimiters, 8 each;
//   the "\n" between lines of a block to the line feed. A list level writes at
//   most "\n" + "<ul>\n" when it opens and "</ul>\n" when it closes (12), and
//   only a prefix byte opens a level: 12 per prefix byte. An item writes
//   "<li>" + "</li>\n" (10) charged to the line's first prefix byte, and a
//   term with a description 10 more ("</dt>\n<dd>" ... "</dd>\n" over
//   "<dt>" ... "</dt>\n") charged to the separator ':', which is not written.
//   So the first prefix byte of a list line costs at most 12 + 10 = 22.
// The factor is reached only by a one-byte list line: `*` gives the 21 bytes
// "<ul>\n<li></li>\n</ul>\n". Sustained, it is about 12: a line of 64 marker
// bytes alternating '*' and '#', and the next line with the other marker first,
// closes and opens 64 levels for every 65 input bytes (about 11 per byte), and
// '"' in `[[[http://"""] x]]` costs 12 each.
//
// Links JSON, at most 12 per input byte plus 2: an entry writes 23 fixed bytes
// plus a "," (24) for its 4 brackets, 6 each; each byte between the brackets is
// written into the target and into the text (without '|'), at most 6 bytes each
// ("\u00XX"); the scan never takes a byte into two links.
// Headings JSON, at most 17 per input byte plus 2: an entry writes 33 fixed
// bytes plus a "," (34) for its at least 2 delimiter '=' bytes (17 each, never
// part of the text), and each text byte is written into the text and at most
// once into the anchor, at most 6 bytes each.
#include "invariants.h"
#include "wt_builds.h"
#include "wtcore.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#ifndef WTFUZZ_MODE
#  error "WTFUZZ_MODE must be 1 (html), 2 (links), 3 (headings), 4 (reentrant), 5 (options) or 6 (extended)"
#endif

namespace {

constexpr int mode = WTFUZZ_MODE;

const std::vector<char> *s_input; // for the failure report

[[noreturn]] void fail(const char *what, const std::string &why, const char *out = nullptr)
{
    std::fprintf(stderr, "\n==== invariant failed: %s: %s\n", what, why.c_str());
    if (s_input)
        std::fprintf(stderr, "input:  \"%s\"\n",
                     wtfuzz::c_escape(s_input->data(), std::strlen(s_input->data())).c_str());
    if (out) std::fprintf(stderr, "output: \"%s\"\n", wtfuzz::c_escape(out, std::strlen(out)).c_str());
    std::abort();
}

// A static-buffer call: it must report success and return a string.
void expect_success(const char *what, const char *result)
{
    if (!result) fail(what, "returned NULL");
    const char *err = wtcore_last_error();
    if (!err) fail(what, "wtcore_last_error() returned NULL");
    if (*err) fail(what, std::string("reported failure: ") + err, result);
}

void expect_within(const char *what, const char *result, size_t factor, size_t constant, size_t n)
{
    const size_t len = std::strlen(result);
    if (len > factor * n + constant)
        fail(what, "output of " + std::to_string(len) + " bytes exceeds " + std::to_string(factor) +
                       " x " + std::to_string(n) + " + " + std::to_string(constant), result);
}

std::vector<wtfuzz::heading> html_checked(const char *html, size_t n)
{
    expect_within("wtcore_to_html", html, wtfuzz::html_factor, 0, n);
    std::vector<wtfuzz::heading> heads;
    std::string why = wtfuzz::check_html(html, std::strlen(html), &heads);
    if (!why.empty()) fail("wtcore_to_html", why, html);
    return heads;
}

void links_checked(const char *json, size_t n)
{
    expect_within("wtcore_extract_links_json", json, wtfuzz::links_factor, wtfuzz::json_constant, n);
    std::string why = wtfuzz::check_links_json(json, std::strlen(json), nullptr);
    if (!why.empty()) fail("wtcore_extract_links_json", why, json);
}

std::vector<wtfuzz::heading> headings_checked(const char *json, size_t n)
{
    expect_within("wtcore_extract_headings_json", json, wtfuzz::headings_factor,
                  wtfuzz::json_constant, n);
    std::vector<wtfuzz::heading> heads;
    std::string why = wtfuzz::check_headings_json(json, std::strlen(json), &heads);
    if (!why.empty()) fail("wtcore_extract_headings_json", why, json);
    return heads;
}

void agree(const std::vector<wtfuzz::heading> &from_html, const std::vector<wtfuzz::heading> &from_json,
           const char *html)
{
    std::string why = wtfuzz::compare_headings(from_html, from_json);
    if (!why.empty()) fail("heading list vs rendered headings", why, html);
}

void same(const char *what, const char *static_result, char *r_result)
{
    if (!r_result) fail(what, "returned NULL");
    if (std::strcmp(static_result, r_result) != 0)
        fail(what, "differs from the static-buffer result \"" +
                       wtfuzz::c_escape(static_result, std::strlen(static_result)) + "\"", r_result);
    wtcore_free(r_result);
}

// The interface's results against the baseline build's, when the interface
// runs another build.
void same_as_baseline(const char *d, const char *html, const char *links, const char *heads)
{
    const wt_parser_build &base = wt_baseline_parser();
    if (&wt_active_parser() == &base) return;
    wt_buf out{};
    auto check = [&](const char *what, int ok, const char *result) {
        if (!ok) fail(what, "baseline build failed");
        const char *b = out.data ? out.data : "";
        if (std::strcmp(b, result) != 0)
            fail(what, "differs from the baseline build's \"" + wtfuzz::c_escape(b, std::strlen(b)) + "\"", result);
        wt_buf_reset(&out);
    };
    const wt_source src{d, std::strlen(d)};
    check("wtcore_to_html vs baseline", base.render(src, WTCORE_FORMAT_HTML, wt_config{}, &out), html);
    check("wtcore_extract_links_json vs baseline", base.render(src, WTCORE_FORMAT_LINKS_JSON, wt_config{}, &out),
          links);
    check("wtcore_extract_headings_json vs baseline",
          base.render(src, WTCORE_FORMAT_HEADINGS_JSON, wt_config{}, &out), heads);
    wt_buf_free(&out);
}

// Calls fn(name, closing, tag) for each tag of the HTML, in order; a tag ends
// at the first '>' outside its quoted values (a quote right after '=' and its
// blanks), which may hold '<' and '>'. Returns "" or the first fault.
template <class Fn>
std::string for_each_tag(const std::string &html, Fn fn)
{
    for (size_t i = html.find('<'); i != std::string::npos; i = html.find('<', i)) {
        size_t e = html.find_first_of(" >", i);
        if (e == std::string::npos) return "tag not closed at " + std::to_string(i);
        bool closing = html[i + 1] == '/';
        std::string name = html.substr(i + 1 + closing, e - i - 1 - closing);
        // Attributes as an HTML tokenizer reads them: a name, then after '='
        // a quoted value or one that runs to a blank or '>'.
        auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; };
        size_t q = e, n = html.size();
        for (;;) {
            while (q < n && (blank(html[q]) || html[q] == '/')) ++q;
            if (q >= n || html[q] == '>') break;
            // A name takes its first byte whatever it is ('=' included); a
            // quote in it is an error that lax readers take for a value.
            do {
                if (html[q] == '"' || html[q] == '\'') return "quote in an attribute name at " + std::to_string(i);
            } while (++q < n && !blank(html[q]) && html[q] != '/' && html[q] != '>' && html[q] != '=');
            while (q < n && blank(html[q])) ++q;
            if (q < n && html[q] == '=') {
                ++q;
                while (q < n && blank(html[q])) ++q;
                if (q < n && (html[q] == '"' || html[q] == '\'')) {
                    q = html.find(html[q], q + 1);
                    if (q == std::string::npos) return "attribute value not closed at " + std::to_string(i);
                    ++q;
                } else {
                    while (q < n && !blank(html[q]) && html[q] != '>') ++q;
                }
            }
        }
        if (q >= n) return "tag not closed at " + std::to_string(i);
        std::string why = fn(name, closing, html.substr(i, q + 1 - i), i);
        if (!why.empty()) return why;
        i = q + 1;
    }
    return "";
}

// The tags of balanced HTML nest: every end tag closes the innermost open
// element, and none is left open. Returns "" or the fault.
std::string check_nesting(const std::string &html)
{
    std::vector<std::string> open;
    std::string why = for_each_tag(html, [&](const std::string &name, bool closing, const std::string &, size_t at) {
        if (name == "br" || name == "br/" || name == "hr") return std::string();
        if (!closing) {
            open.push_back(name);
        } else if (open.empty() || open.back() != name) {
            return "</" + name + "> at " + std::to_string(at) + " closes " + (open.empty() ? "nothing" : open.back());
        } else {
            open.pop_back();
        }
        return std::string();
    });
    if (!why.empty()) return why;
    return open.empty() ? "" : "<" + open.back() + "> left open";
}

// With safe attributes a span keeps only class, title, lang, dir and style,
// and a style that loads nothing and does not cover the page.
std::string check_safe_spans(const std::string &html)
{
    return for_each_tag(html, [](const std::string &name, bool closing, const std::string &tag, size_t at) {
        if (name != "span" || closing) return std::string();
        auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; };
        size_t q = 5, n = tag.size();
        for (;;) {
            while (q < n && (blank(tag[q]) || tag[q] == '/')) ++q;
            if (q >= n || tag[q] == '>') return std::string();
            size_t a = q;
            while (q < n && !blank(tag[q]) && tag[q] != '/' && tag[q] != '>' && tag[q] != '=') ++q;
            std::string attr = tag.substr(a, q - a), value;
            for (char &c : attr) c = char(std::tolower(static_cast<unsigned char>(c)));
            while (q < n && blank(tag[q])) ++q;
            if (q < n && tag[q] == '=') {
                ++q;
                while (q < n && blank(tag[q])) ++q;
                size_t v = q;
                if (q < n && (tag[q] == '"' || tag[q] == '\'')) {
                    q = tag.find(tag[q], q + 1);
                    value = tag.substr(v + 1, q - v - 1);
                    ++q;
                } else {
                    while (q < n && !blank(tag[q]) && tag[q] != '>') ++q;
                    value = tag.substr(v, q - v);
                }
            }
            if (attr != "class" && attr != "title" && attr != "lang" && attr != "dir" && attr != "style")
                return "span keeps " + attr + " at " + std::to_string(at);
            for (char &c : value) c = char(std::tolower(static_cast<unsigned char>(c)));
            if (attr == "style")
                for (const char *bad : {"url(", "expression", "position:fixed", "position:absolute"})
                    if (value.find(bad) != std::string::npos)
                        return std::string("span style keeps ") + bad + " at " + std::to_string(at);
        }
    });
}

// No internal-link address takes a scheme from the text: an href whose first
// ':' comes before any '/', '?' or '#' belongs to an external link.
std::string check_schemes(const std::string &html)
{
    for (size_t i = html.find("<a href=\""); i != std::string::npos; i = html.find("<a href=\"", i + 1)) {
        size_t v = i + 9, q = html.find('"', v);
        std::string href = html.substr(v, q - v);
        size_t colon = href.find(':');
        if (colon == std::string::npos || href.find_first_of("/?#") < colon) continue;
        static const std::string external = "\" class=\"external\"";
        if (html.compare(q, external.size(), external) != 0) return "internal link with a scheme: " + href;
    }
    return "";
}

void options_round(const char *doc, size_t n, uint8_t choice)
{
    static const char *const templates[] = {nullptr, "$1.html", "/w/index?title=$1&x=$1", "$1"};
    wtcore_options o;
    wtcore_options_init(&o);
    o.flags = choice & 7u;
    o.link_template = templates[(choice >> 3) & 3];
    if (choice & 0x20) o.external_rel = "noopener \"x\"";
    for (int format : {WTCORE_FORMAT_HTML, WTCORE_FORMAT_LINKS_JSON, WTCORE_FORMAT_HEADINGS_JSON}) {
        char *out = nullptr;
        size_t len = 0;
        int status = wtcore_render(doc, n, format, &o, &out, &len);
        if (status != WTCORE_OK) fail("wtcore_render", wtcore_status_message(status));
        if (std::strlen(out) != len) fail("wtcore_render", "length differs from the string's", out);
        std::string r(out, len);
        wtcore_free(out);
        std::string why;
        if (format == WTCORE_FORMAT_LINKS_JSON) {
            why = wtfuzz::check_links_json(r.data(), r.size(), nullptr);
        } else if (format == WTCORE_FORMAT_HEADINGS_JSON) {
            why = wtfuzz::check_headings_json(r.data(), r.size(), nullptr);
        } else {
            if (o.flags & WTCORE_BALANCE_TAGS) why = check_nesting(r);
            if (why.empty() && (o.flags & WTCORE_SAFE_ATTRIBUTES)) why = check_safe_spans(r);
            if (why.empty()) why = check_schemes(r);
            // With the default options and no NUL, the old function's bytes.
            if (why.empty() && !choice && (n == 0 || !std::memchr(doc, 0, n))) {
                std::string terminated(doc, n);
                char *old = wtcore_to_html_r(terminated.c_str());
                if (!old || r != old) why = "differs from wtcore_to_html_r";
                wtcore_free(old);
            }
        }
        if (!why.empty()) fail("wtcore_render with options", why, r.c_str());
    }
}

// Tags nest and close, reading each tag to its '>' outside quoted values
// (an address may hold a '<').
std::string check_nesting_quoted(const std::string &html)
{
    std::vector<std::string> open;
    for (size_t i = html.find('<'); i != std::string::npos; i = html.find('<', i + 1)) {
        size_t e = html.find_first_of(" >", i);
        if (e == std::string::npos) return "tag not closed at " + std::to_string(i);
        bool closing = html[i + 1] == '/';
        std::string name = html.substr(i + 1 + closing, e - i - 1 - closing);
        size_t q = e;
        while (q < html.size() && html[q] != '>') {
            if (html[q] == '"') q = html.find('"', q + 1);
            if (q == std::string::npos) return "quote not closed in the tag at " + std::to_string(i);
            ++q;
        }
        i = q;
        if (name == "br" || name == "br/" || name == "hr") continue;
        if (!closing) open.push_back(name);
        else if (open.empty() || open.back() != name) return "</" + name + "> closes " + (open.empty() ? "nothing" : open.back());
        else open.pop_back();
    }
    return open.empty() ? "" : "<" + open.back() + "> left open";
}

// The external links of rendered HTML, read as the page JSON reads them:
// each anchor whose class is "external", up to its "</a>".
size_t external_anchors(std::string_view html)
{
    size_t n = 0;
    for (size_t at = html.find("<a href=\""); at != html.npos; at = html.find("<a href=\"", at + 1)) {
        const size_t url_end = html.find('"', at + 9);
        const size_t tag_end = url_end == html.npos ? url_end : html.find('>', url_end);
        if (tag_end == html.npos) break;
        if (html.substr(url_end, tag_end - url_end).find("class=\"external") == html.npos) continue;
        const size_t close = html.find("</a>", tag_end);
        if (close == html.npos) break;
        ++n;
        at = close;
    }
    return n;
}

// How many times `what` occurs in s.
size_t occurrences(std::string_view s, std::string_view what)
{
    size_t n = 0;
    for (size_t i = s.find(what); i != s.npos; i = s.find(what, i + what.size())) ++n;
    return n;
}

// The extended syntax: every call succeeds, its result holds exactly the
// bytes it reports (no NUL of a placeholder escapes), stays within a bound, is
// well-formed with balanced tags, carries no event handler attribute, and,
// as JSON, is an array. The page JSON lists as many external links as the
// HTML shows: it reads them from the lines that may hold one alone.
void check_extended(const char *doc, size_t size)
{
    static const unsigned flag_sets[] = {WTCORE_EXTENDED,
                                         WTCORE_EXTENDED | WTCORE_BALANCE_TAGS | WTCORE_SAFE_ATTRIBUTES};
    for (unsigned flags : flag_sets) {
        wtcore_options o;
        wtcore_options_init(&o);
        o.flags = flags;
        size_t html_links = 0;
        for (int format : {WTCORE_FORMAT_HTML, WTCORE_FORMAT_TEMPLATES_JSON, WTCORE_FORMAT_CATEGORIES_JSON,
                           WTCORE_FORMAT_TEXT, WTCORE_FORMAT_PAGE_JSON}) {
            char *r = nullptr;
            size_t len = 0;
            int status = wtcore_render(size ? doc : nullptr, size, format, &o, &r, &len);
            if (status != WTCORE_OK) fail("wtcore_render (extended)", wtcore_status_message(status));
            if (!r) fail("wtcore_render (extended)", "NULL result");
            if (std::strlen(r) != len) fail("wtcore_render (extended)", "a NUL inside the result", r);
            // Templates: a byte lies in at most 40 listed values, 6 bytes each.
            if (len > 256 * size + 128) fail("wtcore_render (extended)", "output too long", r);
            std::string why;
            if ((format == WTCORE_FORMAT_TEMPLATES_JSON || format == WTCORE_FORMAT_CATEGORIES_JSON) &&
                (len < 2 || r[0] != '[' || r[len - 1] != ']'))
                why = "not a JSON array";
            if (format == WTCORE_FORMAT_PAGE_JSON && (len < 2 || r[0] != '{' || r[len - 1] != '}'))
                why = "not a JSON object";
            if (format == WTCORE_FORMAT_HTML) html_links = external_anchors(std::string_view(r, len));
            if (format == WTCORE_FORMAT_PAGE_JSON && why.empty()) {
                const std::string_view page(r, len);
                const size_t at = page.find(",\"external_links\":");
                if (at == page.npos || occurrences(page.substr(at), "{\"url\":") != html_links)
                    why = "external links other than the HTML's";
            }
            if (format == WTCORE_FORMAT_HTML && (flags & WTCORE_BALANCE_TAGS)) why = check_nesting_quoted(r);
            if (format == WTCORE_FORMAT_HTML && why.empty()) {
                std::string on = wtfuzz::event_attribute(r);
                if (!on.empty()) why = "an event handler attribute: " + on;
            }
            if (!why.empty()) fail("wtcore_render (extended)", why, r);
            wtcore_free(r);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (mode == 6) {
        std::vector<char> exact(data, data + size);
        check_extended(exact.data(), exact.size());
        return 0;
    }
    if (mode == 5) {
        if (size == 0) return 0;
        // The document in a block of its own size, so that ASan sees any read
        // past its end.
        std::vector<char> exact(data + 1, data + size);
        options_round(exact.data(), exact.size(), data[0]);
        return 0;
    }
    std::vector<char> doc(data, data + size);
    doc.push_back('\0');
    s_input = &doc;
    const char *d = doc.data();
    const size_t n = std::strlen(d);

    if (mode == 1) {
        const char *html = wtcore_to_html(d, nullptr);
        expect_success("wtcore_to_html", html);
        html_checked(html, n);
    } else if (mode == 2) {
        const char *links = wtcore_extract_links_json(d);
        expect_success("wtcore_extract_links_json", links);
        links_checked(links, n);
    } else if (mode == 3) {
        const char *heads = wtcore_extract_headings_json(d);
        expect_success("wtcore_extract_headings_json", heads);
        const char *html = wtcore_to_html(d, nullptr);
        expect_success("wtcore_to_html", html);
        agree(html_checked(html, n), headings_checked(heads, n), html);
    } else if (mode == 4) {
        const char *html = wtcore_to_html(d, nullptr);
        expect_success("wtcore_to_html", html);
        const char *links = wtcore_extract_links_json(d);
        expect_success("wtcore_extract_links_json", links);
        const char *heads = wtcore_extract_headings_json(d);
        expect_success("wtcore_extract_headings_json", heads);
        // Each static result stays valid while the other two functions run.
        agree(html_checked(html, n), headings_checked(heads, n), html);
        links_checked(links, n);
        same("wtcore_to_html_r", html, wtcore_to_html_r(d));
        same("wtcore_extract_links_json_r", links, wtcore_extract_links_json_r(d));
        same("wtcore_extract_headings_json_r", heads, wtcore_extract_headings_json_r(d));
        if (*wtcore_last_error()) fail("_r functions", "changed wtcore_last_error()");
        same_as_baseline(d, html, links, heads);
    }
    s_input = nullptr;
    return 0;
}
