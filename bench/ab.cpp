// A/B comparison of two builds of the library in one process: loads both
// shared libraries, converts the same file with each in alternation, and
// prints the median of the time ratios of adjacent pairs. Alternating keeps a
// busy or throttled machine from favouring either side.
//
//   wtcore_ab OLD.so NEW.so FILE [ROUNDS] [html|links|headings|render|render-all|ext-FORMAT]
//
// "ext-html", "ext-text", "ext-page", "ext-templates" and "ext-categories"
// time wtcore_render of both builds under WTCORE_EXTENDED in that format.
// "render" times wtcore_render of NEW with default options against
// wtcore_to_html_r of OLD; "render-all" the same with every option of the
// render call on (WTCORE_ENCODE_TARGETS | WTCORE_BALANCE_TAGS |
// WTCORE_SAFE_ATTRIBUTES and the link template "/pages/$1.html").
#include "wtcore.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using conv_r = char *(*)(const char *);
using render_fn = int (*)(const char *, size_t, int, const wtcore_options *, char **, size_t *);
using init_fn = void (*)(wtcore_options *);
using free_fn = void (*)(char *);

struct lib {
    void *handle = nullptr;
    conv_r html = nullptr, links = nullptr, headings = nullptr;
    render_fn render = nullptr;
    init_fn init = nullptr;
    free_fn release = nullptr;
};

lib load(const char *path)
{
    lib l;
    l.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!l.handle) {
        std::fprintf(stderr, "wtcore_ab: %s\n", dlerror());
        std::exit(2);
    }
    l.html = reinterpret_cast<conv_r>(dlsym(l.handle, "wtcore_to_html_r"));
    l.links = reinterpret_cast<conv_r>(dlsym(l.handle, "wtcore_extract_links_json_r"));
    l.headings = reinterpret_cast<conv_r>(dlsym(l.handle, "wtcore_extract_headings_json_r"));
    l.render = reinterpret_cast<render_fn>(dlsym(l.handle, "wtcore_render"));
    l.init = reinterpret_cast<init_fn>(dlsym(l.handle, "wtcore_options_init"));
    l.release = reinterpret_cast<free_fn>(dlsym(l.handle, "wtcore_free"));
    return l;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: wtcore_ab OLD.so NEW.so FILE [ROUNDS] "
                             "[html|links|headings|render|render-all|ext-FORMAT]\n");
        return 2;
    }
    lib a = load(argv[1]), b = load(argv[2]);
    std::ifstream f(argv[3], std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    const std::string doc = ss.str();
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 100;
    const std::string what = argc > 5 ? argv[5] : "html";

    const std::string formats[] = {"ext-html", "", "", "ext-text", "ext-templates", "ext-categories", "ext-page"};
    int ext_format = -1;
    for (int k = 0; k < 7; ++k)
        if (!formats[k].empty() && what == formats[k]) ext_format = k;
    if (what.rfind("ext-", 0) == 0 && ext_format < 0) {
        std::fprintf(stderr, "wtcore_ab: unknown format %s\n", what.c_str());
        return 2;
    }
    wtcore_options opts;
    bool use_render = what == "render" || what == "render-all" || ext_format >= 0;
    if (use_render) {
        if (!b.render) {
            std::fprintf(stderr, "wtcore_ab: %s has no wtcore_render\n", argv[2]);
            return 2;
        }
        b.init(&opts);
        if (what == "render-all") {
            opts.flags = WTCORE_ENCODE_TARGETS | WTCORE_BALANCE_TAGS | WTCORE_SAFE_ATTRIBUTES;
            opts.link_template = "/pages/$1.html";
        }
        if (ext_format >= 0) {
            if (!a.render) {
                std::fprintf(stderr, "wtcore_ab: %s has no wtcore_render\n", argv[1]);
                return 2;
            }
            opts.flags = WTCORE_EXTENDED;
        }
    }
    conv_r fa = what == "links" ? a.links : what == "headings" ? a.headings : a.html;
    conv_r fb = what == "links" ? b.links : what == "headings" ? b.headings : b.html;

    auto time_a = [&] {
        auto t0 = std::chrono::steady_clock::now();
        if (ext_format >= 0) {
            char *out = nullptr;
            a.render(doc.data(), doc.size(), ext_format, &opts, &out, nullptr);
            a.release(out);
        } else {
            a.release(fa(doc.c_str()));
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    auto time_b = [&] {
        auto t0 = std::chrono::steady_clock::now();
        if (use_render) {
            char *out = nullptr;
            b.render(doc.data(), doc.size(), ext_format >= 0 ? ext_format : WTCORE_FORMAT_HTML, &opts, &out, nullptr);
            b.release(out);
        } else {
            b.release(fb(doc.c_str()));
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    time_a(), time_b(); // warm up
    std::vector<double> ratios, ta, tb;
    for (int i = 0; i < rounds; ++i) {
        double x, y;
        if (i % 2) x = time_a(), y = time_b();
        else y = time_b(), x = time_a();
        ratios.push_back(y / x);
        ta.push_back(x);
        tb.push_back(y);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const double mb = double(doc.size()) / 1e6;
    std::printf("%s: A %.0f MB/s, B %.0f MB/s, median B/A time ratio %.4f over %d pairs", what.c_str(),
                mb / median(ta), mb / median(tb), median(ratios), rounds);
    // The order statistics around the median that hold it 95 times in 100
    // (the sign test's bounds): a difference inside them is noise. A build
    // compared with itself gives a range about 1.00; ranges of about +-0.5%
    // need some 300 pairs on a machine as noisy as a shared 2-core VM.
    if (rounds >= 20) {
        std::sort(ratios.begin(), ratios.end());
        const double half = 0.98 * std::sqrt(double(rounds));
        const size_t lo = size_t(std::max(0.0, double(rounds) / 2 - half));
        const size_t hi = std::min(size_t(rounds) - 1, size_t(double(rounds) / 2 + half));
        std::printf(" (95%%: %.4f to %.4f)", ratios[lo], ratios[hi]);
    }
    std::printf("\n");
    return 0;
}
