// The extended syntax on the corpus articles: with WTCORE_EXTENDED |
// WTCORE_BALANCE_TAGS every page renders, its HTML nests (tags read to their
// '>' outside quoted values), and no template braces and no escaped <ref> of
// the source reach it outside <pre> and <code>. Two pages show braces that are
// text in the source (one in a nowiki passage, one a lone "{{." in a
// sentence), and one holds its references as the entities "&lt;ref&gt;"; they
// are named below.
#include "wtcore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string render(const std::string &doc, int format, unsigned flags)
{
    wtcore_options o;
    wtcore_options_init(&o);
    o.flags = flags;
    char *r = nullptr;
    size_t n = 0;
    EXPECT_EQ(wtcore_render(doc.data(), doc.size(), format, &o, &r, &n), WTCORE_OK);
    std::string s(r ? r : "", n);
    wtcore_free(r);
    return s;
}

// The first tag that does not nest, or "".
std::string nesting_error(const std::string &html)
{
    std::vector<std::string> open;
    for (size_t i = html.find('<'); i != std::string::npos; i = html.find('<', i + 1)) {
        size_t e = html.find_first_of(" >", i);
        if (e == std::string::npos) return "tag not closed";
        bool closing = html[i + 1] == '/';
        std::string name = html.substr(i + 1 + closing, e - i - 1 - closing);
        size_t q = e;
        while (q < html.size() && html[q] != '>') {
            if (html[q] == '"') q = html.find('"', q + 1);
            if (q == std::string::npos) return "quote not closed";
            ++q;
        }
        i = q;
        if (name == "br" || name == "br/" || name == "hr" || name == "img") continue;
        if (!closing) open.push_back(name);
        else if (open.empty() || open.back() != name) return "</" + name + "> at " + std::to_string(i);
        else open.pop_back();
    }
    return open.empty() ? "" : "<" + open.back() + "> left open";
}

// The HTML without the content of <pre> and <code> elements.
std::string outside_code(const std::string &html)
{
    std::string out;
    size_t at = 0;
    for (;;) {
        size_t pre = html.find("<pre>", at), code = html.find("<code>", at);
        size_t open = std::min(pre, code);
        if (open == std::string::npos) break;
        out += html.substr(at, open - at);
        size_t close = html.find(open == pre ? "</pre>" : "</code>", open);
        if (close == std::string::npos) return out;
        at = close;
    }
    return out + html.substr(at);
}

// How many times `what` occurs in s.
size_t occurrences(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t i = s.find(what); i != std::string::npos; i = s.find(what, i + what.size())) ++n;
    return n;
}

// The external links of rendered HTML, read as the page JSON reads them:
// each anchor whose class is "external", up to its "</a>" (an address cannot
// hold a '"', which is written &quot;).
size_t external_anchors(const std::string &html)
{
    size_t n = 0;
    for (size_t at = html.find("<a href=\""); at != std::string::npos; at = html.find("<a href=\"", at + 1)) {
        const size_t url_end = html.find('"', at + 9);
        const size_t tag_end = url_end == std::string::npos ? url_end : html.find('>', url_end);
        if (tag_end == std::string::npos) break;
        if (html.substr(url_end, tag_end - url_end).find("class=\"external") == std::string::npos) continue;
        const size_t close = html.find("</a>", tag_end);
        if (close == std::string::npos) break;
        ++n;
        at = close;
    }
    return n;
}

TEST(ExtendedCorpus, RendersWithoutTemplatesOrEscapedRefs)
{
    const fs::path corpus = CORPUS_DIR;
    if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
    const std::set<std::string> braces_in_text = {"raw-Talk_Arundel_Castle.wiki", "0003-2005_-_-.wiki",
                                                  "United-Kingdom.wiki"};
    const std::set<std::string> refs_as_entities = {"anarchism.wiki"};
    size_t pages = 0;
    for (const char *folder : {"wtf_wikipedia", "sweble", "utfnormal", "gensim-enwiki", "gensim-bgwiki",
                               "gensim-enwiki-tables"}) {
        if (!fs::is_directory(corpus / folder)) continue;
        for (const auto &entry : fs::directory_iterator(corpus / folder)) {
            if (entry.path().extension() != ".wiki") continue;
            const std::string name = entry.path().filename().string();
            const std::string doc = read_file(entry.path());
            const std::string html = render(doc, WTCORE_FORMAT_HTML, WTCORE_EXTENDED | WTCORE_BALANCE_TAGS);
            ++pages;
            EXPECT_EQ(html.find('\0'), std::string::npos) << name;
            EXPECT_EQ(nesting_error(html), "") << name;
            const std::string text = outside_code(html);
            if (!braces_in_text.count(name)) {
                EXPECT_EQ(text.find("{{"), std::string::npos) << name;
                EXPECT_EQ(text.find("}}"), std::string::npos) << name;
            }
            if (!refs_as_entities.count(name)) {
                EXPECT_EQ(text.find("&lt;ref"), std::string::npos) << name;
            }
            // Plain text and page JSON of every page too.
            EXPECT_FALSE(render(doc, WTCORE_FORMAT_TEXT, WTCORE_EXTENDED).empty()) << name;
            const std::string page = render(doc, WTCORE_FORMAT_PAGE_JSON, WTCORE_EXTENDED);
            EXPECT_EQ(page.find("\\u0000"), std::string::npos) << name;
            // The page's external links are read from the lines that may hold
            // one alone: as many as the whole page shows.
            const std::string balanced_page =
                render(doc, WTCORE_FORMAT_PAGE_JSON, WTCORE_EXTENDED | WTCORE_BALANCE_TAGS);
            EXPECT_EQ(occurrences(balanced_page, "{\"url\":"), external_anchors(html)) << name;
        }
    }
    EXPECT_GT(pages, 150u);
}

} // namespace
