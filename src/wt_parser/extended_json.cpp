// The JSON formats of the extended syntax's data: templates and categories.
#include "wt_extended.h"

namespace wt {
WT_ISA_BEGIN
namespace ext {
namespace {

void json_string(wt_buf *out, const char *p, size_t n) noexcept
{
    wt_buf_append_lit(out, "\"");
    wt_buf_append_json_escaped(out, p, n);
    wt_buf_append_lit(out, "\"");
}

} // namespace

void wt_templates_json(const extraction &x, wt_buf *out) noexcept
{
    wt_buf_append_lit(out, "[");
    bool first = true;
    for (size_t i = 0; i < x.templates.size(); ++i) {
        const tmpl_rec &t = x.templates[i];
        if (t.kind == tmpl_kind::argument || t.depth >= max_template_depth) continue;
        const char *name;
        size_t nn;
        template_name(x, t, &name, &nn);
        if (nn == 0) continue;
        wt_buf_append_str(out, first ? "{\"name\":" : ",{\"name\":");
        first = false;
        json_string(out, name, nn);
        wt_buf_append_lit(out, ",\"params\":[");
        size_t unnamed = 0;
        for (size_t k = 0; k < t.n_bars; ++k) {
            param_view v = template_param(x, t, k, &unnamed);
            wt_buf_append_str(out, k ? ",{\"name\":" : "{\"name\":");
            json_string(out, v.name, v.name_n);
            wt_buf_append_lit(out, ",\"value\":");
            json_string(out, v.value, v.value_n);
            wt_buf_append_lit(out, "}");
        }
        wt_buf_append_lit(out, "]}");
    }
    wt_buf_append_lit(out, "]");
}

void wt_categories_json(const extraction &x, wt_buf *out) noexcept
{
    wt_buf_append_lit(out, "[");
    for (size_t i = 0; i < x.categories.size(); ++i) {
        const category_rec &c = x.categories[i];
        wt_buf_append_str(out, i ? ",{\"name\":" : "{\"name\":");
        json_string(out, x.doc + c.name, c.name_n);
        wt_buf_append_lit(out, ",\"sort\":");
        if (c.sort == none) wt_buf_append_lit(out, "null");
        else json_string(out, x.doc + c.sort, c.sort_n);
        wt_buf_append_lit(out, "}");
    }
    wt_buf_append_lit(out, "]");
}

} // namespace ext
WT_ISA_END
} // namespace wt
