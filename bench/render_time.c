/* Times wtcore_render on one file, for the side-by-side figures of the
   WebAssembly build (js_bench.mjs):
     wtcore_render_time FILE [RUNS]
   prints the median and the fastest time of RUNS renders of the HTML, in
   milliseconds, as "median_ms fastest_ms". */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <wtcore.h>

static double now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static int by_value(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fputs("usage: wtcore_render_time FILE [RUNS]\n", stderr);
        return 2;
    }
    int runs = argc > 2 ? atoi(argv[2]) : 21;
    if (runs < 1) runs = 1;
    FILE *f = fopen(argv[1], "rb");
    if (!f) {
        perror(argv[1]);
        return 1;
    }
    size_t cap = 1 << 20, n = 0, got;
    char *doc = malloc(cap);
    while (doc && (got = fread(doc + n, 1, cap - n, f)) > 0) {
        n += got;
        if (n == cap) doc = realloc(doc, cap *= 2);
    }
    fclose(f);
    double *times = malloc(sizeof(double) * (size_t)runs);
    if (!doc || !times) return 1;
    for (int i = 0; i < runs; ++i) {
        char *out = NULL;
        double t = now_ms();
        if (wtcore_render(doc, n, WTCORE_FORMAT_HTML, NULL, &out, NULL) != WTCORE_OK) return 1;
        times[i] = now_ms() - t;
        wtcore_free(out);
    }
    qsort(times, (size_t)runs, sizeof(double), by_value);
    printf("%.3f %.3f\n", times[runs / 2], times[0]);
    free(times);
    free(doc);
    return 0;
}
