// The heading list and the rendered page must agree: same headings, in the
// same order, with the same levels, and each anchor equal to the id the HTML
// carries. Checked on hand-made documents with tricky headings and on every
// document of the shared corpus when it is present.
#include "wtcore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct heading {
    int level;
    std::string anchor;
    bool operator==(const heading &) const = default;
};

// Every "<hN id=" in the output was written by the renderer: the input's own
// '<' is escaped unless it opens an allowed tag, and no allowed tag starts
// with "<h". Anchors hold no '"', so the id ends at the next one.
std::vector<heading> from_html(const std::string &html)
{
    std::vector<heading> out;
    for (size_t p = html.find("<h"); p != std::string::npos; p = html.find("<h", p + 2)) {
        if (p + 8 > html.size() || html[p + 2] < '1' || html[p + 2] > '6' ||
            html.compare(p + 3, 5, " id=\"") != 0)
            continue;
        size_t start = p + 8;
        size_t end = html.find('"', start);
        out.push_back({html[p + 2] - '0', html.substr(start, end - start)});
    }
    return out;
}

// Reads the documented shape [{"level":N,"text":"...","anchor":"..."},...]
// and decodes the anchors' JSON escapes.
std::vector<heading> from_json(const std::string &json)
{
    std::vector<heading> out;
    const std::string level_key = "{\"level\":", anchor_key = "\",\"anchor\":\"";
    for (size_t p = json.find(level_key); p != std::string::npos; p = json.find(level_key, p + 1)) {
        heading h{json[p + level_key.size()] - '0', ""};
        size_t a = json.find(anchor_key, p);
        EXPECT_NE(a, std::string::npos);
        for (size_t i = a + anchor_key.size(); i < json.size() && json[i] != '"'; ++i) {
            if (json[i] != '\\') {
                h.anchor += json[i];
                continue;
            }
            char e = json[++i];
            switch (e) {
            case 'b': h.anchor += '\b'; break;
            case 'f': h.anchor += '\f'; break;
            case 'n': h.anchor += '\n'; break;
            case 'r': h.anchor += '\r'; break;
            case 't': h.anchor += '\t'; break;
            case 'u': h.anchor += char(std::stoi(json.substr(i + 1, 4), nullptr, 16)); i += 4; break;
            default: h.anchor += e;
            }
        }
        out.push_back(h);
    }
    return out;
}

void expect_agreement(const std::string &doc, const std::string &name)
{
    std::string html = wtcore_to_html(doc.c_str(), nullptr);
    std::string json = wtcore_extract_headings_json(doc.c_str());
    EXPECT_EQ(from_html(html), from_json(json)) << name;
}

TEST(Agreement, TrickyHeadings)
{
    const char *docs[] = {
        "= a =\n== b ==\n=== c ===\n==== d ====\n===== e =====\n====== f ======\n======= g =======",
        "=\n==\n===\n====  \n=====\t\n===========\n============\n=============\n==============",
        "== A <!-- x ==\n<!--\n== Hidden ==\n-->\n<nowiki>\n== N ==\n</nowiki>",
        "== a\\b ==\n== a\001b ==\n== Tom & Jerry's \"Show\" ==\n== [[Main Page|Home]] ==",
        " == pre ==\n*== list ==\n== x == y\n=abc\n==a==b==\n== A ==\r\n== B ==\r",
        "== _a_ ==\n== \xc3\xa9t\xc3\xa9 ==\n== ''i'' '''b''' ==\n== [http://x] ==\n== <span onclick=x>s</span> ==",
    };
    for (const char *doc : docs) expect_agreement(doc, doc);
}

TEST(Agreement, Corpus)
{
    namespace fs = std::filesystem;
    fs::path corpus = fs::path(CORPUS_DIR);
    if (!fs::is_directory(corpus)) GTEST_SKIP() << "no corpus at " << corpus;
    size_t documents = 0, headings = 0;
    for (const auto &entry : fs::recursive_directory_iterator(corpus)) {
        if (entry.path().extension() != ".wiki") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string doc = ss.str();
        expect_agreement(doc, entry.path().string());
        headings += from_json(wtcore_extract_headings_json(doc.c_str())).size();
        ++documents;
    }
    EXPECT_GT(documents, 100u);
    EXPECT_GT(headings, 1000u);
}

} // namespace
