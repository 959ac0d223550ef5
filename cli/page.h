// The standalone HTML page around a fragment: title, stylesheet and table of
// contents, the latter built from the library's heading list.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct heading {
    int level = 0;
    std::string text;     // raw wikitext, as the heading list gives it
    std::string anchor;   // the id of the rendered heading element
};

// Reads the library's heading list, a JSON array of
// {"level":N,"text":"...","anchor":"..."} objects. Returns false when json is
// not such an array (the library gives that only when memory ran out).
bool parse_headings_json(std::string_view json, std::vector<heading> &out);

// Appends s with &, <, > and " written as entities.
void append_html_escaped(std::string &out, std::string_view s);

// The page up to and including the opening of the content: doctype, head with
// the escaped title and the stylesheet, and the table of contents when toc is
// not null and holds at least one heading.
std::string page_head(std::string_view title, const std::vector<heading> *toc);

// A nested list of links to the headings' anchors; empty for no headings.
std::string toc_html(const std::vector<heading> &headings);

// The page after the content. fragment_ends_line says whether the fragment
// ended with a line feed, so that the closing tags start on a line of their own.
std::string_view page_tail(bool fragment_ends_line);
