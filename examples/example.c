/* Converts a wikitext file (or standard input) to an HTML fragment on
   standard output, using the library's C interface. */
#include <stdio.h>
#include <stdlib.h>

#include "wtcore.h"

int main(int argc, char **argv)
{
    FILE *in = argc > 1 ? fopen(argv[1], "rb") : stdin;
    if (!in) {
        perror(argv[1]);
        return 1;
    }
    size_t cap = 1 << 16, len = 0;
    char *doc = malloc(cap);
    size_t got;
    while (doc && (got = fread(doc + len, 1, cap - len - 1, in)) > 0) {
        len += got;
        if (cap - len - 1 == 0) {
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
    if (in != stdin) fclose(in);
    if (!doc) {
        fputs("out of memory\n", stderr);
        return 1;
    }
    doc[len] = '\0';
    fputs(wtcore_to_html(doc, NULL), stdout);
    free(doc);
    return *wtcore_last_error() ? 1 : 0;
}
