/* Prints what wtcore_render returns for a file, for byte comparisons with the
   tool: render_ref FORMAT FLAGS LINK_TEMPLATE REL FILE, where "-" leaves a
   string option at its default. Exits 3 with the library's status message on
   standard error when the call fails, so that a test can tell an option the
   library does not take yet. */
#include <stdio.h>
#include <stdlib.h>

#include "wtcore.h"

int main(int argc, char **argv)
{
    if (argc != 6) {
        fputs("usage: render_ref FORMAT FLAGS LINK_TEMPLATE REL FILE\n", stderr);
        return 2;
    }
    FILE *in = fopen(argv[5], "rb");
    if (!in) {
        perror(argv[5]);
        return 2;
    }
    size_t cap = 1 << 16, len = 0, got;
    char *doc = malloc(cap);
    while (doc && (got = fread(doc + len, 1, cap - len, in)) > 0) {
        len += got;
        if (len == cap) {
            char *bigger = realloc(doc, cap * 2);
            if (!bigger) {
                free(doc);
                doc = NULL;
                break;
            }
            doc = bigger;
            cap *= 2;
        }
    }
    fclose(in);
    if (!doc) return 2;

    wtcore_options options;
    wtcore_options_init(&options);
    options.flags = (unsigned)strtoul(argv[2], NULL, 0);
    if (argv[3][0] != '-' || argv[3][1]) options.link_template = argv[3];
    if (argv[4][0] != '-' || argv[4][1]) options.external_rel = argv[4];
    char *result = NULL;
    size_t result_length = 0;
    int status = wtcore_render(doc, len, atoi(argv[1]), &options, &result, &result_length);
    free(doc);
    if (status != WTCORE_OK) {
        fprintf(stderr, "%s\n", wtcore_status_message(status));
        return 3;
    }
    fwrite(result, 1, result_length, stdout);
    wtcore_free(result);
    return fclose(stdout) == 0 ? 0 : 1;
}
