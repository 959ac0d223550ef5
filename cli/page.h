// The standalone HTML page around a fragment: title, stylesheet and table of
// contents, the latter built from the fragment's heading elements.
#pragma once

#include <string>
#include <string_view>

struct heading {
    int level = 0;
    std::string text;     // HTML: the text a reader sees, entities as written
    std::string_view anchor;   // the id of the heading element, as written
};

// Finds the heading elements of a rendered fragment one after another:
// <hN id="...">...</hN>, each at the start of a line.
class heading_scanner {
public:
    explicit heading_scanner(std::string_view html);
    // Fills h with the next heading; its text is what a reader sees: tags
    // dropped, white space made single and trimmed, entities kept. Returns
    // false after the last. Throws std::bad_alloc when memory runs out.
    bool next(heading &h);

private:
    std::string_view html_;
    size_t pos_ = 0;
};

// Sets text to the first heading's text that is not empty; returns false
// when there is none.
bool first_heading_text(std::string_view html, std::string &text);

// Appends s with &, <, > and " written as entities.
void append_html_escaped(std::string &out, std::string_view s);

// The table of contents: a nav block with a nested list of links to the
// headings' anchors, written as the headings are found (memory for the list
// alone); empty for no headings. When first_text is not null, the first
// heading's text that is not empty goes there (left alone when there is none).
std::string toc_html(std::string_view html, std::string *first_text);

// A page is written as page_head, the table of contents if any,
// page_main_open, the fragment, page_tail; so the parts are never copied
// into one string.

// The page up to and including <body>: doctype, head with the title (HTML,
// written as given), the Content-Security-Policy and the stylesheet.
std::string page_head(std::string_view title_html);

// The opening of the content.
std::string_view page_main_open();

// The page after the content. fragment_ends_line says whether the fragment
// ended with a line feed, so that the closing tags start on a line of their own.
std::string_view page_tail(bool fragment_ends_line);
