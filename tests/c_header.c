/* The public header compiles as C, and every exported function links. */
#include "wtcore.h"

#include <stdio.h>
#include <string.h>

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
    release(r);
    release(lr);
    release(hr);
    if (!ok) fputs("C interface check failed\n", stderr);
    return ok ? 0 : 1;
}
