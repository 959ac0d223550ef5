// The standalone HTML page around a fragment: title, stylesheet and table of
// contents, the latter built from the fragment's heading elements.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct heading {
    int level = 0;
    std::string text;     // HTML: the text a reader sees, entities as written
    std::string anchor;   // the id of the heading element, as written
};

// Lists the heading elements of a rendered fragment (<hN id="...">...</hN>,
// each at the start of a line) with the text a reader sees of each: tags
// dropped, white space made single and trimmed. With first_named_only, stops
// after the first heading whose text is not empty and lists only that one.
// Throws std::bad_alloc when memory runs out.
void collect_headings(std::string_view html, std::vector<heading> &out, bool first_named_only);

// Appends s with &, <, > and " written as entities.
void append_html_escaped(std::string &out, std::string_view s);

// The page up to and including the opening of the content: doctype, head with
// the title (HTML, written as given) and the stylesheet, and the table of
// contents when toc is not null and holds at least one heading.
std::string page_head(std::string_view title_html, const std::vector<heading> *toc);

// A nested list of links to the headings' anchors; empty for no headings.
std::string toc_html(const std::vector<heading> &headings);

// The page after the content. fragment_ends_line says whether the fragment
// ended with a line feed, so that the closing tags start on a line of their own.
std::string_view page_tail(bool fragment_ends_line);
