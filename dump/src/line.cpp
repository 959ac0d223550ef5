#include "tarnwick/dump_line.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <memory>

namespace tarnwick::dump {

namespace {

constexpr line_field field_table[] = {
    {"html", WTCORE_FORMAT_HTML, true},
    {"text", WTCORE_FORMAT_TEXT, true},
    {"links", WTCORE_FORMAT_LINKS_JSON, false},
    {"headings", WTCORE_FORMAT_HEADINGS_JSON, false},
    {"templates", WTCORE_FORMAT_TEMPLATES_JSON, false},
    {"categories", WTCORE_FORMAT_CATEGORIES_JSON, false},
    {"page", WTCORE_FORMAT_PAGE_JSON, false},
};

// 0: the byte is copied as it is; otherwise the character after the
// backslash ('u' for the \u00XX form).
constexpr auto json_escape = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 'u';
    t['\b'] = 'b';
    t['\f'] = 'f';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['\t'] = 't';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}();

void append_int(std::string &out, std::int64_t v)
{
    char num[24];
    out.append(num, static_cast<std::size_t>(std::to_chars(num, num + sizeof num, v).ptr - num));
}

struct free_result {
    void operator()(char *p) const noexcept { wtcore_free(p); }
};

} // namespace

std::span<const line_field> line_fields() noexcept { return field_table; }

const line_field *find_line_field(std::string_view name) noexcept
{
    for (const line_field &f : field_table)
        if (name == f.name) return &f;
    return nullptr;
}

void append_json_string(std::string &out, const char *s, std::size_t n)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
    const unsigned char *end = p + n;
    out.push_back('"');
    while (p < end) {
        const unsigned char *run = p;
        while (p < end && !json_escape[*p]) ++p;
        out.append(reinterpret_cast<const char *>(run), static_cast<std::size_t>(p - run));
        if (p == end) break;
        unsigned char e = json_escape[*p];
        if (e == 'u') {
            static constexpr char hex[] = "0123456789abcdef";
            char u[6] = {'\\', 'u', '0', '0', hex[*p >> 4], hex[*p & 15]};
            out.append(u, 6);
        } else {
            char two[2] = {'\\', static_cast<char>(e)};
            out.append(two, 2);
        }
        ++p;
    }
    out.push_back('"');
}

int append_line(std::string &out, const page &p, const std::vector<const line_field *> &fields,
                const wtcore_options &options)
{
    const std::size_t line_start = out.size();
    out += "{\"id\":";
    append_int(out, p.id);
    out += ",\"ns\":";
    append_int(out, p.ns);
    out += ",\"title\":";
    append_json_string(out, p.title.data(), p.title.size());
    out += ",\"revision\":";
    append_int(out, p.revision_id);
    out += ",\"timestamp\":";
    append_json_string(out, p.timestamp.data(), p.timestamp.size());
    if (p.is_redirect) {
        out += ",\"redirect\":";
        append_json_string(out, p.redirect.data(), p.redirect.size());
    }
    for (const line_field *f : fields) {
        char *result = nullptr;
        std::size_t len = 0;
        int status = wtcore_render(p.text.data(), p.text.size(), f->format, &options, &result, &len);
        std::unique_ptr<char, free_result> hold(result);
        if (status != WTCORE_OK) {
            // No half line: the caller writes whole lines only.
            out.resize(line_start);
            return status;
        }
        out += ",\"";
        out += f->name;
        out += "\":";
        if (f->is_string) append_json_string(out, result, len);
        else out.append(result, len);
    }
    out += "}\n";
    return WTCORE_OK;
}

} // namespace tarnwick::dump
