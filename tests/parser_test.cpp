// Parser internals that the golden cases cannot reach: null handling of the
// helpers, the inline scan's fast path against a position-by-position model,
// and documents at the limits (long lines, deep lists, long quote runs).
#include "reference.h"
#include "wt_buffer.h"
#include "wt_builds.h"
#include "wt_parser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string inline_html(std::string_view s, int *counter)
{
    wt_buf out{};
    wt::parse_inline_internal(s.data(), s.size(), &out, counter);
    std::string r(out.data ? out.data : "", out.len);
    wt_buf_free(&out);
    return r;
}

// The same span inside a document that goes on past it (bytes that must not
// be rendered) and starts before it, so the scan may read around the span and
// takes the paths that copy and search whole blocks up to its ends.
// `build` renders it (each build of the parser has its own inline renderer).
std::string inline_html_in_document(std::string_view s, int *counter,
                                    const wt_parser_build &build = wt_baseline_parser())
{
    const std::string before(70, '['), after(300, ']');
    std::string doc = before + std::string(s) + after;
    wt_buf out{};
    const char *text = doc.data() + before.size();
    build.inline_span(text, s.size(), &out, counter, doc.data(), doc.data() + doc.size());
    std::string r(out.data ? out.data : "", out.len);
    wt_buf_free(&out);
    return r;
}

std::string render(const std::string &doc)
{
    wt_buf out{};
    EXPECT_EQ(wt_parse_to_html(doc.c_str(), nullptr, &out), 1);
    std::string r(out.data ? out.data : "", out.len);
    wt_buf_free(&out);
    return r;
}

TEST(Parser, NullArguments)
{
    EXPECT_EQ(wt_parse_to_html("x", nullptr, nullptr), 0);
    EXPECT_EQ(wt_extract_links_json("x", nullptr), 0);
    EXPECT_EQ(wt_extract_headings_json("x", nullptr), 0);
    wt_buf out{};
    EXPECT_EQ(wt_parse_to_html(nullptr, nullptr, &out), 1);
    EXPECT_EQ(out.len, 0u);
    EXPECT_EQ(wt_extract_links_json(nullptr, &out), 1);
    EXPECT_EQ(wt_extract_headings_json(nullptr, &out), 1);
    EXPECT_STREQ(wt_buf_cstring(&out), "[][]");
    // Appends to what the buffer already holds.
    EXPECT_EQ(wt_parse_to_html("a", nullptr, &out), 1);
    EXPECT_STREQ(wt_buf_cstring(&out), "[][]<p>a</p>\n");
    wt_buf_free(&out);

    wt::parse_inline_internal(nullptr, 3, &out, nullptr);
    wt::parse_inline_internal("''", 0, &out, nullptr);
    EXPECT_EQ(out.len, 0u) << "no closing tags for an empty span";

    wt_buf anchor{};
    wt::generate_anchor(nullptr, 4, &anchor);
    wt::generate_anchor("x", 0, &anchor);
    EXPECT_EQ(anchor.len, 0u);
}

// An anchor appended after other bytes is judged by its own bytes: the '_'
// already in the buffer is neither a leading separator nor dropped as a
// trailing one.
// The decimal writer against the standard library's, at every length and
// the edges of each and of each bit width (the length is read from the
// width): writing two digits at a time must neither drop nor add one, the
// twentieth digit included.
TEST(Parser, DecimalsMatchTheStandardLibrary)
{
    std::vector<size_t> values{0, SIZE_MAX, SIZE_MAX - 1};
    for (size_t p = 1, k = 0; k < 20; ++k, p *= 10) {
        values.push_back(p - 1);
        values.push_back(p);
        values.push_back(p + 1);
        if (k == 19) break;
    }
    for (unsigned bit = 1; bit < 64; ++bit) {
        values.push_back((size_t(1) << bit) - 1);
        values.push_back(size_t(1) << bit);
    }
    for (size_t v : values) {
        char d[21];
        std::memset(d, '#', sizeof d);
        const size_t n = wt::put_decimal_at(d, v);
        EXPECT_EQ(std::string(d, n), std::to_string(v));
        EXPECT_EQ(d[n], '#') << v << ": only the digits are written";
    }
}

TEST(Parser, AnchorAfterOtherBytes)
{
    wt_buf out{};
    wt_buf_append_str(&out, "id_");
    wt::generate_anchor("&&", 2, &out);
    EXPECT_STREQ(wt_buf_cstring(&out), "id_");
    wt::generate_anchor(" a b_", 5, &out);
    EXPECT_STREQ(wt_buf_cstring(&out), "id_a_b");
    wt_buf_free(&out);
}

TEST(Parser, NullCounterNumbersEveryLinkOne)
{
    EXPECT_EQ(inline_html("[http://a] [http://b]", nullptr),
              "<a href=\"http://a\" class=\"external\" rel=\"nofollow\">[1]</a> "
              "<a href=\"http://b\" class=\"external\" rel=\"nofollow\">[1]</a>");
    int counter = 41;
    inline_html("[http://a]", &counter);
    EXPECT_EQ(counter, 42);
}

TEST(Parser, Helpers)
{
    wt::span t = wt::trim_both({" \t\x01" "a b\x20\r", 8});
    EXPECT_EQ(std::string_view(t.p, t.n), "a b");
    EXPECT_EQ(wt::trim_both({"  ", 2}).n, 0u);

    size_t len = 0;
    EXPECT_EQ(wt::match_allowed_tag("<br />x", 7, &len), 1);
    EXPECT_EQ(len, 6u);
    len = 99;
    EXPECT_EQ(wt::match_allowed_tag("<br /", 5, &len), 0);
    EXPECT_EQ(len, 99u) << "out_len is not written on failure";
    EXPECT_EQ(wt::match_allowed_tag("<span a='>'>", 12, &len), 1);
    EXPECT_EQ(len, 12u);

    EXPECT_EQ(wt::is_html_entity("&amp;", 5), 1);
    EXPECT_EQ(wt::is_html_entity("&amp;", 4), 0);
    EXPECT_EQ(wt::is_html_entity("&#", 2), 0);
    EXPECT_EQ(wt::is_html_entity("&#x;", 4), 1);

    size_t level = 0;
    wt::span text{};
    EXPECT_FALSE(wt::match_heading({"===========  ", 13}, &level, &text));
    EXPECT_TRUE(wt::match_heading({"============", 12}, &level, &text));
    EXPECT_EQ(level, 6u);
    EXPECT_EQ(text.n, 0u);
}

// A literal model of the inline scan: every recogniser tried at every
// position, in order, with plain searches. The renderer's fast path (jumping
// between trigger bytes, finding bare URLs at their colon, remembered
// searches) must give the same output on any input.
struct model {
    int *counter;

    static std::string attr(std::string_view s, bool wiki)
    {
        std::string r;
        for (char c : s) {
            if (c == '"') r += "&quot;";
            else if (wiki && c == ' ') r += '_';
            else r += c;
        }
        return r;
    }
    static std::string_view trim(std::string_view s)
    {
        while (!s.empty() && static_cast<unsigned char>(s.front()) <= 0x20) s.remove_prefix(1);
        while (!s.empty() && static_cast<unsigned char>(s.back()) <= 0x20) s.remove_suffix(1);
        return s;
    }
    static bool url_end(unsigned char c)
    {
        return c <= 0x20 || c == '"' || c == '<' || c == '>' || c == '[' || c == ']';
    }

    std::string run(std::string_view s)
    {
        std::string out;
        bool bold = false, italic = false;
        size_t a = 0, n = s.size();
        auto at = [&](size_t i, std::string_view lit) { return s.substr(i).starts_with(lit); };
        const std::string ext = "\" class=\"external\" rel=\"nofollow\">";
        while (a < n) {
            if (at(a, "<!--")) {
                size_t c = s.find("-->", a + 4);
                if (c == s.npos) break;
                a = c + 3;
                continue;
            }
            if (at(a, "<nowiki>")) {
                size_t c = s.find("</nowiki>", a + 8);
                if (c != s.npos) {
                    out += ref_html_escape(s.substr(a + 8, c - a - 8));
                    a = c + 9;
                    continue;
                }
            }
            size_t len;
            if (s[a] == '<' && wt::match_allowed_tag(s.data() + a, n - a, &len)) {
                out += s.substr(a, len);
                a += len;
                continue;
            }
            if (s[a] == '\'') {
                size_t r = 1;
                while (r < 5 && a + r < n && s[a + r] == '\'') ++r;
                if (r == 1) out += '\'';
                if (r == 2) out += italic ? "</i>" : "<i>", italic = !italic;
                if (r == 4) out += '\'';
                if (r == 3 || r == 4) out += bold ? "</b>" : "<b>", bold = !bold;
                if (r == 5) {
                    out += bold && italic ? "</i></b>" : bold ? "</b><i>" : italic ? "</i><b>" : "<b><i>";
                    bold = !bold, italic = !italic;
                }
                a += r;
                continue;
            }
            if (at(a, "[[")) {
                size_t c = s.find("]]", a + 2);
                if (c != s.npos) {
                    std::string_view inner = s.substr(a + 2, c - a - 2);
                    size_t bar = inner.find('|');
                    std::string_view target = trim(inner.substr(0, bar));
                    std::string_view label = bar == inner.npos ? target : trim(inner.substr(bar + 1));
                    size_t e = c + 2;
                    while (e < n && isalpha(static_cast<unsigned char>(s[e]))) ++e;
                    out += "<a href=\"";
                    if (!target.empty() && target[0] == '#') out += "#" + attr(target.substr(1), true);
                    else out += "/wiki/" + attr(target, true);
                    out += "\">" + model{counter}.run(label);
                    out += s.substr(c + 2, e - c - 2);
                    out += "</a>";
                    a = e;
                    continue;
                }
            }
            if (s[a] == '[' && a + 1 < n && s[a + 1] != '[' &&
                (at(a + 1, "http://") || at(a + 1, "https://") || at(a + 1, "ftp://") || at(a + 1, "mailto:"))) {
                size_t c = s.find(']', a + 1);
                if (c != s.npos) {
                    std::string_view inner = s.substr(a + 1, c - a - 1);
                    size_t sep = inner.find(' ');
                    if (sep == inner.npos) sep = inner.find('\t');
                    std::string_view label = sep == inner.npos ? "" : trim(inner.substr(sep + 1));
                    out += "<a href=\"" + attr(inner.substr(0, sep), false) + ext;
                    if (!label.empty()) out += model{counter}.run(label);
                    else out += "[" + std::to_string(counter ? ++*counter : 1) + "]";
                    out += "</a>";
                    a = c + 1;
                    continue;
                }
            }
            if (at(a, "http://") || at(a, "https://")) {
                size_t e = a;
                while (e < n && !url_end(static_cast<unsigned char>(s[e]))) ++e;
                std::string url(s.substr(a, e - a));
                out += "<a href=\"" + url + ext + url + "</a>";
                a = e;
                continue;
            }
            if (s[a] == '&') out += wt::is_html_entity(s.data() + a, n - a) ? "&" : "&amp;";
            else if (s[a] == '<') out += "&lt;";
            else if (s[a] == '>') out += "&gt;";
            else out += s[a];
            ++a;
        }
        if (italic) out += "</i>";
        if (bold) out += "</b>";
        return out;
    }
};

TEST(Parser, InlineScanMatchesPositionByPositionModel)
{
    static const char *const tokens[] = {
        "[[", "]]", "[", "]", "'", "''", "'''", "|", " ", "\t", "a", "s", "h", "ttp", "http", "https",
        ":", "//", "http://", "https://", "ftp://", "mailto:", "#", "<!--", "-->", "<nowiki>",
        "</nowiki>", "<span a=\"x\">", "<span on=1>", "<b>", "</i>", "<", ">", "&", "&amp;", "&#x4a;",
        "\"", "\x80", "x.org/p?q=1"};
    std::mt19937 rng(12345);
    for (int round = 0; round < 20000; ++round) {
        std::string s;
        int count = 1 + int(rng() % 24);
        for (int i = 0; i < count; ++i) s += tokens[rng() % std::size(tokens)];
        int c1 = 0, c2 = 0, c3 = 0;
        std::string want = model{&c1}.run(s);
        std::string got = inline_html(s, &c2);
        ASSERT_EQ(got, want) << "input: " << s;
        ASSERT_EQ(c1, c2) << "input: " << s;
        ASSERT_EQ(inline_html_in_document(s, &c3), want) << "input in a document: " << s;
        ASSERT_EQ(c1, c3) << "input in a document: " << s;
        size_t builds_n = 0;
        const wt_parser_build *const *builds = wt_usable_parsers(&builds_n);
        for (size_t b = 1; b < builds_n; ++b) {
            int c4 = 0;
            ASSERT_EQ(inline_html_in_document(s, &c4, *builds[b]), want) << builds[b]->name << " build, input: " << s;
            ASSERT_EQ(c1, c4) << builds[b]->name << " build, input: " << s;
        }
    }
}

// The short form reads nothing past its span, even when the span is a heap
// block of its own (ASan checks the bytes around it).
TEST(Parser, ShortInlineFormStaysInItsSpan)
{
    for (size_t n : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 100u}) {
        for (const char *fill : {"[[a|b]]", "a''b", "http://x", "<b>", "&amp;", "plain"}) {
            std::string text;
            while (text.size() < n) text += fill;
            text.resize(n);
            std::unique_ptr<char[]> heap(new char[n]);
            std::memcpy(heap.get(), text.data(), n);
            int counter = 0;
            wt_buf out{};
            wt::parse_inline_internal(heap.get(), n, &out, &counter);
            int c2 = 0;
            EXPECT_EQ(std::string(out.data ? out.data : "", out.len), model{&c2}.run(text)) << text;
            wt_buf_free(&out);
        }
    }
}

// Preformatted lines skip plain runs a block at a time; compare with escaping
// byte by byte, for lines of every length around the block size.
TEST(Parser, PreformattedTextMatchesBytewiseEscaping)
{
    std::mt19937 rng(99);
    const std::string alphabet = "ab \"&<>'[]x";
    for (int round = 0; round < 3000; ++round) {
        std::string text(1 + rng() % 70, 'a');
        for (char &c : text) c = alphabet[rng() % alphabet.size()];
        text.back() = 'z'; // keeps the line from being blank
        std::string want = "<pre>" + ref_html_escape(text) + "</pre>\n";
        ASSERT_EQ(render(" " + text), want) << text;
    }
}

// A literal model of the link list: the whole document as one string, the
// three tests at every offset with plain searches, byte-by-byte JSON escaping.
std::string links_model(std::string_view d)
{
    std::string out = "[";
    size_t q = 0;
    while (q < d.size()) {
        size_t c;
        if (d.substr(q).starts_with("<!--") && (c = d.find("-->", q + 4)) != d.npos) {
            q = c + 3;
        } else if (d.substr(q).starts_with("<nowiki>") && (c = d.find("</nowiki>", q + 8)) != d.npos) {
            q = c + 9;
        } else if (d.substr(q).starts_with("[[") && (c = d.find("]]", q + 2)) != d.npos) {
            std::string_view inner = d.substr(q + 2, c - q - 2);
            size_t bar = inner.find('|');
            std::string_view target = model::trim(inner.substr(0, bar));
            std::string_view label = bar == inner.npos ? target : model::trim(inner.substr(bar + 1));
            if (out.size() > 1) out += ',';
            out += "{\"target\":\"" + ref_json_escape(target) + "\",\"text\":\"" + ref_json_escape(label) + "\"}";
            q = c + 2;
        } else {
            ++q;
        }
    }
    return out + "]";
}

TEST(Parser, LinkListMatchesModel)
{
    static const char *const tokens[] = {"[[", "]]", "[", "]", "|", " ", "\n", "a", "bc", "<!--", "-->",
                                         "<", "!", "n", "<nowiki>", "</nowiki>", "\"", "\\", "\x01",
                                         "\t", "\x80", "0123456789abcdefghij",
                                         "0123456789abcdefghij0123456789abcdefghij0123456789"};
    std::mt19937 rng(2024);
    // Up to 60 tokens: links that close within the 64 bytes after their "[["
    // and beyond them, and documents that end within those bytes.
    for (int round = 0; round < 20000; ++round) {
        std::string doc;
        int count = 1 + int(rng() % 60);
        for (int i = 0; i < count; ++i) doc += tokens[rng() % std::size(tokens)];
        wt_buf out{};
        ASSERT_EQ(wt_extract_links_json(doc.c_str(), &out), 1);
        ASSERT_EQ(std::string(out.data, out.len), links_model(doc)) << doc;
        wt_buf_free(&out);
    }
}

TEST(Limits, MillionApostrophes)
{
    std::string doc(1000000, '\'');
    std::string want = "<p>";
    for (int i = 0; i < 100000; ++i) want += "<b><i></i></b>";
    want += "</p>\n";
    EXPECT_EQ(render(doc), want);
}

TEST(Limits, DeepListLines)
{
    // 100,000 list lines whose depth climbs from 1 to 64 and falls back.
    std::string doc;
    int items = 0;
    for (int i = 0; i < 100000; ++i) {
        int depth = 1 + (i % 127 < 64 ? i % 127 : 126 - i % 127);
        doc.append(size_t(depth), i % 3 ? '*' : '#').append(" x\n");
        ++items;
    }
    std::string html = render(doc);
    auto count = [&](std::string_view what) {
        size_t k = 0;
        for (size_t p = html.find(what); p != html.npos; p = html.find(what, p + 1)) ++k;
        return k;
    };
    EXPECT_EQ(count("<li>"), size_t(items));
    EXPECT_EQ(count("</li>\n"), size_t(items));
    EXPECT_EQ(count("<ul>\n") + count("<ol>\n"), count("</ul>\n") + count("</ol>\n"));
    EXPECT_EQ(count("<ul>\n"), count("</ul>\n"));
}

// The renderer finds the document's end a piece at a time, a little ahead of
// the lines (16 KiB pieces). Lines of every length around those pieces, ending
// in LF, CR LF or the document's end, each carrying an italic run near both of
// its ends, must come out as a plain line-by-line reading gives them.
TEST(Limits, LinesAcrossThePiecesOfTheDocument)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 80; ++round) {
        std::string doc, want;
        bool open = false;
        int lines = 1 + int(rng() % 6);
        for (int i = 0; i < lines; ++i) {
            // The first line's end meets the first piece's end at every offset.
            size_t len = round < 48 ? 16384 - 12 + (i == 0 ? size_t(round) / 2 : rng() % 24) : rng() % 40000;
            if (rng() % 5 == 0 || len < 10) len = 0; // a blank line ends the paragraph
            std::string text, html;
            if (len >= 10) {
                std::string mid(len - 10, 'a' + char(rng() % 26));
                text = "''x''" + mid + "''y''";
                html = "<i>x</i>" + mid + "<i>y</i>";
            }
            doc += text;
            if (len == 0) {
                if (open) want += "</p>\n";
                open = false;
            } else {
                want += open ? "\n" : "<p>";
                want += html;
                open = true;
            }
            if (i + 1 < lines || rng() % 2) doc += (i == 0 ? round % 2 : rng() % 2) ? "\r\n" : "\n";
        }
        if (open) want += "</p>\n";
        ASSERT_EQ(render(doc), want) << "round " << round;
    }
}

TEST(Limits, LongLinesOfUnclosedOpeners)
{
    // Each renders as escaped text in one pass; the content is checked exactly.
    const size_t reps = 200000;
    auto repeat = [&](std::string_view unit) {
        std::string s;
        for (size_t i = 0; i < reps; ++i) s += unit;
        return s;
    };
    EXPECT_EQ(render(repeat("[[")), "<p>" + repeat("[[") + "</p>\n");
    EXPECT_EQ(render(repeat("[[a|")), "<p>" + repeat("[[a|") + "</p>\n");
    EXPECT_EQ(render(repeat("[http://")),
              "<p>" + repeat("[<a href=\"http://\" class=\"external\" rel=\"nofollow\">http://</a>") + "</p>\n");
    EXPECT_EQ(render(repeat("<nowiki>")), "<p>" + repeat("&lt;nowiki&gt;") + "</p>\n");
    EXPECT_EQ(render(repeat("<span a='")), "<p>" + repeat("&lt;span a='") + "</p>\n");
    EXPECT_EQ(render(repeat("&#")), "<p>" + repeat("&amp;#") + "</p>\n");
    EXPECT_EQ(render(std::string(reps, '=')), "<h6 id=\"" + std::string(reps - 12, '=') + "\">" +
                                                  std::string(reps - 12, '=') + "</h6>\n");
    std::string big_line(8 << 20, 'x');
    EXPECT_EQ(render(big_line), "<p>" + big_line + "</p>\n");
}

} // namespace
