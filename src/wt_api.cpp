// The exported interface: three static result buffers, the last-error text,
// and the reentrant forms that return buffers the caller owns.
#include "wtcore.h"

#include "wt_buffer.h"
#include "wt_builds.h"
#include "wt_extended.h"
#include "wt_parser.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(WT_HAVE_AVX2_BUILD) || defined(WT_HAVE_AVX512_BUILD)
#include <cpuid.h>
#endif

// The newer builds' entry points (see wt_isa.h).
#define WT_DECLARE_BUILD(isa)                                                                      \
    namespace isa {                                                                                \
    int wt_parse_to_html(const char *document, void *reserved, wt_buf *out) noexcept;             \
    int wt_extract_links_json(const char *document, wt_buf *out) noexcept;                        \
    int wt_extract_headings_json(const char *document, wt_buf *out) noexcept;                     \
    int wt_visit(const char *document, const wtcore_visitor *visitor, void *context) noexcept;    \
    }                                                                                              \
    namespace wt::isa {                                                                            \
    void parse_inline_internal(const char *text, size_t n, wt_buf *out, int *counter, const char *doc, \
                               const char *limit) noexcept;                                        \
    }
#if defined(WT_HAVE_AVX2_BUILD)
WT_DECLARE_BUILD(avx2)
#endif
#if defined(WT_HAVE_AVX512_BUILD)
WT_DECLARE_BUILD(avx512)
#endif

namespace {

constexpr size_t html_initial_cap = 4096;
constexpr size_t json_initial_cap = 1024;

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

using json_extractor = int (*)(const char *, wt_buf *) noexcept;

using inline_fn = void (*)(const char *, size_t, wt_buf *, int *, const char *, const char *) noexcept;

const wt_parser_build baseline_build{"baseline", wt_parse_to_html, wt_extract_links_json,
                                     wt_extract_headings_json, wt_visit,
                                     static_cast<inline_fn>(wt::parse_inline_internal)};

#if defined(WT_HAVE_AVX2_BUILD) || defined(WT_HAVE_AVX512_BUILD)
// What the newer builds need besides AVX2 or AVX-512: BMI1, BMI2 and LZCNT.
bool cpu_has_bit_ops() noexcept
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    bool lzcnt = __get_cpuid(0x80000001u, &a, &b, &c, &d) && (c & bit_LZCNT);
    return lzcnt && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}
#endif

#if defined(WT_HAVE_AVX2_BUILD)
const wt_parser_build avx2_build{"avx2", avx2::wt_parse_to_html, avx2::wt_extract_links_json,
                                 avx2::wt_extract_headings_json, avx2::wt_visit, wt::avx2::parse_inline_internal};
#endif
#if defined(WT_HAVE_AVX512_BUILD)
const wt_parser_build avx512_build{"avx512", avx512::wt_parse_to_html, avx512::wt_extract_links_json,
                                   avx512::wt_extract_headings_json, avx512::wt_visit,
                                   wt::avx512::parse_inline_internal};
#endif

struct usable_list {
    const wt_parser_build *builds[3];
    size_t n;
};

usable_list find_usable() noexcept
{
    usable_list list{{&baseline_build, nullptr, nullptr}, 1};
#if defined(WT_HAVE_AVX2_BUILD) || defined(WT_HAVE_AVX512_BUILD)
    __builtin_cpu_init();
    const bool bits = cpu_has_bit_ops();
#endif
#if defined(WT_HAVE_AVX2_BUILD)
    if (bits && __builtin_cpu_supports("avx2")) list.builds[list.n++] = &avx2_build;
#endif
#if defined(WT_HAVE_AVX512_BUILD)
    if (bits && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))
        list.builds[list.n++] = &avx512_build;
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

const char *extract_json(const char *document, wt_buf *buf, int *init,
                         json_extractor extract, const char *message) noexcept
{
    begin(buf, init, json_initial_cap);
    if (!document) return empty_json(buf);
    if (extract(document, buf)) return wt_buf_cstring(buf);
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

char *extract_json_r(const char *document, json_extractor extract) noexcept
{
    wt_buf buf{};
    wt_buf_init(&buf, json_initial_cap);
    if (!document) return release(&buf, wt_buf_append_lit(&buf, "[]"));
    return release(&buf, extract(document, &buf));
}

// The options of one wtcore_render call, checked.
struct wt_options {
    unsigned flags = 0;
    wt::ext::names names; // namespace names of the extended syntax
};

// Whether the caller's struct of `size` bytes holds `field`.
#define WT_HAS_FIELD(in, field)                                                                    \
    ((in)->size >= offsetof(wtcore_options, field) + sizeof((in)->field))

// The caller's options read into *out: at most `size` bytes of them, the rest
// left at their defaults. Returns WTCORE_OK or WTCORE_ERROR_OPTIONS.
int read_options(const wtcore_options *in, wt_options *out) noexcept
{
    constexpr unsigned known_flags = 0;
    if (!in) return WTCORE_OK;
    if (!WT_HAS_FIELD(in, context)) return WTCORE_ERROR_OPTIONS;
    if (in->flags & ~(known_flags | WTCORE_EXTENDED)) return WTCORE_ERROR_OPTIONS;
    if (WT_HAS_FIELD(in, category_namespaces)) out->names.category = in->category_namespaces;
    if (in->link_template || in->external_rel || in->page_exists) return WTCORE_ERROR_OPTIONS;
    out->flags = in->flags;
    return WTCORE_OK;
}

// The parser reads a NUL-terminated document: copies the bytes into *doc,
// each NUL made U+FFFD. Returns false when memory runs out.
bool terminated_copy(const char *document, size_t length, wt_buf *doc) noexcept
{
    size_t nuls = 0;
    for (const char *p = document, *end = document + length;
         p && (p = static_cast<const char *>(std::memchr(p, '\0', size_t(end - p)))); ++p)
        ++nuls;
    wt_buf_init(doc, length + 2 * nuls + 1);
    for (size_t i = 0; i < length; ++i) {
        if (document[i]) wt_buf_append_char(doc, document[i]);
        else wt_buf_append_lit(doc, "\xEF\xBF\xBD");
    }
    if (!doc->failed) return true;
    wt_buf_free(doc);
    return false;
}

} // namespace

const wt_parser_build &wt_baseline_parser() noexcept
{
    return baseline_build;
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
    begin(&s_html_buf, &s_html_init, html_initial_cap);
    if (!document) return s_empty;
    if (wt_active_parser().html(document, reserved, &s_html_buf)) return wt_buf_cstring(&s_html_buf);
    set_error("Failed to convert wikitext to HTML");
    return s_empty;
}

WTCORE_API const char *wtcore_extract_links_json(const char *document) noexcept
{
    return extract_json(document, &s_links_buf, &s_links_init, wt_active_parser().links,
                        "Failed to extract links JSON");
}

WTCORE_API const char *wtcore_extract_headings_json(const char *document) noexcept
{
    return extract_json(document, &s_headings_buf, &s_headings_init, wt_active_parser().headings,
                        "Failed to extract headings JSON");
}

WTCORE_API char *wtcore_to_html_r(const char *document) noexcept
{
    wt_buf buf{};
    // HTML is usually a little longer than its wikitext: start near that size
    // so that a large document is not copied through many doublings.
    size_t n = document ? std::strlen(document) : 0;
    wt_buf_init(&buf, n + n / 4 + 64);
    if (!document) return release(&buf, 1);
    return release(&buf, wt_active_parser().html(document, nullptr, &buf));
}

WTCORE_API char *wtcore_extract_links_json_r(const char *document) noexcept
{
    return extract_json_r(document, wt_active_parser().links);
}

WTCORE_API char *wtcore_extract_headings_json_r(const char *document) noexcept
{
    return extract_json_r(document, wt_active_parser().headings);
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
    wt_options opts;
    if (int status = read_options(options, &opts)) return status;
    const bool extended_format = format == WTCORE_FORMAT_TEMPLATES_JSON || format == WTCORE_FORMAT_CATEGORIES_JSON;
    if (!extended_format && (format < WTCORE_FORMAT_HTML || format > WTCORE_FORMAT_HEADINGS_JSON))
        return WTCORE_ERROR_OPTIONS;
    if (!extended_format && (opts.flags & WTCORE_EXTENDED)) return WTCORE_ERROR_OPTIONS;

    wt_buf doc{};
    if (!terminated_copy(document, length, &doc)) return WTCORE_ERROR_MEMORY;
    const char *text = wt_buf_cstring(&doc);
    wt_buf out{};
    int ok = 0;
    switch (format) {
    case WTCORE_FORMAT_HTML:
        wt_buf_init(&out, doc.len + doc.len / 4 + 64);
        ok = wt_active_parser().html(text, nullptr, &out);
        break;
    case WTCORE_FORMAT_LINKS_JSON:
        wt_buf_init(&out, json_initial_cap);
        ok = wt_active_parser().links(text, &out);
        break;
    case WTCORE_FORMAT_TEMPLATES_JSON:
    case WTCORE_FORMAT_CATEGORIES_JSON: {
        wt::ext::extraction x;
        wt_buf_init(&out, json_initial_cap);
        ok = wt::ext::wt_extract(text, doc.len, opts.names, false, &x);
        if (ok && format == WTCORE_FORMAT_TEMPLATES_JSON) wt::ext::wt_templates_json(x, &out);
        else if (ok) wt::ext::wt_categories_json(x, &out);
        wt::ext::wt_extraction_free(&x);
        break;
    }
    default:
        wt_buf_init(&out, json_initial_cap);
        ok = wt_active_parser().headings(text, &out);
        break;
    }
    wt_buf_free(&doc);
    size_t n = out.len;
    char *r = release(&out, ok);
    if (!r) return WTCORE_ERROR_MEMORY;
    *result = r;
    if (result_length) *result_length = n;
    return WTCORE_OK;
}

WTCORE_API int wtcore_visit(const char *document, size_t length, const wtcore_options *options,
                            const wtcore_visitor *visitor, void *context) noexcept
{
    if (!visitor || (!document && length)) return WTCORE_ERROR_ARGUMENT;
    wt_options opts;
    if (int status = read_options(options, &opts)) return status;
    if (visitor->size < sizeof(wtcore_visitor)) return WTCORE_ERROR_OPTIONS;
    wt_buf doc{};
    if (!terminated_copy(document, length, &doc)) return WTCORE_ERROR_MEMORY;
    int status = wt_active_parser().visit(wt_buf_cstring(&doc), visitor, context);
    wt_buf_free(&doc);
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
