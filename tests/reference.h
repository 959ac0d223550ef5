// Byte-at-a-time reference escapers for the tests that compare the library's
// bulk-copying writers and scanners against plain logic.
#ifndef REFERENCE_H
#define REFERENCE_H

#include <cstdio>
#include <string>
#include <string_view>

inline std::string ref_html_escape(std::string_view s)
{
    std::string r;
    for (char c : s) {
        if (c == '"') r += "&quot;";
        else if (c == '&') r += "&amp;";
        else if (c == '<') r += "&lt;";
        else if (c == '>') r += "&gt;";
        else r += c;
    }
    return r;
}

inline std::string ref_json_escape(std::string_view s)
{
    std::string r;
    for (unsigned char c : s) {
        char esc[8];
        if (c == '"' || c == '\\') r += '\\', r += char(c);
        else if (c == '\b') r += "\\b";
        else if (c == '\t') r += "\\t";
        else if (c == '\n') r += "\\n";
        else if (c == '\f') r += "\\f";
        else if (c == '\r') r += "\\r";
        else if (c < 0x20) std::snprintf(esc, sizeof esc, "\\u%04x", c), r += esc;
        else r += char(c);
    }
    return r;
}

#endif
