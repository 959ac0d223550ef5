// The library holds the parser twice, a baseline build and one for AVX2
// processors (32-byte blocks instead of 16), and the interface picks one. The
// two must give byte-identical output: compared on random documents built from
// markup fragments, and on every document of the shared corpus when present.
// Without the AVX2 build, or on a processor without AVX2, only the choice is
// checked.
#include "wt_builds.h"
#include "wt_parser.h"
#include "wtcore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

namespace {

struct outputs {
    std::string html, links, headings;
};

std::string run(int (*f)(const char *, wt_buf *) noexcept, const std::string &doc)
{
    wt_buf out{};
    EXPECT_EQ(f(doc.c_str(), &out), 1);
    std::string r(out.data ? out.data : "", out.len);
    wt_buf_free(&out);
    return r;
}

outputs run_all(const wt_parser_build &b, const std::string &doc)
{
    wt_buf out{};
    EXPECT_EQ(b.html(doc.c_str(), nullptr, &out), 1);
    outputs r{std::string(out.data ? out.data : "", out.len), run(b.links, doc), run(b.headings, doc)};
    wt_buf_free(&out);
    return r;
}

void expect_same(const std::string &doc, const std::string &what)
{
    const wt_parser_build *fast = wt_avx2_parser();
    if (!fast) return;
    outputs a = run_all(wt_baseline_parser(), doc), b = run_all(*fast, doc);
    ASSERT_EQ(a.html, b.html) << what;
    ASSERT_EQ(a.links, b.links) << what;
    ASSERT_EQ(a.headings, b.headings) << what;
}

TEST(Builds, InterfaceUsesTheChosenBuild)
{
    const char *isa = std::getenv("WTCORE_ISA");
    const wt_parser_build &active = wt_active_parser();
    if (isa && std::string(isa) == "baseline") EXPECT_EQ(&active, &wt_baseline_parser());
    else if (wt_avx2_parser()) EXPECT_EQ(&active, wt_avx2_parser());
    else EXPECT_EQ(&active, &wt_baseline_parser());
    EXPECT_STREQ(wtcore_to_html("''a''", nullptr), "<p><i>a</i></p>\n");
}

TEST(Builds, AgreeOnRandomDocuments)
{
    if (!wt_avx2_parser()) GTEST_SKIP() << "no AVX2 build for this processor";
    static const char *const pieces[] = {
        "[[", "]]", "[", "]", "|", "'", "''", "'''", "<", ">", "&", "&amp;", "&#x4a;", "\"", " ", "\t",
        "\n", "\r\n", "\n\n", "\n*", "\n#", "\n:", "\n;", "\n ", "\n==", "==", "\n----", "-", "=",
        ":", "http://", "https://x.org/p", "[http://a.b c]", "<!--", "-->", "<nowiki>", "</nowiki>",
        "<b>", "</b>", "<span class=\"x\">", "</span>", "<ref>", "#", "_", "\x80", "\xc3\xa9",
        "word", "Some longer run of plain text, ", "[[Page name|label]]", "[[Page (disambiguation)]]s"};
    std::mt19937 rng(2024);
    for (int round = 0; round < 4000; ++round) {
        std::string doc;
        int count = 1 + int(rng() % 80);
        for (int i = 0; i < count; ++i) doc += pieces[rng() % std::size(pieces)];
        expect_same(doc, "document: " + doc);
        if (HasFatalFailure()) return;
    }
}

TEST(Builds, AgreeOnCorpus)
{
    if (!wt_avx2_parser()) GTEST_SKIP() << "no AVX2 build for this processor";
    std::filesystem::path dir = CORPUS_DIR;
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no corpus at " << dir;
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".wiki") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        expect_same(text.str(), entry.path().filename().string());
        if (HasFatalFailure()) return;
        ++files;
    }
    EXPECT_GT(files, 0);
}

} // namespace
