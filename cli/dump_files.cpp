#include "dump_files.h"

#include <array>

namespace {

constexpr std::size_t max_stem = 250;

// 1: the byte is percent-encoded in a file name.
constexpr auto file_unsafe = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 1;
    for (char c : {'/', '\\', '%', ':', '*', '?', '"', '<', '>', '|', '\x7f'}) t[static_cast<unsigned char>(c)] = 1;
    return t;
}();

void append_escape(std::string &out, unsigned char c)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    out += '%';
    out += hex[c >> 4];
    out += hex[c & 15];
}

} // namespace

std::string dump_page_file(std::string_view title, long long id)
{
    std::string stem;
    for (unsigned char c : title) {
        if (c == ' ') stem += '_';
        else if (file_unsafe[c]) append_escape(stem, c);
        else stem += static_cast<char>(c);
    }
    // A name of dots alone would name a folder.
    if (stem.empty() || stem.find_first_not_of('.') == std::string::npos) {
        std::string dots;
        for (char c : stem) { (void)c; append_escape(dots, '.'); }
        stem = dots.empty() ? "%20" : dots;
    }
    if (stem.size() > max_stem) {
        std::size_t cut = max_stem - 24;
        while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
        // Do not cut inside a %XX escape.
        if (cut >= 1 && stem[cut - 1] == '%') cut -= 1;
        else if (cut >= 2 && stem[cut - 2] == '%') cut -= 2;
        stem.resize(cut);
        stem += '~';
        stem += std::to_string(id);
    }
    return stem + ".html";
}

std::string dump_page_href(std::string_view file)
{
    std::string out = "./";
    for (char c : file) {
        if (c == '%') out += "%25";
        else if (c == '#' || c == '?') append_escape(out, static_cast<unsigned char>(c));
        else out += c;
    }
    return out;
}

void append_html_text(std::string &out, std::string_view s)
{
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
}
