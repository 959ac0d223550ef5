/* The public header compiles as C, and every exported function links. */
#include "wtcore.h"

#include <stdio.h>
#include <string.h>

/* A template callback as a C program writes one: the name in bold. */
static int bold_name(void *context, const char *name, size_t name_length, const wtcore_template_param *params,
                     size_t param_count, wtcore_write_fn write, void *output)
{
    (void)context;
    (void)params;
    (void)param_count;
    return write(output, "<b>", 3) == 0 && write(output, name, name_length) == 0 && write(output, "</b>", 4) == 0;
}

int main(void)
{
    const char *(*html)(const char *, void *) = wtcore_to_html;
    const char *(*links)(const char *) = wtcore_extract_links_json;
    const char *(*heads)(const char *) = wtcore_extract_headings_json;
    char *(*html_r)(const char *) = wtcore_to_html_r;
    char *(*links_r)(const char *) = wtcore_extract_links_json_r;
    char *(*heads_r)(const char *) = wtcore_extract_headings_json_r;
    void (*release)(char *) = wtcore_free;
    int (*render)(const char *, size_t, int, const wtcore_options *, char **, size_t *) = wtcore_render;
    const char *(*message)(int) = wtcore_status_message;
    wtcore_options options;
    char *rendered = NULL;
    size_t rendered_len = 0;
    wtcore_options_init(&options);
    char *r = html_r("''x''");
    char *lr = links_r("[[b|c]]");
    char *hr = heads_r("== h ==");
    int ok = r && strcmp(r, "<p><i>x</i></p>\n") == 0 &&
             strcmp(html("= a =", NULL), "<h1 id=\"a\">a</h1>\n") == 0 &&
             strcmp(links("[[a]]"), "[{\"target\":\"a\",\"text\":\"a\"}]") == 0 &&
             strcmp(heads("x"), "[]") == 0 && strcmp(wtcore_version(), "1.0.0") == 0 &&
             strcmp(wtcore_last_error(), "") == 0 && lr &&
             strcmp(lr, "[{\"target\":\"b\",\"text\":\"c\"}]") == 0 && hr &&
             strcmp(hr, "[{\"level\":2,\"text\":\"h\",\"anchor\":\"h\"}]") == 0 &&
             options.size == sizeof options &&
             render("a\0b", 3, WTCORE_FORMAT_HTML, &options, &rendered, &rendered_len) == WTCORE_OK &&
             rendered_len == 13 && strcmp(rendered, "<p>a\xEF\xBF\xBD" "b</p>\n") == 0 &&
             strcmp(message(WTCORE_ERROR_MEMORY), "out of memory") == 0;
    release(rendered);
    rendered = NULL;
    options.flags = WTCORE_EXTENDED;
    options.template_html = bold_name;
    ok = ok && render("a {{T|x}}", 9, WTCORE_FORMAT_HTML, &options, &rendered, &rendered_len) == WTCORE_OK &&
         strcmp(rendered, "<p>a <b>T</b></p>\n") == 0;
    release(rendered);
    release(r);
    release(lr);
    release(hr);
    if (!ok) fputs("C interface check failed\n", stderr);
    return ok ? 0 : 1;
}
