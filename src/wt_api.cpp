// The exported interface: three static result buffers, the last-error text,
// and the reentrant forms that return buffers the caller owns.
#include "wtcore.h"

#include "wt_anchor.h"
#include "wt_buffer.h"
#include "wt_builds.h"
#include "wt_extended.h"
#include "wt_parser.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#if defined(WT_HAVE_AVX2_BUILD) || defined(WT_HAVE_AVX512_BUILD)
#include <cpuid.h>
#endif

// Each build's record of entry points (wt_parser/render.cpp).
inline namespace base { // inline, as wt_parser.h opens it
extern const wt_parser_build parser_build;
}
#if defined(WT_HAVE_AVX2_BUILD)
namespace avx2 {
extern const wt_parser_build parser_build;
}
#endif
#if defined(WT_HAVE_AVX512_BUILD)
namespace avx512 {
extern const wt_parser_build parser_build;
}
#endif

namespace {

constexpr size_t html_initial_cap = 4096;
constexpr size_t json_initial_cap = 1024;

// The first room for the HTML of n bytes of wikitext. HTML is longer than its
// wikitext: 1.27 times on the median page of real articles, 1.45 times at the
// 90th percentile (1.31 and 1.50 with every option). Starting at 1.5 times
// keeps nine pages in ten from growing once, which copies the whole output
// when the block cannot grow in place; the room never touched costs no memory.
size_t html_capacity(size_t n) noexcept
{
    return n <= (SIZE_MAX - 64) / 2 ? n + n / 2 + 64 : n;
}

// The first room for the result of n bytes of wikitext in `format`, from its
// sizes on real articles: the page's JSON is 0.90 times its wikitext at the
// median and 1.36 times at the 90th percentile, so it gets the HTML's room;
// the text is 0.57 times (0.97 at most) and the templates' JSON 0.37 (0.78 at
// the 90th percentile), so they get the wikitext's size. The lists are short.
size_t initial_capacity(int format, size_t n) noexcept
{
    switch (format) {
    case WTCORE_FORMAT_HTML:
    case WTCORE_FORMAT_PAGE_JSON: return html_capacity(n);
    case WTCORE_FORMAT_TEXT:
    case WTCORE_FORMAT_TEMPLATES_JSON: return n <= SIZE_MAX - 64 ? n + 64 : n;
    default: return json_initial_cap;
    }
}

const char s_version[] = "1.0.0";
// Returned for a null document and on failure; not the buffer's storage.
const char s_empty[] = "";
const char s_empty_json[] = "[]";

char s_last_error[1024];
wt_buf s_html_buf;
int s_html_init;
wt_buf s_links_buf;
int s_links_init;
wt_buf s_headings_buf;
int s_headings_init;

void set_error(const char *message) noexcept
{
    std::snprintf(s_last_error, sizeof s_last_error, "%s", message);
}

// Prepares a result buffer for a call: emptied, and initialised on first use.
// Emptying comes first so that a failed first allocation stays recorded in the
// buffer and fails the call.
void begin(wt_buf *buf, int *init, size_t initial_cap) noexcept
{
    s_last_error[0] = '\0';
    wt_buf_reset(buf);
    if (!*init) {
        wt_buf_init(buf, initial_cap);
        *init = 1;
    }
}

// "[]" from the buffer, or from a constant when even that cannot be stored.
const char *empty_json(wt_buf *buf) noexcept
{
    wt_buf_reset(buf);
    return wt_buf_append_lit(buf, "[]") ? wt_buf_cstring(buf) : s_empty_json;
}

#if defined(WT_HAVE_AVX2_BUILD) || defined(WT_HAVE_AVX512_BUILD)
// What the newer builds need besides AVX2 or AVX-512: BMI1, BMI2 and LZCNT.
bool cpu_has_bit_ops() noexcept
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    bool lzcnt = __get_cpuid(0x80000001u, &a, &b, &c, &d) && (c & bit_LZCNT);
    return lzcnt && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}
#endif

struct usable_list {
    const wt_parser_build *builds[3];
    size_t n;
};

usable_list find_usable() noexcept
{
    usable_list list{{&base::parser_build, nullptr, nullptr}, 1};
#if defined(WT_HAVE_AVX2_BUILD) || defined(WT_HAVE_AVX512_BUILD)
    __builtin_cpu_init();
    const bool bits = cpu_has_bit_ops();
#endif
#if defined(WT_HAVE_AVX2_BUILD)
    if (bits && __builtin_cpu_supports("avx2")) list.builds[list.n++] = &avx2::parser_build;
#endif
#if defined(WT_HAVE_AVX512_BUILD)
    if (bits && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
        list.builds[list.n++] = &avx512::parser_build;
#endif
    return list;
}

const usable_list &usable() noexcept
{
    static const usable_list list = find_usable();
    return list;
}

const wt_parser_build &choose_parser() noexcept
{
    const usable_list &list = usable();
#if defined(WT_HAVE_AVX2_BUILD) || defined(WT_HAVE_AVX512_BUILD)
    // Only a library that holds several builds looks at the environment.
    if (const char *isa = std::getenv("WTCORE_ISA"))
        for (size_t i = 0; i < list.n; ++i)
            if (std::strcmp(isa, list.builds[i]->name) == 0) return *list.builds[i];
#endif
    return *list.builds[list.n - 1];
}

// Runs one format of the active build on a NUL-terminated document with the
// default options. The document is measured first: libc's strlen reads it at
// memory speed, and the parser's scanners then run on a known length, which is
// cheaper than looking for the NUL ahead of every line.
int render_terminated(const char *document, size_t n, int format, wt_buf *out) noexcept
{
    return wt_active_parser().render(wt_source{document, n}, format, wt_config{}, out);
}

int render_terminated(const char *document, int format, wt_buf *out) noexcept
{
    return render_terminated(document, std::strlen(document), format, out);
}

const char *extract_json(const char *document, wt_buf *buf, int *init, int format,
                         const char *message) noexcept
{
    begin(buf, init, json_initial_cap);
    if (!document) return empty_json(buf);
    if (render_terminated(document, format, buf)) return wt_buf_cstring(buf);
    set_error(message);
    return empty_json(buf);
}

// Hands a finished buffer to the caller, or releases it and returns null when
// the conversion ran out of memory.
char *release(wt_buf *buf, int ok) noexcept
{
    if (ok && !buf->failed && wt_buf_ensure(buf, 0)) return buf->data;
    wt_buf_free(buf);
    return nullptr;
}

char *extract_json_r(const char *document, int format) noexcept
{
    wt_buf buf{};
    wt_buf_init(&buf, json_initial_cap);
    if (!document) return release(&buf, wt_buf_append_lit(&buf, "[]"));
    return release(&buf, render_terminated(document, format, &buf));
}

// The fields of wtcore_options that a caller of this size has: a field counts
// when it lies wholly within `size` bytes.
#define WT_HAS_FIELD(o, field) ((o)->size >= offsetof(wtcore_options, field) + sizeof((o)->field))

// The caller's options as the parser takes them: at most `size` bytes of them
// are read, the rest left at their defaults. Returns WTCORE_OK or
// WTCORE_ERROR_OPTIONS.
int read_options(const wtcore_options *in, wt_config *cfg) noexcept
{
    constexpr unsigned known_flags = WTCORE_ENCODE_TARGETS | WTCORE_BALANCE_TAGS | WTCORE_SAFE_ATTRIBUTES;
    *cfg = wt_config{};
    if (!in) return WTCORE_OK;
    // The fields of the first release of the record are required.
    if (!WT_HAS_FIELD(in, context)) return WTCORE_ERROR_OPTIONS;
    // A record of an older header ends after one of its fields; a size that
    // cuts a field is no such record.
    if (in->size < sizeof(wtcore_options)) {
        constexpr size_t ends[] = {offsetof(wtcore_options, context) + sizeof(void *),
                                   offsetof(wtcore_options, file_namespaces) + sizeof(char *),
                                   offsetof(wtcore_options, media_namespaces) + sizeof(char *),
                                   offsetof(wtcore_options, category_namespaces) + sizeof(char *),
                                   offsetof(wtcore_options, file_template) + sizeof(char *),
                                   offsetof(wtcore_options, template_html) + sizeof(void (*)())};
        if (std::find(std::begin(ends), std::end(ends), in->size) == std::end(ends)) return WTCORE_ERROR_OPTIONS;
    }
    if (in->flags & ~(known_flags | WTCORE_EXTENDED)) return WTCORE_ERROR_OPTIONS;
    cfg->flags = in->flags;
    if (WT_HAS_FIELD(in, file_namespaces)) cfg->file_namespaces = in->file_namespaces;
    if (WT_HAS_FIELD(in, media_namespaces)) cfg->media_namespaces = in->media_namespaces;
    if (WT_HAS_FIELD(in, category_namespaces)) cfg->category_namespaces = in->category_namespaces;
    if (WT_HAS_FIELD(in, template_html)) cfg->template_html = in->template_html;
    if (WT_HAS_FIELD(in, toc_html)) cfg->toc_html = in->toc_html;
    if (WT_HAS_FIELD(in, file_template) && in->file_template) {
        size_t n = std::strlen(in->file_template);
        if (std::string_view(in->file_template, n).find("$1") == std::string_view::npos) return WTCORE_ERROR_OPTIONS;
        cfg->file_template = in->file_template;
        cfg->file_template_len = n;
    }
    if (in->link_template) {
        size_t n = std::strlen(in->link_template);
        if (std::string_view(in->link_template, n).find("$1") == std::string_view::npos) return WTCORE_ERROR_OPTIONS;
        cfg->link_template = in->link_template;
        cfg->link_template_len = n;
        std::string_view tpl(in->link_template, n);
        cfg->link_var = tpl.find("$1");
        const size_t post = n - cfg->link_var - 2;
        cfg->link_template_simple = tpl.find("$1", cfg->link_var + 2) == std::string_view::npos &&
                                    tpl.find_first_of("\"&<>") == std::string_view::npos &&
                                    cfg->link_var <= sizeof cfg->link_pre && post <= sizeof cfg->link_post;
        if (cfg->link_template_simple) {
            std::memcpy(cfg->link_pre, tpl.data(), cfg->link_var);
            std::memcpy(cfg->link_post, tpl.data() + cfg->link_var + 2, post);
            cfg->link_pre_n = static_cast<unsigned char>(cfg->link_var);
            cfg->link_post_n = static_cast<unsigned char>(post);
        }
    }
    if (in->external_rel) {
        cfg->rel = in->external_rel;
        cfg->rel_len = std::strlen(in->external_rel);
        cfg->default_rel = false;
    }
    cfg->page_exists = in->page_exists;
    cfg->context = in->context;
    cfg->plain_links = !cfg->link_template && !cfg->page_exists && !(cfg->flags & WTCORE_ENCODE_TARGETS);
    return WTCORE_OK;
}

// The document as the parser reads it: the caller's bytes as they stand, or,
// when a NUL is among them, a copy in *copy with each NUL made U+FFFD (EF BF
// BD). Returns false when memory runs out.
bool source_of(const char *document, size_t length, wt_buf *copy, wt_source *src) noexcept
{
    const char *nul = length ? static_cast<const char *>(std::memchr(document, '\0', length)) : nullptr;
    if (!nul) {
        *src = wt_source{document, length};
        return true;
    }
    size_t nuls = 0;
    for (const char *p = nul, *end = document + length;
         p && (p = static_cast<const char *>(std::memchr(p, '\0', size_t(end - p)))); ++p)
        ++nuls;
    wt_buf_init(copy, length + 2 * nuls);
    const char *p = document, *end = document + length;
    while (p < end) {
        auto q = static_cast<const char *>(std::memchr(p, '\0', size_t(end - p)));
        const char *run_end = q ? q : end;
        wt_buf_append(copy, p, size_t(run_end - p));
        if (!q) break;
        wt_buf_append_lit(copy, "\xEF\xBF\xBD");
        p = q + 1;
    }
    if (copy->failed) {
        wt_buf_free(copy);
        return false;
    }
    *src = wt_source{copy->data, copy->len};
    return true;
}

} // namespace

const wt_parser_build &wt_baseline_parser() noexcept
{
    return base::parser_build;
}

const wt_parser_build *const *wt_usable_parsers(size_t *n) noexcept
{
    *n = usable().n;
    return usable().builds;
}

const wt_parser_build &wt_active_parser() noexcept
{
    static const wt_parser_build &active = choose_parser();
    return active;
}

extern "C" {

WTCORE_API const char *wtcore_version(void) noexcept
{
    return s_version;
}

WTCORE_API const char *wtcore_last_error(void) noexcept
{
    return s_last_error;
}

WTCORE_API const char *wtcore_to_html(const char *document, void *reserved) noexcept
{
    (void)reserved;
    begin(&s_html_buf, &s_html_init, html_initial_cap);
    if (!document) return s_empty;
    if (render_terminated(document, WTCORE_FORMAT_HTML, &s_html_buf)) return wt_buf_cstring(&s_html_buf);
    set_error("Failed to convert wikitext to HTML");
    return s_empty;
}

WTCORE_API const char *wtcore_extract_links_json(const char *document) noexcept
{
    return extract_json(document, &s_links_buf, &s_links_init, WTCORE_FORMAT_LINKS_JSON,
                        "Failed to extract links JSON");
}

WTCORE_API const char *wtcore_extract_headings_json(const char *document) noexcept
{
    return extract_json(document, &s_headings_buf, &s_headings_init, WTCORE_FORMAT_HEADINGS_JSON,
                        "Failed to extract headings JSON");
}

WTCORE_API char *wtcore_to_html_r(const char *document) noexcept
{
    wt_buf buf{};
    size_t n = document ? std::strlen(document) : 0;
    wt_buf_init(&buf, html_capacity(n));
    if (!document) return release(&buf, 1);
    return release(&buf, render_terminated(document, n, WTCORE_FORMAT_HTML, &buf));
}

WTCORE_API char *wtcore_extract_links_json_r(const char *document) noexcept
{
    return extract_json_r(document, WTCORE_FORMAT_LINKS_JSON);
}

WTCORE_API char *wtcore_extract_headings_json_r(const char *document) noexcept
{
    return extract_json_r(document, WTCORE_FORMAT_HEADINGS_JSON);
}

WTCORE_API void wtcore_free(char *result) noexcept
{
    wt_mem_free(result);
}

WTCORE_API void wtcore_options_init(wtcore_options *options) noexcept
{
    if (!options) return;
    *options = wtcore_options{};
    options->size = sizeof(wtcore_options);
}

WTCORE_API int wtcore_render(const char *document, size_t length, int format,
                             const wtcore_options *options, char **result,
                             size_t *result_length) noexcept
{
    if (result) *result = nullptr;
    if (result_length) *result_length = 0;
    if (!result || (!document && length)) return WTCORE_ERROR_ARGUMENT;
    wt_config cfg;
    if (int status = read_options(options, &cfg)) return status;
    const bool extended_format = format == WTCORE_FORMAT_TEMPLATES_JSON || format == WTCORE_FORMAT_CATEGORIES_JSON ||
                                 format == WTCORE_FORMAT_TEXT || format == WTCORE_FORMAT_PAGE_JSON;
    if (!extended_format && (format < WTCORE_FORMAT_HTML || format > WTCORE_FORMAT_HEADINGS_JSON))
        return WTCORE_ERROR_OPTIONS;

    wt_buf copy{};
    wt_source src;
    if (!source_of(document, length, &copy, &src)) return WTCORE_ERROR_MEMORY;
    wt_buf out{};
    // The formats of the extended syntax, and the link and heading lists
    // under it, are read by the build's extended pass (wt_render).
    wt_buf_init(&out, initial_capacity(format, src.n));
    int ok = wt_active_parser().render(src, format, cfg, &out);
    wt_buf_free(&copy);
    size_t n = out.len;
    char *r = release(&out, ok);
    if (!r) return WTCORE_ERROR_MEMORY;
    *result = r;
    if (result_length) *result_length = n;
    return WTCORE_OK;
}

namespace {

// A visitor for the pieces of a page under the extended syntax: each string is
// handed on without the placeholders ('<', NUL, a kind byte, digits, '>') that
// stand in the clean text for what the syntax took out.
struct clean_visitor {
    const wtcore_visitor *visitor;
    void *context;
    const wt::ext::extraction *x;
    wt_buf a{}, b{};

    static int link(void *c, const char *t, size_t tn, const char *x, size_t xn) noexcept
    {
        auto *self = static_cast<clean_visitor *>(c);
        const wt::span target = wt::text_without_placeholders(wt::span{t, tn}, &self->a);
        const wt::span text = wt::text_without_placeholders(wt::span{x, xn}, &self->b);
        return self->visitor->link(self->context, target.p, target.n, text.p, text.n);
    }

    // A heading with a placeholder gets its text and anchor again, as the
    // HTML and the JSON read it (a <nowiki> passage's text counts).
    static int heading(void *c, int level, const char *t, size_t tn, const char *x, size_t xn) noexcept
    {
        auto *self = static_cast<clean_visitor *>(c);
        const wt::span text = wt::heading_text(self->x, wt::span{t, tn}, &self->a);
        if (text.p == t) return self->visitor->heading(self->context, level, t, tn, x, xn);
        wt_buf_reset(&self->b);
        wt::generate_anchor(text.p, text.n, &self->b);
        return self->visitor->heading(self->context, level, text.p, text.n, self->b.data ? self->b.data : "",
                                      self->b.len);
    }
};

// wtcore_visit under the extended syntax: the links of the clean text, the
// notes and the captions, then the headings of the clean text, as the JSON
// formats list them.
int visit_extended(wt_source src, const wt_config &cfg, const wtcore_visitor *visitor, void *context) noexcept
{
    wt::ext::extraction x;
    if (!wt::ext::wt_extract(src.p, src.n, wt::ext::names_of(cfg), true, &x)) {
        wt::ext::wt_extraction_free(&x);
        return WTCORE_ERROR_MEMORY;
    }
    clean_visitor cv{visitor, context, &x};
    wtcore_visitor links{sizeof(wtcore_visitor), visitor->link ? clean_visitor::link : nullptr, nullptr};
    wtcore_visitor heads{sizeof(wtcore_visitor), nullptr, visitor->heading ? clean_visitor::heading : nullptr};
    int status = WTCORE_OK;
    for (const wt_buf *part : {&x.clean, &x.notes_text, &x.captions})
        if (status == WTCORE_OK && part->len)
            status = wt_active_parser().visit(wt_source{part->data, part->len}, &links, &cv);
    if (status == WTCORE_OK && x.clean.len)
        status = wt_active_parser().visit(wt_source{x.clean.data, x.clean.len}, &heads, &cv);
    if (status == WTCORE_OK && (cv.a.failed || cv.b.failed)) status = WTCORE_ERROR_MEMORY;
    wt_buf_free(&cv.a);
    wt_buf_free(&cv.b);
    wt::ext::wt_extraction_free(&x);
    return status;
}

} // namespace

WTCORE_API int wtcore_visit(const char *document, size_t length, const wtcore_options *options,
                            const wtcore_visitor *visitor, void *context) noexcept
{
    if (!visitor || (!document && length)) return WTCORE_ERROR_ARGUMENT;
    wt_config cfg;
    if (int status = read_options(options, &cfg)) return status;
    if (visitor->size < sizeof(wtcore_visitor)) return WTCORE_ERROR_OPTIONS;
    wt_buf copy{};
    wt_source src;
    if (!source_of(document, length, &copy, &src)) return WTCORE_ERROR_MEMORY;
    int status = (cfg.flags & WTCORE_EXTENDED) ? visit_extended(src, cfg, visitor, context)
                                                : wt_active_parser().visit(src, visitor, context);
    wt_buf_free(&copy);
    return status;
}

WTCORE_API const char *wtcore_status_message(int status) noexcept
{
    switch (status) {
    case WTCORE_OK: return "ok";
    case WTCORE_ERROR_MEMORY: return "out of memory";
    case WTCORE_ERROR_OPTIONS: return "invalid options: unknown flag or format, size too small, or a link template without \"$1\"";
    case WTCORE_ERROR_ARGUMENT: return "invalid argument: NULL result, or NULL document with a non-zero length";
    case WTCORE_STOPPED: return "stopped by a visitor callback";
    default: return "unknown status";
    }
}

} // extern "C"
