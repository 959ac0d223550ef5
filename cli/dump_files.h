// File names of the pages that `dump --output-dir` writes, chosen so that the
// links between them resolve: a link is rendered with the template
// "./$1.html" and its target percent-encoded, and a browser decodes the
// address back to the title with '_' for each space.
#pragma once

#include <string>
#include <string_view>

// The path of a page's file relative to the folder: the title with each
// space as '_', then ".html"; a '/' in the title makes a subfolder ("Help/Intro"
// is "Help/Intro.html"). A title that cannot be a path (an empty, "." or ".."
// segment, a segment longer than 250 bytes, a control byte) gets
// "page-ID.html" instead.
std::string dump_page_file(std::string_view title, long long id);

// A page path as an address relative to the folder, for the index: "./" and
// the path with every byte but letters, digits, "-._~/" percent-encoded.
std::string dump_page_href(std::string_view path);

// Appends s with &, <, > and " as entities.
void append_html_text(std::string &out, std::string_view s);
