#include "dump_files.h"

namespace {

constexpr std::size_t max_segment = 250;

bool is_unreserved(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~' || c == '/';
}

} // namespace

std::string dump_page_file(std::string_view title, long long id)
{
    std::string path;
    std::size_t segment = 0;
    bool ok = !title.empty();
    for (unsigned char c : title) {
        if (c < 0x20 || c == 0x7F) ok = false;
        if (c == '/') {
            std::string_view last = std::string_view(path).substr(path.size() - segment);
            if (segment == 0 || last == "." || last == "..") ok = false;
            segment = 0;
            path += '/';
            continue;
        }
        path += c == ' ' ? '_' : static_cast<char>(c);
        if (++segment > max_segment) ok = false;
    }
    std::string_view last = std::string_view(path).substr(path.size() - segment);
    if (segment == 0 || last == "." || last == "..") ok = false;
    if (!ok) return "page-" + std::to_string(id) + ".html";
    return path + ".html";
}

std::string dump_page_href(std::string_view path)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "./";
    for (unsigned char c : path) {
        if (is_unreserved(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
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
