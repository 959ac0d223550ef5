/* Differential check of two builds of the library: renders the same
   documents with both in every format, under several sets of flags and
   options, and reports each output that differs. A rewrite of how a format
   is produced must give the old bytes; this is the net for that.

     wtcore_diff OLD.so NEW.so FILELIST|- [RANDOM_COUNT]

   FILELIST names one document per line ("-": none). RANDOM_COUNT documents
   are then made from a fixed list of markup pieces with a fixed seed. With
   FORMATS set (e.g. FORMATS=036) only those formats are compared. Exits 1
   when an output differs. */
#include "wtcore.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef int (*render_fn)(const char *, size_t, int, const wtcore_options *, char **, size_t *);
typedef void (*free_fn)(char *);
typedef void (*init_fn)(wtcore_options *);

static render_fn render_old, render_new;
static free_fn free_old, free_new;
static init_fn options_init;
static const char *formats_wanted;
static long compared, differing;

/* HTML of a template chosen from its name, some of it unbalanced on
   purpose: the host's HTML is written as given. */
static int host_html(void *context, const char *name, size_t name_length, const wtcore_template_param *params,
                     size_t param_count, wtcore_write_fn write, void *output)
{
    static const char *const pieces[] = {"<sup class=\"reference\">", "</sup>", "<ol class=\"references\">",
                                         "</ol>", "x &amp; y", "<p>", "<figure>", "</figure>", "<pre>",
                                         "</pre>", "\n", " ", "<a href=\"http://h\" class=\"external\">h</a>"};
    unsigned h = (unsigned)name_length * 7 + (unsigned)param_count;
    (void)context;
    (void)params;
    for (size_t i = 0; i < name_length; i++) h = h * 31 + (unsigned char)name[i];
    if (h % 5 == 0) return 0;
    for (int k = 0; k < 3; k++) {
        const char *s = pieces[(h >> (k * 4)) % 13];
        if (write(output, s, strlen(s))) return 0;
    }
    return 1;
}

static void set_options(wtcore_options *o, unsigned flags, int variant)
{
    options_init(o);
    o->flags = flags;
    if (variant == 1) {
        o->external_rel = "";
        o->file_template = "https://u.example/$1";
        o->link_template = "/w?title=$1&x=\"1\"";
    } else if (variant == 2) {
        o->external_rel = "ugc noopener";
        o->file_namespaces = "Datei|Bild";
        o->category_namespaces = "Kategorie";
    } else if (variant == 3) {
        o->template_html = host_html;
        o->toc_html = "<div id=\"toc\"><sup class=\"reference\">";
    }
}

static void show(const char *label, const char *s, size_t n, size_t from)
{
    size_t shown = n > from ? n - from : 0;
    fprintf(stderr, "  %s %.*s\n", label, (int)(shown < 240 ? shown : 240), s ? s + from : "");
}

static void compare(const char *name, const char *doc, size_t n, unsigned flags, int variant)
{
    static const int formats[] = {WTCORE_FORMAT_HTML, WTCORE_FORMAT_TEXT, WTCORE_FORMAT_PAGE_JSON,
                                  WTCORE_FORMAT_LINKS_JSON, WTCORE_FORMAT_HEADINGS_JSON,
                                  WTCORE_FORMAT_TEMPLATES_JSON, WTCORE_FORMAT_CATEGORIES_JSON};
    for (size_t k = 0; k < sizeof formats / sizeof *formats; k++) {
        const int f = formats[k];
        if (formats_wanted && !strchr(formats_wanted, '0' + f)) continue;
        wtcore_options o;
        set_options(&o, flags, variant);
        char *a = NULL, *b = NULL;
        size_t an = 0, bn = 0;
        int sa = render_old(doc, n, f, &o, &a, &an), sb = render_new(doc, n, f, &o, &b, &bn);
        compared++;
        if (sa != sb || an != bn || (an && memcmp(a, b, an) != 0)) {
            if (++differing <= 20) {
                size_t at = 0;
                while (at < an && at < bn && a[at] == b[at]) at++;
                fprintf(stderr, "%s: flags %u, options %d, format %d: status %d/%d, length %zu/%zu, first difference at %zu\n",
                        name, flags, variant, f, sa, sb, an, bn, at);
                show("old:", a, an, at > 80 ? at - 80 : 0);
                show("new:", b, bn, at > 80 ? at - 80 : 0);
            }
        }
        free_old(a);
        free_new(b);
    }
}

static const unsigned flag_sets[] = {WTCORE_EXTENDED, WTCORE_EXTENDED | WTCORE_BALANCE_TAGS,
                                     WTCORE_EXTENDED | WTCORE_SAFE_ATTRIBUTES | WTCORE_ENCODE_TARGETS, 0,
                                     WTCORE_BALANCE_TAGS};
#define N_FLAG_SETS (sizeof flag_sets / sizeof *flag_sets)

static unsigned long long rng_state = 88172645463325252ull;
static unsigned long long next_random(void)
{
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 7;
    rng_state ^= rng_state << 17;
    return rng_state;
}

static const char *const pieces[] = {
    "[[", "]]", "[", "]", "{{", "}}", "{{{", "}}}", "|", "||", "!!", "=", "==", "\n", "\n", "\n", " ", " ", "\t",
    "'''", "''", "'", "http://", "https://", "ftp://", "mailto:", "a.b", "x", "foo", "Bar", "://", ":", "<ref>",
    "</ref>", "<ref name=\"n\"/>", "<ref name=n>", "<references/>", "<nowiki>", "</nowiki>", "<!--", "-->", "{|",
    "|}", "|-", "|+", "\n{|", "\n|}", "\n|-", "\n|", "\n!", "\n*", "\n#", "\n:", "\n;", "\n ", "\n==",
    "[[File:a.jpg|thumb|", "[[Category:C|k]]", "[[Image:b.png|", "<div>", "</div>", "<p>", "</p>",
    "<span style=\"x\">", "</span>", "<b>", "</b>", "<br>", "<br/>", "<math>", "</math>", "<pre>", "</pre>",
    "<gallery>\n", "</gallery>", "&amp;", "&lt;", "&nbsp;", "&#x41;", "&", "<", ">", "\"", "#REDIRECT [[T]]",
    "__TOC__", "__NOTOC__", "{{reflist}}", "<code>", "</code>", "<blockquote>", "</blockquote>", "<center>",
    "<td>", "</td>", "<table>", "</table>", "<tr>", "<sup>", "</sup>", "<small>", "<s>", "<u>", "<i>", "</i>", "~",
    "\xC3\xA9", "\xE2\x80\x94", "\r\n", ".", ",", ")", "(", "http://e.org/p?q=1&r=2", "[http://a.b c d]",
    "[http://x]", "<ref group=g>", "<syntaxhighlight lang=c>", "</syntaxhighlight>", "----", "<hr>", "<em>",
    "</em>", "<poem>", "</poem>",
    /* \x01 stands for a NUL (see random_documents), here also where a
       placeholder's NUL would be and where the pass skips over bytes */
    "\x01", "<\x01r0>", "<\x01l1>", "<!--\x01-->", "<nowiki>\x01</nowiki>", "<math>\x01</math>", "{{a|\x01}}"};

static void random_documents(int count)
{
    const size_t n_pieces = sizeof pieces / sizeof *pieces;
    char *doc = malloc(120 * 64);
    if (!doc) return;
    for (int d = 0; d < count; d++) {
        size_t n = 0;
        int len = 1 + (int)(next_random() % 120);
        for (int t = 0; t < len; t++) {
            const char *s = pieces[next_random() % n_pieces];
            size_t l = strlen(s);
            memcpy(doc + n, s, l);
            n += l;
        }
        for (size_t i = 0; i < n; i++)
            if (doc[i] == '\x01') doc[i] = '\0';
        char name[32];
        snprintf(name, sizeof name, "random document %d", d);
        for (size_t i = 0; i < N_FLAG_SETS; i++) compare(name, doc, n, flag_sets[i], d % 4);
    }
    free(doc);
}

static void listed_documents(const char *list)
{
    FILE *l = fopen(list, "r");
    if (!l) {
        perror(list);
        exit(2);
    }
    char path[4096];
    for (long files = 0; fgets(path, sizeof path, l); files++) {
        path[strcspn(path, "\n")] = '\0';
        FILE *f = fopen(path, "rb");
        if (!f) continue;
        fseek(f, 0, SEEK_END);
        long n = ftell(f);
        fseek(f, 0, SEEK_SET);
        char *doc = malloc((size_t)n + 1);
        if (doc && fread(doc, 1, (size_t)n, f) == (size_t)n)
            for (size_t i = 0; i < N_FLAG_SETS; i++) compare(path, doc, (size_t)n, flag_sets[i], (int)(files % 4));
        free(doc);
        fclose(f);
    }
    fclose(l);
}

static void *symbol(void *lib, const char *name)
{
    void *s = dlsym(lib, name);
    if (!s) {
        fprintf(stderr, "wtcore_diff: %s not found\n", name);
        exit(2);
    }
    return s;
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: wtcore_diff OLD.so NEW.so FILELIST|- [RANDOM_COUNT]\n");
        return 2;
    }
    void *a = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL), *b = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
    if (!a || !b) {
        fprintf(stderr, "wtcore_diff: %s\n", dlerror());
        return 2;
    }
    /* A function pointer from dlsym's void *: copied, as POSIX allows. */
    void *s;
    s = symbol(a, "wtcore_render"); memcpy(&render_old, &s, sizeof s);
    s = symbol(b, "wtcore_render"); memcpy(&render_new, &s, sizeof s);
    s = symbol(a, "wtcore_free"); memcpy(&free_old, &s, sizeof s);
    s = symbol(b, "wtcore_free"); memcpy(&free_new, &s, sizeof s);
    s = symbol(a, "wtcore_options_init"); memcpy(&options_init, &s, sizeof s);
    formats_wanted = getenv("FORMATS");
    if (strcmp(argv[3], "-") != 0) listed_documents(argv[3]);
    if (argc > 4) random_documents(atoi(argv[4]));
    printf("%ld outputs compared, %ld differ\n", compared, differing);
    return differing != 0;
}
