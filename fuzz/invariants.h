// Checks that the fuzz targets run on every result: the shape of the HTML the
// renderer writes, the exact JSON shapes of the two lists, and the agreement
// between the heading list and the rendered headings. Each check returns ""
// when the output holds, else a message naming the fault and its offset.
#ifndef WTCORE_FUZZ_INVARIANTS_H
#define WTCORE_FUZZ_INVARIANTS_H

#include <cstddef>
#include <string>
#include <vector>

namespace wtfuzz {

struct heading {
    int level = 0;
    std::string text;   // empty for headings read from HTML
    std::string anchor; // the id in HTML, the decoded anchor in JSON
};

struct link {
    std::string target;
    std::string text;
};

// Output length bounds, in output bytes per input byte (input length = strlen
// of the document). fuzz_wtcore.cpp derives them construct by construct.
constexpr size_t html_factor = 22;
constexpr size_t links_factor = 12;
constexpr size_t headings_factor = 17;
constexpr size_t json_constant = 2; // "[]"

// Every '<' begins a tag the renderer writes or passes through, no tag carries
// an attribute the input chose, every attribute value is closed, there is no
// raw '>' outside a tag, <a> and <hN> tags are balanced. Appends the rendered
// headings (level and id) to heads when heads is not null.
std::string check_html(const char *html, size_t n, std::vector<heading> *heads);

// Exactly [{"target":"...","text":"..."},...] with canonical escapes and both
// strings trimmed. Appends the decoded entries to links when not null.
std::string check_links_json(const char *json, size_t n, std::vector<link> *links);

// Exactly [{"level":N,"text":"...","anchor":"..."},...] with N in 1..6,
// canonical escapes, the text trimmed and the anchor equal to the anchor rule
// applied to the text. Appends the decoded entries to heads when not null.
std::string check_headings_json(const char *json, size_t n, std::vector<heading> *heads);

// Same count, and at each index the same level and anchor.
std::string compare_headings(const std::vector<heading> &from_html,
                             const std::vector<heading> &from_json);

// The anchor rule, written independently of the library: runs of space, tab
// and '_' become one '_' (none leading or trailing), '"' '&' '\'' '<' '>' are
// dropped, every other byte is kept.
std::string expected_anchor(const std::string &text);

// The first attribute of any tag in the HTML whose name starts with "on" (an
// event handler), with its offset, or "". Every '<' starts a tag. Attributes
// are read as a browser's tokenizer reads them: blanks may stand on either
// side of the '=', so "title= onclick=x" is a title whose value is
// "onclick=x", and a name's first byte may be a '='.
std::string event_attribute(const std::string &html);

// The bytes as a C string literal body, cut after max bytes; for messages.
std::string c_escape(const char *p, size_t n, size_t max = 400);

} // namespace wtfuzz

#endif
