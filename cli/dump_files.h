// File names of the pages that `dump --output-dir` writes.
#pragma once

#include <string>
#include <string_view>

// The file of a page: its title with each space as '_', each byte that is not
// safe in a file name on common systems percent-encoded (%XX: '/', '\\', '%',
// control bytes, and ':*?"<>|' that other systems refuse), then ".html".
// Bytes of 0x80 and above (UTF-8) stay. A title that would be too long for a
// file name (over 250 bytes before ".html") is cut at a UTF-8 boundary and
// given its page id, so that two long titles cannot share a file.
std::string dump_page_file(std::string_view title, long long id);

// The file name as a relative address for an href: "./" then each '%' as
// "%25", so that the browser's decoding gives the name back.
std::string dump_page_href(std::string_view file);

// Appends s with &, <, > and " as entities.
void append_html_text(std::string &out, std::string_view s);
