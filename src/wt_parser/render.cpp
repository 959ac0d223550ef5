// The parser's entry points, and the record of them that this build of the
// parser gives the interface (see wt_isa.h).
#include "wt_extended.h"
#include "wt_parser.h"

#include <cstring>

WT_ISA_BEGIN

int wt_render(wt_source doc, int format, const wt_config &cfg, wt_buf *out) noexcept
{
    if (!out) return 0;
    const bool empty = !doc.p || doc.n == 0;
    // The formats of the extended syntax, and the lists of a page under it,
    // read the page with the extended syntax's pass.
    if (!cfg.ext && (format == WTCORE_FORMAT_TEXT || format == WTCORE_FORMAT_TEMPLATES_JSON ||
                     format == WTCORE_FORMAT_CATEGORIES_JSON || format == WTCORE_FORMAT_PAGE_JSON ||
                     ((format == WTCORE_FORMAT_LINKS_JSON || format == WTCORE_FORMAT_HEADINGS_JSON) &&
                      (cfg.flags & WTCORE_EXTENDED))))
        return wt::render_extended(doc, format, cfg, out);
    switch (format) {
    case WTCORE_FORMAT_HTML:
        if (empty) break;
        if ((cfg.flags & WTCORE_EXTENDED) && !cfg.ext) return wt::render_extended_html(doc, cfg, out);
        wt::render_html(doc, cfg, out);
        break;
    case WTCORE_FORMAT_LINKS_JSON:
        if (empty) wt_buf_append_lit(out, "[]");
        else wt::links_json(doc, out);
        break;
    case WTCORE_FORMAT_HEADINGS_JSON:
        if (empty) wt_buf_append_lit(out, "[]");
        else wt::headings_json(doc, out);
        break;
    default:
        return 0;
    }
    return out->failed ? 0 : 1;
}

int wt_visit(wt_source doc, const wtcore_visitor *visitor, void *context) noexcept
{
    if (!doc.p || doc.n == 0) return WTCORE_OK;
    return wt::visit_outline(doc, visitor, context);
}

namespace {

wt_source measured(const char *document) noexcept
{
    return wt_source{document, document ? std::strlen(document) : 0};
}

} // namespace

int wt_parse_to_html(const char *document, void *reserved, wt_buf *out) noexcept
{
    (void)reserved;
    return wt_render(measured(document), WTCORE_FORMAT_HTML, wt_config{}, out);
}

int wt_extract_links_json(const char *document, wt_buf *out) noexcept
{
    return wt_render(measured(document), WTCORE_FORMAT_LINKS_JSON, wt_config{}, out);
}

int wt_extract_headings_json(const char *document, wt_buf *out) noexcept
{
    return wt_render(measured(document), WTCORE_FORMAT_HEADINGS_JSON, wt_config{}, out);
}

namespace {

void inline_span(const char *text, size_t n, wt_buf *out, int *counter, const char *doc,
                 const char *limit) noexcept
{
    wt::parse_inline_internal(text, n, out, counter, doc, limit);
}

} // namespace

#if defined(WT_ISA_AVX512)
extern const wt_parser_build parser_build{"avx512", wt_render, wt_visit, inline_span};
#elif defined(WT_ISA_AVX2)
extern const wt_parser_build parser_build{"avx2", wt_render, wt_visit, inline_span};
#else
extern const wt_parser_build parser_build{"baseline", wt_render, wt_visit, inline_span};
#endif

WT_ISA_END
