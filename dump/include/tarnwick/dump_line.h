// The JSON line written for each page of an export: one object with the
// page's id, namespace, title, revision, timestamp, redirect target, then a
// field per output format. The tool's dump command and the Python binding
// both write their lines here, so they write the same bytes.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <wtcore.h>

#include "tarnwick/dump.h"

namespace tarnwick::dump {

// An output format, named as the field of the line that holds its result.
struct line_field {
    const char *name;
    int format;      // WTCORE_FORMAT_...
    bool is_string;  // the result goes in as a JSON string; otherwise it is JSON itself
};

// Every field there is: html, text, links, headings, templates, categories, page.
std::span<const line_field> line_fields() noexcept;

// Returns the field called `name`, or null when there is none.
const line_field *find_line_field(std::string_view name) noexcept;

// Appends s as a JSON string, with its quotes: the quote, the backslash and
// the control bytes escaped, every other byte as it is (the reader hands out
// UTF-8).
void append_json_string(std::string &out, const char *s, std::size_t n);

// Appends the page's line, ending in a newline: {"id","ns","title",
// "revision","timestamp", "redirect" when the page is one, then each field of
// `fields` in order, its result rendered from the page's text with
// `options`}. Returns WTCORE_OK, or the status of the rendering that failed,
// in which case `out` is left as it was.
int append_line(std::string &out, const page &p, const std::vector<const line_field *> &fields,
                const wtcore_options &options);

} // namespace tarnwick::dump
