/* The native library's answers for the JavaScript tests: reads requests from
   standard input and writes one answer for each, so that one process serves a
   whole test file.

   Request: format, flags, link template, rel, document; each number a 32-bit
   little-endian word, each string its length (0xFFFFFFFF for NULL) and bytes.
   Answer: status, length, bytes: the result, or the status's message. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wtcore.h>

#define NO_STRING 0xFFFFFFFFu

static int read_u32(uint32_t *v)
{
    unsigned char b[4];
    if (fread(b, 1, 4, stdin) != 4) return 0;
    *v = (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
    return 1;
}

static void write_u32(uint32_t v)
{
    unsigned char b[4] = {(unsigned char)v, (unsigned char)(v >> 8), (unsigned char)(v >> 16),
                          (unsigned char)(v >> 24)};
    fwrite(b, 1, 4, stdout);
}

/* Reads a string into a new NUL-terminated buffer; *out stays NULL for
   NO_STRING. Returns 0 at the end of input or when memory runs out. */
static int read_string(char **out, uint32_t *length)
{
    *out = NULL;
    if (!read_u32(length)) return 0;
    if (*length == NO_STRING) return 1;
    *out = malloc((size_t)*length + 1);
    if (!*out || fread(*out, 1, *length, stdin) != *length) return 0;
    (*out)[*length] = '\0';
    return 1;
}

int main(void)
{
    uint32_t format, flags, n;
    while (read_u32(&format)) {
        char *link_template = NULL, *rel = NULL, *doc = NULL;
        if (!read_u32(&flags) || !read_string(&link_template, &n) || !read_string(&rel, &n) ||
            !read_string(&doc, &n) || !doc) {
            fputs("native_render: truncated request\n", stderr);
            return 1;
        }
        wtcore_options options;
        wtcore_options_init(&options);
        options.flags = flags;
        options.link_template = link_template;
        options.external_rel = rel;
        char *result = NULL;
        size_t length = 0;
        int status = wtcore_render(doc, n, (int)format, &options, &result, &length);
        const char *out = status == WTCORE_OK ? result : wtcore_status_message(status);
        if (status != WTCORE_OK) length = strlen(out);
        write_u32((uint32_t)status);
        write_u32((uint32_t)length);
        fwrite(out, 1, length, stdout);
        wtcore_free(result);
        free(link_template);
        free(rel);
        free(doc);
    }
    return fflush(stdout) == 0 ? 0 : 1;
}
