// Throughput of the three conversions on real wikitext and on adversarial
// inputs, beside a baseline measured in the same run: a one-pass table-driven
// HTML-escaping copy of the same bytes into a growing buffer. Figures are MB/s
// of input; the summary at the end gives each one's ratio to the baseline and
// checks the targets.
//
//   cmake --workflow --preset bench && ./build/bench/bench/wtcore_bench
//
// The corpus is read from WTCORE_CORPUS (environment) or the folder given at
// build time. WTCORE_BENCH_LARGE=1 adds the 64 MiB inputs.
#include "wtcore.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

fs::path corpus_dir()
{
    const char *env = std::getenv("WTCORE_CORPUS");
    return env && *env ? fs::path(env) : fs::path(WTCORE_CORPUS_DIR);
}

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

const std::string &all_wiki()
{
    static const std::string doc = read_file(corpus_dir() / "all.wiki");
    return doc;
}

// The article documents: every folder but the parser-test snippets.
const std::vector<std::string> &articles()
{
    static const std::vector<std::string> docs = [] {
        std::vector<fs::path> paths;
        for (const char *folder : {"wtf_wikipedia", "sweble", "utfnormal", "gensim-enwiki",
                                   "gensim-bgwiki", "gensim-enwiki-tables"}) {
            fs::path dir = corpus_dir() / folder;
            if (!fs::is_directory(dir)) continue;
            for (const auto &e : fs::directory_iterator(dir))
                if (e.path().extension() == ".wiki") paths.push_back(e.path());
        }
        std::sort(paths.begin(), paths.end());
        std::vector<std::string> out;
        for (const auto &p : paths) out.push_back(read_file(p));
        return out;
    }();
    return docs;
}

// The baseline: copies plain runs with memcpy and writes the four entities,
// into a buffer that doubles as it grows and is kept between calls.
struct escape_copy {
    char *data = nullptr;
    size_t cap = 0;
    ~escape_copy() { std::free(data); }

    size_t run(const char *p, size_t n)
    {
        static constexpr auto special = [] {
            std::array<unsigned char, 256> t{};
            t['"'] = t['&'] = t['<'] = t['>'] = 1;
            return t;
        }();
        size_t len = 0;
        const char *end = p + n;
        while (p < end) {
            const char *run = p;
            while (p < end && !special[static_cast<unsigned char>(*p)]) ++p;
            put(&len, run, size_t(p - run));
            if (p == end) break;
            switch (*p++) {
            case '"': put(&len, "&quot;", 6); break;
            case '&': put(&len, "&amp;", 5); break;
            case '<': put(&len, "&lt;", 4); break;
            default: put(&len, "&gt;", 4); break;
            }
        }
        return len;
    }

    void put(size_t *len, const char *src, size_t n)
    {
        if (*len + n + 1 > cap) {
            size_t bigger = cap ? cap : 4096;
            while (bigger < *len + n + 1) bigger *= 2;
            data = static_cast<char *>(std::realloc(data, bigger));
            if (!data) std::abort();
            cap = bigger;
        }
        std::memcpy(data + *len, src, n);
        *len += n;
        data[*len] = '\0';
    }
};

// The byte-by-byte reference the baseline must agree with.
bool baseline_is_right(const std::string &doc)
{
    std::string want;
    for (char c : doc) {
        switch (c) {
        case '"': want += "&quot;"; break;
        case '&': want += "&amp;"; break;
        case '<': want += "&lt;"; break;
        case '>': want += "&gt;"; break;
        default: want += c;
        }
    }
    escape_copy e;
    size_t n = e.run(doc.data(), doc.size());
    return want == std::string(e.data ? e.data : "", n);
}

// render: wtcore_render with the default options; render_opts: with every
// option of the render call (encoded targets, balanced tags, safe
// attributes) and a link template.
// ext_*: wtcore_render under WTCORE_EXTENDED in HTML and the data formats.
enum class op { escape, html, links, headings, render, render_opts, ext_html, ext_text, ext_page, ext_templates,
                ext_categories };

const char *op_name(op o)
{
    switch (o) {
    case op::escape: return "escape_baseline";
    case op::html: return "html";
    case op::links: return "links";
    case op::headings: return "headings";
    case op::render: return "render";
    case op::ext_html: return "ext_html";
    case op::ext_text: return "ext_text";
    case op::ext_page: return "ext_page";
    case op::ext_templates: return "ext_templates";
    case op::ext_categories: return "ext_categories";
    default: return "render_opts";
    }
}

// A format of wtcore_render with the extended syntax; the result is released
// at once and only its address kept.
const void *render_extended(const std::string &doc, int format)
{
    wtcore_options o;
    wtcore_options_init(&o);
    o.flags = WTCORE_EXTENDED;
    char *r = nullptr;
    if (wtcore_render(doc.data(), doc.size(), format, &o, &r, nullptr) != WTCORE_OK) std::abort();
    wtcore_free(r);
    return r;
}

const wtcore_options *all_options()
{
    static const wtcore_options opts = [] {
        wtcore_options o;
        wtcore_options_init(&o);
        o.flags = WTCORE_ENCODE_TARGETS | WTCORE_BALANCE_TAGS | WTCORE_SAFE_ATTRIBUTES;
        o.link_template = "/pages/$1.html";
        return o;
    }();
    return &opts;
}

const void *render(const std::string &doc, const wtcore_options *opts)
{
    char *out = nullptr;
    if (wtcore_render(doc.data(), doc.size(), WTCORE_FORMAT_HTML, opts, &out, nullptr) != WTCORE_OK) std::abort();
    wtcore_free(out);
    return out;
}

// The conversion's result, kept from the optimiser. Nothing is done with it:
// measuring its length would read the whole output once more.
const void *convert(op o, const std::string &doc, escape_copy &e)
{
    switch (o) {
    case op::escape: e.run(doc.data(), doc.size()); return e.data;
    case op::html: return wtcore_to_html(doc.c_str(), nullptr);
    case op::links: return wtcore_extract_links_json(doc.c_str());
    case op::headings: return wtcore_extract_headings_json(doc.c_str());
    case op::render: return render(doc, nullptr);
    case op::ext_html: return render_extended(doc, WTCORE_FORMAT_HTML);
    case op::ext_text: return render_extended(doc, WTCORE_FORMAT_TEXT);
    case op::ext_page: return render_extended(doc, WTCORE_FORMAT_PAGE_JSON);
    case op::ext_templates: return render_extended(doc, WTCORE_FORMAT_TEMPLATES_JSON);
    case op::ext_categories: return render_extended(doc, WTCORE_FORMAT_CATEGORIES_JSON);
    default: return render(doc, all_options());
    }
}

void run_docs(benchmark::State &state, op o, const std::vector<const std::string *> &docs)
{
    escape_copy e;
    size_t bytes = 0;
    for (const std::string *d : docs) bytes += d->size();
    for (auto _ : state) {
        for (const std::string *d : docs) benchmark::DoNotOptimize(convert(o, *d, e));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

// Adversarial inputs: one unit repeated to the size.
struct family {
    const char *name;
    op conversion;
    std::function<std::string(size_t)> make;
};

std::string repeat(const std::string &unit, size_t size)
{
    std::string s;
    s.reserve(size + unit.size());
    while (s.size() + unit.size() <= size) s += unit;
    return s;
}

// Units of `before`, a number counting from 0 and `after`, each number once,
// up to size bytes: a document where no two constructs share a name.
std::string numbered(const std::string &before, const std::string &after, size_t size)
{
    std::string s;
    for (size_t i = 0;; ++i) {
        const std::string unit = before + std::to_string(i) + after;
        if (s.size() + unit.size() > size) return s;
        s += unit;
    }
}

// Lines of about 80 bytes made of one unit, for the extractors, which scan the
// whole document rather than lines.
std::string lines_of(const std::string &unit, size_t size)
{
    std::string line = repeat(unit, 80) + "\n";
    return repeat(line, size);
}

// Lines of 64 list markers and " x", cycling through the markers so that
// every line closes 64 levels and opens 64 new ones.
std::string deep_lists(size_t size)
{
    std::string s;
    for (size_t i = 0; s.size() + 68 <= size; ++i) s += std::string(64, "*#:;"[i % 4]) + " x\n";
    return s;
}

const std::vector<family> &families()
{
    static const std::vector<family> all = {
        {"[[", op::html, [](size_t n) { return repeat("[[", n); }},
        {"[[a|", op::html, [](size_t n) { return repeat("[[a|", n); }},
        {"apostrophes", op::html, [](size_t n) { return std::string(n, '\''); }},
        {"[http://", op::html, [](size_t n) { return repeat("[http://", n); }},
        {"<span a=", op::html, [](size_t n) { return repeat("<span a=", n); }},
        {"<span a='", op::html, [](size_t n) { return repeat("<span a='", n); }},
        {"<nowiki>", op::html, [](size_t n) { return repeat("<nowiki>", n); }},
        {"&#", op::html, [](size_t n) { return repeat("&#", n); }},
        {"http://", op::html, [](size_t n) { return repeat("http://", n); }},
        {"= line", op::html, [](size_t n) { return std::string(n, '='); }},
        {"64 list markers", op::html, deep_lists},
        {"<!-- per line", op::html, [](size_t n) { return repeat("x <!--\n", n); }},
        {"[[ no closer", op::links, [](size_t n) { return lines_of("[[", n); }},
        {"<!-- no closer", op::links, [](size_t n) { return lines_of("<!--", n); }},
        {"<nowiki> no closer", op::links, [](size_t n) { return lines_of("<nowiki>", n); }},
        {"= lines", op::headings, [](size_t n) { return repeat("== a ==\n", n); }},
        {"[[", op::render_opts, [](size_t n) { return repeat("[[", n); }},
        {"[[a|", op::render_opts, [](size_t n) { return repeat("[[a|", n); }},
        {"[[a/../b]]", op::render_opts, [](size_t n) { return repeat("[[a/../b]]", n); }},
        {"apostrophes", op::render_opts, [](size_t n) { return std::string(n, '\''); }},
        {"<b> unclosed", op::render_opts, [](size_t n) { return repeat("<b>", n); }},
        {"</b> stray", op::render_opts, [](size_t n) { return repeat("</b>", n); }},
        {"<b><i></b>", op::render_opts, [](size_t n) { return repeat("<b><i></b>", n); }},
        {"'''<i> lines", op::render_opts, [](size_t n) { return repeat("'''<i>\n", n); }},
        {"<span style=", op::render_opts,
         [](size_t n) { return repeat("<span class=a style=\"color:red;/**/\\75rl(x)\">", n); }},
        {"{{", op::ext_html, [](size_t n) { return repeat("{{", n); }},
        {"{{a| unclosed", op::ext_html, [](size_t n) { return repeat("{{a|", n); }},
        {"{{a| nested", op::ext_templates, [](size_t n) { return repeat("{{a|", n / 8) + repeat("}}", n / 8); }},
        {"{| lines", op::ext_html, [](size_t n) { return repeat("{|\n", n); }},
        {"{| nested cells", op::ext_html, [](size_t n) { return repeat("{|\n|\n", n); }},
        {"<ref> unclosed", op::ext_html, [](size_t n) { return repeat("<ref>", n); }},
        {"<ref>x</ref>", op::ext_html, [](size_t n) { return repeat("<ref>x</ref>", n); }},
        {"<ref name=N/>", op::ext_html, [](size_t n) { return numbered("<ref name=\"", "\"/>", n); }},
        {"<references/>", op::ext_html, [](size_t n) { return repeat("<ref>a</ref><references/>", n); }},
        {"<ref group=N>", op::ext_html, [](size_t n) { return numbered("<ref group=g", ">x</ref>", n); }},
        {"<ref> unclosed", op::ext_text, [](size_t n) { return repeat("<ref>", n); }},
        {"== h<ref> ==", op::ext_page, [](size_t n) { return repeat("== h<ref>x</ref> ==\n", n); }},
        {"<div> unclosed", op::ext_html, [](size_t n) { return repeat("<div>", n); }},
        {"<poem> unclosed", op::ext_text, [](size_t n) { return repeat("<poem>", n); }},
        {"[[File:a| nested", op::ext_html, [](size_t n) { return repeat("[[File:a|", n); }},
        {"[[Category:a|", op::ext_categories, [](size_t n) { return repeat("[[Category:a|", n); }},
        {"__A_", op::ext_html, [](size_t n) { return repeat("__A_", n); }},
        {"<div> text lines", op::ext_page, [](size_t n) { return "<div>\n" + repeat("a: b <br> c\n", n); }},
        {"<p> text lines", op::ext_page, [](size_t n) { return "<p>\n" + repeat("a: b <br> c\n", n); }},
        {"<table> x lines", op::ext_page, [](size_t n) { return repeat("<table>\nx: y\n", n); }},
    };
    return all;
}

// The inputs of each family at 1 MB and 2 MB, in the order of families(),
// made once.
const std::vector<std::array<std::string, 2>> &family_inputs()
{
    static const std::vector<std::array<std::string, 2>> all = [] {
        std::vector<std::array<std::string, 2>> v;
        for (const family &f : families()) v.push_back({f.make(size_t(1) << 20), f.make(size_t(2) << 20)});
        return v;
    }();
    return all;
}

// The time of (b, doc_b) over the time of (a, doc_a) as the median of
// `pairs` pairs, the two of a pair run one right after the other (in turns,
// which first): a slower phase of the machine then slows both alike, where
// two benchmarks' own medians, taken half a minute apart, can differ by a
// third.
double paired_ratio(op a, const std::string &doc_a, op b, const std::string &doc_b, int pairs)
{
    using clock = std::chrono::steady_clock;
    escape_copy e;
    auto time = [&](op o, const std::string &doc) {
        const auto t0 = clock::now();
        benchmark::DoNotOptimize(convert(o, doc, e));
        return std::chrono::duration<double>(clock::now() - t0).count();
    };
    time(a, doc_a); // first touches of the allocator's memory
    time(b, doc_b);
    std::vector<double> ratios;
    for (int i = 0; i < pairs; ++i) {
        double ta, tb;
        if (i % 2) {
            tb = time(b, doc_b);
            ta = time(a, doc_a);
        } else {
            ta = time(a, doc_a);
            tb = time(b, doc_b);
        }
        ratios.push_back(tb / ta);
    }
    std::nth_element(ratios.begin(), ratios.begin() + pairs / 2, ratios.end());
    return ratios[size_t(pairs / 2)];
}

// Collects the median (or the single) time and throughput of every run for
// the summary, and prints the usual console report as it goes.
class summary_reporter : public benchmark::ConsoleReporter {
public:
    struct result {
        double seconds;
        double mb_per_s;
    };
    std::map<std::string, result> results;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs) {
            bool aggregate = r.run_type == Run::RT_Aggregate;
            if (aggregate && r.aggregate_name != "median") continue;
            double seconds = r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
            auto bps = r.counters.find("bytes_per_second");
            double mbs = bps == r.counters.end() ? 0 : double(bps->second) / 1e6;
            std::string name = r.run_name.str();
            name = name.substr(0, name.find("/min_time:"));
            if (aggregate || !results.count(name)) results[name] = {seconds, mbs};
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

int print_summary(const summary_reporter &rep)
{
    auto get = [&](const std::string &name) {
        auto it = rep.results.find(name);
        return it == rep.results.end() ? summary_reporter::result{0, 0} : it->second;
    };
    int misses = 0;
    auto verdict = [&](bool ok) {
        misses += !ok;
        return ok ? "PASS" : "MISS";
    };
    std::printf("\nSummary (medians; MB/s of input; ratio = MB/s / escape baseline of the same input)\n");
    for (const char *set : {"corpus/all.wiki", "corpus/articles"}) {
        double base = get(std::string(set) + "/escape_baseline").mb_per_s;
        std::printf("%-17s %-16s %9s %7s\n", set, "", "MB/s", "ratio");
        for (op o : {op::escape, op::html, op::links, op::headings, op::render, op::render_opts, op::ext_html,
                     op::ext_text, op::ext_page, op::ext_templates, op::ext_categories}) {
            double mbs = get(std::string(set) + "/" + op_name(o)).mb_per_s;
            std::printf("%-17s %-16s %9.0f %7.2f\n", "", op_name(o), mbs, base > 0 ? mbs / base : 0);
        }
    }
    double base = get("corpus/all.wiki/escape_baseline").mb_per_s;
    double html = get("corpus/all.wiki/html").mb_per_s;
    double links = get("corpus/all.wiki/links").mb_per_s;
    double heads = get("corpus/all.wiki/headings").mb_per_s;
    std::printf("\nTargets on all.wiki\n");
    std::printf("  html >= 1000 MB/s: %.0f %s\n", html, verdict(html >= 1000));
    std::printf("  html >= 0.5 x baseline: %.2f %s\n", base > 0 ? html / base : 0, verdict(html >= 0.5 * base));
    std::printf("  links >= 2000 MB/s: %.0f %s\n", links, verdict(links >= 2000));
    std::printf("  headings >= 2000 MB/s: %.0f %s\n", heads, verdict(heads >= 2000));
    // Speeds relative to another conversion come from pairs run back to back
    // (the median of `pairs`), not from two medians taken apart.
    const int pairs = 21;
    auto speed_share = [&](op a, op b, double mbs_a, double mbs_b) { // b's speed over a's
        return mbs_a > 0 && mbs_b > 0 ? 1 / paired_ratio(a, all_wiki(), b, all_wiki(), pairs) : 0.0;
    };
    const struct {
        const char *name;
        op o;
        double target;
    } extended[] = {{"extended html", op::ext_html, 500}, {"extended text", op::ext_text, 600},
                    {"extended page JSON", op::ext_page, 800}};
    for (const auto &t : extended) {
        double mbs = get(std::string("corpus/all.wiki/") + op_name(t.o)).mb_per_s;
        std::printf("  %s >= %.0f MB/s: %.0f (%.2f x html, paired) %s\n", t.name, t.target, mbs,
                    speed_share(op::html, t.o, html, mbs), verdict(mbs >= t.target));
    }
    double render_default = get("corpus/all.wiki/render").mb_per_s;
    double render_opts = get("corpus/all.wiki/render_opts").mb_per_s;
    double opts_share = speed_share(op::render, op::render_opts, render_default, render_opts);
    std::printf("  render with every option >= 0.85 x render with none (paired): %.2f %s\n", opts_share,
                verdict(opts_share >= 0.85));
    // The ratio of the two medians is shown; the verdict takes the paired
    // one, which the machine's phases do not move.
    std::printf("\nAdversarial inputs: time at 2 MB <= 2.6 x time at 1 MB (median of %d pairs run"
                " back to back), and >= 100 MB/s\n",
                pairs);
    std::printf("  %-22s %-11s %10s %10s %6s %7s %8s\n", "family", "call", "1 MB ms", "2 MB ms", "ratio", "paired",
                "MB/s");
    for (size_t i = 0; i < families().size(); ++i) {
        const family &f = families()[i];
        std::string base_name = std::string("adversarial/") + op_name(f.conversion) + "/" + f.name;
        auto one = get(base_name + "/1MB"), two = get(base_name + "/2MB");
        if (one.seconds <= 0 || two.seconds <= 0) continue; // filtered out of this run
        double ratio = two.seconds / one.seconds;
        const auto &docs = family_inputs()[i];
        double paired = paired_ratio(f.conversion, docs[0], f.conversion, docs[1], pairs);
        bool ok = paired <= 2.6 && two.mb_per_s >= 100;
        std::printf("  %-22s %-11s %10.2f %10.2f %6.2f %7.2f %8.0f %s\n", f.name, op_name(f.conversion),
                    one.seconds * 1e3, two.seconds * 1e3, ratio, paired, two.mb_per_s, verdict(ok));
    }
    std::printf("\n%d target(s) missed\n", misses);
    return misses;
}

void register_all()
{
    std::vector<const std::string *> whole{&all_wiki()};
    std::vector<const std::string *> each;
    for (const std::string &d : articles()) each.push_back(&d);
    for (op o : {op::escape, op::html, op::links, op::headings, op::render, op::render_opts, op::ext_html,
                     op::ext_text, op::ext_page, op::ext_templates, op::ext_categories}) {
        benchmark::RegisterBenchmark((std::string("corpus/all.wiki/") + op_name(o)).c_str(),
                                     [o, whole](benchmark::State &s) { run_docs(s, o, whole); })
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.2);
        benchmark::RegisterBenchmark((std::string("corpus/articles/") + op_name(o)).c_str(),
                                     [o, each](benchmark::State &s) { run_docs(s, o, each); })
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.2);
    }
    for (size_t i = 0; i < families().size(); ++i) {
        const family &f = families()[i];
        for (int mb : {1, 2}) {
            std::vector<const std::string *> doc{&family_inputs()[i][size_t(mb - 1)]};
            std::string name = std::string("adversarial/") + op_name(f.conversion) + "/" + f.name + "/" +
                               std::to_string(mb) + "MB";
            op o = f.conversion;
            benchmark::RegisterBenchmark(name.c_str(), [o, doc](benchmark::State &s) { run_docs(s, o, doc); })
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.1);
        }
    }
    const char *large = std::getenv("WTCORE_BENCH_LARGE");
    if (large && *large == '1') {
        static std::vector<std::string> inputs; // kept alive for the runs
        inputs.reserve(4);
        const size_t big = size_t(64) << 20;
        inputs.push_back(repeat(all_wiki(), big));
        std::string line = inputs.back();
        std::replace(line.begin(), line.end(), '\n', ' ');
        inputs.push_back(std::move(line));
        inputs.push_back(deep_lists(100000 * 68));
        inputs.push_back(std::string(1000000, '\''));
        const char *names[] = {"large/64MiB document", "large/64MiB single line",
                               "large/100000 list lines", "large/1000000 apostrophes"};
        for (size_t i = 0; i < 4; ++i) {
            std::vector<const std::string *> doc{&inputs[inputs.size() - 4 + i]};
            benchmark::RegisterBenchmark(names[i], [doc](benchmark::State &s) { run_docs(s, op::html, doc); })
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.5);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (all_wiki().empty() || articles().empty()) {
        std::fprintf(stderr, "wtcore_bench: no corpus at %s (set WTCORE_CORPUS)\n", corpus_dir().c_str());
        return 1;
    }
    if (!baseline_is_right(all_wiki().substr(0, 1 << 20))) {
        std::fprintf(stderr, "wtcore_bench: the escaping baseline disagrees with its reference\n");
        return 1;
    }
    // Medians of nine repetitions unless the command line says otherwise.
    std::vector<char *> args(argv, argv + argc);
    std::string reps = "--benchmark_repetitions=9", aggregates = "--benchmark_report_aggregates_only=true";
    bool has_reps = false;
    for (int i = 1; i < argc; ++i) has_reps |= std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
    if (!has_reps) {
        args.push_back(reps.data());
        args.push_back(aggregates.data());
    }
    int n = int(args.size());
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
    register_all();
    summary_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    print_summary(rep);
    benchmark::Shutdown();
    return 0;
}
