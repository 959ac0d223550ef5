// The library holds the parser up to three times: a baseline build and ones
// for AVX2 and AVX-512 processors (blocks of 32 and 64 bytes instead of 16),
// and the interface picks one. Every build this processor runs must give the
// baseline build's output byte for byte: compared on random documents built
// from markup fragments, and on every document of the shared corpus when
// present. With the baseline build alone, only the choice is checked.
#include "wt_builds.h"
#include "wt_parser.h"
#include "wtcore.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>

namespace {

struct outputs {
    std::string html, links, headings;
};

std::string run(const wt_parser_build &b, int format, const std::string &doc)
{
    wt_buf out{};
    EXPECT_EQ(b.render(wt_source{doc.c_str(), doc.size()}, format, wt_config{}, &out), 1);
    std::string r(out.data ? out.data : "", out.len);
    wt_buf_free(&out);
    return r;
}

outputs run_all(const wt_parser_build &b, const std::string &doc)
{
    return outputs{run(b, WTCORE_FORMAT_HTML, doc), run(b, WTCORE_FORMAT_LINKS_JSON, doc),
                   run(b, WTCORE_FORMAT_HEADINGS_JSON, doc)};
}

size_t usable_count()
{
    size_t n = 0;
    wt_usable_parsers(&n);
    return n;
}

void expect_same(const std::string &doc, const std::string &what)
{
    size_t n = 0;
    const wt_parser_build *const *builds = wt_usable_parsers(&n);
    outputs a = run_all(*builds[0], doc);
    for (size_t i = 1; i < n; ++i) {
        outputs b = run_all(*builds[i], doc);
        ASSERT_EQ(a.html, b.html) << builds[i]->name << ", " << what;
        ASSERT_EQ(a.links, b.links) << builds[i]->name << ", " << what;
        ASSERT_EQ(a.headings, b.headings) << builds[i]->name << ", " << what;
    }
}

TEST(Builds, InterfaceUsesTheChosenBuild)
{
    size_t n = 0;
    const wt_parser_build *const *builds = wt_usable_parsers(&n);
    ASSERT_GE(n, 1u);
    EXPECT_EQ(builds[0], &wt_baseline_parser());
    const wt_parser_build *want = builds[n - 1];
    if (const char *isa = std::getenv("WTCORE_ISA"))
        for (size_t i = 0; i < n; ++i)
            if (std::string(isa) == builds[i]->name) want = builds[i];
    EXPECT_EQ(&wt_active_parser(), want);
    EXPECT_STREQ(wtcore_to_html("''a''", nullptr), "<p><i>a</i></p>\n");
}

TEST(Builds, AgreeOnRandomDocuments)
{
    if (usable_count() < 2) GTEST_SKIP() << "only the baseline build runs here";
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

// Encoded targets: each build's fast path classifies a target's bytes its own
// way (a chain of comparisons, or a lookup per nibble), so every byte value
// goes through each, at several places of a 16-byte piece, and the address
// must be the byte percent-encoded unless a path keeps it.
TEST(Builds, EncodeEveryByteOfATarget)
{
    wt_config cfg;
    cfg.flags = WTCORE_ENCODE_TARGETS;
    cfg.plain_links = false;
    size_t n = 0;
    const wt_parser_build *const *builds = wt_usable_parsers(&n);
    auto keeps = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("-._~/:@!$'()*+,;=").find(char(c)) != std::string_view::npos;
    };
    for (int c = 1; c < 256; ++c) {
        // Bytes that end or split the link, or change the target, are not tried.
        if (std::string_view("\n\r#<>[]|{}&_ ").find(char(c)) != std::string_view::npos) continue;
        for (size_t at : {1u, 5u, 15u, 16u, 20u}) { // not first: leading controls are trimmed
            std::string target = std::string(at, 'x') + char(c) + "y";
            std::string want = std::string(at, 'x');
            if (keeps(static_cast<unsigned char>(c))) {
                want += char(c);
            } else {
                char hex[4];
                std::snprintf(hex, sizeof hex, "%%%02X", c);
                want += hex;
            }
            want += "y";
            // Text after the link lets the fast path read whole pieces.
            std::string doc = "[[" + target + "|t]] " + std::string(64, 'z');
            for (size_t i = 0; i < n; ++i) {
                wt_buf out{};
                ASSERT_EQ(builds[i]->render(wt_source{doc.data(), doc.size()}, WTCORE_FORMAT_HTML, cfg, &out), 1);
                std::string html(out.data ? out.data : "", out.len);
                wt_buf_free(&out);
                if (html.find("<a ") == std::string::npos) continue; // not a link: a title the wikis refuse
                EXPECT_NE(html.find("href=\"/wiki/" + want + "\""), std::string::npos)
                    << builds[i]->name << ", byte " << c << " at " << at << ": " << html;
            }
        }
    }
}

TEST(Builds, AgreeOnCorpus)
{
    if (usable_count() < 2) GTEST_SKIP() << "only the baseline build runs here";
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
