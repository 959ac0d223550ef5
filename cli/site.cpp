#include "site.h"

namespace {

constexpr std::string_view page_extension = ".html";
// The longest file name the usual file systems take, in bytes.
constexpr std::size_t max_file_name = 255;

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr bool is_trimmed_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

} // namespace

std::string site_page_name(std::string_view file_stem)
{
    std::string name;
    name.reserve(file_stem.size());
    for (std::size_t i = 0; i < file_stem.size(); ++i) {
        char c = file_stem[i];
        if (c == '%' && i + 2 < file_stem.size() && hex_value(file_stem[i + 1]) >= 0 &&
            hex_value(file_stem[i + 2]) >= 0) {
            c = static_cast<char>(hex_value(file_stem[i + 1]) * 16 + hex_value(file_stem[i + 2]));
            i += 2;
        } else if (c == '_') {
            c = ' ';
        }
        name += c;
    }
    return name;
}

std::string site_page_path(std::string_view page_name)
{
    std::string path = site_page_key(page_name);
    if (path.empty() || path.size() != page_name.size()) return {};
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = path.find('/', start);
        std::string_view segment(path.data() + start, (slash == std::string::npos ? path.size() : slash) - start);
        if (segment.empty() || segment == "." || segment == ".." ||
            segment.size() + page_extension.size() > max_file_name)
            return {};
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (path.find('\0') != std::string::npos) return {};
    return path += page_extension;
}

std::string site_page_key(std::string_view target)
{
    target = target.substr(0, target.find('#'));
    while (!target.empty() && is_trimmed_space(target.front())) target.remove_prefix(1);
    while (!target.empty() && is_trimmed_space(target.back())) target.remove_suffix(1);
    std::string key(target);
    for (char &c : key)
        if (c == ' ') c = '_';
    return key;
}

std::string site_link_template(std::string_view page_path)
{
    std::string prefix;
    for (char c : page_path)
        if (c == '/') prefix += "../";
    return (prefix.empty() ? std::string("./") : prefix) + "$1.html";
}

std::string site_href(std::string_view page_path)
{
    constexpr char hex[] = "0123456789ABCDEF";
    std::string href = "./";
    for (char c : page_path) {
        auto u = static_cast<unsigned char>(c);
        bool plain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            href += c;
        } else {
            href += '%';
            href += hex[u >> 4];
            href += hex[u & 15];
        }
    }
    return href;
}
